#include "platform/util/file_util.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace {

// Writes and reads that the system cuts short: at most a few bytes of one piece per call.
class ShortIoEnv : public ScopedEnv {
  public:
    ssize_t Writev(int fd, const struct iovec* pieces, int count) override {
        (void)count;
        return ForwardingEnv::Write(fd, pieces[0].iov_base, std::min<size_t>(pieces[0].iov_len, 3));
    }
    ssize_t Read(int fd, void* data, size_t size) override {
        return ForwardingEnv::Read(fd, data, std::min<size_t>(size, 5));
    }
};

// The message of the FileError that `run` throws, or "" when it throws none.
template <typename Run>
std::string ErrorOf(Run run) {
    try {
        run();
    } catch (const FileError& e) {
        return e.what();
    }
    return "";
}

TEST(FileUtilTest, PiecesAreWrittenWholeAndInOrderThroughShortWritesAndReads) {
    SandboxEnv env;
    // More pieces than one system call takes, some of them empty.
    std::vector<std::string> texts;
    for (int i = 0; i < 1100; ++i) texts.push_back(std::string(i % 4, 'a' + i % 26));
    std::vector<struct iovec> pieces;
    for (std::string& text : texts) pieces.push_back({&text[0], text.size()});
    std::string whole;
    for (const struct iovec& piece : pieces)
        whole.append(static_cast<const char*>(piece.iov_base), piece.iov_len);
    ShortIoEnv shortIo;
    WriteFileAtomically("/pieces", pieces.data(), pieces.size());
    std::string read;
    ASSERT_TRUE(ReadWholeFile("/pieces", &read));
    EXPECT_EQ(whole, read);
}

// Whole files into blocks of their own, small ones and ones large enough to be mapped, through
// short reads; a missing file and one over the limit as for a string.
TEST(FileUtilTest, FilesAreReadWholeIntoBlocksOfTheirOwn) {
    SandboxEnv env;
    ShortIoEnv shortIo;
    for (size_t size : {size_t{0}, size_t{5}, size_t{300000}}) {
        std::string text(size, '\0');
        for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
        WriteFileAtomically("/file", text);
        FileBytes read;
        ASSERT_TRUE(ReadWholeFile("/file", &read));
        EXPECT_EQ(text, std::string(read.data(), read.size())) << size;
        read.Resize(size + 70000);  // grows keeping what it held
        EXPECT_EQ(text, std::string(read.data(), size)) << size;
    }
    FileBytes read;
    EXPECT_FALSE(ReadWholeFile("/missing", &read));
    EXPECT_TRUE(read.empty());
    EXPECT_THROW(ReadWholeFile("/file", &read, 299999), FileError);
}

