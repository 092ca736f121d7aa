#include "guard/crash_guard.h"

#include <errno.h>
#include <execinfo.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "guard/stack_capture.h"
#include "guard/zone_table.h"
#include "platform/util/env.h"
#include "platform/util/log_stream.h"
#include "platform/util/thread.h"

char* CrashGuard::mpLogFile = nullptr;
char* CrashGuard::mpAppName = nullptr;
char* CrashGuard::mpAppPath = nullptr;
char* CrashGuard::mpCmdLine = nullptr;
char* CrashGuard::mpTraceBuf = nullptr;
int CrashGuard::mSyslogOn = 0;
int CrashGuard::mAutoRestart = 0;
std::atomic<int> CrashGuard::mIsDone{0};
CrashGuard::UserRoutine CrashGuard::mpUserRoutine = nullptr;
void* CrashGuard::mpUserData = nullptr;

namespace {

constexpr size_t kCmdLineSize = 256;
constexpr unsigned kAppPathSize = 1024;

struct GuardedSignal {
    int number;
    char name[10];
    bool fault;  // a fault gets a backtrace; a stop signal a one-line report
};

// The handled signals; a row's index also selects its saved action in sOldActions.
GuardedSignal sSignals[] = {
    {SIGHUP, "SIGHUP", false},   {SIGINT, "SIGINT", false},      {SIGQUIT, "SIGQUIT", false},
    {SIGTERM, "SIGTERM", false}, {SIGTSTP, "SIGTSTP", false},    {SIGILL, "SIGILL", true},
    {SIGABRT, "SIGABRT", true},  {SIGBUS, "SIGBUS", true},       {SIGFPE, "SIGFPE", true},
    {SIGSEGV, "SIGSEGV", true},  {SIGSTKFLT, "SIGSTKFLT", true},
};
constexpr int kSignalCount = sizeof sSignals / sizeof sSignals[0];
char sUnknownName[] = "Unknown";

struct sigaction sAction;
struct sigaction sOldActions[kSignalCount];

int RowOf(int signal) {
    for (int row = 0; row < kSignalCount; ++row)
        if (sSignals[row].number == signal) return row;
    return -1;
}

char* CopyOf(const char* text) {
    return text != nullptr ? strdup(text) : nullptr;
}

const char* AfterLast(const char* path, char separator) {
    const char* found = strrchr(path, separator);
    return found != nullptr ? found + 1 : nullptr;
}

// The application name a guard derives from the program path when it is given none.
const char* LastComponent(const char* path) {
    if (const char* name = AfterLast(path, '/')) return name;
    if (const char* name = AfterLast(path, '\\')) return name;
    return path;
}

void RestoreDefaultAndRaise(int signal) {
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

}  // namespace

CrashGuard::CrashGuard(const char* logFile, const char* appName, const char* appPath, bool syslogOn,
                       bool autoRestart) {
    if (mpTraceBuf != nullptr) return;

    // The first backtrace loads the unwinder; a signal handler must not be the one to do that.
    void* warmUp[1];
    backtrace(warmUp, 1);
    struct timespec now = {};
    Env::Current()->Now(&now);
    LocalZone::Learn(now.tv_sec);

    sigfillset(&sAction.sa_mask);
    sAction.sa_handler = FuneralProc;
    sAction.sa_flags = 0;
    for (int row = 0; row < kSignalCount; ++row)
        sigaction(sSignals[row].number, &sAction, &sOldActions[row]);

    mSyslogOn = syslogOn ? 1 : 0;
    mAutoRestart = autoRestart ? 1 : 0;
    mpLogFile = CopyOf(logFile);
    char* traceBuf = static_cast<char*>(calloc(kReportSize, 1));
    mpCmdLine = static_cast<char*>(calloc(kCmdLineSize, 1));
    if (appPath != nullptr) {
        mpAppPath = strdup(appPath);
    } else if ((mpAppPath = static_cast<char*>(calloc(kAppPathSize, 1))) != nullptr) {
        Thread::GetCommandLine(mpAppPath, kAppPathSize, true, false, true);
    }
    if (mpCmdLine != nullptr) Thread::GetCommandLine(mpCmdLine, kCmdLineSize, false, false, false);
    mpAppName = appName != nullptr ? strdup(appName)
                                   : CopyOf(LastComponent(mpAppPath != nullptr ? mpAppPath : ""));
    // The report buffer comes last: the handler writes reports only once every text is in place.
    mpTraceBuf = traceBuf;

    if (mAutoRestart) WritePidFile();
}

CrashGuard::~CrashGuard() {
    // Out of force first, so that a signal meanwhile writes no report with freed texts.
    char* traceBuf = mpTraceBuf;
    mpTraceBuf = nullptr;
    for (char** text : {&mpLogFile, &mpAppName, &mpAppPath, &mpCmdLine}) {
        free(*text);
        *text = nullptr;
    }
    free(traceBuf);
}

void CrashGuard::FuneralProc(int signal) {
    if (signal == SIGABRT) LeaveStackCapture();
    int savedErrno = errno;
    int row = RowOf(signal);
    bool fault = row < 0 || sSignals[row].fault;
    if (mIsDone.exchange(1) != 0) {
        // Returning from a fault would run the faulting instruction again.
        if (row >= 0 && fault) RestoreDefaultAndRaise(signal);
        errno = savedErrno;
        return;
    }
    char* name = row >= 0 ? sSignals[row].name : sUnknownName;
    if (row >= 0) sigaction(signal, &sOldActions[row], nullptr);

    // The trace lines held for a later write come before the report, as they happened.
    LogStream::WriteHeldFromSignalHandler();
    if (!fault)
        ReportStop(signal, name);
    else if (!IsDebuggerOn())
        DumpStack(signal, name, nullptr);
    if (mpUserRoutine != nullptr) mpUserRoutine(fault, signal, mpUserData);
    if (fault && mAutoRestart && mpAppPath != nullptr) CreateProcess(mpAppPath, mpCmdLine, nullptr);

    // Every signal is blocked in here: this one arrives as the handler returns, under the action
    // just reinstalled.
    raise(signal);
    errno = savedErrno;
}

void CrashGuard::Abort(const char* reason) {
    LogStream::WriteHeldFromSignalHandler();
    DumpStack(SIGABRT, nullptr, reason);
    exit(1);
}

bool CrashGuard::IsDebuggerOn() {
    return false;
}

void CrashGuard::SetUserRoutine(UserRoutine routine, void* data) {
    mpUserRoutine = routine;
    mpUserData = data;
}
