#include "platform/util/instance_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/util/file_util.h"
#include "support/test_env.h"

namespace {

class InstanceLockTest : public ::testing::Test {
  protected:
    void SetUp() override { MakeDirs("/run"); }

    std::string FileText() {
        std::ifstream file(mEnv.Real(kRecorderLockPath));
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    SandboxEnv mEnv;
};

TEST_F(InstanceLockTest, OneHolderAtATimeNamedByItsPid) {
    std::string error;
    EXPECT_EQ(InstanceLockHolder(kRecorderLockPath, &error), 0);  // no file yet
    {
        InstanceLock first(kRecorderLockPath);
        ASSERT_EQ(first.Acquire(), InstanceLock::Result::kAcquired) << first.error();
        EXPECT_EQ(FileText(), std::to_string(getpid()) + "\n");
        struct stat status;
        ASSERT_EQ(stat(mEnv.Real(kRecorderLockPath).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777 & ~0644u, 0u);
        EXPECT_EQ(InstanceLockHolder(kRecorderLockPath, &error), getpid());

        // Another process cannot take it and learns who holds it.
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            InstanceLock second(kRecorderLockPath);
            bool named = second.Acquire() == InstanceLock::Result::kHeld &&
                         second.holder() == getppid() &&
                         InstanceLockHolder(kRecorderLockPath, nullptr) == getppid();
            _exit(named ? 0 : 1);
        }
        int status_code = 0;
        ASSERT_EQ(waitpid(child, &status_code, 0), child);
        EXPECT_TRUE(WIFEXITED(status_code) && WEXITSTATUS(status_code) == 0);
        EXPECT_EQ(FileText(), std::to_string(getpid()) + "\n");  // the loser wrote nothing
    }
    // Released: the stale pid left in the file does not count as a holder.
    EXPECT_EQ(InstanceLockHolder(kRecorderLockPath, &error), 0);
    InstanceLock again(kRecorderLockPath);
    EXPECT_EQ(again.Acquire(), InstanceLock::Result::kAcquired) << again.error();
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
