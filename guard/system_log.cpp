#include "guard/system_log.h"

#include <errno.h>
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

int Connect(int type) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
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
    while (send(mFd, record, length, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

void SystemLog::Close() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
}
