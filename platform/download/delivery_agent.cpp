#include "platform/download/delivery_agent.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
#include <set>

#include "platform/download/delivery_monitor.h"
#include "platform/download/download_settings.h"
#include "platform/download/outbox.h"
#include "platform/download/outbox_trust.h"
#include "platform/download/transfer_process.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/log_stream.h"
#include "platform/util/system_log.h"

namespace {

const long long kFirstPauseMillis = 5000;
const long long kIdleMillis = 60000;  // an idle agent looks at the outbox at least this often
const int kPollSliceMillis = 1000;    // how soon a stop signal is noticed while waiting
const int kTransferPollMillis = 50;
const unsigned kTraceLineSize = 1024;

pid_t gAgentPid = 0;
int gAgentSocket = -1;
volatile sig_atomic_t gStopRequested = 0;

// The trace log's size limit for the agent's lines: mapped shared on the recorder's first call of
// SetDeliveryTraceLimit, before it forks an agent; process-private should the mapping fail.
std::atomic<unsigned long>* TraceLimit() {
    static std::atomic<unsigned long>* limit = [] {
        const unsigned long initial = 1024 * 1024;
        void* shared = mmap(nullptr, sizeof(std::atomic<unsigned long>), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) return new std::atomic<unsigned long>(initial);
        return new (shared) std::atomic<unsigned long>(initial);
    }();
    return limit;
}

// Appends one agent line to the trace log: the recorder's stamp, "[delivery] ", the text. One
// stream for the agent's life: it follows a rotation by the recorder within a second, and tells
// of a failing rotation once.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...) {
    static LogStream* stream = new LogStream("cdr.log", true, false, kTraceLogMaxBytes,
                                             kTraceLogBackups, kTraceLineSize, false);
    struct timespec now;
    Env::Current()->Now(&now);
    struct tm local;
    Env::Current()->LocalTime(now.tv_sec, &local);
    char line[kTraceLineSize];
    size_t length = strftime(line, sizeof line, "%H:%M:%S.", &local);
    length += static_cast<size_t>(snprintf(line + length, sizeof line - length,
                                           "%03ld  [delivery] ", now.tv_nsec / 1000000L));
    va_list args;
    va_start(args, format);
    vsnprintf(line + length, sizeof line - length, format, args);
    va_end(args);
    stream->SetSizeLimit(TraceLimit()->load(std::memory_order_relaxed));
    stream->TRACE(line, 3, 1);
}

// The agent's alarms: a warning line in the trace log and one record on the system log.
void RaiseAlarm(int priority, const char* text) {
    Trace("<WARNING> %s\n", text);
    SendAlarmToSystemLog(priority, text);
}

void TraceWarning(const char* text) {
    Trace("<WARNING> %s\n", text);
}

// Who may own the outbox, as people read it: "root", or "root or uid 1000".
std::string TrustedOwners() {
    if (geteuid() == 0) return "root";
    return "root or uid " + std::to_string(static_cast<unsigned long>(geteuid()));
}

// The warning sink in the agent: the line comes with its line end.
void TraceWarningLine(const char* line) {
    Trace("<WARNING> %s", line);
}

enum class RecorderNews { kNone, kNewFile, kGone };

// Reads what the recorder sent: bytes for new files, or the end of its socket.
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

std::string DescribeExit(const std::string& program, int status) {
    if (WIFEXITED(status))
        return program + " exited with status " + std::to_string(WEXITSTATUS(status));
    return program + " was killed by signal " + std::to_string(WTERMSIG(status));
}

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

class Agent {
  public:
    explicit Agent(int recorderFd)
        : mRecorderFd(recorderFd), mMonitor(static_cast<int>(getpid()), RaiseAlarm, TraceWarning) {}
    ~Agent() { CloseWake(); }
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Delivers until the recorder ends.
    void Run();

  private:
    enum class Wake { kTimeout, kNewFile, kRetry, kStop };

    // One turn: delivers the oldest file or waits. False once the recorder has ended.
    bool Turn();
    bool Deliver(const DownloadSettings& settings, const OutboxFile& file);
    // Waits up to `millis`; a new file ends the wait only when `newFileWakes`.
    Wake Wait(long long millis, bool newFileWakes);
    bool DrainWake();
    void ListenForRetry(const Outbox& outbox);
    void CloseWake();
    bool OutboxTrusted(const Outbox& outbox);
    std::vector<OutboxFile> DeliverableFiles(const Outbox& outbox);
    void NoteRefused(const Outbox& outbox, const std::vector<RefusedFile>& refused);
    void TraceOutput(const CapturedOutput& output);

