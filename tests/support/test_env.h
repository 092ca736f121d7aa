// Test environments: a private folder tree standing in for the device's absolute paths, private
// message-queue names, a clock the test sets, and the base for environments that change a few
// calls of the one in force while they live.
#pragma once

#include <time.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/util/env.h"

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return mPath; }
    // `path()` + "/" + `relative`.
    std::string Sub(const std::string& relative) const { return mPath + "/" + relative; }

  private:
    std::string mPath;
};

// The text of the file at `path` as the system names it, past any sandbox; empty when it cannot
// be read.
std::string ReadRealFile(const std::string& path);

// Installed as Env::Current() for its lifetime, forwarding to `target` (by default the
// environment in force before it), which it puts back at destruction. Subclasses override the
// calls they change.
class ScopedEnv : public ForwardingEnv {
  public:
    explicit ScopedEnv(Env* target = Env::Current());
    ~ScopedEnv() override;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    Env* mpPrevious;
};

// Every absolute path lands under a private root ("/tmp/logs/cdr.log" becomes
// "<root>/tmp/logs/cdr.log"), queue names get a suffix unique to this process, and, once
// SetTime() was called, the clock stands still at the time set (the boot clock likewise once
// SetBootTime() was called).
class SandboxEnv : public ScopedEnv {
  public:
    SandboxEnv();

    // The private root; "/etc/velk-conf/x" is at Root() + "/etc/velk-conf/x".
    const std::string& Root() const { return mRoot.path(); }
    // Where the program's absolute `path` really is.
    std::string Real(const std::string& path) const {
        return !path.empty() && path[0] == '/' ? Root() + path : path;
    }

    // Stops the clock at `seconds` + `millis`, in UTC as the local time zone.
    void SetTime(time_t seconds, unsigned millis);
    // Stops the boot clock at `seconds` + `millis`.
    void SetBootTime(time_t seconds, unsigned millis);

    int Open(const char* path, int flags, int mode) override {
        return target()->Open(Real(path).c_str(), flags, mode);
    }
    int Rename(const char* from, const char* to) override {
        return target()->Rename(Real(from).c_str(), Real(to).c_str());
    }
    int Unlink(const char* path) override { return target()->Unlink(Real(path).c_str()); }
    int MakeDir(const char* path, int mode) override {
        return target()->MakeDir(Real(path).c_str(), mode);
    }
    int Lstat(const char* path, struct stat* info) override {
        return target()->Lstat(Real(path).c_str(), info);
    }
    int ReadLink(const char* path, std::string* link) override {
        return target()->ReadLink(Real(path).c_str(), link);
    }
    int Stat(const char* path, struct stat* out) override {
        return target()->Stat(Real(path).c_str(), out);
    }
    int MakeFifo(const char* path, int mode) override {
        return target()->MakeFifo(Real(path).c_str(), mode);
    }
    int ListFolder(const char* path, std::vector<std::string>* names) override {
        return target()->ListFolder(Real(path).c_str(), names);
    }
    void Now(struct timespec* now) override;
    void LocalTime(time_t seconds, struct tm* out) override { gmtime_r(&seconds, out); }
    void BootTime(struct timespec* now) override;
    std::string QueueName(const std::string& name) override;

  private:
    TempDir mRoot;
    std::optional<struct timespec> mTime, mBootTime;  // the stopped clocks
};

// Central European time, with its daylight-saving rule, so that local and UTC times differ.
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// Local time by the C library's zone, set to `zone` (TZ) while this lives, instead of the
// sandbox's UTC.
class LocalZoneEnv : public ScopedEnv {
  public:
    explicit LocalZoneEnv(const char* zone = kCentralEurope);
    ~LocalZoneEnv() override;
    void LocalTime(time_t seconds, struct tm* out) override { localtime_r(&seconds, out); }

  private:
    bool mHadZone;
    std::string mSavedZone;
};

// Notes the saves: the paths that a rename completed onto while it is installed.
class SaveCountingEnv : public ScopedEnv {
  public:
    int Rename(const char* from, const char* to) override;
    // Saves of the program's `path` so far.
    int SavesOf(const std::string& path) const;

  private:
    std::vector<std::string> mSaves;
};
