#include "platform/statistics/delivery_loop.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include "platform/statistics/delivery_monitor.h"
#include "platform/statistics/delivery_trace.h"
#include "platform/statistics/delivery_transfer.h"
#include "platform/statistics/download_settings.h"
#include "platform/statistics/outbox.h"
#include "platform/statistics/outbox_trust.h"
#include "platform/statistics/recorder_link.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/system_log.h"

namespace {

const long long kFirstPauseMillis = 5000;
const long long kIdleMillis = 60000;  // an idle agent looks at the outbox at least this often
const int kPollSliceMillis = 1000;    // how soon a stop signal is noticed while waiting

// The agent's alarms: a warning line in the trace log and one record on the system log.
void RaiseAlarm(int priority, const char* text) {
    DeliveryTrace("<WARNING> %s\n", text);
    SendAlarmToSystemLog(priority, text);
}

void TraceWarning(const char* text) {
    DeliveryTrace("<WARNING> %s\n", text);
}

// Who may own the outbox, as people read it: "root", or "root or uid 1000".
std::string TrustedOwners() {
    if (geteuid() == 0) return "root";
    return "root or uid " + std::to_string(static_cast<unsigned long>(geteuid()));
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
        DeliveryTrace(
            "agent %ld carries on from the failures recorded in this boot: deliveries failing "
            "for %lld s\n",
            static_cast<long>(getpid()),
            static_cast<long long>(DeliveryFailingSeconds(mMonitor.record(), BootMillis() / 1000)));
    while (Turn()) {
    }
    DeliveryTrace("agent %ld ends: the recorder has ended\n", static_cast<long>(getpid()));
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
        DeliveryTrace("<WARNING> cannot look into the outbox: %s\n", e.what());
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
            DeliveryTrace(
                "<WARNING> delivered %s but cannot remove it (%s): it will be delivered again\n",
                file.name.c_str(), strerror(errno));
        else
            DeliveryTrace("delivered %s, %ld records\n", file.name.c_str(), records);
        return true;
    }
    const long long most = std::max(1LL, static_cast<long long>(settings.retryMaxSeconds) * 1000);
    mPauseMillis = std::min(most, mPauseMillis == 0 ? kFirstPauseMillis : 2 * mPauseMillis);
    mNextAttempt = MonotonicMillis() + mPauseMillis;
    DeliveryTrace("<WARNING> %s not delivered: %s; next attempt in %lld s\n", file.name.c_str(),
                  result.reason.c_str(), (mPauseMillis + 999) / 1000);
    TraceOutput(result.output);
    return true;
}

// Traces the output of a failed attempt; within one run of failures, output with the same ends
// as the last one traced is only counted.
void Agent::TraceOutput(const CapturedOutput& output) {
    if (output.total() == 0) return;
    if (mFailing && output.SameEnds(mLastOutput)) {
        DeliveryTrace("command output as on the previous attempt (%llu bytes)\n", output.total());
        return;
    }
    DeliveryTrace("command output (%llu bytes):\n", output.total());
    for (const std::string& line : output.Lines()) DeliveryTrace("| %s\n", line.c_str());
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
        DeliveryTrace("agent %ld serves %s\n", static_cast<long>(getpid()),
                      outbox.directory().c_str());
        MakeDirs(outbox.directory());
    } else if (mWakeFd >= 0 && StillAt(mWakeFd, mWakePath)) {
        return;
    }
    CloseWake();
    const WakeFifo wake = OpenAgentWakeFifo(mWakePath);
    mWakeFd = wake.fd;
    if (!wake.replaced.empty())
        DeliveryTrace("<WARNING> %s was %s: replaced by a new FIFO of the agent\n",
                      mWakePath.c_str(), wake.replaced.c_str());
    if (!wake.problem.empty() && wake.problem != mWakeProblem)
        DeliveryTrace(
            "<WARNING> cannot listen on %s (%s): deliveries go on, \"cdrctl outbox retry\" "
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
        DeliveryTrace(
            "<WARNING> the outbox %s is %s: nothing is delivered from it until it is owned by "
            "%s and not writable by others\n",
            outbox.directory().c_str(), problem.c_str(), TrustedOwners().c_str());
    else if (problem != mFolderProblem)
        DeliveryTrace("the outbox %s is the recorder's again: deliveries resume\n",
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
            DeliveryTrace("<WARNING> %s%s is not delivered: %s; it is left as it is\n",
                          outbox.directory().c_str(), file.name.c_str(), file.problem.c_str());
    }
    mRefused.swap(names);
}

}  // namespace

void RunDeliveryLoop(int recorderFd) {
    Agent(recorderFd).Run();
}
