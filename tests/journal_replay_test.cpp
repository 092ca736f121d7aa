// The recorder's use of the record journal: a manager destroyed without saving stands for a
// crash, the next one must hold every record it had taken, once, and number on from there;
// cleared and delivered records never come back; a torn journal keeps what came before.
#include <gtest/gtest.h>
#include <limits.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/statistics/outbox.h"
#include "platform/util/file_util.h"
#include "state/record_journal.h"
#include "support/fault_env.h"
#include "support/journal_formats.h"
#include "support/recorder_fixture.h"

namespace {

const char kJournal[] = "/conf/telephony/cdr.journal";

// Storage that fails the journal's syncs and takes no more bytes written in place (the
// journal's growth), other writes going through.
class FailingStorageEnv : public ScopedEnv {
  public:
    ssize_t Pwrite(int, const void*, size_t, off_t) override {
        errno = ENOSPC;
        return -1;
    }
    int Fdatasync(int) override {
        errno = EIO;
        return -1;
    }
};

class JournalReplayTest : public RecorderTest {
  protected:
    // Automatic download on, downloads at `threshold` records into "/outbox/".
    void WithDownload(int threshold) {
        WriteConfig("sysconfig/rc.conf", "START_AUTO_DOWNLOAD_STAT=true\n");
        WriteConfig("auto-down-stat.conf",
                    "download_cnt=" + std::to_string(threshold) + "\ndownload_dir=/outbox/\n");
    }
    int Add(int type, const std::string& called = "x") {
        return mpManager->OnAddCDR(type, MakeReport(7, called), nullptr);
    }
    // The IDs of the records in memory for database `index`, newest first.
    std::vector<std::string> HeldIds(int index) {
        std::vector<std::string> ids;
        for (const Entries& record : HeldRecords(index)) ids.push_back(Value(record, "ID"));
        return ids;
    }
    // "type:ID" of the download log's records in memory, newest first.
    std::vector<std::string> LogIds() {
        std::vector<std::string> ids;
        Configuration::MultiSectionFile* log = mpManager->mpDownStatFile;
        log->Restart();
        while (log->GotoNextSection() != 0) {
            char type[16] = "", id[16] = "";
            log->GetSectionEntry("type", type, sizeof type);
            log->GetSectionEntry("ID", id, sizeof id);
            ids.push_back(std::string(type) + ":" + id);
        }
        return ids;
    }
    // Ends the manager as a crash would: nothing saved, nothing more written.
    void Crash() { mpManager.reset(); }
    static RecordJournal::Contents Journal() {
        RecordJournal::Contents contents;
        RecordJournal::ReadJournal(kJournal, &contents);
        return contents;
    }
    std::vector<std::string> Ids(std::initializer_list<int> ids) {
        std::vector<std::string> texts;
        for (int id : ids) texts.push_back(std::to_string(id));
        return texts;
    }
};

// The recovered records count as unsaved and are numbered on from; a second crash right after a
// replay gives the same records again, not twice.
TEST_F(JournalReplayTest, ACrashLosesNoRecordAndNumberingGoesOn) {
    WithDownload(1000);
    Start();
    for (int i = 0; i < 13; ++i) ASSERT_EQ(1, Add(1));
    for (int i = 0; i < 2; ++i) ASSERT_EQ(1, Add(2));
    ASSERT_EQ(10u, Records(StatedPath()).size());  // saved at the tenth
    Crash();
    Start();
    // 3 recovered and 7 new: the save comes at the tenth unsaved record as usual.
    for (int i = 0; i < 7; ++i) ASSERT_EQ(1, Add(1));
    EXPECT_EQ(20u, Records(StatedPath()).size());
    ASSERT_EQ(1, Add(2));
    Crash();
    Start();
    EXPECT_EQ(Ids({19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}),
              HeldIds(0));
    EXPECT_EQ(Ids({2, 1, 0}), HeldIds(1));
    const std::vector<std::string> log = LogIds();
    EXPECT_EQ(log.size(), std::set<std::string>(log.begin(), log.end()).size());
    EXPECT_EQ(23u, log.size());
}

// A journal left by the earlier format (CRC-32 checks), as on a device upgraded after a crash:
// its records come back, and it is rewritten in the current format before anything is appended.
TEST_F(JournalReplayTest, AJournalOfTheEarlierFormatIsReplayedAndRewritten) {
    Start();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(1, Add(1));
    Crash();
    WriteFileAtomically(kJournal, AsFirstFormat(ReadFile(kJournal)));
    Start();
    EXPECT_EQ(1, TraceCount("Journal: recovered 3 stated, 0 missed"));
    EXPECT_EQ(1, TraceCount("was in format 1; rewritten in format 2 with its live entries."));
    EXPECT_EQ(RecordJournal::kFormatVersion, Journal().version);
    ASSERT_EQ(1, Add(1));
    Crash();
    Start();
    EXPECT_EQ(Ids({3, 2, 1, 0}), HeldIds(0));
}

// Records that went only to the download log (recording off) advance their type's numbering
// too; entries for a download log that is not open at start stay until it is.
TEST_F(JournalReplayTest, LogOnlyRecordsAdvanceNumberingAndWaitForTheirFile) {
    WriteConfig("general-settings.conf", "cdr_enabled=0\n");
    WithDownload(1000);
    Start();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(1, Add(4));
    Crash();
    WriteConfig("general-settings.conf", "cdr_enabled=1\n");
    WriteConfig("sysconfig/rc.conf", "START_AUTO_DOWNLOAD_STAT=false\n");
    Start();
    EXPECT_EQ(0, TraceCount("Journal: recovered"));
    ASSERT_EQ(1, Add(4));
    EXPECT_EQ(Ids({3}), HeldIds(2));
    ASSERT_EQ(1, mpManager->OnFlush(7));
    Crash();
    WithDownload(1000);
    Start();
    EXPECT_EQ(std::vector<std::string>({"4:2", "4:1", "4:0"}), LogIds());
    EXPECT_EQ(1, TraceCount("0 failed records and 3 download log records.\n"));
}

// A crash between a download's commit and its publishing: at the next start the committed file
// is published and its records leave the download log; a file staged and never committed is
// discarded, its records staying in the log.
TEST_F(JournalReplayTest, ACommittedDownloadIsPublishedAndItsRecordsLeaveTheLog) {
    WithDownload(1000);
    Start();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(1, Add(1));
    ASSERT_EQ(1, mpManager->OnFlush(7));
    Crash();
    Outbox outbox("/outbox/");
    const std::string committed = outbox.Stage(ReadFile(DownloadLogPath()), 1 << 20);
    const std::string uncommitted = outbox.Stage(ReadFile(DownloadLogPath()), 1 << 20);
    {
        RecordJournal::Writer writer(kJournal);
        writer.Open(Journal());
        RecordJournal::Entry marker;
        marker.kind = RecordJournal::Kind::kDownloaded;
        marker.target = RecordJournal::kDownloadLogTarget;
        marker.payload = committed;
        writer.Append(&marker, 1);
    }
    Start();
    EXPECT_TRUE(Exists("/outbox/" + committed));
    EXPECT_FALSE(Exists("/outbox/" + uncommitted));
    EXPECT_TRUE(outbox.StagedNames().empty());
    EXPECT_EQ(1, TraceCount("published the 1 committed files an interrupted download left in "
                            "/outbox/: " +
                            committed + "."));
    EXPECT_EQ(1, TraceCount("discarded the 1 uncommitted files an interrupted download left in "
                            "/outbox/ (their records were not taken from the download log): " +
                            uncommitted + "."));
    EXPECT_EQ(1, TraceCount("the download log's 3 records went out with the last download"));
    EXPECT_TRUE(LogIds().empty());
    EXPECT_TRUE(Records(DownloadLogPath(), "section").empty());
}

// The same for `cdrctl show` on a copy of the files: the damage is told, the records before it
// are shown.
TEST_F(JournalReplayTest, ATornEntryEndsTheReplayWithOneWarningNamingTheOffset) {
    Start();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(1, Add(1));
    Crash();
    const RecordJournal::Contents contents = Journal();
    ASSERT_EQ(3u, contents.entries.size());
    const uint32_t tornAt = contents.entries[2].offset;
    std::string bytes = ReadFile(kJournal);
    bytes[tornAt + RecordJournal::kEntryHeadSize + 3] ^= 1;
    WriteFileAtomically(kJournal, bytes);
    const CdrctlOutcome shown = RunCdrctlCaptured({"show", "stated", "--json"});
    EXPECT_NE(std::string::npos, shown.err.find("is damaged")) << shown.err;
    EXPECT_EQ(2, std::count(shown.out.begin(), shown.out.end(), '\n')) << shown.out;
    Start();
    EXPECT_EQ(1,
              TraceCount(std::string(kJournal) + ": the entry at offset " + std::to_string(tornAt) +
                         " is torn or damaged; the 2 entries before "
                         "it are replayed, nothing after it.\n"));
    EXPECT_EQ(Ids({1, 0}), HeldIds(0));
}

// Under continuous load the journal is synced every N reports, and within a few reports once the
// first unsynced one is cdr_journal_sync_ms old, though the clock is not read for every report.
TEST_F(JournalReplayTest, UnderLoadTheJournalIsSyncedEveryNReportsOrSoonAfterMMilliseconds) {
    WriteConfig("general-settings.conf",
                "cdr_save_stated=1000\ncdr_journal_sync_reports=30\ncdr_journal_sync_ms=50\n");
    mEnv.SetBootTime(1000, 0);
    Start();
    FaultEnv counting(&mEnv, FaultEnv::kFsync, INT_MAX, FaultEnv::kOnce, EIO, FaultEnv::kEveryFile);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(1, Add(1));
    EXPECT_EQ(2, counting.Seen());
    for (int i = 0; i < 10; ++i) ASSERT_EQ(1, Add(1));
    mEnv.SetBootTime(1000, 49);
    ASSERT_EQ(1, Add(1));
    EXPECT_EQ(2, counting.Seen());
    mEnv.SetBootTime(1000, 50);
    int reports = 0;
    while (counting.Seen() == 2 && reports < 100) {
        ASSERT_EQ(1, Add(1));
        ++reports;
    }
    EXPECT_EQ(3, counting.Seen());
    EXPECT_LE(reports, 8);
}

// Saves make the journal's entries obsolete; the idle work compacts it then, unless the last
// compaction failed: appends try again once the file is full, and one succeeding is traced.
TEST_F(JournalReplayTest, IdleWorkCompactsTheJournalUnlessTheLastCompactionFailed) {
    WriteConfig("general-settings.conf", "cdr_save_stated=100000\ncdr_max_stated=100000\n");
    Start();
    RecordJournal::Contents journal;
    auto fillAndSave = [&] {
        while ((journal = Journal()).end < RecordJournal::Limits().compactAbove + 1024)
            for (int i = 0; i < 64; ++i) ASSERT_EQ(1, Add(1, std::string(200, 'c')));
        ASSERT_EQ(1, mpManager->OnFlush(7));
    };
    fillAndSave();
    mpManager->CatchUpWhileIdle();
    const uint32_t compacted = journal.generation + 1;
    journal = Journal();
    EXPECT_EQ(compacted, journal.generation);
    EXPECT_EQ(1u, journal.entries.size());  // the saved-marker of the stated calls database

    fillAndSave();
    {
        FaultEnv failing(&mEnv, FaultEnv::kRename, 1, FaultEnv::kFromThenOn, EIO,
                         FaultEnv::kEveryFile);
        mpManager->CatchUpWhileIdle();
    }
    mpManager->CatchUpWhileIdle();
    journal = Journal();
    EXPECT_EQ(compacted, journal.generation);
    EXPECT_EQ(1, TraceCount("Journal: compaction failed: rename"));
    for (int i = 0; i < 1000 && journal.generation == compacted; ++i) {
        ASSERT_EQ(1, Add(1, std::string(200, 'c')));
        journal = Journal();
    }
    EXPECT_EQ(compacted + 1, journal.generation);
    EXPECT_EQ(1, TraceCount("Journal: compacted again."));
}

TEST_F(JournalReplayTest, AFailingJournalIsRemovedAndRecordingGoesOn) {
    WriteConfig("general-settings.conf", "cdr_journal_sync_reports=1\n");
    Start();
    ASSERT_EQ(1, Add(1));
    {
        FailingStorageEnv failing;
        ASSERT_EQ(1, Add(1));
    }
    EXPECT_EQ(1, TraceCount("the journal is removed"));
    EXPECT_FALSE(Exists(kJournal));
    ASSERT_EQ(1, Add(1));
    EXPECT_EQ(Ids({2, 1, 0}), HeldIds(0));
}

TEST_F(JournalReplayTest, WithTheJournalOffNothingIsJournaled) {
    WriteConfig("general-settings.conf", "cdr_journal=0\n");
    Start();
    ASSERT_EQ(1, Add(1));
    Crash();
    EXPECT_FALSE(Exists(kJournal));
    Start();
    EXPECT_TRUE(HeldRecords(0).empty());
}

}  // namespace
