// cdrctl status: what it prints and its exit status for a live, a troubled and a dead recorder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/util/file_util.h"
#include "platform/util/health_record.h"
#include "support/cdrctl_run.h"
#include "support/test_env.h"
#include "tools/status.h"

namespace {

const time_t kNow = 1700003600;

class CdrctlStatusTest : public ::testing::Test {
  protected:
    CdrctlStatusTest() {
        mEnv.SetTime(kNow, 0);
        mRecord.pid = static_cast<int>(getpid());  // a live process stands in for the recorder
        mRecord.started = kNow - 3600;
        mRecord.version = "0.1.0";
        mRecord.written = kNow - 5;
        for (StoreHealth& store : mRecord.stores) store.open = true;
        mRecord.stores[0] = {true, 12, 2, kNow - 60, Outcome::kOk, ""};
    }
    CdrctlOutcome Status(bool json = false) {
        WriteFileAtomically(kHealthRecordPath, FormatHealthRecord(mRecord), 0600);
        return RunCdrctlCaptured(json ? std::vector<std::string>{"status", "--json"}
                                      : std::vector<std::string>{"status"});
    }
    SandboxEnv mEnv;
    HealthRecord mRecord;
};

// A pid that no process holds: a child that has ended and been reaped.
int EndedPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return static_cast<int>(child);
}

TEST_F(CdrctlStatusTest, ALiveHealthyRecorderExits0WithALinePerDatabaseDeliveryAndRecorder) {
    CdrctlOutcome run = Status();
    EXPECT_EQ(kStatusHealthy, run.status) << run.out;
    EXPECT_EQ(
        "stated:   12 records held, 2 not on storage; last save 2023-11-14 23:12:20 ok\n"
        "missed:   0 records held, 0 not on storage; no save yet\n"
        "failed:   0 records held, 0 not on storage; no save yet\n"
        "delivery: automatic download off\n"
        "recorder: running, pid " +
            std::to_string(getpid()) +
            ", version 0.1.0, started 2023-11-14 22:13:20; health record written "
            "2023-11-14 23:13:15; healthy\n",
        run.out);
}

TEST_F(CdrctlStatusTest, AFailedSaveOrAnOverdueDeliveryNeedsAttention) {
    mRecord.stores[1] = {true, 40, 40, kNow - 1, Outcome::kFailed, "write /x: No space left"};
    CdrctlOutcome run = Status();
    EXPECT_EQ(kStatusAttention, run.status);
    EXPECT_NE(run.out.find("missed:   40 records held, 40 not on storage; last save 2023-11-14 "
                           "23:13:19 failed: write /x: No space left\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("attention: missed: 40 records not on storage, last save failed: "
                           "write /x: No space left\n"),
              std::string::npos)
        << run.out;

    mRecord.stores[1].save = Outcome::kOk;
    mRecord.autoDownload = true;
    mRecord.delivery = Outcome::kFailed;
    mRecord.deliveryTime = kNow - 10;
    mRecord.failingSince = kNow - 59 * 60;
    EXPECT_EQ(kStatusHealthy, Status().status) << "failing for less than the alarm delay";
    mRecord.failingSince = kNow - 61 * 60;
    run = Status();
    EXPECT_EQ(kStatusAttention, run.status);
    EXPECT_NE(run.out.find("failing since 2023-11-14 22:12:20 (61 min; alarm after 60)"),
              std::string::npos)
        << run.out;

    mRecord.failingSince = 0;
    mRecord.stores[HealthRecord::kDownloadLog].open = false;
    EXPECT_EQ(kStatusAttention, Status().status) << "automatic download on without a log";
}

TEST_F(CdrctlStatusTest, ADeadRecorderExits1AndItsRecordIsStale) {
    mRecord.pid = EndedPid();
    mRecord.stores[0].save = Outcome::kFailed;  // no attention for a recorder that is gone
    CdrctlOutcome run = Status();
    EXPECT_EQ(kStatusNotRunning, run.status);
    EXPECT_NE(run.out.find("recorder: not running (pid " + std::to_string(mRecord.pid) +
                           " ended); health record stale since 2023-11-14 23:13:15\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("attention")) << run.out;
    run = Status(true);
    EXPECT_EQ(kStatusNotRunning, run.status);
    EXPECT_NE(run.out.find("\"state\":\"not running\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"stale_since\":" + std::to_string(kNow - 5)), std::string::npos);

    mEnv.Unlink(kHealthRecordPath);
    run = RunCdrctlCaptured({"status"});
    EXPECT_EQ(kStatusNotRunning, run.status);
    EXPECT_EQ("recorder: not running (no health record at /run/cdrd/health)\n", run.out);

    WriteFileAtomically(kHealthRecordPath, "pid=12\ngarbage\n", 0600);
    run = RunCdrctlCaptured({"status"});
    EXPECT_EQ(kStatusNotRunning, run.status);
    EXPECT_EQ("cdrctl: health record /run/cdrd/health: line 2 is not key=value\n", run.err);
}

}  // namespace
