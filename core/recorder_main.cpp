#include "core/recorder_main.h"

#include <stdio.h>

#include <exception>
#include <string>

#include "core/cdr_manager.h"
#include "guard/crash_guard.h"
#include "platform/util/diag.h"
#include "platform/util/instance_lock.h"

namespace {

std::string ReportPath() {
    return std::string("/tmp/logs/") + "cdr.log";
}

// Takes the device's instance lock; false when another recorder holds it. A lock that cannot be
// taken at all (no runtime folder) is not worth losing every call over: the recorder runs without.
bool BecomeTheOnlyRecorder(InstanceLock* lock) {
    switch (lock->Acquire()) {
        case InstanceLock::Result::kAcquired:
            return true;
        case InstanceLock::Result::kHeld:
            if (lock->holder() > 0)
                fprintf(stderr, "cdrd: another recorder is running (pid %ld); not starting\n",
                        static_cast<long>(lock->holder()));
            else
                fprintf(stderr, "cdrd: another recorder holds %s; not starting\n",
                        kRecorderLockPath);
            return false;
        case InstanceLock::Result::kFailed:
            Warn("%s; running without it\n", lock->error().c_str());
            return true;
    }
    return true;
}

}  // namespace

int RecorderMain(int argc, char* argv[]) {
    // The composed path is a temporary: the guard keeps its own copy.
    CrashGuard guard(ReportPath().c_str(), "Call Detail Recorder", argc > 0 ? argv[0] : nullptr,
                     true, false);
    InstanceLock lock(kRecorderLockPath);
    if (!BecomeTheOnlyRecorder(&lock)) return 1;
    try {
        CDRManager manager;
        manager.Run();
    } catch (const std::exception& e) {
        CrashGuard::Abort(e.what());
    } catch (...) {
        CrashGuard::Abort("Unknown exception in main");
    }
    return 0;
}
