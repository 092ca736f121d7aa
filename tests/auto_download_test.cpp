#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/util/file_util.h"
#include "support/recorder_fixture.h"
#include "support/save_counting_env.h"

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
        WriteFile("/blocked", "a file, not a folder");
        WriteConfig("auto-down-stat.conf",
                    "download_cnt=" + threshold +
                        "\ndownload_dir=" + (delivered ? "/outbox/" : "/blocked/outbox/") + "\n");
    }
    int FailedAttempts() { return TraceCount("cannot be put in the outbox"); }
    int Add(int type = 1) { return mpManager->OnAddCDR(type, MakeReport(7, "x"), nullptr); }
    unsigned LogCount() { return mpManager->mpDownStatFile->GetSectionCount(); }
    std::vector<std::string> DeliveredFiles() {
        std::vector<std::string> names;
        DIR* dir = opendir(mEnv.Real("/outbox").c_str());
        if (dir == nullptr) return names;
        while (struct dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        }
        closedir(dir);
        return names;
    }
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
    SetDownload("100", true);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    for (int report = 0; report < 10 && LogCount() > 1; ++report) ASSERT_EQ(1, Add());
    EXPECT_EQ(1u, LogCount()) << "a success empties the log; the new record starts it again";
}

TEST_F(AutoDownloadTest, LoweringTheThresholdBelowTheGatheredCountDownloadsAtOnce) {
    SwitchOn(200, false);
    Start();
    for (int report = 0; report < 150; ++report) ASSERT_EQ(1, Add());
    SetDownload("150", false);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    EXPECT_EQ(0, TraceCount("OnDownloadNow\n"));
    SetDownload("120", false);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    EXPECT_EQ(1, TraceCount("OnDownloadNow\n"));
    EXPECT_EQ(1, TraceCount("Download: failed!\n"));
    EXPECT_EQ(120, mpManager->mDownloadCnt);
    SetDownload("300", true);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    EXPECT_EQ(1, TraceCount("OnDownloadNow\n"));
}

TEST_F(AutoDownloadTest, TheSwitchIsOnOnlyForTrueAndAMissingKeyKeepsIt) {
    WriteConfig("sysconfig/rc.conf", "START_AUTO_DOWNLOAD_STAT=TRUE\n");
    WriteFile(DownloadLogPath(), "left over");
    TestManager& manager = Start();
    EXPECT_EQ(0, manager.mAutoDownload);
    EXPECT_FALSE(Exists(DownloadLogPath())) << "switched off: the log file goes, open or not";
    SwitchOn(10, true);
    ASSERT_EQ(1, manager.OnUpdateCDRDownloadSettings());
    EXPECT_EQ(1, manager.mAutoDownload);
    WriteConfig("sysconfig/rc.conf", "# no switch here\n");
    ASSERT_EQ(1, manager.OnUpdateCDRDownloadSettings());
    EXPECT_EQ(1, manager.mAutoDownload);
    WriteConfig("sysconfig/rc.conf", "START_AUTO_DOWNLOAD_STAT=yes\n");
    ASSERT_EQ(1, manager.OnUpdateCDRDownloadSettings());
    EXPECT_EQ(0, manager.mAutoDownload);
    EXPECT_EQ(nullptr, manager.mpDownStatFile);
    EXPECT_EQ(10, manager.mDownloadCnt) << "the threshold survives an off period";
}

TEST_F(AutoDownloadTest, TheThresholdIsReadLikeStrtol) {
    SwitchOn(0, true);
    SetDownload("50abc", true);
    EXPECT_EQ(50, Start().mDownloadCnt);
    SetDownload(" -7", true);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    EXPECT_EQ(-7, mpManager->mDownloadCnt);
    SetDownload("abc", true);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    EXPECT_EQ(0, mpManager->mDownloadCnt);
    SetDownload("99999999999", true);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    EXPECT_EQ(2147483647, mpManager->mDownloadCnt) << "saturates as on a 32-bit device";
}