// A save keeps the mode and owner of the file it replaces; a new file is 0640 whatever the umask.
// (Saves through a trusted link are checked below and end to end.)
TEST(FileUtilTest, SavesKeepModeAndOwner) {
    SandboxEnv env;
    WriteFileAtomically("/db", "old");
    ASSERT_EQ(0, chmod(env.Real("/db").c_str(), 0600));
    ASSERT_EQ(0, chown(env.Real("/db").c_str(), 1, 2));
    WriteFileAtomically("/db", "new");
    struct stat info;
    ASSERT_EQ(0, stat(env.Real("/db").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    if (geteuid() == 0) {
        EXPECT_EQ(1u, info.st_uid);
        EXPECT_EQ(2u, info.st_gid);
    }
    const mode_t oldMask = umask(077);
    WriteFileAtomically("/fresh", "x");
    umask(oldMask);
    ASSERT_EQ(0, stat(env.Real("/fresh").c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);
}

TEST(FileUtilTest, SettingAsideKeepsTheLastThreeCopies) {
    SandboxEnv env;
    EXPECT_FALSE(SetFileAside("/db"));
    for (const char* text : {"1", "2", "3", "4"}) {
        WriteFileAtomically("/db", text);
        EXPECT_TRUE(SetFileAside("/db"));
    }
    std::string text;
    EXPECT_FALSE(ReadWholeFile("/db", &text));
    for (const char* kept : {"/db.bad=4", "/db.bad.1=3", "/db.bad.2=2"}) {
        const std::string path(kept, strchr(kept, '=') - kept);
        ASSERT_TRUE(ReadWholeFile(path, &text));
        EXPECT_EQ(strchr(kept, '=') + 1, text);
    }
}

// A FIFO or a folder, whether at the path or at the end of a trusted link, is neither read (opening
// a FIFO would wait for a writer), nor replaced by a save, nor set aside, nor removed: each
// refuses, naming what is there. So do a device and a file over the read limit.
TEST(FileUtilTest, OnlyRegularFilesAreReadReplacedSetAsideOrRemoved) {
    SandboxEnv env;
    ASSERT_EQ(0, mkfifo(env.Real("/fifo").c_str(), 0600));
    MakeDirs("/folder");
    ASSERT_EQ(0, symlink("fifo", env.Real("/link").c_str()));
    ASSERT_EQ(0, symlink("/dev/zero", env.Real("/zero").c_str()));
    WriteFileAtomically("/big", std::string(100, 'x'));
    std::string text;
    EXPECT_TRUE(ReadWholeFile("/big", &text, 100));
    EXPECT_EQ("read /big: larger than the 99 bytes a file may hold",
              ErrorOf([&] { ReadWholeFile("/big", &text, 99); }));
    EXPECT_EQ("open /zero: a device, not a regular file",
              ErrorOf([&] { ReadWholeFile("/zero", &text, 99); }));
    const struct {
        const char* path;
        const char* target;
        const char* what;
        mode_t type;
    } cases[] = {{"/fifo", "/fifo", "a FIFO, not a regular file", S_IFIFO},
                 {"/folder", "/folder", "a folder, not a regular file", S_IFDIR},
                 {"/link", "/fifo", "a FIFO, not a regular file", S_IFLNK}};
    for (const auto& c : cases) {
        const std::string suffix = std::string(" ") + c.target + ": " + c.what;
        EXPECT_EQ("open " + std::string(c.path) + ": " + c.what,
                  ErrorOf([&] { ReadWholeFile(c.path, &text, 99); }));
        EXPECT_EQ("replace" + suffix, ErrorOf([&] { WriteFileAtomically(c.path, "records"); }));
        EXPECT_NE("", ErrorOf([&] { SetFileAside(c.path); })) << c.path;
        EXPECT_EQ("remove" + suffix, ErrorOf([&] { RemoveSavedFile(c.path); }));
        struct stat info;
        ASSERT_EQ(0, lstat(env.Real(c.path).c_str(), &info));
        EXPECT_EQ(c.type, info.st_mode & S_IFMT) << c.path;
    }
    EXPECT_NE(0, access(env.Real("/fifo.bad").c_str(), F_OK));
    EXPECT_EQ("", NonRegularFileType("/missing"));
}

// Through a trusted link, what a save would replace is what is set aside or removed: the target,
// so the link stays and the next save fills its place.
TEST(FileUtilTest, ATrustedLinksTargetIsSetAsideAndTheLinkStays) {
    SandboxEnv env;
    WriteFileAtomically("/flash/db", "damaged");
    MakeDirs("/conf");
    ASSERT_EQ(0, symlink("../flash/db", env.Real("/conf/db").c_str()));
    std::string movedTo;
    ASSERT_TRUE(SetFileAside("/conf/db", &movedTo));
    EXPECT_EQ("/conf/../flash/db.bad", movedTo);
    std::string text;
    ASSERT_TRUE(ReadWholeFile("/flash/db.bad", &text));
    EXPECT_EQ("damaged", text);
    EXPECT_FALSE(SetFileAside("/conf/db")) << "a link to nothing: nothing to set aside";
    WriteFileAtomically("/conf/db", "fresh");
    struct stat info;
    ASSERT_EQ(0, lstat(env.Real("/conf/db").c_str(), &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_TRUE(RemoveSavedFile("/conf/db"));
    EXPECT_FALSE(ReadWholeFile("/flash/db", &text));
    ASSERT_EQ(0, lstat(env.Real("/conf/db").c_str(), &info));
    EXPECT_FALSE(RemoveSavedFile("/conf/db"));
}

}  // namespace
