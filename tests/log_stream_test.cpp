#include "platform/util/log_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/util/file_util.h"
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

// Text held unflushed counts towards the cap as if written: the files split between the same
// lines either way.
TEST(LogStreamTest, RotatesAtTheCapCountingWhatTheFileHeld) {
    for (unsigned char flushEach : {1, 0}) {
        SCOPED_TRACE(flushEach != 0 ? "each line flushed" : "lines held");
        SandboxEnv env;
        WriteFileAtomically("/tmp/logs/t.log", Line('o', 80));
        LogStream stream("t.log", true, false, 100, 2, 256, false);
        for (char tag : {'a', 'b', 'c', 'd', 'e', 'f', 'g'})
            stream.TRACE(Line(tag, 30).c_str(), 3, flushEach);
        stream.Flush();
        // o(80) | a b c (90) | d e f (90) | g: three rotations, two backups kept
        EXPECT_EQ(Line('g', 30), Read("/tmp/logs/t.log"));
        EXPECT_EQ(Line('d', 30) + Line('e', 30) + Line('f', 30), Read("/tmp/logs/t.log.1"));
        EXPECT_EQ(Line('a', 30) + Line('b', 30) + Line('c', 30), Read("/tmp/logs/t.log.2"));
        EXPECT_EQ("<absent>", Read("/tmp/logs/t.log.3"));
    }
}

// The last-word stream's held text goes out before a fork (the child inherits none) and from a
// signal handler, once: a later flush does not write it again.
TEST(LogStreamTest, HeldTextOfTheLastWordStreamGoesOutOnceBeforeAForkOrFromASignalHandler) {
    SandboxEnv env;
    {
        LogStream stream("t.log", true, false, 0, 1, 256, false);
        stream.BecomeLastWordStream();
        stream.TRACE("before fork\n", 3, 0);
        const pid_t child = fork();
        if (child == 0) _exit(stream.HasHeld() ? 1 : 0);
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child held text";
        EXPECT_EQ("before fork\n", Read("/tmp/logs/t.log"));

        stream.TRACE("before signal\n", 3, 0);
        LogStream::WriteHeldFromSignalHandler();
        EXPECT_FALSE(stream.HasHeld());
        stream.Flush();
        EXPECT_EQ("before fork\nbefore signal\n", Read("/tmp/logs/t.log"));
        stream.TRACE("at the end\n", 3, 0);
    }
    LogStream::WriteHeldFromSignalHandler();  // the stream is gone: nothing to write
    EXPECT_EQ("before fork\nbefore signal\nat the end\n", Read("/tmp/logs/t.log"));
}

// Two streams on one file stand for the recorder and its delivery agent: each has its own open
// file and its own count of the file's size.
TEST(LogStreamTest, TwoWritersOfOneFileRotateItOnceAndKeepEveryLine) {
    SandboxEnv env;
    env.SetTime(1000, 0);
    LogStream first("t.log", true, false, 100, 1, 64, false);
    LogStream second("t.log", true, false, 100, 1, 64, false);
    first.TRACE(Line('a', 40).c_str(), 3, 1);
    second.TRACE(Line('b', 40).c_str(), 3, 1);
    env.SetTime(1001, 0);
    second.TRACE(Line('x', 10).c_str(), 3, 1);  // 90 bytes
    // The first stream counted 40 bytes; a second later it has the file's real size, 90, and
    // rotates before its line would take the file past 100.
    first.TRACE(Line('c', 40).c_str(), 3, 1);
    EXPECT_EQ(Line('a', 40) + Line('b', 40) + Line('x', 10), Read("/tmp/logs/t.log.1"));
    // Still in the same second, the second stream writes into the file it holds open, now
    // t.log.1: the line is kept there.
    second.TRACE(Line('y', 5).c_str(), 3, 1);
    // By its count this line passes the cap; under the lock it finds the file the first stream
    // started, with room, and writes there instead of rotating that one away.
    second.TRACE(Line('d', 20).c_str(), 3, 1);
    EXPECT_EQ(Line('c', 40) + Line('d', 20), Read("/tmp/logs/t.log"));
    EXPECT_EQ(Line('a', 40) + Line('b', 40) + Line('x', 10) + Line('y', 5),
              Read("/tmp/logs/t.log.1"));
    first.TRACE(Line('e', 40).c_str(), 3, 1);  // 100 bytes; the second stream counted 60
    env.SetTime(1002, 0);
    second.TRACE(Line('f', 40).c_str(), 3, 1);
    EXPECT_EQ(Line('f', 40), Read("/tmp/logs/t.log"));
    EXPECT_EQ(Line('c', 40) + Line('d', 20) + Line('e', 40), Read("/tmp/logs/t.log.1"));
}

