#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/config/record_syntax.h"
#include "platform/statistics/delivery_agent.h"
#include "platform/statistics/delivery_transfer.h"
#include "platform/statistics/download_statistics.h"
#include "platform/statistics/outbox.h"
#include "platform/util/file_util.h"
#include "support/fault_env.h"
#include "support/recorder_fixture.h"
#include "support/test_env.h"

namespace {

// `count` records in the download log's text form, each with its number as "called".
std::string LogText(int first, int count) {
    std::string text;
    for (int n = first; n < first + count; ++n)
        text += "section\n{\ntype=1\ncalled=" + std::to_string(n) + "\n}\n";
    return text;
}

// A log of `count` records, for downloads.
std::unique_ptr<Configuration::MultiSectionFile> DownloadLog(int count) {
    std::unique_ptr<Configuration::MultiSectionFile> log = OpenDownloadLogFile("/log", false);
    for (int n = 0; n < count; ++n) {
        log->AddSection(true);
        log->AddSectionEntry("called", std::to_string(n).c_str());
    }
    return log;
}

// The host's name as the system would give it, with characters a file name cannot keep.
class HostNameEnv : public ScopedEnv {
  public:
    std::string HostName() override { return mName; }
    std::string mName = "desk 17/b";
};

class StatisticsOutboxTest : public RecorderTest {
  protected:
    // Starts a recorder (automatic download off) so that warnings reach the trace log.
    StatisticsOutboxTest() {
        mEnv.SetTime(1800000000, 0);
        Start();
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const OutboxFile& file : Outbox("/outbox/").Files()) names.push_back(file.name);
        return names;
    }
    // Adds a one-record file and returns its name.
    std::string AddOne(int record) {
        const std::string path = Outbox("/outbox/").Add(LogText(record, 1), 1 << 20);
        return path.substr(path.rfind('/') + 1);
    }
    static std::string SequencePath() { return "/conf/telephony/cdr.outbox-seq"; }
    HostNameEnv mHost;
};

TEST_F(StatisticsOutboxTest, NamesNeverRepeatWhateverTheOutboxHoldsOrTheClockSays) {
    const std::string first = AddOne(1);
    EXPECT_EQ("stat-desk_17_b-0000000001-20270115T080000Z.log", first);
    EXPECT_EQ("1\n", ReadFile(SequencePath()));
    EXPECT_EQ(LogText(1, 1), ReadFile("/outbox/" + first));
    AddOne(2);
    for (const std::string& name : Names())  // all delivered
        ASSERT_EQ(0, unlink(mEnv.Real("/outbox/" + name).c_str()));
    EXPECT_EQ("stat-desk_17_b-0000000003-20270115T080000Z.log", AddOne(3))
        << "an emptied outbox goes on with the next number";
    mEnv.SetTime(1700000000, 0);
    const std::string older = AddOne(4);
    EXPECT_EQ("stat-desk_17_b-0000000004-20231114T221320Z.log", older)
        << "a clock set back changes only the time part";
    mHost.mName = "desk-9";  // renamed: order still comes from the number
    const std::string renamed = AddOne(5);
    EXPECT_EQ("stat-desk-9-0000000005-20231114T221320Z.log", renamed);
    const std::vector<std::string> expected = {"stat-desk_17_b-0000000003-20270115T080000Z.log",
                                               older, renamed};
    EXPECT_EQ(expected, Names()) << "delivery order is write order";
}

