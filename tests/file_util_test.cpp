#include "platform/util/file_util.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/fault_env.h"
#include "support/test_env.h"

namespace {

TEST(FileUtilTest, WritesCreatingParentsAndReadsBack) {
    SandboxEnv env;
    WriteFileAtomically("/a/b/c/file", "hello");
    std::string text;
    ASSERT_TRUE(ReadWholeFile("/a/b/c/file", &text));
    EXPECT_EQ("hello", text);
    EXPECT_FALSE(ReadWholeFile("/a/b/c/missing", &text));
    EXPECT_TRUE(text.empty());
}

TEST(FileUtilTest, EveryFailingStepReachesTheCallerAndLeavesAWholeFile) {
    SandboxEnv sandbox;
    for (auto call : {FaultEnv::kWrite, FaultEnv::kFsync, FaultEnv::kRename}) {
        for (int nth = 1; nth <= 2; ++nth) {
            WriteFileAtomically("/db", "old");
            bool threw = false;
            {
                FaultEnv failing(&sandbox, call, nth);
                try {
                    WriteFileAtomically("/db", "new");
                } catch (const FileError& e) {
                    threw = true;
                    EXPECT_EQ(EIO, e.error());
                }
            }
            std::string text;
            ASSERT_TRUE(ReadWholeFile("/db", &text));
            // The second sync is the folder's, after the rename: either content is whole then.
            const bool afterRename = call == FaultEnv::kFsync && nth == 2;
            if (threw && !afterRename) {
                EXPECT_EQ("old", text) << "call " << call << " #" << nth;
            }
            EXPECT_TRUE(text == "old" || text == "new");
            struct stat st;
            EXPECT_NE(0, stat(sandbox.Real("/db.tmp").c_str(), &st));
        }
    }
}

TEST(FileUtilTest, APlantedLinkBesideTheTargetIsNotFollowed) {
    SandboxEnv env;
    WriteFileAtomically("/victim", "precious");
    ASSERT_EQ(0, symlink(env.Real("/victim").c_str(), env.Real("/db.tmp").c_str()));
    WriteFileAtomically("/db", "data");
    std::string text;
    ASSERT_TRUE(ReadWholeFile("/victim", &text));
    EXPECT_EQ("precious", text);
    ASSERT_TRUE(ReadWholeFile("/db", &text));
    EXPECT_EQ("data", text);
}

TEST(FileUtilTest, DirName) {
    EXPECT_EQ("a/b", DirName("a/b/c"));
    EXPECT_EQ(".", DirName("c"));
    EXPECT_EQ("/", DirName("/c"));
}

}  // namespace
