#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "guard/crash_guard.h"
#include "guard/frame_symbol.h"
#include "guard/stack_capture.h"
#include "guard/zone_table.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/log_stream.h"
#include "platform/util/system_log.h"

namespace {

constexpr size_t kTraceBufSize = CrashGuard::kReportSize;
constexpr int kMaxFrames = 128;

const char* TextOf(const char* text) {
    return text != nullptr ? text : "";
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

}  // namespace

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