TEST_F(StatisticsOutboxTest, ALostOrDamagedSequenceGoesOnAboveTheOutboxsNames) {
    for (int record = 1; record <= 3; ++record) AddOne(record);
    Outbox outbox("/outbox/");
    const std::string staged = outbox.Stage(LogText(4, 1), 1 << 20);  // number 4, not yet listed
    ASSERT_EQ(0, unlink(mEnv.Real(SequencePath()).c_str()));
    EXPECT_EQ("stat-desk_17_b-0000000005-20270115T080000Z.log", AddOne(5))
        << "a missing sequence starts above every name, staged ones included";
    EXPECT_EQ(0, TraceCount("<WARNING>")) << "a missing sequence is not a fault";
    int next = 6;
    for (const char* damaged : {"seven\n", "", "-3\n", "99999999999\n"}) {
        WriteFileAtomically(SequencePath(), damaged);
        EXPECT_EQ("stat-desk_17_b-000000000" + std::to_string(next) + "-20270115T080000Z.log",
                  AddOne(next))
            << "after \"" << damaged << "\"";
        ++next;
    }
    EXPECT_EQ(4, TraceCount("names go on after the highest in the outbox"));
    WriteFileAtomically(SequencePath(), "2\n");  // restored from an old copy
    EXPECT_EQ("stat-desk_17_b-0000000010-20270115T080000Z.log", AddOne(10));
    EXPECT_EQ("10\n", ReadFile(SequencePath()));
    outbox.Discard(staged);
}

TEST_F(StatisticsOutboxTest, TheNumberIsStoredBeforeTheFileSoAFailedWriteNeverReusesIt) {
    AddOne(1);
    {
        FaultEnv fault(Env::Current(), FaultEnv::kFsync, 3);  // the staged file's sync
        EXPECT_THROW(Outbox("/outbox/").Stage(LogText(2, 1), 1 << 20), FileError);
    }
    EXPECT_TRUE(Outbox("/outbox/").StagedNames().empty()) << "no part of the file stays";
    EXPECT_EQ("2\n", ReadFile(SequencePath()));
    {
        FaultEnv fault(Env::Current(), FaultEnv::kRename, 1);  // the sequence's own write
        EXPECT_THROW(Outbox("/outbox/").Stage(LogText(2, 1), 1 << 20), FileError);
    }
    EXPECT_EQ(1u, Names().size()) << "no file goes out without its number stored";
    EXPECT_EQ("stat-desk_17_b-0000000003-20270115T080000Z.log", AddOne(3));
}

TEST_F(StatisticsOutboxTest, TheDeviceIsTheConfiguredNameOrTheHostsMadeSafe) {
    EXPECT_EQ("a__b_c", DeviceName("a/\tb c"));
    EXPECT_EQ(std::string(64, 'x'), DeviceName(std::string(80, 'x')));
    mHost.mName = "";
    EXPECT_EQ("device", DeviceName(""));
    WriteConfig("auto-down-stat.conf", "download_dir=/outbox\ndownload_device=lobby/2\n");
    EXPECT_EQ(1, DownloadStatistics().StartDownloadStatistics(DownloadLog(1).get()));
    ASSERT_EQ(1u, Names().size());
    EXPECT_EQ("stat-lobby_2-0000000001-20270115T080000Z.log", Names()[0]);
    EXPECT_EQ(1, TraceCount("download_device=lobby/2 is not made only of"));
}

TEST_F(StatisticsOutboxTest, TheCapRemovesTheOldestFilesAndCountsTheirRecords) {
    Outbox outbox("/outbox/");
    const std::string ten = LogText(1, 10);
    for (int file = 0; file < 4; ++file) outbox.Add(ten, 4 * ten.size());
    EXPECT_EQ(0, TraceCount("<WARNING>"));
    const std::vector<std::string> before = Names();
    outbox.Add(ten, 3 * ten.size());
    EXPECT_EQ(1, TraceCount("removed its 2 oldest files, 20 records never delivered"));
    const std::vector<std::string> after = Names();
    ASSERT_EQ(3u, after.size());
    EXPECT_EQ(before[2], after[0]);
}

TEST_F(StatisticsOutboxTest, ADownloadIsDoneOnceTheFileIsWrittenAndFailsOnlyWhenItIsNot) {
    WriteConfig("auto-down-stat.conf", "download_dir=/outbox\n");
    DownloadStatistics download;
    EXPECT_EQ(1, download.StartDownloadStatistics(DownloadLog(0).get())) << "nothing to write";
    EXPECT_EQ(0u, Names().size());
    WriteFileAtomically("/blocked", "a file");
    WriteConfig("auto-down-stat.conf", "download_dir=/blocked/outbox/\ndownload_timeout=x\n");
    EXPECT_EQ(0, download.StartDownloadStatistics(DownloadLog(1).get()));
    EXPECT_EQ(1, TraceCount("download_timeout=x is not a whole number"));
    EXPECT_EQ(1, TraceCount("the records cannot be put in the outbox"));
}

