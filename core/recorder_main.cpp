#include "core/recorder_main.h"

#include <exception>
#include <string>

#include "core/cdr_manager.h"
#include "guard/crash_guard.h"

namespace {

std::string ReportPath() {
    return std::string("/tmp/logs/") + "cdr.log";
}

}  // namespace

int RecorderMain(int argc, char* argv[]) {
    // The composed path is a temporary: the guard keeps its own copy.
    CrashGuard guard(ReportPath().c_str(), "Call Detail Recorder", argc > 0 ? argv[0] : nullptr,
                     true, false);
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
