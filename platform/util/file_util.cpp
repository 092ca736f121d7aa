#include "platform/util/file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include "platform/util/env.h"

FileError::FileError(const std::string& operation, const std::string& path, int error)
    : FileError(operation, path, error, strerror(error)) {}

FileError::FileError(const std::string& operation, const std::string& path, int error,
                     const std::string& reason)
    : std::runtime_error(operation + " " + path + ": " + reason), mError(error) {}

namespace {

FileError TooLarge(const std::string& path, size_t maxSize) {
    return FileError("read", path, EFBIG,
                     "larger than the " + std::to_string(maxSize) + " bytes a file may hold");
}

// Closes a descriptor when it goes out of scope.
class FdCloser {
  public:
    explicit FdCloser(int fd) : mFd(fd) {}
    ~FdCloser() {
        if (mFd >= 0) Env::Current()->Close(mFd);
    }
    // Hands the descriptor over to the caller; the destructor then does nothing.
    void Release() { mFd = -1; }
    // Closes now and reports the result; the destructor then does nothing.
    int CloseNow() {
        int result = Env::Current()->Close(mFd);
        mFd = -1;
        return result;
    }

  private:
    int mFd;
};

// What a save keeps of the file it replaces; a new file gets the mode asked for and this
// process's owner.
struct FileIdentity {
    mode_t mode;
    bool keepOwner;
    uid_t owner;
    gid_t group;
};

// Creates `path` exclusively with the `count` pieces in order and `identity`, and syncs it.
void WriteAndSync(const std::string& path, const struct iovec* pieces, size_t count,
                  const FileIdentity& identity) {
    Env* env = Env::Current();
    env->Unlink(path.c_str());  // a leftover of an interrupted save, if any
    int fd = env->Open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, identity.mode);
    if (fd < 0) throw FileError("create", path, errno);
    FdCloser closer(fd);
    if (env->Fchmod(fd, identity.mode) != 0) throw FileError("set the mode of", path, errno);
    // Only root may give a file away; any other user keeps the files it writes.
    if (identity.keepOwner && env->Fchown(fd, identity.owner, identity.group) != 0 &&
        errno != EPERM)
        throw FileError("set the owner of", path, errno);
    if (!env->WriteFully(fd, pieces, count)) throw FileError("write", path, errno);
    if (env->Fsync(fd) != 0) throw FileError("sync", path, errno);
    if (closer.CloseNow() != 0) throw FileError("close", path, errno);
}

// A link that the system or this process made, which a save may follow.
bool IsTrustedLink(const struct stat& info) {
    return S_ISLNK(info.st_mode) && IsTrustedOwner(info.st_uid);
}

// The file a save of `path` replaces: `path` itself, or the end of its chain of trusted links.
std::string SaveTarget(const std::string& path) {
    const int kMaxLinks = 8;
    Env* env = Env::Current();
    std::string target = path;
    for (int hops = 0;; ++hops) {
        struct stat info;
        if (env->Lstat(target.c_str(), &info) != 0 || !IsTrustedLink(info)) return target;
        if (hops == kMaxLinks) throw FileError("follow the links of", path, ELOOP);
        std::string next;
        if (env->ReadLink(target.c_str(), &next) != 0) throw FileError("read link", target, errno);
        target = !next.empty() && next[0] == '/' ? next : DirName(target) + "/" + next;
    }
}