TEST_F(StatisticsOutboxTest, AStagedFileIsHiddenUntilPublishedAndSurvivesTheLeftoverSweep) {
    Outbox outbox("/outbox/");
    const std::string name = outbox.Stage(LogText(1, 3), 1 << 20);
    WriteFileAtomically("/outbox/.stage-" + name + ".tmp", "section\n{\n");
    WriteFileAtomically("/outbox/stat-20270115T080000Z-000002.log.tmp", "section\n{\ntype=1\n");
    WriteFileAtomically("/outbox/notes.txt", "not ours");
    EXPECT_TRUE(Names().empty()) << "neither staged nor partial files are listed";
    outbox.RemoveLeftovers();
    EXPECT_FALSE(Exists("/outbox/.stage-" + name + ".tmp"));
    EXPECT_FALSE(Exists("/outbox/stat-20270115T080000Z-000002.log.tmp"));
    EXPECT_TRUE(Exists("/outbox/notes.txt"));
    EXPECT_EQ(std::vector<std::string>{name}, outbox.StagedNames());
    outbox.Publish(name);
    EXPECT_EQ(std::vector<std::string>{name}, Names());
    EXPECT_EQ(LogText(1, 3), ReadFile("/outbox/" + name));
    EXPECT_TRUE(outbox.StagedNames().empty());
    EXPECT_NO_THROW(outbox.Publish(name)) << "publishing twice (a replayed commit) is done";
    outbox.Discard(outbox.Stage(LogText(4, 1), 1 << 20));
    EXPECT_TRUE(outbox.StagedNames().empty());
    EXPECT_EQ(std::vector<std::string>{name}, Names());
}

class CommitHookTest : public StatisticsOutboxTest {
  protected:
    // The recorder the fixture starts commits its downloads through its journal: these tests
    // set their own hooks.
    CommitHookTest() {
        WriteConfig("auto-down-stat.conf", "download_dir=/outbox\n");
        DownloadStatistics::SetCommitHook(nullptr);
    }
    ~CommitHookTest() override { DownloadStatistics::SetCommitHook(nullptr); }
    std::vector<std::string> Everything() {
        std::vector<std::string> names;
        Env::Current()->ListFolder("/outbox", &names);
        return names;
    }
};

TEST_F(CommitHookTest, ARefusedCommitLeavesNothingAndFailsTheDownload) {
    std::unique_ptr<Configuration::MultiSectionFile> log = DownloadLog(3);
    std::vector<std::string> asked;
    DownloadStatistics::SetCommitHook([&](const std::string& name) {
        asked.push_back(name);
        EXPECT_EQ(log->Text(), ReadFile("/outbox/.stage-" + name)) << "whole before the commit";
        EXPECT_TRUE(Names().empty()) << "the agent cannot see it before the commit";
        return false;
    });
    EXPECT_EQ(0, DownloadStatistics().StartDownloadStatistics(log.get()));
    EXPECT_TRUE(Everything().empty());
    EXPECT_EQ(1, TraceCount("was not committed and is discarded"));
    DownloadStatistics::SetCommitHook(
        [](const std::string&) -> bool { throw std::runtime_error("journal full"); });
    EXPECT_EQ(0, DownloadStatistics().StartDownloadStatistics(log.get()));
    EXPECT_TRUE(Everything().empty());
    EXPECT_EQ(1, TraceCount("failed: journal full"));
    DownloadStatistics::SetCommitHook([&](const std::string& name) {
        asked.push_back(name);
        return true;
    });
    EXPECT_EQ(1, DownloadStatistics().StartDownloadStatistics(log.get()));
    ASSERT_EQ(2u, asked.size());
    EXPECT_EQ(std::vector<std::string>{asked[1]}, Names());
    EXPECT_NE(asked[0], asked[1]) << "a refused name is never given again";
}