TEST(LogStreamTest, AFailedRenameKeepsTheFileAndWritesOnPastTheCapUntilARenameWorks) {
    SandboxEnv env;
    env.SetTime(1000, 0);
    MakeDirs("/tmp/logs/t.log.1");
    LogStream stream("t.log", true, false, 100, 1, 64, false);
    for (char tag : {'a', 'b', 'c'}) stream.TRACE(Line(tag, 60).c_str(), 3, 1);
    env.SetTime(1001, 0);  // the rename is tried again, and fails again
    stream.TRACE(Line('d', 60).c_str(), 3, 1);
    const std::string warning =
        "00:16:40.000  <WARNING> /tmp/logs/t.log is not rotated: cannot rename it to "
        "/tmp/logs/t.log.1 (Is a directory); lines go on past its limit of 100 bytes\n";
    const std::string kept =
        Line('a', 60) + warning + Line('b', 60) + Line('c', 60) + Line('d', 60);
    EXPECT_EQ(kept, Read("/tmp/logs/t.log"));

    ASSERT_EQ(0, rmdir(env.Real("/tmp/logs/t.log.1").c_str()));
    env.SetTime(1002, 0);
    stream.TRACE(Line('e', 60).c_str(), 3, 1);
    EXPECT_EQ(kept, Read("/tmp/logs/t.log.1"));
    EXPECT_EQ(Line('e', 60), Read("/tmp/logs/t.log"));
}

TEST(LogStreamTest, WhileAnotherWriterHoldsTheLockTheTextGoesPastTheCapAndRotatesLater) {
    SandboxEnv env;
    MakeDirs("/tmp/logs");
    int folder = open(env.Real("/tmp/logs").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_LE(0, folder);
    ASSERT_EQ(0, flock(folder, LOCK_EX));
    LogStream stream("t.log", true, false, 100, 1, 64, false);
    stream.TRACE(Line('a', 60).c_str(), 3, 1);
    stream.TRACE(Line('b', 60).c_str(), 3, 1);
    EXPECT_EQ(Line('a', 60) + Line('b', 60), Read("/tmp/logs/t.log"));
    EXPECT_EQ("<absent>", Read("/tmp/logs/t.log.1"));
    close(folder);
    stream.TRACE(Line('c', 60).c_str(), 3, 1);
    EXPECT_EQ(Line('a', 60) + Line('b', 60), Read("/tmp/logs/t.log.1"));
    EXPECT_EQ(Line('c', 60), Read("/tmp/logs/t.log"));
}

// (A full folder is e2e/storage_test.sh's.)
TEST(LogStreamTest, DropsTextWhileTheFolderIsUnusable) {
    SandboxEnv sandbox;
    WriteFileAtomically("/tmp", "a file where the folders should be");
    LogStream stream("t.log", true, false, 0, 1, 64, false);
    stream.TRACE("lost\n", 3, 1);
    sandbox.Unlink("/tmp");
    stream.TRACE("kept\n", 3, 1);
    EXPECT_EQ("kept\n", Read("/tmp/logs/t.log"));
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
