// Messages per second through a bare queue pair (send + receive of report-sized messages, no work)
// and through the whole path of a report: encode, send, receive, decode and dispatch to an empty
// handler. The ratio of the two is what the messaging layer costs on top of the kernel.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <string>

#include "platform/messaging/cdr_messenger.h"
#include "platform/messaging/cyclic_queue_poller.h"
#include "platform/messaging/message_queue.h"
#include "platform/util/env.h"

namespace {

// Queue names of their own, so that a running recorder is not disturbed.
class BenchEnv : public ForwardingEnv {
  public:
    BenchEnv() : ForwardingEnv(Env::Posix()) { Env::SetCurrent(this); }
    ~BenchEnv() override { Env::SetCurrent(nullptr); }
    std::string QueueName(const std::string& name) override {
        return name + "-bench" + std::to_string(getpid());
    }
};

// A typical report: a call with both streams and a few texts.
WireMessage TypicalReport() {
    WireMessage m;
    m.kind = MessageKind::kAddCDR;
    m.recordType = 1;
    m.hasStatistics = true;
    m.report.startTime = 1700000000;
    m.report.duration = 125;
    m.report.called = "sip:1001@pbx.example.net";
    m.report.caller = "sip:2002@pbx.example.net";
    m.report.guid = "5f1c7a2e-93b4-4c1d-9a7e-0b8d6e2f4a11";
    m.report.authUserName = "2002";
    for (MediaStreamStatistics& s : m.statistics.streams) {
        s.localAddress = 0x0A000001;
        s.remoteAddress = 0x0A000002;
        s.txPackets = s.rxPackets = 6250;
    }
    return m;
}

void Check(QueueStatus status, const MessageQueue& queue) {
    if (status != QueueStatus::kOk) throw std::runtime_error(queue.error());
}

void BM_BareQueuePair(benchmark::State& state) {
    BenchEnv env;
    MessageQueue queue;
    Check(queue.Create("/bare", O_RDWR | O_NONBLOCK), queue);
    unsigned char message[kMaxMessageSize];
    size_t size = EncodeMessage(TypicalReport(), message, nullptr);
    unsigned char received[kMaxMessageSize];
    size_t receivedSize = 0;
    for (auto _ : state) {
        Check(queue.Send(message, size, 0), queue);
        Check(queue.Receive(received, sizeof received, &receivedSize, 0), queue);
    }
    queue.Unlink();
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(size) + "-byte messages");
}

class EmptyMessenger : public CDRMessenger {
  public:
    int OnAddCDR(int, const CallDetailReport&, const CallStatistics*) override { return 1; }
};

void BM_ReportToHandler(benchmark::State& state) {
    BenchEnv env;
    CyclicQueuePoller poller(39);
    if (poller.SelectQueue(kCallManagerQueueNumber, kRecorderQueuePath, true, true) != 0)
        throw std::runtime_error("cannot select the report queue");
    MessageQueue sender;
    Check(sender.Open(QueueNameOf(kCallManagerQueueNumber, kRecorderQueuePath), O_WRONLY), sender);
    EmptyMessenger messenger;
    WireMessage report = TypicalReport();
    unsigned char message[kMaxMessageSize];
    for (auto _ : state) {
        size_t size = EncodeMessage(report, message, nullptr);
        Check(sender.Send(message, size, 0), sender);
        if (messenger.ProcessMessageFromQueue(1) != 1) throw std::runtime_error("no message");
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_BareQueuePair);
BENCHMARK(BM_ReportToHandler);

// Prints as usual and keeps each benchmark's messages per second for the ratio.
class RateReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) rates[run.benchmark_name()] = rate->second;
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double bare = reporter.rates["BM_BareQueuePair"];
    double full = reporter.rates["BM_ReportToHandler"];
    if (bare > 0 && full > 0)
        printf("bare queue pair: %.0f msg/s; report to handler: %.0f msg/s; ratio %.2f\n", bare,
               full, full / bare);
    benchmark::Shutdown();
    return 0;
}
