#include "platform/util/system_log.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A non-blocking socket: a logger whose queue (or, for a stream logger, backlog) is full makes
// connect and send fail with EAGAIN instead of waiting.
int Connect(int type) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0) return fd;
    int error = errno;
    close(fd);
    errno = error;
    return -1;
}

}  // namespace

bool SystemLog::Open(const char* ident, const struct tm& local) {
    Close();
    mpIdent = ident != nullptr ? ident : "";
    int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
    snprintf(mStamp, sizeof mStamp, "%s %2d %02d:%02d:%02d", kMonths[month], local.tm_mday,
             local.tm_hour, local.tm_min, local.tm_sec);
    mStream = false;
    mWaitLeftMs = kWaitBudgetMs;
    mFd = Connect(SOCK_DGRAM);
    if (mFd < 0 && errno == EPROTOTYPE) {
        mStream = true;
        mFd = Connect(SOCK_STREAM);
    }
    return mFd >= 0;
}

void SystemLog::Send(int level, const char* format, ...) {
    if (mFd < 0) return;
    char record[2048];
    int head = snprintf(record, sizeof record, "<%d>%s %s[%d]: ", LOG_USER | level, mStamp, mpIdent,
                        static_cast<int>(getpid()));
    if (head < 0 || static_cast<size_t>(head) >= sizeof record) return;
    va_list args;
    va_start(args, format);
    int body = vsnprintf(record + head, sizeof record - head, format, args);
    va_end(args);
    if (body < 0) return;
    size_t length = strnlen(record, sizeof record - 1);
    if (mStream) ++length;  // the NUL ends the record
    for (;;) {
        if (send(mFd, record, length, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return;
        if (errno != EINTR && !(errno == EAGAIN && WaitForRoom())) return;
    }
}

// Waits until the logger can take a record, for what is left of the connection's budget. False
// when the budget is spent: the connection then drops records at once.
bool SystemLog::WaitForRoom() {
    struct timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    struct pollfd room = {mFd, POLLOUT, 0};
    int ready = poll(&room, 1, mWaitLeftMs);
    clock_gettime(CLOCK_MONOTONIC, &after);
    long spent =
        (after.tv_sec - before.tv_sec) * 1000L + (after.tv_nsec - before.tv_nsec) / 1000000L;
    mWaitLeftMs = spent < mWaitLeftMs ? mWaitLeftMs - static_cast<int>(spent) : 0;
    return ready > 0 && mWaitLeftMs > 0;
}

void SystemLog::Close() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
}