    int mRecorderFd;
    int mWakeFd = -1;
    std::string mWakePath;
    std::string mWakeProblem;        // why the agent has no wake FIFO, as last traced
    std::string mFolderProblem;      // why the outbox is refused, as last traced
    std::set<std::string> mRefused;  // the files refused at the last look, each traced once
    long long mPauseMillis = 0;
    long long mNextAttempt = 0;
    DeliveryMonitor mMonitor;
    bool mFailing = false;  // the last attempt failed and its output was traced
    CapturedOutput mLastOutput;
};

void Agent::Run() {
    unsigned alarmAfterMinutes = static_cast<unsigned>(DeliveryHealth().alarmAfterMinutes);
    try {
        alarmAfterMinutes = ReadDownloadSettings(false).alarmAfterMinutes;
    } catch (const std::exception&) {
        // The first turn says why; the default delay holds meanwhile.
    }
    if (mMonitor.Started(alarmAfterMinutes))
        Trace(
            "agent %ld carries on from the failures recorded in this boot: deliveries failing "
            "for %lld s\n",
            static_cast<long>(getpid()),
            static_cast<long long>(DeliveryFailingSeconds(mMonitor.record(), BootMillis() / 1000)));
    while (Turn()) {
    }
    Trace("agent %ld ends: the recorder has ended\n", static_cast<long>(getpid()));
}

bool Agent::Turn() {
    DownloadSettings settings;
    std::vector<OutboxFile> files;
    try {
        settings = ReadDownloadSettings(false);
        Outbox outbox(settings.directory);
        if (!OutboxTrusted(outbox)) return Wait(kFirstPauseMillis, true) != Wake::kStop;
        ListenForRetry(outbox);
        files = DeliverableFiles(outbox);
    } catch (const std::exception& e) {
        Trace("<WARNING> cannot look into the outbox: %s\n", e.what());
        return Wait(kIdleMillis, true) != Wake::kStop;
    }
    if (files.empty() || settings.command.empty()) return Wait(kIdleMillis, true) != Wake::kStop;
    const long long now = MonotonicMillis();
    if (now < mNextAttempt) {
        const Wake wake = Wait(mNextAttempt - now, false);
        if (wake == Wake::kRetry) mNextAttempt = 0;
        return wake != Wake::kStop;
    }
    return Deliver(settings, files.front());
}

bool Agent::Deliver(const DownloadSettings& settings, const OutboxFile& file) {
    long records = -1;
    try {
        records = static_cast<long>(CountRecords(file.path));
    } catch (const std::exception&) {
        // Delivered as it is; the collector judges its content.
    }
    const TransferResult result =
        RunTransfer(settings.command, file.path, settings.timeoutSeconds, mRecorderFd);
    if (result.stopped) return false;
    mMonitor.AttemptEnded(result.delivered, result.reason, settings.alarmAfterMinutes);
    if (result.delivered) {
        mFailing = false;
        mPauseMillis = 0;
        mNextAttempt = 0;
        if (Env::Current()->Unlink(file.path.c_str()) != 0 && errno != ENOENT)
            Trace("<WARNING> delivered %s but cannot remove it (%s): it will be delivered again\n",
                  file.name.c_str(), strerror(errno));
        else
            Trace("delivered %s, %ld records\n", file.name.c_str(), records);
        return true;
    }
    const long long most = std::max(1LL, static_cast<long long>(settings.retryMaxSeconds) * 1000);
    mPauseMillis = std::min(most, mPauseMillis == 0 ? kFirstPauseMillis : 2 * mPauseMillis);
    mNextAttempt = MonotonicMillis() + mPauseMillis;
    Trace("<WARNING> %s not delivered: %s; next attempt in %lld s\n", file.name.c_str(),
          result.reason.c_str(), (mPauseMillis + 999) / 1000);
    TraceOutput(result.output);
    return true;
}

// Traces the output of a failed attempt; within one run of failures, output with the same ends
// as the last one traced is only counted.
void Agent::TraceOutput(const CapturedOutput& output) {
    if (output.total() == 0) return;
    if (mFailing && output.SameEnds(mLastOutput)) {
        Trace("command output as on the previous attempt (%llu bytes)\n", output.total());
        return;
    }
    Trace("command output (%llu bytes):\n", output.total());
    for (const std::string& line : output.Lines()) Trace("| %s\n", line.c_str());
    mLastOutput = output;
    mFailing = true;
}

Agent::Wake Agent::Wait(long long millis, bool newFileWakes) {
    const long long deadline = MonotonicMillis() + millis;
    for (;;) {
        const RecorderNews news = ReadRecorder(mRecorderFd);
        if (news == RecorderNews::kGone) return Wake::kStop;
        if (news == RecorderNews::kNewFile && newFileWakes) return Wake::kNewFile;
        if (DrainWake()) return Wake::kRetry;
        const long long left = deadline - MonotonicMillis();
        if (left <= 0) return Wake::kTimeout;
        struct pollfd fds[2] = {{mRecorderFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::min<long long>(left, kPollSliceMillis)));
    }
}

