// Injects faults into file operations: the chosen kind of call fails, at its Nth occurrence
// (counting from 1) or from then on, with the chosen error. Installed while it lives.
#pragma once

#include <errno.h>

#include "platform/env.h"

class FaultEnv : public ForwardingEnv {
public:
    enum Call { kOpen, kWrite, kFsync, kRename };
    enum Mode { kOnce, kFromThenOn };

    FaultEnv(Env* target, Call call, int nth, Mode mode = kOnce, int error = EIO)
        : ForwardingEnv(target), mCall(call), mNth(nth), mMode(mode), mError(error) {
        mpPrevious = Env::SetCurrent(this);
    }
    ~FaultEnv() override { Env::SetCurrent(mpPrevious); }

    int Open(const char* path, int flags, int mode) override {
        return Fails(kOpen) ? -1 : ForwardingEnv::Open(path, flags, mode);
    }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return Fails(kWrite) ? -1 : ForwardingEnv::Write(fd, data, size);
    }
    int Fsync(int fd) override { return Fails(kFsync) ? -1 : ForwardingEnv::Fsync(fd); }
    int Rename(const char* from, const char* to) override {
        return Fails(kRename) ? -1 : ForwardingEnv::Rename(from, to);
    }
    // Calls of the chosen kind seen so far.
    int Seen() const { return mSeen; }

private:
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
    int mSeen = 0;
    Env* mpPrevious;
};
