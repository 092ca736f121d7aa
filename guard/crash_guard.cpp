#include "guard/crash_guard.h"

#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <setjmp.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "guard/frame_symbol.h"
#include "guard/zone_table.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/log_stream.h"
#include "platform/util/system_log.h"
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

constexpr size_t kTraceBufSize = 4096;
constexpr size_t kCmdLineSize = 256;
constexpr unsigned kAppPathSize = 1024;
constexpr size_t kArgsSize = 256;
constexpr int kMaxFrames = 128;
constexpr int kMaxArgs = 15;  // arguments after the program path

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
// The id of the process as it started, before any fork the program makes.
const pid_t sStartPid = getpid();

// Where a capture of the stack goes on when the unwinder gives up by calling abort, as it does on
// a frame it cannot read (a corrupted stack, or a signal frame it does not know). Per thread, so
// that an abort elsewhere never jumps into this thread's capture.
thread_local sigjmp_buf sCaptureEscape;
thread_local volatile sig_atomic_t sCapturing = 0;

// The return addresses of the calling thread's stack, innermost first. When the unwinder gave
// up, the frames it had stored before the one it could not read.
int CaptureFrames(void** frames, int max) {
    for (int i = 0; i < max; ++i) frames[i] = nullptr;
    if (sigsetjmp(sCaptureEscape, 1) != 0) {
        sCapturing = 0;
        int stored = 0;
        while (stored < max && frames[stored] != nullptr) ++stored;
        return stored;
    }
    sCapturing = 1;
    int count = backtrace(frames, max);
    sCapturing = 0;
    return count;
}

int RowOf(int signal) {
    for (int row = 0; row < kSignalCount; ++row)
        if (sSignals[row].number == signal) return row;
    return -1;
}

const char* TextOf(const char* text) {
    return text != nullptr ? text : "";
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

struct tm LocalNow() {
    struct timespec now = {};
    Env::Current()->Now(&now);
    struct tm local;
    LocalZone::BreakDown(now.tv_sec, &local);
    return local;
}

// Appends formatted text to the report buffer at `used`, stopping at its end; returns the new
// length of the text in the buffer.
__attribute__((format(printf, 3, 4))) size_t Append(char* buffer, size_t used, const char* format,
                                                    ...) {
    if (used >= kTraceBufSize - 1) return used;
    va_list args;
    va_start(args, format);
    int added = vsnprintf(buffer + used, kTraceBufSize - used, format, args);
    va_end(args);
    if (added < 0) return used;
    size_t end = used + static_cast<size_t>(added);
    return end < kTraceBufSize - 1 ? end : kTraceBufSize - 1;
}

size_t AppendRun(char* buffer, size_t used, char character, long count) {
    for (long i = 0; i < count && used < kTraceBufSize - 1; ++i) buffer[used++] = character;
    buffer[used] = '\0';
    return used;
}

// Whether the folder holding `path` may hold the report file (see LogFolderFlaw).
bool FolderIsTrusted(const char* path) {
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) path = slash = ".";  // a name alone lies in the working folder
    char folder[PATH_MAX];
    size_t length = slash > path ? static_cast<size_t>(slash - path) : 1;  // "/" keeps its slash
    if (length >= sizeof folder) return false;
    memcpy(folder, path, length);
    folder[length] = '\0';
    struct stat status;
    return lstat(folder, &status) == 0 && LogFolderFlaw(status, geteuid()) == nullptr;
}

// Appends `text` to the file at `path` with plain system calls (the POSIX environment, never an
// installed one: this runs in a signal handler); a file that cannot be opened, or that lies in a
// folder or is a file another user controls, is skipped.
void AppendToFile(const char* path, const char* text) {
    if (!FolderIsTrusted(path)) return;
    Env* posix = Env::Posix();
    int fd = posix->Open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                         0644);
    if (fd < 0) return;
    struct stat status;
    if (fstat(fd, &status) == 0 && LogFileFlaw(status, geteuid()) == nullptr) {
        posix->WriteFully(fd, text, strlen(text));
    }
    posix->Close(fd);
}

