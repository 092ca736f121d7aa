// cdrctl status: what it prints and its exit status for a live, a troubled and a dead recorder,
// told apart by the instance lock, the health records and the queues.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "platform/config/configuration_root.h"
#include "platform/messaging/message_queue.h"
#include "platform/statistics/delivery_health.h"
#include "platform/util/file_util.h"
#include "state/health_record.h"
#include "state/instance_lock.h"
#include "support/recorder_fixture.h"
#include "support/test_env.h"
#include "tools/status.h"

namespace {

using ::testing::HasSubstr;

const time_t kNow = 1700003600;
const time_t kBootNow = 90000;

class CdrctlStatusTest : public ::testing::Test {
  protected:
    CdrctlStatusTest() {
        mEnv.SetTime(kNow, 0);
        mEnv.SetBootTime(kBootNow, 0);
        MakeDirs("/proc/sys/kernel/random");
        WriteFileAtomically(kBootIdPath, "boot-a\n", 0644);
        mRecord.pid = static_cast<int>(getpid());  // this process stands in for the recorder
        mRecord.started = kNow - 3600;
        mRecord.version = "0.1.0";
        mRecord.written = kNow - 5;
        for (StoreHealth& store : mRecord.stores) store.open = true;
        mRecord.stores[0] = {true, 12, 2, kNow - 60, Outcome::kOk, "", ""};
        for (int number : {kCallManagerQueueNumber, kWebSideQueueNumber}) {
            mQueues[number == kWebSideQueueNumber].Create(QueueNameOf(number, kRecorderQueuePath),
                                                          O_RDONLY | O_NONBLOCK);
        }
        MakeDirs("/run");
        mLock.reset(new InstanceLock(kRecorderLockPath));
        EXPECT_EQ(InstanceLock::Result::kAcquired, mLock->Acquire()) << mLock->error();
    }
    ~CdrctlStatusTest() override {
        for (MessageQueue& queue : mQueues) queue.Unlink();
    }
    CdrctlOutcome Status(bool json = false) {
        WriteFileAtomically(kHealthRecordPath, FormatHealthRecord(mRecord), 0600);
        return RunCdrctlCaptured(json ? std::vector<std::string>{"status", "--json"}
                                      : std::vector<std::string>{"status"});
    }
    // Runs status and expects it to exit with `status` and to print each of `texts`.
    void ExpectStatus(int status, std::initializer_list<std::string> texts, bool json = false) {
        CdrctlOutcome run = Status(json);
        EXPECT_EQ(status, run.status) << run.out;
        for (const std::string& text : texts) EXPECT_THAT(run.out, HasSubstr(text));
    }
    SandboxEnv mEnv;
    HealthRecord mRecord;
    MessageQueue mQueues[2];
    std::unique_ptr<InstanceLock> mLock;
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
        "delivery: automatic download off; outbox 0 files, 0 records\n"
        "recorder: running (pid " +
            std::to_string(getpid()) +
            "), version 0.1.0, started 2023-11-14 22:13:20; health record written "
            "2023-11-14 23:13:15; /ping-15 served, 0 of " +
            std::to_string(mQueues[0].Depth()) + " waiting; /ping-111 served, 0 of " +
            std::to_string(mQueues[1].Depth()) + " waiting; healthy\n",
        run.out);
}

// (An overdue delivery is checked end to end.)
TEST_F(CdrctlStatusTest, AFailedSaveAMissingQueueOrAClosedDatabaseNeedsAttention) {
    mRecord.stores[1] = {true, 40, 40, kNow - 1, Outcome::kFailed, "write /x: No space left", ""};
    ExpectStatus(kStatusAttention, {"missed:   40 records held, 40 not on storage; last save "
                                    "2023-11-14 23:13:19 failed: write /x: No space left\n",
                                    "attention: missed: 40 records not on storage, last save "
                                    "failed: write /x: No space left\n"});

    mRecord.stores[1].save = Outcome::kOk;
    mQueues[1].Unlink();
    ExpectStatus(kStatusAttention, {"attention: /ping-111: not served (no such queue)\n"});

    mQueues[1].Create(QueueNameOf(kWebSideQueueNumber, kRecorderQueuePath), O_RDONLY);
    mRecord.stores[2].open = false;
    mRecord.stores[2].openError = "/db is a FIFO, not a regular file";
    ExpectStatus(kStatusAttention,
                 {"failed:   not open: records are refused: /db is a FIFO, not a regular file\n",
                  "attention: failed: not open: /db is a FIFO, not a regular file\n"});
    ExpectStatus(kStatusAttention, {"\"open_error\":\"/db is a FIFO, not a regular file\""}, true);
}

