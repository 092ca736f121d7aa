// Reports per second through a running recorder against a bare queue pair, and the recorder's
// start-up time, for scripts/bench (run in private IPC and mount namespaces):
//   bare N            N sends and receives of a report-sized message on a private queue, no work
//   pair N            the same messages sent by this process to a second one that waits on two
//                     queues with poll and takes each message off the ready one, as the recorder
//                     does, and does nothing else with it
//   roundtrip N       N times: a report sent as in pair, then a flush request on the second queue,
//                     whose answer the receiver sends back on a third queue, and the sender waits
//                     for it: the bare cost of the queues in the durable measure below
//   serve N CDRD...   starts the recorder, times it until it answers a request, posts N reports as
//                     fast as its queue takes them, waits until it has taken them all, stops it
//   durable N CDRD... the same, but each report is followed by a request and the next report is
//                     sent only once the recorder has answered it. Run with the recorder set to
//                     sync its journal after every report (cdr_journal_sync_reports=1), which it
//                     does before its handler returns: the answer then says that the report is on
//                     storage. The sender pays a request's round trip per report on top.
//   crash N CDRD...   the same as serve, but the recorder is ended with SIGKILL: the reports it
//                     has not saved are left in its journal, to be replayed at the next start
// serve, durable and crash also print the bytes the recorder sent towards storage per report while
// the reports were posted (write_bytes of its /proc/<pid>/io), or "unmeasured" where the kernel
// does not say. Results are printed as "name=value" lines.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/support/bench_env.h"
#include "platform/messaging/message_queue.h"
#include "platform/messaging/recorder_client.h"
#include "platform/messaging/wire_codec.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "queue_rate_tool: %s\n", what.c_str());
    exit(1);
}

// The encoded forms of the benchmark's reports, so that the sender spends no time encoding.
std::vector<std::vector<unsigned char>> EncodedReports() {
    std::vector<std::vector<unsigned char>> messages;
    for (const BenchReport& r : MakeReports(99)) {
        WireMessage m;
        m.kind = MessageKind::kAddCDR;
        m.recordType = r.type;
        m.report = r.report;
        m.hasStatistics = r.hasStatistics;
        m.statistics = r.statistics;
        std::vector<unsigned char> bytes(kMaxMessageSize);
        bytes.resize(EncodeMessage(m, bytes.data(), nullptr));
        if (bytes.empty()) Fail("a report cannot be encoded");
        messages.push_back(bytes);
    }
    return messages;
}

void Bare(unsigned count) {
    const auto messages = EncodedReports();
    MessageQueue queue;
    const std::string name = "/bench-bare-" + std::to_string(getpid());
    if (queue.Create(name, O_RDWR) != QueueStatus::kOk) Fail(queue.error());
    std::vector<unsigned char> received(queue.MessageSize());
    size_t size = 0;
    const double start = MonotonicSeconds();
    for (unsigned i = 0; i < count; ++i) {
        const auto& message = messages[i % messages.size()];
        if (queue.Send(message.data(), message.size(), 0) != QueueStatus::kOk ||
            queue.Receive(received.data(), received.size(), &size, 0) != QueueStatus::kOk)
            Fail(queue.error());
    }
    const double seconds = MonotonicSeconds() - start;
    queue.Unlink();
    printf("bare_per_second=%.0f\n", count / seconds);
}

// A flush of no database: answered once the recorder has served everything before it on its
// web-side queue.
WireMessage FlushOfNoDatabase() {
    WireMessage request;
    request.kind = MessageKind::kFlush;
    request.mask = 0;
    return request;
}

// The encoded FlushOfNoDatabase, for the pair's round trips.
std::vector<unsigned char> EncodedFlush() {
    std::vector<unsigned char> bytes(kMaxMessageSize);
    bytes.resize(EncodeMessage(FlushOfNoDatabase(), bytes.data(), nullptr));
    if (bytes.empty()) Fail("a flush request cannot be encoded");
    return bytes;
}

