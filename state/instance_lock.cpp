#include "state/instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/util/env.h"

namespace {

const int kRetryMicros = 5000;
const int kAcquireTries = 10;  // 0.05 s: outlasts any look at the lock by InstanceLockHolder
const int kPidReadTries = 20;  // 0.1 s: the holder writes its pid right after taking the lock
const int kNotRegular = -1;    // an error number of our own: the path names no regular file

std::string Reason(int error) {
    return error == kNotRegular ? "not a regular file" : strerror(error);
}

// Opens the lock file without following a link or blocking on a FIFO; -1 with errno set when it
// cannot be opened or is not a regular file (errno kNotRegular). `*status` gets its fstat.
int OpenLockFile(const std::string& path, int flags, struct stat* status) {
    Env* env = Env::Current();
    int fd = env->Open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    int error = env->Fstat(fd, status) != 0 ? errno : S_ISREG(status->st_mode) ? 0 : kNotRegular;
    if (error == 0) return fd;
    env->Close(fd);
    errno = error;
    return -1;
}

// Empty when the lock file is this user's own and closed to everyone else (group and other
// access, if any, are taken away); else why it cannot serve as the lock.
std::string CheckOwnership(int fd, const struct stat& status) {
    if (status.st_uid != geteuid())
        return "owned by user " + std::to_string(static_cast<unsigned long>(status.st_uid)) +
               ", not by this one";
    if ((status.st_mode & 077) != 0 && Env::Current()->Fchmod(fd, 0600) != 0)
        return std::string("open to other users and cannot be closed to them: ") + strerror(errno);
    return "";
}

// The pid written in the file; 0 when it holds none (yet).
pid_t ReadPid(int fd) {
    char text[24] = {};
    if (lseek(fd, 0, SEEK_SET) != 0) return 0;
    ssize_t size = Env::Current()->Read(fd, text, sizeof text - 1);
    if (size <= 0) return 0;
    char* end = nullptr;
    long pid = strtol(text, &end, 10);
    return end != text && *end == '\n' && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// The pid of the process that holds the lock on `fd`, waiting briefly for it to be written.
pid_t AwaitPid(int fd) {
    for (int attempt = 0;; ++attempt) {
        pid_t pid = ReadPid(fd);
        if (pid > 0 || attempt + 1 >= kPidReadTries) return pid;
        usleep(kRetryMicros);
    }
}

// flock(fd, operation | LOCK_NB), retried while interrupted; true when the lock was taken.
bool TryLock(int fd, int operation, int* error) {
    while (flock(fd, operation | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        *error = errno;
        return false;
    }
    return true;
}

// Writes this process's pid into the lock file, the one described by `locked`, through a
// descriptor of its own that is closed at once. 0, or the error number.
int WritePid(const std::string& path, const struct stat& locked) {
    Env* env = Env::Current();
    struct stat status;
    const int fd = OpenLockFile(path, O_WRONLY, &status);
    if (fd < 0) return errno;
    const std::string pid = std::to_string(getpid()) + "\n";
    int error = status.st_dev != locked.st_dev || status.st_ino != locked.st_ino ? ESTALE : 0;
    if (error == 0 && (ftruncate(fd, 0) != 0 || !env->WriteFully(fd, pid.data(), pid.size())))
        error = errno;
    if (env->Close(fd) != 0 && error == 0) error = errno;
    return error;
}

}  // namespace

InstanceLock::InstanceLock(std::string path) : mPath(std::move(path)) {}

InstanceLock::~InstanceLock() {
    if (mFd >= 0) Env::Current()->Close(mFd);
}

InstanceLock::Result InstanceLock::Acquire() {
    mError.clear();
    struct stat status;
    // Held open for reading only: a descriptor open for writing would keep the filesystem from
    // being remounted read-only.
    if (mFd < 0) mFd = OpenLockFile(mPath, O_RDONLY | O_CREAT, &status);
    if (mFd < 0) return Fail("open", Reason(errno));
    if (Env::Current()->Fstat(mFd, &status) != 0) return Fail("examine", strerror(errno));
    const std::string refusal = CheckOwnership(mFd, status);
    if (!refusal.empty()) return Fail("use", refusal);
    int error = 0;
    for (int attempt = 0; !TryLock(mFd, LOCK_EX, &error); ++attempt) {
        if (error != EWOULDBLOCK) return Fail("lock", Reason(error));
        if (attempt + 1 >= kAcquireTries) {
            mHolder = AwaitPid(mFd);
            return Result::kHeld;
        }
        usleep(kRetryMicros);
    }
    // A lock whose pid cannot be written is kept: letting it go would let a second recorder in.
    error = WritePid(mPath, status);
    if (error != 0)
        mError = "cannot write the pid into the instance lock " + mPath + ": " + Reason(error);
    return Result::kAcquired;
}

InstanceLock::Result InstanceLock::Fail(const char* operation, const std::string& reason) {
    mError = std::string("cannot ") + operation + " the instance lock " + mPath + ": " + reason;
    if (mFd >= 0) Env::Current()->Close(mFd);
    mFd = -1;
    return Result::kFailed;
}

std::string FallbackLockPath() {
    return Env::Current()->ConfigurationRoot() + "telephony/cdrd.lock";
}

pid_t InstanceLockHolder(const std::string& path, std::string* error) {
    struct stat status;
    int fd = OpenLockFile(path, O_RDONLY, &status);
    if (fd < 0 && errno == ENOENT) return 0;
    int reason = errno;
    pid_t holder = -1;
    if (fd >= 0) {
        if (TryLock(fd, LOCK_SH, &reason)) {
            holder = 0;  // nobody holds it exclusively; the shared lock goes with the descriptor
        } else if (reason == EWOULDBLOCK) {
            holder = AwaitPid(fd);
            if (holder == 0) holder = -1;
        }
        Env::Current()->Close(fd);
    }
    if (holder < 0 && error != nullptr) {
        *error = path + (reason == EWOULDBLOCK ? " is locked by a process that wrote no pid"
                                               : ": " + Reason(reason));
    }
    return holder;
}

pid_t RecorderLockHolder(std::string* error) {
    std::string mainError, fallbackError;
    const pid_t main = InstanceLockHolder(kRecorderLockPath, &mainError);
    if (main > 0) return main;
    const pid_t fallback = InstanceLockHolder(FallbackLockPath(), &fallbackError);
    if (fallback > 0 || (fallback == 0 && main == 0)) return fallback;
    if (error != nullptr) *error = main < 0 ? mainError : fallbackError;
    return -1;
}