TEST_F(AutoDownloadTest, SmallThresholdsNeverDivideByZeroAndStayBounded) {
    SwitchOn(0, false);
    Start();
    for (int report = 0; report < 30; ++report) ASSERT_EQ(1, Add());
    EXPECT_LE(LogCount(), 2u);
    SetDownload("5", false);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    for (int report = 0; report < 30; ++report) ASSERT_EQ(1, Add());
    EXPECT_LE(LogCount(), 10u);
}

// A folder where the log should be is set aside like a damaged log, and recording goes on; the
// settings in a file that cannot be read stay as they were.
TEST_F(AutoDownloadTest, AnUnreadableLogIsSetAsideAndRecordingGoesOn) {
    SwitchOn(10, true);
    MakeDirs(DownloadLogPath());
    ASSERT_EQ(0, unlink(mEnv.Real("/conf/auto-down-stat.conf").c_str()));
    MakeDirs("/conf/auto-down-stat.conf");
    TestManager& manager = Start();
    EXPECT_EQ(1, Add(1));
    EXPECT_EQ(1u, LogCount());
    EXPECT_EQ(0, manager.mDownloadCnt);
    EXPECT_EQ(0, TraceCount("Auto Download Settings can't be read!\n"));
    const std::string log = DownloadLogPath();
    EXPECT_EQ(1, TraceCount("InitAutoDownloadSettings: the download log cannot be read (open " +
                            log + ": a folder, not a regular file).\n"));
    EXPECT_EQ(1, TraceCount("InitAutoDownloadSettings: " + log + " kept as " + log + ".bad.\n"));
    EXPECT_EQ(1, TraceCount("open /conf/auto-down-stat.conf: a folder, not a regular file; its "
                            "settings stay as they were.\n"));
}

TEST_F(AutoDownloadTest, WithRecordingOffRecordsGoToTheLogOnlyTypeFirst) {
    WriteConfig("general-settings.conf", "cdr_enabled=0\ncdr_save_missed=2\n");
    SwitchOn(100, true);
    TestManager& manager = Start();
    SaveCountingEnv counting(&mEnv);
    ASSERT_EQ(1, Add(2));
    ASSERT_EQ(1, Add(2));
    EXPECT_EQ(0u, HeldRecords(1).size());
    EXPECT_EQ(2u, manager.mpFiles->mNextID[1]);
    EXPECT_EQ(1, counting.SavesOf(DownloadLogPath()));
    EXPECT_EQ(0, counting.SavesOf(MissedPath()));
    auto records = Records(DownloadLogPath(), "section");
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("type", records[0][0].first);
    EXPECT_EQ("2", records[0][0].second);
    EXPECT_EQ("ID", records[0][1].first);
    EXPECT_EQ("1", records[0][1].second);
}

TEST_F(AutoDownloadTest, DownloadNowDeliversEmptiesAndSavesTheLog) {
    TestManager& manager = Start();
    EXPECT_EQ(0, manager.OnDownloadNow()) << "off: no log to deliver";
    EXPECT_EQ(1, TraceCount("Download: failed!\n"));
    SwitchOn(100, true);
    ASSERT_EQ(1, manager.OnUpdateCDRDownloadSettings());
    for (int report = 0; report < 3; ++report) ASSERT_EQ(1, Add(4));
    const std::string delivered = manager.mpDownStatFile->Text();
    EXPECT_EQ(1, manager.OnDownloadNow());
    EXPECT_EQ(1, TraceCount("Download: done!\n"));
    EXPECT_EQ(0u, Records(DownloadLogPath(), "section").size()) << "saved at once";
    EXPECT_EQ(0u, LogCount());
    EXPECT_EQ(3u, manager.mpFiles->mUnsaved[2]) << "the databases are not touched";
    std::vector<std::string> files = DeliveredFiles();
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(delivered, ReadFile("/outbox/" + files[0]));
}

}  // namespace
