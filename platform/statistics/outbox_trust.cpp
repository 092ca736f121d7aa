#include "platform/statistics/outbox_trust.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "platform/util/env.h"
#include "platform/util/file_util.h"

namespace {

std::string OwnedBy(uid_t owner) {
    return "owned by uid " + std::to_string(static_cast<unsigned long>(owner));
}

std::string Mode(mode_t mode) {
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    return octal;
}

std::string Kind(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISREG(mode)) return "a regular file";
    return "a device or socket";
}

std::string Failed(const char* what, int error) {
    return std::string("cannot ") + what + " it: " + strerror(error);
}

// Why `status` is not a FIFO owned by root, this process's user or `alsoTrusted`.
std::string FifoProblem(const struct stat& status, uid_t alsoTrusted) {
    if (!S_ISFIFO(status.st_mode)) return Kind(status.st_mode) + ", not a FIFO";
    if (!IsTrustedOwner(status.st_uid) && status.st_uid != alsoTrusted)
        return "a FIFO " + OwnedBy(status.st_uid);
    return "";
}

// Opens `path` with `flags` plus O_NOFOLLOW and O_NONBLOCK and returns the descriptor when the
// opened file is a FIFO `FifoProblem` accepts; else -1 with `*problem` set.
int OpenCheckedFifo(const std::string& path, int flags, uid_t alsoTrusted, std::string* problem) {
    Env* env = Env::Current();
    const int fd = env->Open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENXIO)
            *problem = "no agent reads it";
        else
            *problem = errno == ELOOP ? "a symbolic link, not a FIFO" : Failed("open", errno);
        return -1;
    }
    struct stat status;
    *problem =
        env->Fstat(fd, &status) != 0 ? Failed("examine", errno) : FifoProblem(status, alsoTrusted);
    if (problem->empty()) return fd;
    env->Close(fd);
    return -1;
}

}  // namespace

std::string OutboxFolderProblem(const std::string& directory) {
    struct stat status;
    if (Env::Current()->Stat(directory.c_str(), &status) != 0)
        return errno == ENOENT ? "" : Failed("examine", errno);
    if (!S_ISDIR(status.st_mode)) return Kind(status.st_mode) + ", not a folder";
    if (!IsTrustedOwner(status.st_uid)) return OwnedBy(status.st_uid);
    if ((status.st_mode & S_IWOTH) != 0)
        return "writable by others (mode " + Mode(status.st_mode) + ")";
    return "";
}

std::string DeliveryFileProblem(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) return Kind(status.st_mode) + ", not a regular file";
    if (!IsTrustedOwner(status.st_uid)) return OwnedBy(status.st_uid);
    // A second link may be another user's name for a file they could not read themselves.
    if (status.st_nlink != 1)
        return std::to_string(static_cast<unsigned long>(status.st_nlink)) + " links to it";
    return "";
}

std::string OpenedFileProblem(const std::string& path) {
    Env* env = Env::Current();
    const int fd = env->Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return errno == ELOOP ? "a symbolic link" : Failed("open", errno);
    struct stat status;
    const std::string problem =
        env->Fstat(fd, &status) != 0 ? Failed("examine", errno) : DeliveryFileProblem(status);
    env->Close(fd);
    return problem;
}

WakeFifo OpenAgentWakeFifo(const std::string& path) {
    Env* env = Env::Current();
    WakeFifo wake;
    struct stat status;
    if (env->Lstat(path.c_str(), &status) == 0) {
        wake.replaced = FifoProblem(status, geteuid());
        if (!wake.replaced.empty() && env->Unlink(path.c_str()) != 0) {
            wake.problem = wake.replaced + " that cannot be removed: " + strerror(errno);
            return wake;
        }
    }
    if (env->MakeFifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
        wake.problem = Failed("make", errno);
        return wake;
    }
    // Read and write: the FIFO then never reads as ended when a waker closes it.
    wake.fd = OpenCheckedFifo(path, O_RDWR, geteuid(), &wake.problem);
    return wake;
}

bool StillAt(int fd, const std::string& path) {
    struct stat open;
    struct stat named;
    Env* env = Env::Current();
    return env->Fstat(fd, &open) == 0 && env->Lstat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

int OpenWakeFifoToWrite(const std::string& path, uid_t folderOwner, std::string* problem) {
    struct stat status;
    if (Env::Current()->Lstat(path.c_str(), &status) != 0) {
        *problem = Failed("examine", errno);
        return -1;
    }
    *problem = FifoProblem(status, folderOwner);
    if (!problem->empty()) return -1;
    return OpenCheckedFifo(path, O_WRONLY, folderOwner, problem);
}