// The receiving side of `pair` and `roundtrip`: waits on both queues and takes each message off
// the ready one, then returns after `count` messages. Each request is answered on `answers` when
// that is not empty, with the request's own bytes.
void ReceiveFromTwoQueues(const std::string& reports, const std::string& requests,
                          const std::string& answers, unsigned count) {
    MessageQueue queues[2], answering;
    if (queues[0].Open(reports, O_RDONLY | O_NONBLOCK) != QueueStatus::kOk ||
        queues[1].Open(requests, O_RDONLY | O_NONBLOCK) != QueueStatus::kOk ||
        (!answers.empty() && answering.Open(answers, O_WRONLY) != QueueStatus::kOk))
        Fail("cannot open the pair's queues");
    struct pollfd waiting[2] = {{queues[0].Descriptor(), POLLIN, 0},
                                {queues[1].Descriptor(), POLLIN, 0}};
    std::vector<unsigned char> received(queues[0].MessageSize());
    size_t size = 0, next = 0;
    for (unsigned got = 0; got < count;) {
        if (poll(waiting, 2, -1) < 0) continue;
        for (size_t i = 0; i < 2; ++i) {
            const size_t index = (next + i) % 2;
            if ((waiting[index].revents & POLLIN) == 0) continue;
            next = index + 1;
            if (queues[index].Receive(received.data(), received.size(), &size, 0) !=
                QueueStatus::kOk)
                break;
            ++got;
            if (index == 1 && answering.IsOpen() &&
                answering.Send(received.data(), size, 10000) != QueueStatus::kOk)
                Fail(answering.error());
            break;
        }
    }
}

// With `answered`, each report is followed by a request whose answer the sender waits for.
void Pair(unsigned count, bool answered) {
    const auto messages = EncodedReports();
    const auto flush = EncodedFlush();
    const std::string suffix = std::to_string(getpid());
    MessageQueue reports, requests, answers;
    if (reports.Create("/bench-pair-reports-" + suffix, O_WRONLY) != QueueStatus::kOk ||
        requests.Create("/bench-pair-requests-" + suffix, O_WRONLY) != QueueStatus::kOk ||
        (answered && answers.Create("/bench-pair-answers-" + suffix, O_RDONLY) != QueueStatus::kOk))
        Fail(reports.error() + requests.error() + answers.error());
    std::vector<unsigned char> answer(kMaxMessageSize);
    size_t size = 0;
    const double start = MonotonicSeconds();
    const pid_t receiver = fork();
    if (receiver < 0) Fail("fork failed");
    if (receiver == 0) {
        ReceiveFromTwoQueues(reports.Name(), requests.Name(), answered ? answers.Name() : "",
                             answered ? 2 * count : count);
        _exit(0);
    }
    for (unsigned i = 0; i < count; ++i) {
        const auto& message = messages[i % messages.size()];
        if (reports.Send(message.data(), message.size(), 10000) != QueueStatus::kOk)
            Fail(reports.error());
        if (answered &&
            (requests.Send(flush.data(), flush.size(), 10000) != QueueStatus::kOk ||
             answers.Receive(answer.data(), answer.size(), &size, 10000) != QueueStatus::kOk))
            Fail(requests.error() + answers.error());
    }
    int status = 0;
    waitpid(receiver, &status, 0);
    const double seconds = MonotonicSeconds() - start;
    reports.Unlink();
    requests.Unlink();
    if (answered) answers.Unlink();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("the receiver failed");
    printf("%s=%.0f\n", answered ? "roundtrip_per_second" : "pair_per_second", count / seconds);
}

// Whether the recorder answers a FlushOfNoDatabase within `timeoutMillis`.
bool AnswersFlush(int timeoutMillis) {
    WireMessage answer;
    return RecorderClient(timeoutMillis).Ask(FlushOfNoDatabase(), &answer) == ClientStatus::kDone;
}

pid_t StartRecorder(char** command) {
    const pid_t pid = fork();
    if (pid < 0) Fail("fork failed");
    if (pid == 0) {
        execv(command[0], command);
        _exit(127);
    }
    return pid;
}