bool Agent::DrainWake() {
    if (mWakeFd < 0) return false;
    bool woken = false;
    char bytes[64];
    while (Env::Current()->Read(mWakeFd, bytes, sizeof bytes) > 0) woken = true;
    return woken;
}

// Keeps the agent listening on the outbox's wake FIFO: opened when the outbox is new to the agent
// and whenever something else took its place. Anything at ".wake" other than a FIFO of this user
// is replaced, with a warning. Throws when the outbox cannot be created; a FIFO that cannot be had
// only loses the wake-ups: the agent then waits out its pauses.
void Agent::ListenForRetry(const Outbox& outbox) {
    if (outbox.WakePath() != mWakePath) {
        CloseWake();
        mWakePath = outbox.WakePath();
        mWakeProblem.clear();
        Trace("agent %ld serves %s\n", static_cast<long>(getpid()), outbox.directory().c_str());
        MakeDirs(outbox.directory());
    } else if (mWakeFd >= 0 && StillAt(mWakeFd, mWakePath)) {
        return;
    }
    CloseWake();
    const WakeFifo wake = OpenAgentWakeFifo(mWakePath);
    mWakeFd = wake.fd;
    if (!wake.replaced.empty())
        Trace("<WARNING> %s was %s: replaced by a new FIFO of the agent\n", mWakePath.c_str(),
              wake.replaced.c_str());
    if (!wake.problem.empty() && wake.problem != mWakeProblem)
        Trace(
            "<WARNING> cannot listen on %s (%s): deliveries go on, \"cdrctl spool retry\" "
            "cannot reach this agent\n",
            mWakePath.c_str(), wake.problem.c_str());
    mWakeProblem = wake.problem;
}

void Agent::CloseWake() {
    if (mWakeFd >= 0) Env::Current()->Close(mWakeFd);
    mWakeFd = -1;
}

// True when the outbox's folder may be delivered from. Traces a warning when it becomes refused
// and a line when it is accepted again, not one per look.
bool Agent::OutboxTrusted(const Outbox& outbox) {
    const std::string problem = OutboxFolderProblem(outbox.directory());
    if (problem != mFolderProblem && !problem.empty())
        Trace(
            "<WARNING> the outbox %s is %s: nothing is delivered from it until it is owned by "
            "%s and not writable by others\n",
            outbox.directory().c_str(), problem.c_str(), TrustedOwners().c_str());
    else if (problem != mFolderProblem)
        Trace("the outbox %s is the recorder's again: deliveries resume\n",
              outbox.directory().c_str());
    mFolderProblem = problem;
    return problem.empty();
}

// The outbox's files in delivery order, the first of them checked again through an opened
// descriptor (what the listing saw may have been replaced since); refused files are left out.
std::vector<OutboxFile> Agent::DeliverableFiles(const Outbox& outbox) {
    std::vector<RefusedFile> refused;
    std::vector<OutboxFile> files = outbox.Files(&refused);
    while (!files.empty()) {
        const std::string problem = OpenedFileProblem(files.front().path);
        if (problem.empty()) break;
        refused.push_back({files.front().name, problem});
        files.erase(files.begin());
    }
    NoteRefused(outbox, refused);
    return files;
}

// Warns once about each refused file: again only after it was gone or accepted for a look.
void Agent::NoteRefused(const Outbox& outbox, const std::vector<RefusedFile>& refused) {
    std::set<std::string> names;
    for (const RefusedFile& file : refused) {
        names.insert(file.name);
        if (mRefused.count(file.name) == 0)
            Trace("<WARNING> %s%s is not delivered: %s; it is left as it is\n",
                  outbox.directory().c_str(), file.name.c_str(), file.problem.c_str());
    }
    mRefused.swap(names);
}

void StopRequested(int) {
    gStopRequested = 1;
}

// The forked child's own signal set-up: the recorder's crash handlers do not apply to it; a
// request to end it ends it as the end of the recorder does, killing its transfer first.
void BecomeAgentProcess() {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &action, nullptr);
    action.sa_handler = StopRequested;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_NAME, "cdrd-delivery", 0, 0, 0);
    SetWarningSink(TraceWarningLine);  // the recorder's sink writes to its log, not open here
    if (!BecomeSubreaper())
        Trace("transfers are ended through /proc: this system refuses a subreaper (%s)\n",
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
            Agent(recorder).Run();
        } catch (...) {
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

void SetDeliveryTraceLimit(unsigned long bytes) {
    TraceLimit()->store(bytes, std::memory_order_relaxed);
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
