#include "platform/util/env.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace {

// The clock offsets that the file named by CDR_CLOCK_SHIFT asks for (see env.h). Lock-free, so
// that a signal handler that takes the time never waits for another thread: one thread at a time
// looks at the file, the others go on with the offsets last read.
class ClockShift {
  public:
    ClockShift() {
        const char* path = getenv("CDR_CLOCK_SHIFT");
        if (path != nullptr) mPath = path;
    }

    long Wall() {
        Refresh();
        return mWall.load(std::memory_order_relaxed);
    }
    long Boot() {
        Refresh();
        return mBoot.load(std::memory_order_relaxed);
    }

  private:
    void Refresh();
    void Load();
    const char* Distrust(const struct stat& info) const;
    void Ignore(const char* why);
    void Set(long wall, long boot) {
        mWall.store(wall, std::memory_order_relaxed);
        mBoot.store(boot, std::memory_order_relaxed);
    }

    std::string mPath;
    std::atomic<long> mWall{0};
    std::atomic<long> mBoot{0};
    std::atomic<long> mNextLook{0};  // seconds of the monotonic clock
    std::atomic<bool> mBusy{false};
    // Only touched by the thread that holds mBusy:
    struct stat mSeen = {};
    bool mWarned = false;
};

bool SameFileState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mode == b.st_mode && a.st_uid == b.st_uid && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void ClockShift::Refresh() {
    if (mPath.empty()) return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long second = static_cast<long>(now.tv_sec);
    if (second < mNextLook.load(std::memory_order_relaxed)) return;
    if (mBusy.exchange(true, std::memory_order_acquire)) return;
    mNextLook.store(second + 1, std::memory_order_relaxed);
    struct stat info;
    if (::stat(mPath.c_str(), &info) != 0) {
        mSeen = {};
        Set(0, 0);  // no file, no shift
    } else if (!SameFileState(info, mSeen)) {
        mSeen = info;
        Load();
    }
    mBusy.store(false, std::memory_order_release);
}

// Why the opened file must not steer the clocks; null when it may.
const char* ClockShift::Distrust(const struct stat& info) const {
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    if (info.st_uid != 0 && info.st_uid != geteuid()) return "owned by another user";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by group or others";
    return nullptr;
}

// Reads "WALL BOOT" (signed seconds) from the file, judged by what was opened, not by its name.
void ClockShift::Load() {
    const int fd = ::open(mPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0) ::close(fd);
        return Ignore(strerror(errno));
    }
    const char* distrust = Distrust(info);
    char text[64] = {};
    const ssize_t got = distrust == nullptr ? ::read(fd, text, sizeof text - 1) : 0;
    ::close(fd);
    if (distrust != nullptr) return Ignore(distrust);
    long long wall = 0, boot = 0;
    char rest = 0;
    const long long most = 0x7fffffffLL;  // a 32-bit time_t's reach
    if (got <= 0 || sscanf(text, "%lld %lld %c", &wall, &boot, &rest) != 2 || wall > most ||
        wall < -most || boot > most || boot < -most)
        return Ignore("not two whole numbers of seconds");
    Set(static_cast<long>(wall), static_cast<long>(boot));
}

void ClockShift::Ignore(const char* why) {
    Set(0, 0);
    if (mWarned) return;
    mWarned = true;
    dprintf(STDERR_FILENO,
            "%s: <WARNING> clock shift file %s ignored (%s): the clocks run unshifted\n",
            program_invocation_short_name, mPath.c_str(), why);
}

