// Injects faults into file operations: the chosen kind of call (a write or pwrite counts as kWrite,
// an fsync or fdatasync as kFsync) fails, at its Nth occurrence
// (counting from 1) or from then on, with the chosen error. Installed while it lives. Writes and
// syncs count only on descriptors opened while it is installed, so a file kept open from before
// (the trace log) is left alone, unless the scope is every file.
#pragma once

#include <errno.h>

#include <new>
#include <set>
#include <string>

#include "platform/util/env.h"
#include "support/test_env.h"

class FaultEnv : public ScopedEnv {
  public:
    enum Call { kOpen, kWrite, kFsync, kRename };
    enum Mode { kOnce, kFromThenOn };
    enum Scope { kFilesOpenedUnderIt, kEveryFile };

    FaultEnv(Env* target, Call call, int nth, Mode mode = kOnce, int error = EIO,
             Scope scope = kFilesOpenedUnderIt)
        : ScopedEnv(target), mCall(call), mNth(nth), mMode(mode), mError(error), mScope(scope) {}

    int Open(const char* path, int flags, int mode) override {
        if (Fails(kOpen)) return -1;
        int fd = ForwardingEnv::Open(path, flags, mode);
        if (fd >= 0) mOpened.insert(fd);
        return fd;
    }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return Fails(kWrite, fd) ? -1 : ForwardingEnv::Write(fd, data, size);
    }
    ssize_t Writev(int fd, const struct iovec* pieces, int count) override {
        return Fails(kWrite, fd) ? -1 : ForwardingEnv::Writev(fd, pieces, count);
    }
    ssize_t Pwrite(int fd, const void* data, size_t size, off_t offset) override {
        return Fails(kWrite, fd) ? -1 : ForwardingEnv::Pwrite(fd, data, size, offset);
    }
    int Fsync(int fd) override { return Fails(kFsync, fd) ? -1 : ForwardingEnv::Fsync(fd); }
    int Fdatasync(int fd) override { return Fails(kFsync, fd) ? -1 : ForwardingEnv::Fdatasync(fd); }
    int Close(int fd) override {
        mOpened.erase(fd);
        return ForwardingEnv::Close(fd);
    }
    int Rename(const char* from, const char* to) override {
        return Fails(kRename) ? -1 : ForwardingEnv::Rename(from, to);
    }
    // Calls of the chosen kind seen so far.
    int Seen() const { return mSeen; }

  private:
    bool Fails(Call call, int fd) {
        return (mScope == kEveryFile || mOpened.count(fd) != 0) && Fails(call);
    }
    bool Fails(Call call) {
        if (call != mCall) return false;
        ++mSeen;
        if (mSeen < mNth || (mMode == kOnce && mSeen != mNth)) return false;
        errno = mError;
        return true;
    }

    Call mCall;
    int mNth;
    Mode mMode;
    int mError;
    Scope mScope;
    int mSeen = 0;
    std::set<int> mOpened;
};

// Memory runs out while the file the program calls `path` is read: reads of it throw
// std::bad_alloc, the first only or every one, as an allocation would in the middle of a load.
// Nothing is allocated, so a sanitizer's allocator is never asked for the impossible.
class OutOfMemoryEnv : public ScopedEnv {
  public:
    OutOfMemoryEnv(const std::string& path, FaultEnv::Mode mode) : mPath(path), mMode(mode) {}

    int Open(const char* path, int flags, int mode) override {
        int fd = ForwardingEnv::Open(path, flags, mode);
        if (fd >= 0 && mPath == path) mReading.insert(fd);
        return fd;
    }
    ssize_t Read(int fd, void* data, size_t size) override {
        if (mReading.count(fd) != 0 && (mMode == FaultEnv::kFromThenOn || mThrown == 0)) {
            ++mThrown;
            throw std::bad_alloc();
        }
        return ForwardingEnv::Read(fd, data, size);
    }
    int Close(int fd) override {
        mReading.erase(fd);
        return ForwardingEnv::Close(fd);
    }
    // Loads that ran out of memory so far.
    int Thrown() const { return mThrown; }

  private:
    std::string mPath;
    FaultEnv::Mode mMode;
    std::set<int> mReading;
    int mThrown = 0;
};
