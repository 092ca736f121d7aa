#include "platform/util/instance_lock.h"

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

// Opens the lock file without following a link; -1 with errno set when it cannot be opened or is
// not a regular file (errno kNotRegular).
int OpenLockFile(const std::string& path, int flags) {
    Env* env = Env::Current();
    int fd = env->Open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return -1;
    struct stat status;
    int error = fstat(fd, &status) != 0 ? errno : S_ISREG(status.st_mode) ? 0 : kNotRegular;
    if (error == 0) return fd;
    env->Close(fd);
    errno = error;
    return -1;
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

}  // namespace

InstanceLock::InstanceLock(std::string path) : mPath(std::move(path)) {}

InstanceLock::~InstanceLock() {
    if (mFd >= 0) Env::Current()->Close(mFd);
}

InstanceLock::Result InstanceLock::Acquire() {
    if (mFd < 0) mFd = OpenLockFile(mPath, O_RDWR | O_CREAT);
    if (mFd < 0) return Fail("open", errno);
    int error = 0;
    for (int attempt = 0; !TryLock(mFd, LOCK_EX, &error); ++attempt) {
        if (error != EWOULDBLOCK) return Fail("lock", error);
        if (attempt + 1 >= kAcquireTries) {
            mHolder = AwaitPid(mFd);
            return Result::kHeld;
        }
        usleep(kRetryMicros);
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(mFd, 0) != 0 || !Env::Current()->WriteFully(mFd, pid.data(), pid.size()))
        return Fail("write the pid into", errno);
    return Result::kAcquired;
}

InstanceLock::Result InstanceLock::Fail(const char* operation, int error) {
    mError =
        std::string("cannot ") + operation + " the instance lock " + mPath + ": " + Reason(error);
    if (mFd >= 0) Env::Current()->Close(mFd);
    mFd = -1;
    return Result::kFailed;
}

pid_t InstanceLockHolder(const std::string& path, std::string* error) {
    int fd = OpenLockFile(path, O_RDONLY);
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
