// Entry point of the recorder: the crash guard first, then the CDR manager, served until the
// process is stopped by a signal (which the guard reports) or an exception escapes (which the
// guard reports before the process ends with status 1). Command-line arguments other than the
// program path have no effect.
#include <exception>
#include <string>

#include "core/cdr_manager.h"
#include "guard/crash_guard.h"

namespace {

std::string ReportPath() { return std::string("/tmp/logs/") + "cdr.log"; }

}  // namespace

int main(int argc, char* argv[]) {
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
