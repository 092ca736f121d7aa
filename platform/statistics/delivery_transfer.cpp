#include "platform/statistics/delivery_transfer.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/statistics/recorder_link.h"
#include "platform/util/env.h"

namespace {

const int kTransferPollMillis = 50;

// Reads what the transfer wrote so far; false once every writer has closed the pipe.
bool ReadOutput(int fd, CapturedOutput* output) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
            output->Append(chunk, static_cast<size_t>(got));
        } else if (got == 0) {
            return false;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
}

// Kills what is left of the transfer's process group and reaps its leader.
int EndGroup(pid_t leader) {
    kill(-leader, SIGKILL);
    int status = 0;
    while (waitpid(leader, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// The environment entry that marks the processes of one transfer of this agent.
std::string TransferMarker() {
    static unsigned long transfers = 0;
    return "CDRD_TRANSFER=" + std::to_string(static_cast<long>(getpid())) + "." +
           std::to_string(++transfers);
}

// Waits for the transfer `child` to end, the recorder to end or the time to run out, draining
// its output all along so that it never blocks on a full pipe. `child` is reaped on return.
TransferResult WaitForTransfer(const std::string& program, pid_t child, int outputFd,
                               unsigned timeoutSeconds, int recorderFd) {
    const long long deadline = MonotonicMillis() + static_cast<long long>(timeoutSeconds) * 1000;
    TransferResult result = {false, false, "", {}};
    bool outputOpen = true;
    for (;;) {
        if (outputOpen) outputOpen = ReadOutput(outputFd, &result.output);
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            result.delivered = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (!result.delivered) result.reason = DescribeExit(program, status);
            return result;
        }
        if (ReadRecorder(recorderFd) == RecorderNews::kGone) {
            EndGroup(child);
            result.stopped = true;
            result.reason = "the recorder has ended";
            return result;
        }
        if (MonotonicMillis() >= deadline) {
            EndGroup(child);
            result.reason = program + " took longer than " + std::to_string(timeoutSeconds) +
                            " s and was killed";
            return result;
        }
        struct pollfd fds[2] = {{recorderFd, POLLIN, 0}, {outputOpen ? outputFd : -1, POLLIN, 0}};
        poll(fds, 2, kTransferPollMillis);
    }
}

}  // namespace

std::string DescribeExit(const std::string& program, int status) {
    if (WIFEXITED(status))
        return program + " exited with status " + std::to_string(WEXITSTATUS(status));
    return program + " was killed by signal " + std::to_string(WTERMSIG(status));
}

TransferResult RunTransfer(const std::vector<std::string>& command, const std::string& path,
                           unsigned timeoutSeconds, int recorderFd) {
    int error = 0;
    int outputFd = -1;
    const std::string marker = TransferMarker();
    const pid_t child = SpawnCaptured(command, path, marker, &outputFd, &error);
    if (child < 0) return {false, false, "cannot run " + command[0] + ": " + strerror(error), {}};
    TransferResult result =
        WaitForTransfer(command[0], child, outputFd, timeoutSeconds, recorderFd);
    EndDescendants(child, marker);
    ReadOutput(outputFd, &result.output);  // what the last of them wrote before they ended
    close(outputFd);
    return result;
}
