#include "platform/util/log_stream.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/util/file_util.h"
#include "support/fault_env.h"
#include "support/test_env.h"

namespace {

// The text of a log file, or "<absent>".
std::string Read(const std::string& path) {
    std::string text;
    return ReadWholeFile(path, &text) ? text : "<absent>";
}

// A line of `size` characters ending in "\n", starting with `tag`.
std::string Line(char tag, size_t size) {
    return std::string(size - 1, tag) + "\n";
}

TEST(LogStreamTest, HoldsTextUntilFlushedOrTheBufferIsFull) {
    SandboxEnv env;
    LogStream stream("t.log", true, false, 0, 1, 64, false);
    stream.TRACE("one\n", 3, 0);
    EXPECT_EQ("<absent>", Read("/tmp/logs/t.log"));
    stream.TRACE("two\n", 3, 1);
    EXPECT_EQ("one\ntwo\n", Read("/tmp/logs/t.log"));
    stream.TRACE("three\n", 3, 0);
    std::string big = Line('b', 100);  // larger than the buffer: written out at once
    stream.TRACE(big.c_str(), 3, 0);
    EXPECT_EQ("one\ntwo\nthree\n" + big, Read("/tmp/logs/t.log"));
}

TEST(LogStreamTest, AppendKeepsTheOldTextAndFreshStartEmptiesIt) {
    SandboxEnv env;
    WriteFileAtomically("/tmp/logs/t.log", "old\n");
    LogStream("t.log", true, false, 0, 1, 64, false).TRACE("new\n", 3, 1);
    EXPECT_EQ("old\nnew\n", Read("/tmp/logs/t.log"));
    LogStream("t.log", false, false, 0, 1, 64, false).TRACE("only\n", 3, 1);
    EXPECT_EQ("only\n", Read("/tmp/logs/t.log"));
}

TEST(LogStreamTest, RotatesAtTheCapCountingWhatTheFileHeld) {
    SandboxEnv env;
    WriteFileAtomically("/tmp/logs/t.log", Line('o', 80));
    LogStream stream("t.log", true, false, 100, 2, 64, false);
    for (char tag : {'a', 'b', 'c', 'd', 'e', 'f', 'g'}) stream.TRACE(Line(tag, 30).c_str(), 3, 1);
    // o(80) | a b c (90) | d e f (90) | g: three rotations, two backups kept
    EXPECT_EQ(Line('g', 30), Read("/tmp/logs/t.log"));
    EXPECT_EQ(Line('d', 30) + Line('e', 30) + Line('f', 30), Read("/tmp/logs/t.log.1"));
    EXPECT_EQ(Line('a', 30) + Line('b', 30) + Line('c', 30), Read("/tmp/logs/t.log.2"));
    EXPECT_EQ("<absent>", Read("/tmp/logs/t.log.3"));

    LogStream noBackup("u.log", true, false, 50, 0, 64, false);
    for (char tag : {'a', 'b', 'c'}) noBackup.TRACE(Line(tag, 30).c_str(), 3, 1);
    EXPECT_EQ(Line('c', 30), Read("/tmp/logs/u.log"));
    EXPECT_EQ("<absent>", Read("/tmp/logs/u.log.1"));
}

TEST(LogStreamTest, DropsTextWhileTheFolderIsFullOrUnusable) {
    SandboxEnv sandbox;
    WriteFileAtomically("/tmp", "a file where the folders should be");
    LogStream stream("t.log", true, false, 0, 1, 64, false);
    stream.TRACE("lost\n", 3, 1);
    sandbox.Unlink("/tmp");
    stream.TRACE("kept\n", 3, 1);
    EXPECT_EQ("kept\n", Read("/tmp/logs/t.log"));

    {
        FaultEnv full(&sandbox, FaultEnv::kWrite, 1, FaultEnv::kOnce, ENOSPC, FaultEnv::kEveryFile);
        stream.TRACE("lost too\n", 3, 1);
    }
    stream.TRACE("kept too\n", 3, 1);
    EXPECT_EQ("kept\nkept too\n", Read("/tmp/logs/t.log"));
}

// Each refusal sends the text to standard error after one line naming the reason. (A missing
// folder made owner-only, and a folder of another user, are e2e/trace_log_test.sh's.)
TEST(LogStreamTest, RefusesALinkAFifoAndAFolderOthersMayWriteInAndWritesToStandardError) {
    SandboxEnv sandbox;
    const std::string folder = sandbox.Real("/tmp/logs");
    LogStream("t.log", true, false, 0, 1, 64, false).TRACE("made\n", 3, 1);
    WriteFileAtomically("/etc/velk-conf/telephony/CDR_db", "{\nID=1\n}\n");
    ASSERT_EQ(0, symlink(sandbox.Real("/etc/velk-conf/telephony/CDR_db").c_str(),
                         (folder + "/link.log").c_str()));
    ASSERT_EQ(0, mkfifo((folder + "/fifo.log").c_str(), 0666));
    for (const std::string name : {"link", "fifo"}) {
        testing::internal::CaptureStderr();
        {
            LogStream stream((name + ".log").c_str(), true, false, 0, 1, 64, false);
            stream.TRACE("secret\n", 3, 1);
            stream.TRACE("more\n", 3, 1);
        }
        EXPECT_EQ("/tmp/logs/" + name + ".log is a " + (name == "link" ? "link" : "FIFO") +
                      ": not writing the log /tmp/logs/" + name +
                      ".log there, but to standard error\nsecret\nmore\n",
                  testing::internal::GetCapturedStderr());
    }
    EXPECT_EQ("{\nID=1\n}\n", Read("/etc/velk-conf/telephony/CDR_db"));

    ASSERT_EQ(0, chmod(folder.c_str(), 0777));
    testing::internal::CaptureStderr();
    LogStream("open.log", true, false, 0, 1, 64, false).TRACE("line\n", 3, 1);
    EXPECT_EQ(
        "/tmp/logs is writable by others: not writing the log /tmp/logs/open.log there, but "
        "to standard error\nline\n",
        testing::internal::GetCapturedStderr());
    EXPECT_EQ("<absent>", Read("/tmp/logs/open.log"));
}

}  // namespace
