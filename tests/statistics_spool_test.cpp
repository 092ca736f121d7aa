#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/config/record_files.h"
#include "platform/download/delivery_agent.h"
#include "platform/download/download_statistics.h"
#include "platform/download/outbox.h"
#include "platform/util/file_util.h"
#include "support/recorder_fixture.h"

namespace {

// `count` records in the download log's text form, each with its number as "called".
std::string LogText(int first, int count) {
    std::string text;
    for (int n = first; n < first + count; ++n)
        text += "section\n{\ntype=1\ncalled=" + std::to_string(n) + "\n}\n";
    return text;
}

class StatisticsSpoolTest : public RecorderTest {
  protected:
    // Starts a recorder (automatic download off) so that warnings reach the trace log.
    StatisticsSpoolTest() {
        mEnv.SetTime(1800000000, 0);
        Start();
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const OutboxFile& file : Outbox("/outbox/").Files()) names.push_back(file.name);
        return names;
    }
};

TEST_F(StatisticsSpoolTest, NamesSortInWriteOrderEvenWhenTheClockGoesBack) {
    Outbox outbox("/outbox/");
    const std::string first = outbox.Add(LogText(1, 2), 1 << 20);
    const std::string second = outbox.Add(LogText(3, 2), 1 << 20);
    mEnv.SetTime(1700000000, 0);
    const std::string third = outbox.Add(LogText(5, 1), 1 << 20);
    mEnv.SetTime(1800000100, 0);
    const std::string fourth = outbox.Add(LogText(6, 1), 1 << 20);
    const std::vector<OutboxFile> files = outbox.Files();
    ASSERT_EQ(4u, files.size());
    EXPECT_EQ(first, files[0].path);
    EXPECT_EQ("stat-20270115T080000Z-000001.log", files[0].name);
    EXPECT_EQ(second, files[1].path);
    EXPECT_EQ(third, files[2].path) << "a clock set back continues after the newest name";
    EXPECT_EQ("stat-20270115T080000Z-000003.log", files[2].name);
    EXPECT_EQ(fourth, files[3].path);
    EXPECT_EQ(2u, CountRecords(files[1].path));
    EXPECT_EQ(LogText(3, 2), ReadFile(second));
}

TEST_F(StatisticsSpoolTest, TheCapRemovesTheOldestFilesAndCountsTheirRecords) {
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
    outbox.Add(LogText(200, 40), ten.size());
    EXPECT_EQ(1, TraceCount("removed its 3 oldest files, 30 records never delivered"));
    EXPECT_EQ(1u, Names().size()) << "a file larger than the cap is kept, alone";
}

TEST_F(StatisticsSpoolTest, AnInterruptedWriteLeavesNoListedFileAndIsClearedByTheNext) {
    Outbox outbox("/outbox/");
    outbox.Add(LogText(1, 1), 1 << 20);
    WriteFileAtomically("/outbox/stat-20270115T080000Z-000002.log.tmp", "section\n{\ntype=1\n");
    WriteFileAtomically("/outbox/notes.txt", "not ours");
    EXPECT_EQ(1u, Names().size());
    outbox.Add(LogText(2, 1), 1 << 20);
    EXPECT_FALSE(Exists("/outbox/stat-20270115T080000Z-000002.log.tmp"));
    EXPECT_TRUE(Exists("/outbox/notes.txt"));
    EXPECT_EQ(2u, Names().size());
}

TEST_F(StatisticsSpoolTest, ADownloadIsDoneOnceTheFileIsWrittenAndFailsOnlyWhenItIsNot) {
    WriteConfig("auto-down-stat.conf", "download_dir=/outbox\ndownload_keep_kb=1\n");
    std::unique_ptr<Configuration::MultiSectionFile> log = OpenDownloadLogFile("/log", false);
    DownloadStatistics download;
    EXPECT_EQ(1, download.StartDownloadStatistics(log.get())) << "no records: nothing to write";
    EXPECT_EQ(0u, Names().size());
    log->AddSection(true);
    log->AddSectionEntry("type", "1");
    EXPECT_EQ(1, download.StartDownloadStatistics(log.get()));
    ASSERT_EQ(1u, Names().size());
    EXPECT_EQ(log->Text(), ReadFile("/outbox/" + Names()[0]));
    WriteFileAtomically("/blocked", "a file");
    WriteConfig("auto-down-stat.conf", "download_dir=/blocked/outbox/\ndownload_timeout=x\n");
    EXPECT_EQ(0, download.StartDownloadStatistics(log.get()));
    EXPECT_EQ(1, TraceCount("download_timeout=x is not a whole number"));
    EXPECT_EQ(1, TraceCount("the records cannot be put in the outbox"));
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
    // True once the helper the script started is gone (or a zombie waiting for init).
    bool HelperGone() {
        std::ifstream file(mDir.Sub("helper"));
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
    result = RunTransfer(Script("exit 7"), "file", 30, -1);
    EXPECT_FALSE(result.delivered);
    EXPECT_NE(std::string::npos, result.reason.find("exited with status 7")) << result.reason;
    result = RunTransfer(Script("sleep 120"), "file", 1, -1);
    EXPECT_FALSE(result.delivered);
    EXPECT_FALSE(result.stopped);
    EXPECT_NE(std::string::npos, result.reason.find("took longer than 1 s")) << result.reason;
    EXPECT_TRUE(HelperGone()) << "the whole process group goes at the timeout";
    result = RunTransfer({"/no/such/program"}, "file", 30, -1);
    EXPECT_FALSE(result.delivered);
}

}  // namespace
