#include "platform/util/log_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
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

// Runs `body` with standard error going to a file; returns what was written there.
std::string CaptureStandardError(const std::function<void()>& body) {
    TempDir dir;
    std::string path = dir.Sub("stderr");
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int saved = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    close(file);
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::stringstream text;  // read past the sandbox, which would move the path
    text << std::ifstream(path).rdbuf();
    return text.str();
}

TEST(LogStreamTest, CreatesTheFolderOwnerOnlyAndRefusesLinksFifosAndOpenFolders) {
    SandboxEnv sandbox;
    const std::string folder = sandbox.Real("/tmp/logs");
    LogStream("t.log", true, false, 0, 1, 64, false).TRACE("made\n", 3, 1);
    struct stat status;
    ASSERT_EQ(0, stat(folder.c_str(), &status));
    EXPECT_EQ(0700u, status.st_mode & 07777);

    // Each refusal: the text goes to standard error, with one warning naming the reason.
    WriteFileAtomically("/etc/velk-conf/telephony/CDR_db", "{\nID=1\n}\n");
    ASSERT_EQ(0, symlink(sandbox.Real("/etc/velk-conf/telephony/CDR_db").c_str(),
                         (folder + "/link.log").c_str()));
    ASSERT_EQ(0, mkfifo((folder + "/fifo.log").c_str(), 0666));
    for (const char* name : {"link.log", "fifo.log"}) {
        std::string written = CaptureStandardError([&] {
            LogStream stream(name, true, false, 0, 1, 64, false);
            stream.TRACE("secret\n", 3, 1);
            stream.TRACE("more\n", 3, 1);
        });
        std::string reason = std::string(name) == "link.log" ? "is a link" : "is a FIFO";
        EXPECT_EQ("/tmp/logs/" + std::string(name) + " " + reason +
                      ": not writing the log /tmp/logs/" + name +
                      " there, but to standard error\nsecret\nmore\n",
                  written);
    }
    EXPECT_EQ("{\nID=1\n}\n", Read("/etc/velk-conf/telephony/CDR_db"));

    ASSERT_EQ(0, chmod(folder.c_str(), 0777));
    std::string written = CaptureStandardError(
        [] { LogStream("open.log", true, false, 0, 1, 64, false).TRACE("line\n", 3, 1); });
    EXPECT_EQ(
        "/tmp/logs is writable by others: not writing the log /tmp/logs/open.log there, but "
        "to standard error\nline\n",
        written);
    EXPECT_EQ("<absent>", Read("/tmp/logs/open.log"));
}

TEST(LogStreamTest, KeepsTheFileWithinTheSizeLimitWithOneOlderCopy) {
    SandboxEnv env;
    LogStream stream("t.log", true, false, 2147483647, 1, 8192, false);
    const std::string line = Line('x', 100);
    for (int i = 0; i < 15000; ++i) stream.TRACE(line.c_str(), 3, 1);  // 1.5 MB
    const size_t kMiB = 1024 * 1024;
    std::string current = Read("/tmp/logs/t.log"), older = Read("/tmp/logs/t.log.1");
    EXPECT_EQ(kMiB / 100 * 100, older.size());
    EXPECT_EQ(15000u * 100, current.size() + older.size());

    stream.SetSizeLimit(1000);
    for (int i = 0; i < 11; ++i) stream.TRACE(line.c_str(), 3, 1);
    EXPECT_EQ(line, Read("/tmp/logs/t.log"));
    EXPECT_EQ(1000u, Read("/tmp/logs/t.log.1").size());
}

TEST(LogStreamTest, StartsANewFileInTheSecondAfterTheFileWasRemovedOrRenamed) {
    SandboxEnv sandbox;
    sandbox.SetTime(1000, 0);
    LogStream stream("t.log", true, false, 0, 1, 64, false);
    stream.TRACE("one\n", 3, 1);
    sandbox.Unlink("/tmp/logs/t.log");
    stream.TRACE("same second, lost with the file\n", 3, 1);
    sandbox.SetTime(1001, 0);
    stream.TRACE("two\n", 3, 1);
    EXPECT_EQ("two\n", Read("/tmp/logs/t.log"));
    sandbox.Rename("/tmp/logs/t.log", "/tmp/logs/t.log.rotated");
    stream.TRACE("same second\n", 3, 1);
    sandbox.SetTime(1002, 0);
    stream.TRACE("three\n", 3, 1);
    EXPECT_EQ("two\nsame second\n", Read("/tmp/logs/t.log.rotated"));
    EXPECT_EQ("three\n", Read("/tmp/logs/t.log"));
}

}  // namespace
