#include "platform/util/env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {

class PosixEnv : public Env {
  public:
    int Open(const char* path, int flags, int mode) override {
        return ::open(path, flags | O_CLOEXEC, mode);
    }
    ssize_t Read(int fd, void* data, size_t size) override { return ::read(fd, data, size); }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return ::write(fd, data, size);
    }
    int Fsync(int fd) override { return ::fsync(fd); }
    int Close(int fd) override { return ::close(fd); }
    int Rename(const char* from, const char* to) override { return ::rename(from, to); }
    int Unlink(const char* path) override { return ::unlink(path); }
    int MakeDir(const char* path, int mode) override { return ::mkdir(path, mode); }
    int LinkStat(const char* path, struct stat* out) override { return ::lstat(path, out); }
    int FileStat(int fd, struct stat* out) override { return ::fstat(fd, out); }
    void Now(struct timespec* now) override { clock_gettime(CLOCK_REALTIME, now); }
    void LocalTime(time_t seconds, struct tm* out) override { localtime_r(&seconds, out); }
    std::string QueueName(const std::string& name) override { return name; }
};

std::atomic<Env*> gCurrent{nullptr};

}  // namespace

Env::~Env() = default;

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

int ForwardingEnv::Open(const char* path, int flags, int mode) {
    return mpTarget->Open(path, flags, mode);
}
ssize_t ForwardingEnv::Read(int fd, void* data, size_t size) {
    return mpTarget->Read(fd, data, size);
}
ssize_t ForwardingEnv::Write(int fd, const void* data, size_t size) {
    return mpTarget->Write(fd, data, size);
}
int ForwardingEnv::Fsync(int fd) {
    return mpTarget->Fsync(fd);
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
int ForwardingEnv::LinkStat(const char* path, struct stat* out) {
    return mpTarget->LinkStat(path, out);
}
int ForwardingEnv::FileStat(int fd, struct stat* out) {
    return mpTarget->FileStat(fd, out);
}
void ForwardingEnv::Now(struct timespec* now) {
    mpTarget->Now(now);
}
void ForwardingEnv::LocalTime(time_t seconds, struct tm* out) {
    mpTarget->LocalTime(seconds, out);
}
std::string ForwardingEnv::QueueName(const std::string& name) {
    return mpTarget->QueueName(name);
}
