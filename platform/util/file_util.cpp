#include "platform/util/file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

#include "platform/util/env.h"

FileError::FileError(const std::string& operation, const std::string& path, int error)
    : std::runtime_error(operation + " " + path + ": " + strerror(error)), mError(error) {}

namespace {

// Closes a descriptor when it goes out of scope.
class FdCloser {
  public:
    explicit FdCloser(int fd) : mFd(fd) {}
    ~FdCloser() {
        if (mFd >= 0) Env::Current()->Close(mFd);
    }
    // Closes now and reports the result; the destructor then does nothing.
    int CloseNow() {
        int result = Env::Current()->Close(mFd);
        mFd = -1;
        return result;
    }

  private:
    int mFd;
};

void SyncDir(const std::string& dir) {
    Env* env = Env::Current();
    int fd = env->Open(dir.c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) throw FileError("open folder", dir, errno);
    FdCloser closer(fd);
    if (env->Fsync(fd) != 0) throw FileError("sync folder", dir, errno);
}

void WriteAndSync(const std::string& path, const struct iovec* pieces, size_t count, int mode) {
    Env* env = Env::Current();
    env->Unlink(path.c_str());  // a leftover of an interrupted save, if any
    int fd = env->Open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (fd < 0) throw FileError("create", path, errno);
    FdCloser closer(fd);
    if (!env->WriteFully(fd, pieces, count)) throw FileError("write", path, errno);
    if (env->Fsync(fd) != 0) throw FileError("sync", path, errno);
    if (closer.CloseNow() != 0) throw FileError("close", path, errno);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* contents) {
    Env* env = Env::Current();
    contents->clear();
    int fd = env->Open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        throw FileError("open", path, errno);
    }
    FdCloser closer(fd);
    // Read straight into a string of the file's size, then on in chunks while there is more.
    struct stat status;
    if (env->Fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
        static_cast<unsigned long long>(status.st_size) < SIZE_MAX / 2) {
        contents->resize(static_cast<size_t>(status.st_size));
        size_t got = 0;
        while (got < contents->size()) {
            ssize_t part = env->Read(fd, &(*contents)[got], contents->size() - got);
            if (part < 0 && errno == EINTR) continue;
            if (part < 0) throw FileError("read", path, errno);
            if (part == 0) break;
            got += static_cast<size_t>(part);
        }
        if (got < contents->size()) {
            contents->resize(got);
            return true;
        }
    }
    char chunk[65536];
    for (;;) {
        ssize_t got = env->Read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw FileError("read", path, errno);
        if (got == 0) return true;
        contents->append(chunk, static_cast<size_t>(got));
    }
}

void WriteFileAtomically(const std::string& path, const std::string& contents, int mode) {
    struct iovec whole = {const_cast<char*>(contents.data()), contents.size()};
    WriteFileAtomically(path, &whole, 1, mode);
}

void WriteFileAtomically(const std::string& path, const struct iovec* pieces, size_t count,
                         int mode) {
    const std::string dir = DirName(path);
    MakeDirs(dir);
    const std::string temporary = path + ".tmp";
    try {
        WriteAndSync(temporary, pieces, count, mode);
        if (Env::Current()->Rename(temporary.c_str(), path.c_str()) != 0)
            throw FileError("rename", temporary, errno);
    } catch (...) {
        Env::Current()->Unlink(temporary.c_str());
        throw;
    }
    SyncDir(dir);
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
