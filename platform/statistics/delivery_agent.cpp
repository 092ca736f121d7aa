#include "platform/statistics/delivery_agent.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>

#include "platform/statistics/delivery_loop.h"
#include "platform/statistics/delivery_trace.h"
#include "platform/statistics/delivery_transfer.h"
#include "platform/statistics/download_settings.h"
#include "platform/statistics/recorder_link.h"
#include "platform/statistics/transfer_process.h"
#include "platform/util/diag.h"

namespace {

pid_t gAgentPid = 0;
int gAgentSocket = -1;

// The warning sink in the agent: the line comes with its line end.
void TraceWarningLine(const char* line) {
    DeliveryTrace("<WARNING> %s", line);
}

// The forked child's own signal set-up: the recorder's crash handlers do not apply to it; a
// request to end it ends it as the end of the recorder does, killing its transfer first.
void BecomeAgentProcess() {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &action, nullptr);
    action.sa_handler = RequestAgentStop;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_NAME, "cdrd-delivery", 0, 0, 0);
    SetWarningSink(TraceWarningLine);  // the recorder's sink writes to its log, not open here
    if (!BecomeSubreaper())
        DeliveryTrace("transfers are ended through /proc: this system refuses a subreaper (%s)\n",
                      strerror(errno));
}

// True when the agent this process started still runs; reaps one that ended.
bool AgentRuns() {
    if (gAgentPid <= 0) return false;
    int status = 0;
    if (waitpid(gAgentPid, &status, WNOHANG) == 0) return true;
    Warn("Download: the delivery agent %ld ended (%s); a new one is started.\n",
         static_cast<long>(gAgentPid), DescribeExit("it", status).c_str());
    close(gAgentSocket);
    gAgentSocket = -1;
    gAgentPid = 0;
    return false;
}

void LaunchAgent() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        Warn("Download: cannot start the delivery agent: socketpair: %s.\n", strerror(errno));
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Nothing of the recorder's stays open here: a lock or log held by an agent that
        // outlives the recorder would keep the next recorder out.
        const int recorder = KeepOnlyDescriptor(ends[1]);
        BecomeAgentProcess();
        try {
            RunDeliveryLoop(recorder);
        } catch (const std::exception& e) {
            Warn("Download: the delivery agent stops: %s.\n", e.what());
            _exit(1);
        } catch (...) {
            Warn("Download: the delivery agent stops: an exception of unknown kind.\n");
            _exit(1);
        }
        _exit(0);
    }
    close(ends[1]);
    if (pid < 0) {
        Warn("Download: cannot start the delivery agent: fork: %s.\n", strerror(errno));
        close(ends[0]);
        return;
    }
    gAgentPid = pid;
    gAgentSocket = ends[0];
}

}  // namespace

void StartDeliveryAgent() {
    if (AgentRuns()) {
        send(gAgentSocket, "n", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    try {
        if (ReadDownloadSettings(false).command.empty()) return;
    } catch (const std::exception& e) {
        Warn("Download: the delivery agent is not started: %s.\n", e.what());
        return;
    }
    LaunchAgent();
}

void StopDeliveryAgent() {
    if (gAgentPid <= 0) return;
    close(gAgentSocket);
    int status = 0;
    while (waitpid(gAgentPid, &status, 0) < 0 && errno == EINTR) {
    }
    gAgentSocket = -1;
    gAgentPid = 0;
}
