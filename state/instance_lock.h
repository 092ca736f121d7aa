// One recorder per device: an exclusive advisory lock (flock) on a small file in the runtime
// folder, held for the life of the process. The kernel releases it however the process ends, so a
// lock that nobody holds means that no recorder runs, whatever queues or files were left behind.
// The file holds the holder's pid as text, so that others can name it. Only the recorder's user
// may open it: anyone who can open a file can hold a shared lock on it and so keep the next
// recorder out. The recorder also locks a file beside its default databases (FallbackLockPath),
// which keeps a second recorder out where the runtime folder cannot hold the lock, so that two
// recorders never share one set of databases. Files are reached through Env::Current(), so tests
// get their own.
#pragma once

#include <sys/types.h>

#include <string>

// Where the recorder keeps its instance lock.
constexpr const char* kRecorderLockPath = "/run/cdrd.lock";

class InstanceLock {
  public:
    enum class Result {
        kAcquired,  // this process holds the lock now; error() is not empty when its pid could
                    // not be written into the file (the lock is kept all the same)
        kHeld,      // another process holds it; holder() names it when its pid could be read
        kFailed,    // the lock file could not be opened, locked or written; see error()
    };

    explicit InstanceLock(std::string path);
    // Releases the lock, if held. The file stays (removing it would let two processes lock two
    // different files under one name); the pid in it then names a process that holds nothing.
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock without waiting for a holder: opens or creates the file (mode 0600, never
    // through a link, never blocking on a FIFO), which must be a regular file owned by this
    // process's user (group or other access on it is taken away), locks it exclusively and writes
    // this process's pid into it. A process that only looks (InstanceLockHolder) keeps the lock
    // for an instant; such a look is waited out for up to 0.05 s.
    Result Acquire();
    // The pid of the holder after kHeld; 0 when it has not written one yet.
    pid_t holder() const { return mHolder; }
    // Why Acquire gave kFailed, or why the pid of a kAcquired lock is missing: one line naming
    // the file and the reason.
    const std::string& error() const { return mError; }

  private:
    Result Fail(const char* operation, const std::string& reason);

    std::string mPath;
    int mFd = -1;
    pid_t mHolder = 0;
    std::string mError;
};

// The recorder's second lock, which counts where kRecorderLockPath cannot hold the lock:
// "telephony/cdrd.lock" under the configuration root, beside the default databases.
std::string FallbackLockPath();

// Which process holds the lock at `path`: its pid (> 0); 0 when none does (no such file, or the
// file is not locked). -1 when that cannot be told: the file cannot be opened or locked, or its
// holder wrote no pid within 0.1 s of taking it; `*error` (if not null) then says why. Never
// waits for the holder; it tests with a shared lock that it drops at once.
pid_t InstanceLockHolder(const std::string& path, std::string* error);

// Which process holds either of the recorder's locks (kRecorderLockPath, then FallbackLockPath()):
// as InstanceLockHolder, the first pid found; 0 when neither is held; -1 when neither names a
// holder and one cannot be told (`*error` then says why).
pid_t RecorderLockHolder(std::string* error);
