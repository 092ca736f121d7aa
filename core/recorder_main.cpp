#include "core/recorder_main.h"

#include <stdio.h>

#include <exception>
#include <string>

#include "core/cdr_manager.h"
#include "guard/crash_guard.h"
#include "platform/util/diag.h"
#include "platform/util/file_util.h"
#include "platform/util/log_stream.h"
#include "state/instance_lock.h"

namespace {

// How the recorder stands with its instance locks once it may start.
struct LockState {
    std::string note;      // a line for the trace log when it does not hold the usual lock
    std::string unlocked;  // why it holds no lock at all; empty when it holds one
};

// Names the recorder that holds `lock` (at `path`); one that could not write its pid there is
// found by the other lock it then holds.
bool RefuseToStart(const InstanceLock& lock, const std::string& path) {
    const pid_t holder = lock.holder() > 0 ? lock.holder() : RecorderLockHolder(nullptr);
    if (holder > 0)
        fprintf(stderr, "cdrd: another recorder is running (pid %ld); not starting\n",
                static_cast<long>(holder));
    else
        fprintf(stderr, "cdrd: another recorder holds %s; not starting\n", path.c_str());
    return false;
}

// Both reasons, as one line.
std::string Both(const InstanceLock& main, const InstanceLock& fallback) {
    return main.error() + "; " + fallback.error();
}

// Takes the device's instance lock and the one beside the default databases. False when another
// recorder holds either: two recorders must never share one set of databases, and one that had
// to make do with the second lock still holds it when the first becomes usable again. The second
// lock matters only where the runtime folder cannot hold the first (or the pid in it); where
// neither can be taken the recorder runs without: losing every call would be worse.
bool BecomeTheOnlyRecorder(InstanceLock* main, InstanceLock* fallback, LockState* state) {
    const InstanceLock::Result usual = main->Acquire();
    if (usual == InstanceLock::Result::kHeld) return RefuseToStart(*main, kRecorderLockPath);
    try {
        MakeDirs(DirName(FallbackLockPath()));
    } catch (const std::exception&) {
        // Acquire tells why the lock cannot be taken there.
    }
    const InstanceLock::Result other = fallback->Acquire();
    if (other == InstanceLock::Result::kHeld) return RefuseToStart(*fallback, FallbackLockPath());
    if (usual == InstanceLock::Result::kAcquired && main->error().empty()) return true;
    if (other == InstanceLock::Result::kAcquired) {
        state->note = "holding the instance lock " + FallbackLockPath() + " since " +
                      main->error() + (fallback->error().empty() ? "" : "; " + fallback->error());
    } else if (usual == InstanceLock::Result::kAcquired) {
        state->note = "holding the instance lock " + std::string(kRecorderLockPath) +
                      " without a pid in it: " + Both(*main, *fallback);
    } else {
        state->unlocked = Both(*main, *fallback);
        state->note = "running without an instance lock: " + state->unlocked;
    }
    return true;
}

}  // namespace

int RecorderMain(int argc, char* argv[]) {
    // The composed path is a temporary: the guard keeps its own copy.
    CrashGuard guard(TraceLogPath().c_str(), "Call Detail Recorder", argc > 0 ? argv[0] : nullptr,
                     true, false);
    InstanceLock lock(kRecorderLockPath);
    InstanceLock fallbackLock(FallbackLockPath());
    LockState state;
    if (!BecomeTheOnlyRecorder(&lock, &fallbackLock, &state)) return 1;
    try {
        CDRManager manager;
        if (!state.note.empty()) Warn("%s\n", state.note.c_str());
        manager.SetRunningUnlocked(state.unlocked);
        manager.Run();
    } catch (const std::exception& e) {
        CrashGuard::Abort(e.what());
    } catch (...) {
        CrashGuard::Abort("Unknown exception in main");
    }
    return 0;
}