class PosixEnv : public Env {
  public:
    int Open(const char* path, int flags, int mode) override {
        return ::open(path, flags | O_CLOEXEC, mode);
    }
    ssize_t Read(int fd, void* data, size_t size) override { return ::read(fd, data, size); }
    off_t Seek(int fd, off_t offset, int whence) override { return ::lseek(fd, offset, whence); }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return ::write(fd, data, size);
    }
    ssize_t Writev(int fd, const struct iovec* pieces, int count) override {
        return ::writev(fd, pieces, count);
    }
    int Fsync(int fd) override { return ::fsync(fd); }
    ssize_t Pwrite(int fd, const void* data, size_t size, off_t offset) override {
        return ::pwrite(fd, data, size, offset);
    }
    int Fdatasync(int fd) override { return ::fdatasync(fd); }
    void DropCleanPages(int fd) override { ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED); }
    int Close(int fd) override { return ::close(fd); }
    std::unique_ptr<MappedWindow> Map(int fd, off_t offset, size_t size) override;
    int Rename(const char* from, const char* to) override { return ::rename(from, to); }
    int Unlink(const char* path) override { return ::unlink(path); }
    int MakeDir(const char* path, int mode) override { return ::mkdir(path, mode); }
    int Fstat(int fd, struct stat* info) override { return ::fstat(fd, info); }
    int Lstat(const char* path, struct stat* info) override { return ::lstat(path, info); }
    int Fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
    int Fchown(int fd, uid_t owner, gid_t group) override { return ::fchown(fd, owner, group); }
    int ReadLink(const char* path, std::string* target) override {
        char text[PATH_MAX];
        const ssize_t size = ::readlink(path, text, sizeof text);
        if (size < 0) return -1;
        if (static_cast<size_t>(size) == sizeof text) {
            errno = ENAMETOOLONG;
            return -1;
        }
        target->assign(text, static_cast<size_t>(size));
        return 0;
    }
    int Stat(const char* path, struct stat* out) override { return ::stat(path, out); }
    int MakeFifo(const char* path, int mode) override { return ::mkfifo(path, mode); }
    int ListFolder(const char* path, std::vector<std::string>* names) override {
        DIR* folder = opendir(path);
        if (folder == nullptr) return -1;
        names->clear();
        errno = 0;
        while (const struct dirent* entry = readdir(folder)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names->push_back(name);
        }
        const int error = errno;
        closedir(folder);
        errno = error;
        return error == 0 ? 0 : -1;
    }
    void Now(struct timespec* now) override {
        clock_gettime(CLOCK_REALTIME, now);
        now->tv_sec += mShift.Wall();
    }
    void LocalTime(time_t seconds, struct tm* out) override { localtime_r(&seconds, out); }
    void BootTime(struct timespec* now) override {
        // Kernels before 2.6.39 lack the boot clock; the monotonic one then stands in, which
        // only stops while the system is suspended.
        if (clock_gettime(CLOCK_BOOTTIME, now) != 0) clock_gettime(CLOCK_MONOTONIC, now);
        now->tv_sec += mShift.Boot();
    }
    std::string QueueName(const std::string& name) override { return name; }
    std::string ConfigurationRoot() override {
        const char* root = getenv("VELK_PATH");
        return root != nullptr ? root : "/etc/velk-conf/";
    }
    std::string HostName() override {
        struct utsname system;
        return uname(&system) == 0 ? system.nodename : "";
    }
    unsigned long long MemorySize() override {
        struct sysinfo info;
        if (sysinfo(&info) != 0) return 0;
        const unsigned long long total =
            static_cast<unsigned long long>(info.totalram) * std::max(info.mem_unit, 1u);
        return std::min<unsigned long long>(total, SIZE_MAX);
    }

  private:
    ClockShift mShift;
};

std::atomic<Env*> gCurrent{nullptr};

// A shared mapping of the system's.
class SharedWindow : public MappedWindow {
  public:
    SharedWindow(void* data, size_t size, off_t offset)
        : MappedWindow(static_cast<char*>(data), size, offset) {}
    ~SharedWindow() override { ::munmap(Data(), Size()); }
};

std::unique_ptr<MappedWindow> PosixEnv::Map(int fd, off_t offset, size_t size) {
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (data == MAP_FAILED) return nullptr;
    return std::unique_ptr<MappedWindow>(new SharedWindow(data, size, offset));
}

}  // namespace

Env::~Env() = default;

MappedWindow::~MappedWindow() = default;

void MappedWindow::Written(size_t, size_t) {}

Env* Env::Posix() {
    static PosixEnv* posix = new PosixEnv;  // never destroyed: used until the very end
    return posix;
}

Env* Env::Current() {
    Env* env = gCurrent.load(std::memory_order_acquire);
    return env != nullptr ? env : Posix();
}

Env* Env::SetCurrent(Env* env) {
    Env* previous = gCurrent.exchange(env, std::memory_order_acq_rel);
    return previous != nullptr ? previous : Posix();
}

