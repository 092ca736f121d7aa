#include "platform/statistics/recorder_link.h"

#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace {

volatile sig_atomic_t gStopRequested = 0;

}  // namespace

RecorderNews ReadRecorder(int fd) {
    if (gStopRequested) return RecorderNews::kGone;
    if (fd < 0) return RecorderNews::kNone;
    RecorderNews news = RecorderNews::kNone;
    char bytes[64];
    for (;;) {
        const ssize_t got = recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
        if (got > 0) {
            news = RecorderNews::kNewFile;
        } else if (got == 0) {
            return RecorderNews::kGone;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? news : RecorderNews::kGone;
        }
    }
}

void RequestAgentStop(int) {
    gStopRequested = 1;
}