void RestoreDefaultAndRaise(int signal) {
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

// Splits `text` in place at every space into argv[1] to argv[kMaxArgs]; the last one keeps the
// rest of the text, spaces included.
void SplitArguments(char* text, char** argv) {
    if (*text == '\0') return;
    argv[1] = text;
    for (int i = 2; i <= kMaxArgs; ++i) {
        char* space = strchr(argv[i - 1], ' ');
        if (space == nullptr) return;
        *space = '\0';
        argv[i] = space + 1;
    }
}

// Runs in the intermediate child of a detached start: starts the program in a grandchild with a
// session of its own and ends at once, so that the program's parent is gone.
[[noreturn]] void StartGrandchild(const char* path, char* const* argv, const int* pipeFds) {
    pid_t grandchild = vfork();
    if (grandchild == 0) {
        setsid();
        dup2(pipeFds[0], STDIN_FILENO);
        dup2(pipeFds[1], STDOUT_FILENO);
        // A pipe end that landed on standard input or output is in its place already.
        for (int i = 0; i < 2; ++i)
            if (pipeFds[i] > STDOUT_FILENO) close(pipeFds[i]);
        close(STDERR_FILENO);
        execv(path, argv);
        _exit(1);
    }
    _exit(grandchild < 0 ? 1 : 0);
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
    char* traceBuf = static_cast<char*>(calloc(kTraceBufSize, 1));
    mpCmdLine = static_cast<char*>(calloc(kCmdLineSize, 1));
    if (appPath != nullptr) {
        mpAppPath = strdup(appPath);
    } else if ((mpAppPath = static_cast<char*>(calloc(kAppPathSize, 1))) != nullptr) {
        Thread::GetCommandLine(mpAppPath, kAppPathSize, true, false, true);
    }
    if (mpCmdLine != nullptr) Thread::GetCommandLine(mpCmdLine, kCmdLineSize, false, false, false);
    mpAppName = appName != nullptr ? strdup(appName) : CopyOf(LastComponent(TextOf(mpAppPath)));
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

void CrashGuard::WritePidFile() {
    if (mpAppPath == nullptr) return;
    const char* slash = AfterLast(mpAppPath, '/');
    const char* name = slash != nullptr ? slash : mpAppPath;
    size_t size = strlen("/var/run/") + strlen(name) + strlen(".pid") + 1;
    char* path = static_cast<char*>(malloc(size));
    if (path == nullptr) return;
    snprintf(path, size, "/var/run/%s.pid", name);
    Env* env = Env::Current();
    int fd = env->Open(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
    free(path);
    if (fd < 0) return;
    char text[16];
    int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(sStartPid));
    env->WriteFully(fd, text, static_cast<size_t>(length));
    env->Close(fd);
}

void CrashGuard::FuneralProc(int signal) {
    if (signal == SIGABRT && sCapturing) siglongjmp(sCaptureEscape, 1);
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

void CrashGuard::ReportStop(int signal, const char* signalName) {
    char* buffer = mpTraceBuf;
    if (buffer == nullptr) return;
    struct tm local = LocalNow();
    Append(buffer, 0,
           "\n======= Process %s (%s) has been stopped by signal %s(%d) at %02d:%02d:%02d "
           "=======\n",
           TextOf(mpAppPath), TextOf(mpAppName), signalName, signal, local.tm_hour, local.tm_min,
           local.tm_sec);
    if (mSyslogOn) {
        SystemLog log;
        log.Open(TextOf(mpAppName), local);
        log.Send(LOG_WARNING, "%s", buffer);
    }
    if (mpLogFile != nullptr) AppendToFile(mpLogFile, buffer);
}

void CrashGuard::DumpStack(int signal, char* signalName, const char* reason) {
    char* buffer = mpTraceBuf;
    if (buffer == nullptr) return;
    const char* appPath = TextOf(mpAppPath);
    const char* appName = TextOf(mpAppName);
    size_t used;
    if (signalName != nullptr) {
        used = Append(buffer, 0,
                      "\n======= Backtrace dump of the process %s (%s), got signal %s(%d) "
                      "=======\n",
                      appPath, appName, signalName, signal);
    } else {
        used = Append(buffer, 0,
                      "\n======= Backtrace dump of the process %s (%s), caught C++ unhandled "
                      "exception%s%s =======\n",
                      appPath, appName, reason != nullptr ? ", reason: " : "", TextOf(reason));
    }
    const long bannerLength = static_cast<long>(used);

    void* frames[kMaxFrames];
    int frameCount = CaptureFrames(frames, kMaxFrames);
    SystemLog log;
    if (mSyslogOn) {
        log.Open(appName, LocalNow());
        log.Send(LOG_ERR, "%s", buffer);
    }
    char symbol[1024];
    for (int i = 0; i < frameCount; ++i) {
        FormatFrameSymbol(frames[i], symbol, sizeof symbol);
        if (mSyslogOn) log.Send(LOG_ERR, " %p: %s", frames[i], symbol);
        used = Append(buffer, used, " %p: %s\n", frames[i], symbol);
    }
    if (mSyslogOn) {
        log.Send(LOG_ERR, "========= End of Backtace of the %s =========\n", appName);
        log.Close();
    }

    // The closing line is as wide as the banner's text, or one character wider.
    long half = (bannerLength - 18) / 2;
    if (half > 1) {
        used = AppendRun(buffer, used, '=', half);
        used = Append(buffer, used, " End of Backtace ");
        used = AppendRun(buffer, used, '=', half);
        Append(buffer, used, "\n\n");
    } else {
        Append(buffer, used, "========= End of Backtace of the %s =========\n\n", appName);
    }
    if (mpLogFile != nullptr) AppendToFile(mpLogFile, buffer);
}

void CrashGuard::Abort(const char* reason) {
    DumpStack(SIGABRT, nullptr, reason);
    exit(1);
}

bool CrashGuard::IsDebuggerOn() {
    return false;
}

bool CrashGuard::CreateProcess(const char* path, const char* args, unsigned long* pid) {
    char text[kArgsSize] = {};
    if (args != nullptr) strncpy(text, args, kArgsSize - 1);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    char* argv[kMaxArgs + 2] = {};
    argv[0] = const_cast<char*>(path);
    SplitArguments(text, argv);

    pid_t child = vfork();
    if (child == 0) StartGrandchild(path, argv, pipeFds);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (child < 0) return false;
    waitpid(child, nullptr, WNOHANG);
    // The program itself normally got the next process id after the intermediate child.
    if (pid != nullptr) *pid = static_cast<unsigned long>(child) + 1;
    return true;
}

void CrashGuard::SetUserRoutine(UserRoutine routine, void* data) {
    mpUserRoutine = routine;
    mpUserData = data;
}