TEST_F(CommitHookTest, APublishThatFailsAfterTheCommitKeepsTheFileStagedOtherwiseDropsIt) {
    std::unique_ptr<Configuration::MultiSectionFile> log = DownloadLog(2);
    {
        FaultEnv fault(Env::Current(), FaultEnv::kRename, 3);  // sequence, staged file, publish
        EXPECT_EQ(0, DownloadStatistics().StartDownloadStatistics(log.get()));
    }
    EXPECT_TRUE(Everything().empty()) << "with no commit hook, nobody else knows of the file";
    DownloadStatistics::SetCommitHook([](const std::string&) { return true; });
    {
        FaultEnv fault(Env::Current(), FaultEnv::kRename, 3);
        EXPECT_EQ(1, DownloadStatistics().StartDownloadStatistics(log.get()));
    }
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(1u, Outbox("/outbox/").StagedNames().size()) << "committed: kept for the next start";
    EXPECT_EQ(1, TraceCount("it stays staged until the next start"));
}

// A transfer command: a shell script that starts a helper in the background, notes its pid and
// then behaves as `body` says.
class TransferTest : public ::testing::Test {
  protected:
    std::vector<std::string> Script(const std::string& body) {
        const std::string path = mDir.Sub("transfer.sh");
        std::ofstream(path) << "#!/bin/sh\nsleep 120 &\necho $! >" << mDir.Sub("helper") << "\n"
                            << body << "\n";
        chmod(path.c_str(), 0755);
        return {path};
    }
    // True once the helper the script started (or the process whose pid is in `name`) is gone
    // (or a zombie waiting for init).
    bool HelperGone(const char* name = "helper") {
        std::ifstream file(mDir.Sub(name));
        long pid = 0;
        if (!(file >> pid)) return false;
        for (int tries = 0; tries < 500; ++tries) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string skip, state;
            if (!(stat >> skip >> skip >> state) || state == "Z") return true;
            usleep(10000);
        }
        return false;
    }
    TempDir mDir;
};

TEST_F(TransferTest, OnlyExitStatusZeroInTimeDeliversAndNothingOfTheTransferOutlivesIt) {
    TransferResult result = RunTransfer(Script("exit 0"), "file", 30, -1);
    EXPECT_TRUE(result.delivered);
    EXPECT_TRUE(HelperGone()) << "what a delivered transfer left running is killed too";
    result = RunTransfer({"/no/such/program"}, "file", 30, -1);
    EXPECT_FALSE(result.delivered);
    result = RunTransfer(Script("sleep 120"), "file", 1, -1);
    EXPECT_FALSE(result.delivered);
    EXPECT_NE(std::string::npos, result.reason.find("took longer than 1 s")) << result.reason;
    EXPECT_TRUE(HelperGone()) << "a transfer past its timeout goes with what it started";
}

// A helper in a session of its own is found through /proc, not its group or parent (the test
// process is no subreaper). The output is kept to its ends, escaped, however much there is.
TEST_F(TransferTest, AHelperInItsOwnSessionEndsAndOutputStaysBoundedAndEscaped) {
    const std::string body = "setsid sleep 120 & echo $! >" + mDir.Sub("setsid") +
                             "\nprintf 'first \\033[2J\\177\\n'"
                             "\nhead -c 3000000 /dev/zero | tr '\\0' x >&2"
                             "\nprintf '\\302\\233last \\342\\200\\256\\303\\251\\n'\nexit 3";
    TransferResult result = RunTransfer(Script(body), "file", 30, -1);
    EXPECT_FALSE(result.delivered);
    EXPECT_TRUE(HelperGone("setsid")) << "a helper that left the session is killed";
    EXPECT_TRUE(HelperGone());
    EXPECT_EQ(result.output.total(), 3000000u + 12u + 13u);
    const std::vector<std::string> lines = result.output.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "first \\x1B[2J\\x7F");
    size_t kept = 0;
    for (const std::string& line : lines) kept += line.size();
    EXPECT_LT(kept, 2 * CapturedOutput::kKeep + 100);
    const std::string last = "x\\xC2\\x9Blast \\xE2\\x80\\xAE\xC3\xA9";
    ASSERT_GE(lines.back().size(), last.size());
    EXPECT_EQ(lines.back().substr(lines.back().size() - last.size()), last);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "... 2997977 bytes left out ..."), lines.end());
}

}  // namespace
