// Test environments: a private folder tree standing in for the device's absolute paths, private
// message-queue names, and a clock the test sets.
#pragma once

#include <string>

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

// Installed for its lifetime as Env::Current(): every absolute path lands under a private root
// ("/tmp/logs/cdr.log" becomes "<root>/tmp/logs/cdr.log"), queue names get a suffix unique to
// this process, and, once SetTime() was called, the clock stands still at the time set.
class SandboxEnv : public ForwardingEnv {
  public:
    SandboxEnv();
    ~SandboxEnv() override;

    // The private root; "/etc/velk-conf/x" is at Root() + "/etc/velk-conf/x".
    const std::string& Root() const { return mRoot.path(); }
    // Where the program's absolute `path` really is.
    std::string Real(const std::string& path) const;

    // Stops the clock at `seconds` + `millis`, in UTC as the local time zone.
    void SetTime(time_t seconds, unsigned millis);

    int Open(const char* path, int flags, int mode) override;
    int Rename(const char* from, const char* to) override;
    int Unlink(const char* path) override;
    int MakeDir(const char* path, int mode) override;
    int Lstat(const char* path, struct stat* info) override;
    int ReadLink(const char* path, std::string* target) override;
    int Stat(const char* path, struct stat* out) override;
    int MakeFifo(const char* path, int mode) override;
    int ListFolder(const char* path, std::vector<std::string>* names) override;
    void Now(struct timespec* now) override;
    void LocalTime(time_t seconds, struct tm* out) override;
    std::string QueueName(const std::string& name) override;

  private:
    TempDir mRoot;
    Env* mpPrevious;
    bool mFixedTime = false;
    struct timespec mTime = {};
};
