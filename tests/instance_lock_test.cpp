#include "platform/util/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/util/file_util.h"
#include "support/test_env.h"

namespace {

class InstanceLockTest : public ::testing::Test {
  protected:
    void SetUp() override { MakeDirs("/run"); }

    std::string FileText() { return ReadRealFile(mEnv.Real(kRecorderLockPath)); }

    SandboxEnv mEnv;
};

// A second recorder, and cdrctl status, read the holder's pid from the file; nobody else may
// write a pid into it.
TEST_F(InstanceLockTest, TheHolderWritesItsPidIntoAFileOnlyItsOwnerMayWrite) {
    InstanceLock lock(kRecorderLockPath);
    ASSERT_EQ(lock.Acquire(), InstanceLock::Result::kAcquired) << lock.error();
    EXPECT_EQ(FileText(), std::to_string(getpid()) + "\n");
    struct stat status;
    ASSERT_EQ(stat(mEnv.Real(kRecorderLockPath).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 022, 0u);
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