namespace {

// Writes all `size` bytes of `data` through `write(next, left, done)`, which returns what one call
// wrote; retries short writes and interruptions. False on failure, with errno set (ENOSPC when
// the system wrote nothing and gave no reason).
template <typename WriteOnce>
bool WriteAll(const void* data, size_t size, WriteOnce write) {
    const char* next = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t written = write(next + done, size - done, done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool Env::WriteFully(int fd, const void* data, size_t size) {
    return WriteAll(data, size,
                    [&](const char* next, size_t left, size_t) { return Write(fd, next, left); });
}

bool Env::PwriteFully(int fd, const void* data, size_t size, off_t offset) {
    return WriteAll(data, size, [&](const char* next, size_t left, size_t done) {
        return Pwrite(fd, next, left, offset + static_cast<off_t>(done));
    });
}

bool Env::WriteFully(int fd, const struct iovec* pieces, size_t count) {
    std::vector<struct iovec> rest(pieces, pieces + count);
    size_t first = 0;
    while (first < count) {
        if (rest[first].iov_len == 0) {
            ++first;
            continue;
        }
        const int batch = static_cast<int>(std::min<size_t>(count - first, IOV_MAX));
        ssize_t written = Writev(fd, &rest[first], batch);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        for (size_t done = static_cast<size_t>(written); done > 0;) {
            const size_t part = std::min(done, rest[first].iov_len);
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + part;
            rest[first].iov_len -= part;
            done -= part;
            if (rest[first].iov_len == 0) ++first;
        }
    }
    return true;
}

int ForwardingEnv::Open(const char* path, int flags, int mode) {
    return mpTarget->Open(path, flags, mode);
}
ssize_t ForwardingEnv::Read(int fd, void* data, size_t size) {
    return mpTarget->Read(fd, data, size);
}
off_t ForwardingEnv::Seek(int fd, off_t offset, int whence) {
    return mpTarget->Seek(fd, offset, whence);
}
ssize_t ForwardingEnv::Write(int fd, const void* data, size_t size) {
    return mpTarget->Write(fd, data, size);
}
ssize_t ForwardingEnv::Writev(int fd, const struct iovec* pieces, int count) {
    return mpTarget->Writev(fd, pieces, count);
}
int ForwardingEnv::Fsync(int fd) {
    return mpTarget->Fsync(fd);
}
ssize_t ForwardingEnv::Pwrite(int fd, const void* data, size_t size, off_t offset) {
    return mpTarget->Pwrite(fd, data, size, offset);
}
int ForwardingEnv::Fdatasync(int fd) {
    return mpTarget->Fdatasync(fd);
}
std::unique_ptr<MappedWindow> ForwardingEnv::Map(int fd, off_t offset, size_t size) {
    return mpTarget->Map(fd, offset, size);
}
void ForwardingEnv::DropCleanPages(int fd) {
    mpTarget->DropCleanPages(fd);
}
int ForwardingEnv::Close(int fd) {
    return mpTarget->Close(fd);
}
int ForwardingEnv::Rename(const char* from, const char* to) {
    return mpTarget->Rename(from, to);
}
int ForwardingEnv::Unlink(const char* path) {
    return mpTarget->Unlink(path);
}
int ForwardingEnv::MakeDir(const char* path, int mode) {
    return mpTarget->MakeDir(path, mode);
}
int ForwardingEnv::Fstat(int fd, struct stat* info) {
    return mpTarget->Fstat(fd, info);
}
int ForwardingEnv::Lstat(const char* path, struct stat* info) {
    return mpTarget->Lstat(path, info);
}
int ForwardingEnv::Fchmod(int fd, mode_t mode) {
    return mpTarget->Fchmod(fd, mode);
}
int ForwardingEnv::Fchown(int fd, uid_t owner, gid_t group) {
    return mpTarget->Fchown(fd, owner, group);
}
int ForwardingEnv::ReadLink(const char* path, std::string* target) {
    return mpTarget->ReadLink(path, target);
}
int ForwardingEnv::Stat(const char* path, struct stat* out) {
    return mpTarget->Stat(path, out);
}
int ForwardingEnv::MakeFifo(const char* path, int mode) {
    return mpTarget->MakeFifo(path, mode);
}
int ForwardingEnv::ListFolder(const char* path, std::vector<std::string>* names) {
    return mpTarget->ListFolder(path, names);
}
void ForwardingEnv::Now(struct timespec* now) {
    mpTarget->Now(now);
}
void ForwardingEnv::LocalTime(time_t seconds, struct tm* out) {
    mpTarget->LocalTime(seconds, out);
}
void ForwardingEnv::BootTime(struct timespec* now) {
    mpTarget->BootTime(now);
}
std::string ForwardingEnv::QueueName(const std::string& name) {
    return mpTarget->QueueName(name);
}
std::string ForwardingEnv::ConfigurationRoot() {
    return mpTarget->ConfigurationRoot();
}
std::string ForwardingEnv::HostName() {
    return mpTarget->HostName();
}
unsigned long long ForwardingEnv::MemorySize() {
    return mpTarget->MemorySize();
}

long long MonotonicMillis() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

long long BootMillis() {
    struct timespec now;
    Env::Current()->BootTime(&now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

const char kBootIdPath[] = "/proc/sys/kernel/random/boot_id";

std::string BootId() {
    Env* env = Env::Current();
    const int fd = env->Open(kBootIdPath, O_RDONLY, 0);
    if (fd < 0) return "";
    char text[64] = {};
    const ssize_t got = env->Read(fd, text, sizeof text - 1);
    env->Close(fd);
    std::string id(text, got > 0 ? static_cast<size_t>(got) : 0);
    while (!id.empty() && isspace(static_cast<unsigned char>(id.back()))) id.pop_back();
    return id;
}