void WaitUntilServing(pid_t recorder) {
    const double deadline = MonotonicSeconds() + 60;
    while (!AnswersFlush(20)) {
        if (waitpid(recorder, nullptr, WNOHANG) == recorder) Fail("the recorder ended");
        if (MonotonicSeconds() > deadline) Fail("the recorder does not answer");
        usleep(1000);
    }
}

// Opens the recorder's report queue for sending into `queue`; ends the tool when it cannot.
void OpenReportQueue(MessageQueue* queue) {
    if (queue->Open(QueueNameOf(kCallManagerQueueNumber, kRecorderQueuePath), O_WRONLY) !=
        QueueStatus::kOk)
        Fail(queue->error());
}

// Sends `message` on `queue`, waiting up to 10 s for room; ends the tool when it cannot.
void SendReport(MessageQueue* queue, const std::vector<unsigned char>& message) {
    if (queue->Send(message.data(), message.size(), 10000) != QueueStatus::kOk)
        Fail(queue->error());
}

// Posts `count` reports on the report queue and returns the seconds it took. Durably, each report
// is followed by a flush of no database, whose answer comes after the report was handled, and the
// next report is sent only then. Otherwise they are sent as fast as the queue takes them, and the
// time runs until the recorder has taken them all off it and handled the last one (a request is
// never served before a report sent ahead of it, so once the report queue is empty a flush
// request's answer comes after the last report's record).
double PostReports(unsigned count, bool durably) {
    const auto messages = EncodedReports();
    MessageQueue queue;
    OpenReportQueue(&queue);
    const double start = MonotonicSeconds();
    for (unsigned i = 0; i < count; ++i) {
        SendReport(&queue, messages[i % messages.size()]);
        if (durably && !AnswersFlush(10000)) Fail("the recorder does not answer after a report");
    }
    if (durably) return MonotonicSeconds() - start;
    struct mq_attr attributes;
    do {
        if (mq_getattr(queue.Descriptor(), &attributes) != 0) Fail("mq_getattr failed");
        if (attributes.mq_curmsgs != 0) usleep(50);
    } while (attributes.mq_curmsgs != 0);
    if (!AnswersFlush(10000)) Fail("the recorder does not answer after the reports");
    return MonotonicSeconds() - start;
}

void PrintStorageBytes(pid_t recorder, bool known, uint64_t before, unsigned count) {
    uint64_t after = 0;
    if (known && StorageBytesWritten(recorder, &after))
        printf("storage_per_report=%.1f\n", static_cast<double>(after - before) / count);
    else
        printf("storage_per_report=unmeasured\n");
}

enum class Mode { kServe, kDurable, kCrash };

void Serve(unsigned count, Mode mode, char** command) {
    const double start = MonotonicSeconds();
    const pid_t recorder = StartRecorder(command);
    WaitUntilServing(recorder);
    printf("startup_seconds=%.6f\n", MonotonicSeconds() - start);
    if (count > 0) {
        uint64_t before = 0;
        const bool known = StorageBytesWritten(recorder, &before);
        const double seconds = PostReports(count, mode == Mode::kDurable);
        printf("reports_per_second=%.0f\n", count / seconds);
        PrintStorageBytes(recorder, known, before, count);
    }
    kill(recorder, mode == Mode::kCrash ? SIGKILL : SIGTERM);
    waitpid(recorder, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 2 ? argv[1] : "";
    const unsigned count = argc > 2 ? static_cast<unsigned>(strtoul(argv[2], nullptr, 10)) : 0;
    if (command == "bare" && argc == 3)
        Bare(count);
    else if ((command == "pair" || command == "roundtrip") && argc == 3)
        Pair(count, command == "roundtrip");
    else if (command == "serve" && argc > 3)
        Serve(count, Mode::kServe, argv + 3);
    else if (command == "durable" && argc > 3)
        Serve(count, Mode::kDurable, argv + 3);
    else if (command == "crash" && argc > 3)
        Serve(count, Mode::kCrash, argv + 3);
    else
        Fail(
            "usage: queue_rate_tool bare N | pair|roundtrip N | serve|durable|crash N CDRD "
            "[ARGS...]");
    return 0;
}