// (The text form, and health once a download succeeds, are checked end to end.)
TEST_F(CdrctlStatusTest, RecordsDroppedFromTheDownloadLogNeedAttentionInJson) {
    mRecord.autoDownload = true;
    mRecord.dropped = 220;
    mRecord.droppingSince = kNow - 600;
    mRecord.dropReason = "write /o/stat.log.tmp: No space left on device";
    ExpectStatus(kStatusAttention,
                 {"\"dropped\":220,\"dropping_since\":1700003000,\"drop_reason\":\"write "
                  "/o/stat.log.tmp: No space left on device\"",
                  "\"problems\":[\"download log: 220 records dropped since 2023-11-14 23:03:20, "
                  "downloads failing: write /o/stat.log.tmp: No space left on device\"]"},
                 true);
}

TEST_F(CdrctlStatusTest, ADeadRecorderExits1AndItsRecordIsStale) {
    mLock.reset();
    mRecord.pid = EndedPid();
    mRecord.stores[0].save = Outcome::kFailed;  // no attention for a recorder that is gone
    CdrctlOutcome run = Status();
    EXPECT_EQ(kStatusNotRunning, run.status);
    EXPECT_THAT(run.out,
                HasSubstr("recorder: not running (pid " + std::to_string(mRecord.pid) +
                          " ended); health record stale since 2023-11-14 23:13:15; /ping-15 "
                          "left behind, not served, 0 of "));
    EXPECT_EQ(std::string::npos, run.out.find("attention")) << run.out;

    mEnv.Unlink(kHealthRecordPath);
    for (MessageQueue& queue : mQueues) queue.Unlink();
    run = RunCdrctlCaptured({"status"});
    EXPECT_EQ(kStatusNotRunning, run.status);
    EXPECT_EQ(
        "recorder: not running; no health record at /run/cdrd/health; /ping-15 missing (no "
        "such queue); /ping-111 missing (no such queue)\n",
        run.out);

    WriteFileAtomically(kHealthRecordPath, "pid=12\ngarbage\n", 0600);
    run = RunCdrctlCaptured({"status"});
    EXPECT_EQ(kStatusNotRunning, run.status);
    EXPECT_THAT(run.out, HasSubstr("health record /run/cdrd/health: line 2 is not key=value"));
}

// What a user other than the recorder's meets: the files and folders under `denied` paths cannot
// be opened or listed (EACCES).
class DeniedEnv : public ScopedEnv {
  public:
    explicit DeniedEnv(std::vector<std::string> denied) : mDenied(std::move(denied)) {}
    int Open(const char* path, int flags, int mode) override {
        return Denied(path) ? -1 : ScopedEnv::Open(path, flags, mode);
    }
    int ListFolder(const char* path, std::vector<std::string>* names) override {
        return Denied(path) ? -1 : ScopedEnv::ListFolder(path, names);
    }

  private:
    bool Denied(const char* path) {
        for (const std::string& denied : mDenied)
            if (std::string(path).compare(0, denied.size(), denied) == 0) return (errno = EACCES);
        return false;
    }
    std::vector<std::string> mDenied;
};

const char kOutbox[] = "/mnt/bbram/calldata/outbox/";

TEST_F(CdrctlStatusTest, AUserWithoutTheLockTakesLivenessFromTheRecordCheckedAgainstProc) {
    mRecord.autoDownload = true;
    WriteFileAtomically(ConfigurationRoot() + "auto-down-stat.conf", "download_cmd=false\n", 0600);
    WriteFileAtomically(kDeliveryRecordPath, FormatDeliveryRecord(DeliveryHealth()), 0600);
    WriteFileAtomically(std::string(kOutbox) + "stat-d-0000000001-20231114T231000Z.log", "", 0600);
    mRecord.startTicks = ProcessStartTicks(getpid());
    ASSERT_NE(0, mRecord.startTicks);
    DeniedEnv user({kRecorderLockPath, kDeliveryRecordPath, kOutbox + std::string("stat-")});
    ExpectStatus(kStatusHealthy, {"; outbox 1 file, records cannot tell: permission",
                                  "; agent cannot tell: permission\nrecorder: running (pid " +
                                      std::to_string(getpid()) + "), version 0.1.0"});
    // The pid now names a later process: same pid, another start.
    mRecord.startTicks += 1;
    ExpectStatus(kStatusNotRunning,
                 {"recorder: not running (pid " + std::to_string(getpid()) + " ended)"});
}

}  // namespace
