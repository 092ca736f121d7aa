// Power cuts at every step of the store's writes: a scripted run of reports (journal appends,
// group-commit syncs, database and download-log saves, a journal compaction, downloads to the
// outbox) is repeated once per step with the power cut right after that step, losing what was
// not on storage; a fresh start-up then replays the journal, and what it holds must be every
// record whose journal sync completed, each once, whole, in its database and in exactly one of
// the download log and the outbox, numbered on without reuse.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/statistics/outbox.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "state/record_journal.h"
#include "support/power_cut_env.h"
#include "support/recorder_fixture.h"

namespace {

const char kJournal[] = "/conf/telephony/cdr.journal";
const std::vector<std::string> kStoreFolders = {"/conf/telephony", "/mnt/bbram/calldata",
                                                "/outbox"};
const int kTypes[] = {1, 1, 2, 1, 4, 2, 1};
const int kReports = 24;
// Journal bytes left by earlier records (cleared since) before the run: past the compaction
// bound, and so close to the file's end that the run's first appends find it full and compact it.
const size_t kPrefilledBytes = RecordJournal::Limits().compactAbove + 1024;
const size_t kRoomLeft = 2 * 1024;

using Key = std::pair<int, unsigned long>;  // (type, ID)
using Image = std::map<std::string, std::string>;

struct Added {
    Key key;
    std::string called;
};

// What a run of the script did: each report's key, and after which step how many of the first
// reports were on storage (the journal fully synced after them).
struct ScriptRun {
    std::vector<Added> added;
    std::vector<std::pair<int, size_t>> durableAfter;
};

// One step in `stride` is cut at: every one on the host, one in four on the emulated target;
// CDR_POWER_CUT_STRIDE sets it.
int Stride() {
    const char* text = getenv("CDR_POWER_CUT_STRIDE");
#if defined(__powerpc__)
    return text != nullptr ? std::max(atoi(text), 1) : 4;
#else
    return text != nullptr ? std::max(atoi(text), 1) : 1;
#endif
}

int DatabaseOf(int type) {
    return type == 1 ? 0 : type == 2 ? 1 : 2;
}

class PowerCutReplayTest : public RecorderTest,
                           public ::testing::WithParamInterface<PowerCutEnv::Loss> {
  protected:
    void SetUp() override {
        for (const std::string& folder : kStoreFolders) MakeDirs(folder);
        PrefillJournal();
        WriteConfig("general-settings.conf",
                    "cdr_save_stated=4\ncdr_save_missed=3\ncdr_save_failed=5\n"
                    "cdr_journal_sync_reports=3\ncdr_journal_sync_ms=3600000\n");
        WriteConfig("sysconfig/rc.conf", "START_AUTO_DOWNLOAD_STAT=true\n");
        WriteConfig("auto-down-stat.conf",
                    "download_cnt=7\ndownload_dir=/outbox/\ndownload_keep_kb=4096\n");
        mStart = Snapshot();
    }

    // Records that a clear made obsolete fill the journal past its compaction bound, up to
    // nearly its end.
    void PrefillJournal() {
        WriteConfig("general-settings.conf", "cdr_save_stated=100000\ncdr_max_stated=100000\n");
        Start();
        RecordJournal::Contents contents;
        for (int i = 0; contents.end < kPrefilledBytes || contents.size - contents.end > kRoomLeft;
             ++i) {
            ASSERT_EQ(1, mpManager->OnAddCDR(1, MakeReport(7, "p" + std::to_string(i)), nullptr));
            RecordJournal::ReadJournal(kJournal, &contents);
        }
        ASSERT_EQ(1, mpManager->OnClear(7));
        mpManager.reset();
    }

    // The files of the store's folders.
    Image Snapshot() {
        Image image;
        for (const std::string& folder : kStoreFolders) {
            std::vector<std::string> names;
            Env::Current()->ListFolder(folder.c_str(), &names);
            for (const std::string& name : names)
                image[folder + "/" + name] = ReadFile(folder + "/" + name);
        }
        return image;
    }

    void Restore(const Image& image) {
        for (const auto& file : Snapshot())
            if (image.count(file.first) == 0) Env::Current()->Unlink(file.first.c_str());
        for (const auto& file : image) WriteFileAtomically(file.first, file.second);
    }

    // The script, from the start image: reports of every type, some triggering saves and
    // downloads; the recorder then ends as at a crash.
    ScriptRun RunScript(const PowerCutEnv& env) {
        ScriptRun run;
        Start();
        for (int i = 0; i < kReports; ++i) {
            const int type = kTypes[i % (sizeof kTypes / sizeof kTypes[0])];
            const std::string called = "n" + std::to_string(i);
            EXPECT_EQ(1, mpManager->OnAddCDR(type, MakeReport(7, called), nullptr));
            const unsigned long id = mpManager->mpFiles->mNextID[DatabaseOf(type)] - 1;
            run.added.push_back({{type, id}, called});
            if (!env.Unsynced(kJournal))
                run.durableAfter.push_back({env.LastDurableChange(kJournal), run.added.size()});
        }
        mpManager.reset();
        return run;
    }

    // How many of the first reports of `reference` must survive a cut after `step`.
    static size_t DurableAt(const ScriptRun& reference, int step) {
        size_t durable = 0;
        for (const auto& point : reference.durableAfter)
            if (point.first <= step) durable = std::max(durable, point.second);
        return durable;
    }

    // Starts afresh on what the cut left and checks the records against the script's.
    void CheckAfterCut(const ScriptRun& reference, size_t durable, const std::string& where) {
        SCOPED_TRACE(where);
        Start();
        std::map<Key, std::string> stored, delivered;
        std::vector<Key> duplicates;
        auto note = [&](std::map<Key, std::string>* into, const Entries& record, int type) {
            const Key key(type, std::stoul(Value(record, "ID")));
            if (!into->emplace(key, Value(record, "called")).second) duplicates.push_back(key);
        };
        for (int i = 0; i < 3; ++i)
            for (const Entries& record : HeldRecords(i))
                note(&stored, record, i == 0 ? 1 : i == 1 ? 2 : 4);
        mpManager->mpDownStatFile->Save(true, nullptr);
        Outbox outbox("/outbox/");
        EXPECT_TRUE(outbox.StagedNames().empty());
        std::vector<std::string> places = {DownloadLogPath()};
        for (const OutboxFile& file : outbox.Files()) places.push_back(file.path);
        for (const std::string& place : places)
            for (const Entries& record : Records(place, "section"))
                note(&delivered, record, std::stoi(Value(record, "type")));
        EXPECT_TRUE(duplicates.empty())
            << "a record twice: type " << duplicates[0].first << " ID " << duplicates[0].second;
        EXPECT_EQ(stored, delivered) << "the databases and the download log disagree";
        // The survivors are the script's first reports, whole: numbering without a gap.
        size_t survived = 0;
        while (survived < reference.added.size() &&
               stored.count(reference.added[survived].key) != 0)
            ++survived;
        EXPECT_EQ(survived, stored.size()) << "records survived out of order";
        EXPECT_GE(survived, durable) << "a record synced before the cut was lost";
        for (size_t i = 0; i < survived; ++i)
            EXPECT_EQ(reference.added[i].called, stored[reference.added[i].key]) << "garbled";
        // Numbers go on after the highest that survived anywhere.
        for (int type : {1, 2, 4}) {
            ASSERT_EQ(1, mpManager->OnAddCDR(type, MakeReport(7, "after"), nullptr));
            const unsigned long id = mpManager->mpFiles->mNextID[DatabaseOf(type)] - 1;
            for (const auto& record : stored)
                if (record.first.first == type) {
                    EXPECT_GT(id, record.first.second) << "reused";
                }
        }
        mpManager.reset();
    }

    Image mStart;
};

TEST_P(PowerCutReplayTest, EveryRecordSyncedBeforeTheCutSurvivesOnce) {
    ScriptRun reference;
    int steps;
    std::vector<std::string> stepLog;
    {
        PowerCutEnv env(kStoreFolders);
        reference = RunScript(env);
        steps = env.Steps();
        stepLog = env.StepLog();
        env.CutPower();
    }
    // The script reaches every kind of step: a compaction and downloads among them.
    for (const char* step :
         {"rename /conf/telephony/cdr.journal.tmp /conf/telephony/cdr.journal",
          "sync /conf/telephony/cdr.journal",
          "rename /conf/telephony/CDR_db.tmp /conf/telephony/CDR_db", "sync folder /outbox"})
        EXPECT_NE(stepLog.end(), std::find(stepLog.begin(), stepLog.end(), step)) << step;
    CheckAfterCut(reference, reference.added.size(), "a cut after the whole script");
    for (int step = 0; step <= steps; step += Stride()) {
        Restore(mStart);
        {
            PowerCutEnv env(kStoreFolders);
            env.CutAfter(step, GetParam());
            RunScript(env);
            ASSERT_EQ(steps, env.Steps()) << "the script's steps differ from run to run";
            env.CutPower();
        }
        CheckAfterCut(reference, DurableAt(reference, step),
                      "a cut after step " + std::to_string(step) + " of " + std::to_string(steps) +
                          (step > 0 ? ": " + stepLog[step - 1] : std::string()));
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Cuts, PowerCutReplayTest,
                         ::testing::Values(PowerCutEnv::kLoseUnsynced, PowerCutEnv::kTearUnsynced),
                         [](const ::testing::TestParamInfo<PowerCutEnv::Loss>& info) {
                             return info.param == PowerCutEnv::kLoseUnsynced ? "LoseUnsynced"
                                                                             : "TearUnsynced";
                         });

}  // namespace
