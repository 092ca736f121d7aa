#include "support/test_env.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cdr-test-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    mPath = pattern;
}

TempDir::~TempDir() {
    nftw(
        mPath.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string ReadRealFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

ScopedEnv::ScopedEnv(Env* target) : ForwardingEnv(target) {
    mpPrevious = Env::SetCurrent(this);
}

ScopedEnv::~ScopedEnv() {
    Env::SetCurrent(mpPrevious);
}

SandboxEnv::SandboxEnv() : ScopedEnv(Env::Posix()) {}

LocalZoneEnv::LocalZoneEnv(const char* zone) : mHadZone(getenv("TZ") != nullptr) {
    if (mHadZone) mSavedZone = getenv("TZ");
    setenv("TZ", zone, 1);
    tzset();
}

LocalZoneEnv::~LocalZoneEnv() {
    if (mHadZone)
        setenv("TZ", mSavedZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

void SandboxEnv::SetTime(time_t seconds, unsigned millis) {
    mTime = timespec{seconds, static_cast<long>(millis) * 1000000L};
}

void SandboxEnv::SetBootTime(time_t seconds, unsigned millis) {
    mBootTime = timespec{seconds, static_cast<long>(millis) * 1000000L};
}

void SandboxEnv::Now(struct timespec* now) {
    if (mTime)
        *now = *mTime;
    else
        target()->Now(now);
}

void SandboxEnv::BootTime(struct timespec* now) {
    if (mBootTime)
        *now = *mBootTime;
    else
        target()->BootTime(now);
}

// The pid alone is not enough: a test process that was killed leaves its queues behind, with
// whatever it had sent on them, and a later process may get the same pid. The first call's clock
// reading makes the names this process's own.
std::string SandboxEnv::QueueName(const std::string& name) {
    static std::mutex mutex;
    static pid_t owner = 0;
    static std::string suffix;
    std::lock_guard<std::mutex> lock(mutex);
    if (owner != getpid()) {
        owner = getpid();
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        suffix = "-t" + std::to_string(owner) + "." + std::to_string(now.tv_sec) + "." +
                 std::to_string(now.tv_nsec);
    }
    return name + suffix;
}

int SaveCountingEnv::Rename(const char* from, const char* to) {
    int result = ForwardingEnv::Rename(from, to);
    if (result == 0) mSaves.push_back(to);
    return result;
}

int SaveCountingEnv::SavesOf(const std::string& path) const {
    return static_cast<int>(std::count(mSaves.begin(), mSaves.end(), path));
}
