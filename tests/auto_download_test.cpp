#include <gtest/gtest.h>
#include <unistd.h>

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
    SetDownload("100", true);
    ASSERT_EQ(1, mpManager->OnUpdateCDRDownloadSettings());
    for (int report = 0; report < 10 && LogCount() > 1; ++report) ASSERT_EQ(1, Add());
    EXPECT_EQ(1u, LogCount()) << "a success empties the log; the new record starts it again";
    EXPECT_EQ(1, TraceCount("<WARNING> 120 records dropped from the download log: list "
                            "outbox /blocked/outbox/: Not a directory.\n"))
        << "12 trims of 10, counted once downloads succeed again";
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
    WriteFileAtomically(DownloadLogPath(), "left over");
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

// A folder where the switch file should be: the reading stops, whatever was set stays, and the
// download log keeps its records, at start-up and on the reload request alike.
TEST_F(AutoDownloadTest, AnUnreadableSwitchFileStopsTheReadingAndKeepsTheDownloadLog) {
    WriteConfig("general-settings.conf", "cdr_save_stated=1\n");
    SwitchOn(100, true);
    Start();
    for (int report = 0; report < 3; ++report) ASSERT_EQ(1, Add());
    ASSERT_EQ(0, unlink(mEnv.Real("/conf/sysconfig/rc.conf").c_str()));
    MakeDirs("/conf/sysconfig/rc.conf");

    const Configuration::MultiSectionFile* log = mpManager->mpDownStatFile;
    EXPECT_EQ(0, mpManager->OnUpdateCDRDownloadSettings());
    EXPECT_EQ(1, mpManager->mAutoDownload);
    EXPECT_EQ(100, mpManager->mDownloadCnt);
    EXPECT_EQ(log, mpManager->mpDownStatFile) << "the open log stays open";
    EXPECT_EQ(0, TraceCount("Auto Download Settings can't be read!\n")) << "a start-up line only";
    EXPECT_EQ(1, TraceCount("<WARNING> InitAutoDownloadSettings stopped: open "
                            "/conf/sysconfig/rc.conf: a folder, not a regular file;"));
    ASSERT_EQ(1, Add());
    EXPECT_EQ(4u, LogCount());
    EXPECT_EQ(4u, Records(DownloadLogPath(), "section").size());

    TestManager& manager = Start();
    const std::string line = "Auto Download Settings can't be read!\n";
    const std::string trace = ReadFile("/tmp/logs/cdr.log");
    const size_t at = trace.find(line);
    ASSERT_NE(std::string::npos, at);
    const size_t next = at + line.size();
    EXPECT_EQ(trace.find("<WARNING> InitAutoDownloadSettings stopped", next),
              trace.find("<WARNING>", next))
        << "the reason follows on the next line";
    EXPECT_EQ(std::string::npos,
              trace.substr(next, trace.find("<WARNING>", next) - next).find('\n'));
    EXPECT_EQ(1, TraceCount(line));
    EXPECT_EQ(2, TraceCount("InitAutoDownloadSettings stopped: open /conf/sysconfig/rc.conf"));
    EXPECT_EQ(0, manager.mAutoDownload) << "off since construction: the switch was never read";
    EXPECT_EQ(nullptr, manager.mpDownStatFile);
    EXPECT_EQ(4u, Records(DownloadLogPath(), "section").size()) << "the log and its records stay";
    ASSERT_EQ(1, Add());
    EXPECT_EQ(5u, Records(StatedPath()).size()) << "recording goes on";
    EXPECT_EQ(4u, Records(DownloadLogPath(), "section").size());
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
    EXPECT_EQ("type", records[0][0].first);
    EXPECT_EQ("2", records[0][0].second);
    EXPECT_EQ("ID", records[0][1].first);
    EXPECT_EQ("1", records[0][1].second);
}

// (A download asked for while automatic download is on is e2e/download_test.sh's: the log is
// emptied on storage and its records delivered.)
TEST_F(AutoDownloadTest, ADownloadAskedForWhileAutomaticDownloadIsOffFails) {
    TestManager& manager = Start();
    EXPECT_EQ(0, manager.OnDownloadNow()) << "off: no log to deliver";
    EXPECT_EQ(1, TraceCount("Download: failed!\n"));
}

}  // namespace
