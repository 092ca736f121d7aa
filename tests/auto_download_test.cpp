#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>
#include <utility>

#include "platform/util/file_util.h"
#include "support/recorder_fixture.h"

namespace {

class AutoDownloadTest : public RecorderTest {
  protected:
    // Downloads go to the outbox "/outbox/" when `delivered`, else to a folder under a plain file,
    // where writing fails.
    void SwitchOn(int threshold, bool delivered) {
        WriteConfig("sysconfig/rc.conf", "START_AUTO_DOWNLOAD_STAT=true\n");
        SetDownload(std::to_string(threshold), delivered);
    }
    void SetDownload(const std::string& threshold, bool delivered) {
        WriteFileAtomically("/blocked", "a file, not a folder");
        WriteConfig("auto-down-stat.conf",
                    "download_cnt=" + threshold +
                        "\ndownload_dir=" + (delivered ? "/outbox/" : "/blocked/outbox/") + "\n");
    }
    int FailedAttempts() { return TraceCount("cannot be put in the outbox"); }
    int Add(int type = 1) { return mpManager->OnAddCDR(type, MakeReport(7, "x"), nullptr); }
    unsigned LogCount() { return mpManager->mpDownStatFile->GetSectionCount(); }
};

TEST_F(AutoDownloadTest, FailingDeliveriesAreRetriedEveryStepAndTheLogStaysBounded) {
    SwitchOn(100, false);
    Start();
    for (int report = 1; report <= 200; ++report) ASSERT_EQ(1, Add());
    EXPECT_EQ(10, FailedAttempts()) << "attempts at 100, 110, ..., 190";
    EXPECT_EQ(200u, LogCount());
    for (int report = 201; report <= 320; ++report) {
        ASSERT_EQ(1, Add());
        EXPECT_GE(LogCount(), 191u);
        EXPECT_LE(LogCount(), 200u);
    }
    EXPECT_EQ(22, FailedAttempts());
    EXPECT_EQ(1,
              TraceCount("<WARNING> download log: downloads fail (list outbox /blocked/outbox/: "));
    EXPECT_EQ(0, TraceCount("records dropped from the download log")) << "not an hour yet";
}

TEST_F(AutoDownloadTest, LoweringTheThresholdBelowTheGatheredCountDownloadsAtOnce) {
    SwitchOn(200, false);
    Start();
    for (int report = 0; report < 150; ++report) ASSERT_EQ(1, Add());
    // A download at 120 fails (its records stay); raising the threshold then asks for none.
    for (auto [threshold, downloads] :
         {std::pair<const char*, int>{"150", 0}, {"120", 1}, {"300", 1}}) {
        SetDownload(threshold, false);
        ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
        EXPECT_EQ(downloads, TraceCount("OnDownloadNow\n")) << threshold;
        EXPECT_EQ(downloads, TraceCount("Download: failed!\n")) << threshold;
    }
    EXPECT_EQ(300, mpManager->mDownloadCnt);
}

// The switch is on only for "true" and a missing key keeps it; the threshold, kept while the
// switch is off, is read as strtol reads it on the device, where 99999999999 saturates as a
// 32-bit long does.
TEST_F(AutoDownloadTest, TheSwitchAndTheThresholdAreReadAsOnTheDevice) {
    SwitchOn(0, true);
    SetDownload("50abc", true);
    TestManager& manager = Start();
    EXPECT_EQ(50, manager.mDownloadCnt);
    for (auto [switchLine, threshold, on, value] :
         {std::tuple<const char*, const char*, int, int>{"START_AUTO_DOWNLOAD_STAT=TRUE\n", "7", 0,
                                                         50},
          {"START_AUTO_DOWNLOAD_STAT=true\n", "abc", 1, 0},
          {"# no switch here\n", " -7", 1, -7},
          {"START_AUTO_DOWNLOAD_STAT=true\n", "99999999999", 1, 2147483647},
          {"START_AUTO_DOWNLOAD_STAT=yes\n", "7", 0, 2147483647}}) {
        WriteConfig("sysconfig/rc.conf", switchLine);
        SetDownload(threshold, true);
        ASSERT_EQ(1, manager.OnUpdateCDRDownloadSettings());
        EXPECT_EQ(on, manager.mAutoDownload) << switchLine;
        EXPECT_EQ(value, manager.mDownloadCnt) << threshold;
    }
    EXPECT_EQ(nullptr, manager.mpDownStatFile);
}

// The bound for other thresholds is FailingDeliveriesAreRetriedEveryStepAndTheLogStaysBounded's.
TEST_F(AutoDownloadTest, AZeroThresholdNeverDividesByZeroAndStaysBounded) {
    SwitchOn(0, false);
    Start();
    for (int report = 0; report < 30; ++report) ASSERT_EQ(1, Add());
    EXPECT_LE(LogCount(), 2u);
}

// A folder where the settings file should be: the settings stay as they were and recording goes
// on. (A damaged download log set aside is e2e/forgiving_test.sh's.)
TEST_F(AutoDownloadTest, AnUnreadableDownloadSettingsFileKeepsTheSettingsInForce) {
    SwitchOn(10, true);
    ASSERT_EQ(0, unlink(mEnv.Real("/conf/auto-down-stat.conf").c_str()));
    MakeDirs("/conf/auto-down-stat.conf");
    TestManager& manager = Start();
    EXPECT_EQ(1, Add(1));
    EXPECT_EQ(0, manager.mDownloadCnt);
    EXPECT_EQ(0, TraceCount("Auto Download Settings can't be read!\n"));
    EXPECT_EQ(1, TraceCount("open /conf/auto-down-stat.conf: a folder, not a regular file; its "
                            "settings stay as they were.\n"));
}

TEST_F(AutoDownloadTest, WithRecordingOffRecordsGoToTheLogOnlyTypeFirst) {
    WriteConfig("general-settings.conf", "cdr_enabled=0\ncdr_save_missed=2\n");
    SwitchOn(100, true);
    TestManager& manager = Start();
    SaveCountingEnv counting;
    ASSERT_EQ(1, Add(2));
    ASSERT_EQ(1, Add(2));
    EXPECT_EQ(0u, HeldRecords(1).size());
    EXPECT_EQ(2u, manager.mpFiles->mNextID[1]);
    EXPECT_EQ(1, counting.SavesOf(DownloadLogPath()));
    EXPECT_EQ(0, counting.SavesOf(MissedPath()));
    auto records = Records(DownloadLogPath(), "section");
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ((Entries{{"type", "2"}, {"ID", "1"}}),
              Entries(records[0].begin(), records[0].begin() + 2));
}

// A FIFO at the download log's path is neither opened, set aside nor removed: the log stays
// closed (reports are refused while automatic download is on, as without a log), also when
// automatic download is switched off, which removes a regular log.
TEST_F(AutoDownloadTest, ADownloadLogThatIsNotARegularFileStaysClosedAndInPlace) {
    SwitchOn(10, true);
    MakeDirs("/mnt/bbram/calldata");
    const std::string fifo = mEnv.Real(DownloadLogPath());
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    TestManager& manager = Start();
    EXPECT_EQ(nullptr, manager.mpDownStatFile);
    EXPECT_EQ(1, TraceCount("InitAutoDownloadSettings: /mnt/bbram/calldata/down_stat.log is a "
                            "FIFO, not a regular file; the download log stays closed (reports "
                            "are refused while automatic download is on), and the path is left "
                            "as it is.\n"));
    EXPECT_EQ(0, Add());
    WriteConfig("sysconfig/rc.conf", "START_AUTO_DOWNLOAD_STAT=false\n");
    ASSERT_EQ(1, manager.OnUpdateCDRDownloadSettings());
    EXPECT_EQ(1, TraceCount("the download log is left in place: remove "
                            "/mnt/bbram/calldata/down_stat.log: a FIFO, not a regular file.\n"));
    struct stat info;
    ASSERT_EQ(0, lstat(fifo.c_str(), &info));
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_FALSE(Exists(DownloadLogPath() + ".bad"));
    EXPECT_EQ(1, Add()) << "automatic download off: the databases record";
}

}  // namespace
