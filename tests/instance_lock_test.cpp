#include "state/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/util/file_util.h"
#include "support/fault_env.h"
#include "support/test_env.h"

namespace {

class InstanceLockTest : public ::testing::Test {
  protected:
    void SetUp() override { MakeDirs("/run"); }

    SandboxEnv mEnv;
};

// Whoever can open the lock file can hold a shared lock on it and keep the recorder out: a lock
// file left open to others by an older recorder is closed to them. (The mode and the pid of a
// fresh lock are checked end to end.)
TEST_F(InstanceLockTest, ALockFileLeftOpenToOthersIsClosedToThem) {
    const std::string old = "/run/old.lock";
    WriteFileAtomically(old, "1\n", 0644);
    InstanceLock lock(old);
    ASSERT_EQ(lock.Acquire(), InstanceLock::Result::kAcquired) << lock.error();
    EXPECT_TRUE(lock.error().empty());
    struct stat status = {};
    ASSERT_EQ(stat(mEnv.Real(old).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST_F(InstanceLockTest, AFileOfAnotherUserIsNeverTaken) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    WriteFileAtomically(kRecorderLockPath, "", 0600);
    ASSERT_EQ(chown(mEnv.Real(kRecorderLockPath).c_str(), 65534, 65534), 0);
    InstanceLock lock(kRecorderLockPath);
    EXPECT_EQ(lock.Acquire(), InstanceLock::Result::kFailed);
    EXPECT_EQ(lock.error(),
              "cannot use the instance lock /run/cdrd.lock: owned by user 65534, not by this one");
}

// A pid that cannot be written (a full runtime folder) must not let a second recorder in.
TEST_F(InstanceLockTest, ALockWhosePidCannotBeWrittenIsKept) {
    InstanceLock lock(kRecorderLockPath);
    {
        FaultEnv full(Env::Current(), FaultEnv::kWrite, 1, FaultEnv::kFromThenOn, ENOSPC);
        ASSERT_EQ(lock.Acquire(), InstanceLock::Result::kAcquired);
    }
    EXPECT_EQ(
        lock.error(),
        "cannot write the pid into the instance lock /run/cdrd.lock: No space left on device");
    InstanceLock second(kRecorderLockPath);
    EXPECT_EQ(second.Acquire(), InstanceLock::Result::kHeld);
    EXPECT_EQ(second.holder(), 0);
}

}  // namespace