FileIdentity IdentityOf(const std::string& path, int mode) {
    struct stat info;
    if (Env::Current()->Lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return {static_cast<mode_t>(mode), false, 0, 0};
    return {static_cast<mode_t>(info.st_mode & 07777), true, info.st_uid, info.st_gid};
}

// Renames `from` to `to`; true when done, false when `from` does not exist.
bool RenameIfPresent(const std::string& from, const std::string& to) {
    if (Env::Current()->Rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    throw FileError("rename", from, errno);
}

std::string DescribeType(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder, not a regular file";
    if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
    if (S_ISSOCK(mode)) return "a socket, not a regular file";
    return "not a regular file";
}

// Throws unless `fd` is a regular file of at most `maxSize` bytes; returns its size.
size_t CheckReadable(int fd, const std::string& path, size_t maxSize) {
    struct stat info;
    if (Env::Current()->Fstat(fd, &info) != 0) throw FileError("examine", path, errno);
    if (!S_ISREG(info.st_mode))
        throw FileError("open", path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL,
                        DescribeType(info.st_mode));
    if (static_cast<unsigned long long>(info.st_size) > maxSize) throw TooLarge(path, maxSize);
    return static_cast<size_t>(info.st_size);
}

}  // namespace

// Blocks from this size on have their pages made present in one call.
const size_t kPopulatedFrom = 256u << 10;

void FileBytes::Allocate(size_t size) {
    Clear();
    if (size == 0) return;
    mpData = static_cast<char*>(malloc(size));
    if (mpData == nullptr) throw std::bad_alloc();
    mSize = mCapacity = size;
#if defined(MADV_POPULATE_WRITE)
    // A fresh block would otherwise take one page fault per page as the read first writes it;
    // memory the heap had already used is present and costs nothing here. Kernels without
    // this advice refuse it, and the pages come one at a time as before.
    if (size >= kPopulatedFrom) {
        const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        const uintptr_t begin = (reinterpret_cast<uintptr_t>(mpData) + page - 1) & ~(page - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(mpData) + size) & ~(page - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    }
#endif
}

void FileBytes::Resize(size_t size) {
    if (size <= mCapacity) {
        mSize = size;
        return;
    }
    FileBytes larger;
    larger.Allocate(std::max(size, 2 * mCapacity));
    if (mSize > 0) memcpy(larger.mpData, mpData, mSize);
    larger.mSize = size;
    swap(larger);
}

void FileBytes::Clear() {
    free(mpData);
    mpData = nullptr;
    mSize = mCapacity = 0;
}

void FileBytes::swap(FileBytes& other) {
    std::swap(mpData, other.mpData);
    std::swap(mSize, other.mSize);
    std::swap(mCapacity, other.mCapacity);
}

bool ReadWholeFile(const std::string& path, FileBytes* contents, size_t maxSize) {
    Env* env = Env::Current();
    contents->Clear();
    int fd = env->Open(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        throw FileError("open", path, errno);
    }
    FdCloser closer(fd);
    // Straight into a block of the file's size, then on in chunks while there is more.
    contents->Allocate(CheckReadable(fd, path, maxSize));
    size_t got = 0;
    while (got < contents->size()) {
        ssize_t part = env->Read(fd, contents->data() + got, contents->size() - got);
        if (part < 0 && errno == EINTR) continue;
        if (part < 0) throw FileError("read", path, errno);
        if (part == 0) {
            contents->Resize(got);
            return true;
        }
        got += static_cast<size_t>(part);
    }
    char chunk[65536];
    for (;;) {
        ssize_t part = env->Read(fd, chunk, sizeof chunk);
        if (part < 0 && errno == EINTR) continue;
        if (part < 0) throw FileError("read", path, errno);
        if (part == 0) return true;
        if (got + static_cast<size_t>(part) > maxSize) throw TooLarge(path, maxSize);
        contents->Resize(got + static_cast<size_t>(part));
        memcpy(contents->data() + got, chunk, static_cast<size_t>(part));
        got += static_cast<size_t>(part);
    }
}

int OpenRegularFile(const std::string& path) {
    Env* env = Env::Current();
    const int fd = env->Open(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) {
        if (errno == ENOENT) return -1;
        throw FileError("open", path, errno);
    }
    FdCloser closer(fd);
    CheckReadable(fd, path, SIZE_MAX);
    closer.Release();
    return fd;
}

bool ReadWholeFile(const std::string& path, std::string* contents, size_t maxSize) {
    FileBytes bytes;
    contents->clear();
    if (!ReadWholeFile(path, &bytes, maxSize)) return false;
    if (!bytes.empty()) contents->assign(bytes.data(), bytes.size());
    return true;
}

void SyncFolder(const std::string& dir) {
    Env* env = Env::Current();
    int fd = env->Open(dir.c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) throw FileError("open folder", dir, errno);
    FdCloser closer(fd);
    if (env->Fsync(fd) != 0) throw FileError("sync folder", dir, errno);
}

void WriteFileAtomically(const std::string& path, const std::string& contents, int mode) {
    struct iovec whole = {const_cast<char*>(contents.data()), contents.size()};
    WriteFileAtomically(path, &whole, 1, mode);
}

void WriteFileAtomically(const std::string& path, const struct iovec* pieces, size_t count,
                         int mode) {
    const std::string target = SaveTarget(path);
    const std::string dir = DirName(target);
    MakeDirs(dir);
    const std::string temporary = target + ".tmp";
    try {
        WriteAndSync(temporary, pieces, count, IdentityOf(target, mode));
        if (Env::Current()->Rename(temporary.c_str(), target.c_str()) != 0)
            throw FileError("rename", temporary, errno);
    } catch (...) {
        Env::Current()->Unlink(temporary.c_str());
        throw;
    }
    SyncFolder(dir);
}

bool SetFileAside(const std::string& path) {
    const std::string aside = path + ".bad";
    struct stat info;
    if (Env::Current()->Lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return false;
        throw FileError("examine", path, errno);
    }
    RenameIfPresent(aside + ".1", aside + ".2");
    RenameIfPresent(aside, aside + ".1");
    return RenameIfPresent(path, aside);
}

void MakeDirs(const std::string& path) {
    if (path.empty() || path == "/" || path == ".") return;
    if (Env::Current()->MakeDir(path.c_str(), 0755) == 0 || errno == EEXIST) return;
    if (errno != ENOENT) throw FileError("create folder", path, errno);
    MakeDirs(DirName(path));
    if (Env::Current()->MakeDir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw FileError("create folder", path, errno);
}

std::string DirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}
