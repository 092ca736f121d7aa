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
    void SetUp() override {
        setenv("VELK_PATH", "/conf/", 1);
        MakeDirs("/run");
        MakeDirs("/conf/telephony");
    }
    void TearDown() override { unsetenv("VELK_PATH"); }

    mode_t Mode(const std::string& path) {
        struct stat status = {};
        stat(mEnv.Real(path).c_str(), &status);
        return status.st_mode & 07777;
    }

    std::string FileText() { return ReadRealFile(mEnv.Real(kRecorderLockPath)); }

    SandboxEnv mEnv;
};

// A second recorder, and cdrctl status, read the holder's pid from the file; nobody else may
// open it, since whoever can open it can hold a shared lock on it and keep the recorder out.
TEST_F(InstanceLockTest, TheHolderWritesItsPidIntoAFileNobodyElseMayOpen) {
    InstanceLock lock(kRecorderLockPath);
    ASSERT_EQ(lock.Acquire(), InstanceLock::Result::kAcquired) << lock.error();
    EXPECT_TRUE(lock.error().empty());
    EXPECT_EQ(FileText(), std::to_string(getpid()) + "\n");
    EXPECT_EQ(Mode(kRecorderLockPath), 0600u);

    // A lock file left open to others by an older recorder is closed to them.
    const std::string old = "/run/old.lock";
    WriteFileAtomically(old, "1\n", 0644);
    InstanceLock again(old);
    ASSERT_EQ(again.Acquire(), InstanceLock::Result::kAcquired) << again.error();
    EXPECT_EQ(Mode(old), 0600u);
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

// cdrctl status finds the recorder by whichever of its two locks it holds.
TEST_F(InstanceLockTest, TheHolderIsFoundBesideTheDatabasesWhenTheRuntimeFolderCannotHoldIt) {
    EXPECT_EQ(FallbackLockPath(), "/conf/telephony/cdrd.lock");
    std::string error;
    EXPECT_EQ(RecorderLockHolder(&error), 0) << error;
    ASSERT_EQ(mkdir(mEnv.Real(kRecorderLockPath).c_str(), 0755), 0);
    EXPECT_EQ(RecorderLockHolder(&error), -1);
    EXPECT_NE(error.find("/run/cdrd.lock"), std::string::npos) << error;
    InstanceLock fallback(FallbackLockPath());
    ASSERT_EQ(fallback.Acquire(), InstanceLock::Result::kAcquired) << fallback.error();
    EXPECT_EQ(RecorderLockHolder(&error), getpid());
}

TEST_F(InstanceLockTest, NeverGoesThroughALinkOrIntoAnythingButAFile) {
    const std::string target = "/run/elsewhere";
    WriteFileAtomically(target, "precious\n");
    ASSERT_EQ(symlink(mEnv.Real(target).c_str(), mEnv.Real(kRecorderLockPath).c_str()), 0);
    InstanceLock lock(kRecorderLockPath);
    EXPECT_EQ(lock.Acquire(), InstanceLock::Result::kFailed);
    EXPECT_NE(lock.error().find("cannot open the instance lock /run/cdrd.lock: "),
              std::string::npos)
        << lock.error();
    std::string error;
    EXPECT_EQ(InstanceLockHolder(kRecorderLockPath, &error), -1);
    EXPECT_FALSE(error.empty());
    std::string text;
    ASSERT_TRUE(ReadWholeFile(target, &text));
    EXPECT_EQ(text, "precious\n");

    ASSERT_EQ(unlink(mEnv.Real(kRecorderLockPath).c_str()), 0);
    ASSERT_EQ(mkfifo(mEnv.Real(kRecorderLockPath).c_str(), 0644), 0);
    EXPECT_EQ(lock.Acquire(), InstanceLock::Result::kFailed);
    EXPECT_EQ(lock.error(), "cannot open the instance lock /run/cdrd.lock: not a regular file");
}

}  // namespace
