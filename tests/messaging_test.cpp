#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/messaging/cdr_messenger.h"
#include "platform/messaging/cdr_update_messenger.h"
#include "platform/messaging/message_queue.h"
#include "platform/messaging/recorder_client.h"
#include "platform/util/diag.h"
#include "support/recorder_queues.h"

namespace {

const std::string kReportQueue = QueueNameOf(kCallManagerQueueNumber, kRecorderQueuePath);
const std::string kRequestQueue = QueueNameOf(kWebSideQueueNumber, kRecorderQueuePath);
const std::string kReplyQueue = ReplyQueueNameOf(kRequestQueue);

// Serves both queues the way the recorder does: one class deriving from both messengers, each
// handler noting its call, the answered ones answering.
class Recorder : public CDRMessenger, public CDRUpdateMessenger {
  public:
    int OnAddCDR(int type, const CallDetailReport& report,
                 const CallStatistics* statistics) override {
        lastReport = report;
        if (statistics != nullptr) lastStatistics = *statistics;
        return Note("add " + std::to_string(type) + (statistics ? " stats" : ""));
    }
    void OnCDRPartyStateChanged(bool connected) override {
        Note(connected ? "cm connected" : "cm disconnected");
    }
    int OnCgiPartyStateChanged(bool connected) override {
        return Note(connected ? "cgi connected" : "cgi disconnected");
    }
    int OnClear(int mask) override { return Note("clear " + std::to_string(mask), Clear(mask)); }
    int OnFlush(int mask) override { return Note("flush " + std::to_string(mask), Flush(mask)); }
    int OnUpdateCDRSettings() override { return Note("reload settings", UpdateCDRSettings()); }
    int OnUpdateCDRDownloadSettings() override { return Note("reload download"); }
    int OnDownloadNow() override { return Note("download now"); }

    // Waits for the next message and serves it as the recorder's loop does.
    int ServeOne(CyclicQueuePoller& poller) {
        int number = poller.WaitForEvents();
        if (number == kCallManagerQueueNumber) CDRMessenger::ProcessMessageFromQueue(1);
        if (number == kWebSideQueueNumber) CDRUpdateMessenger::ProcessMessageFromQueue(1);
        return number;
    }

    int Note(const std::string& event, int sent = -1) {
        events.push_back(event);
        answerSent = sent;
        return 1;
    }

    std::vector<std::string> events;
    CallDetailReport lastReport;
    CallStatistics lastStatistics;
    int answerSent = -1;
};

WireMessage Message(MessageKind kind, int32_t mask = 0) {
    WireMessage message;
    message.kind = kind;
    message.mask = mask;
    message.connected = true;
    return message;
}

class MessagingTest : public ::testing::Test {
  protected:
    void Post(const WireMessage& message) {
        ASSERT_EQ(client.Post(message), ClientStatus::kDone) << client.error();
    }
    // Asks on a second thread while this one serves the request, as the recorder would.
    ClientStatus AskServed(const WireMessage& request, WireMessage* answer) {
        ClientStatus status = ClientStatus::kInvalid;
        std::thread asker([&] { status = RecorderClient(5000).Ask(request, answer); });
        recorder.ServeOne(queues.poller());
        asker.join();
        return status;
    }
    // Expects exactly one warning since the last look, holding `part`.
    void ExpectOneWarning(const std::string& part) {
        std::vector<std::string> warnings = queues.TakeWarnings();
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(part), std::string::npos) << warnings[0];
    }

    RecorderQueues queues;
    Recorder recorder;
    RecorderClient client{1000};
};

TEST_F(MessagingTest, EveryReportAndAnnouncementReachesItsHandlerWithAllItsData) {
    WireMessage report = Message(MessageKind::kAddCDR);
    report.recordType = 4;
    report.report.called = "1001";
    report.report.authType = kCDRAuthDigest;
    report.report.startTime = 1700000000;
    report.hasStatistics = true;
    report.statistics.streams[1].remoteAddress = 0x0A000001;
    report.statistics.fax.anamnesis = "ok";
    Post(report);
    EXPECT_EQ(recorder.ServeOne(queues.poller()), kCallManagerQueueNumber);
    EXPECT_TRUE(recorder.lastReport == report.report);
    EXPECT_TRUE(recorder.lastStatistics == report.statistics);

    report.hasStatistics = false;
    report.recordType = 1;
    WireMessage down = Message(MessageKind::kCGIPartyState);
    down.connected = false;
    for (const WireMessage& message :
         {report, Message(MessageKind::kCMPartyState), down,
          Message(MessageKind::kUpdateDownloadSettings), Message(MessageKind::kDownloadNow)}) {
        Post(message);
        recorder.ServeOne(queues.poller());
    }
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"add 4 stats", "add 1", "cm connected", "cgi disconnected",
                                        "reload download", "download now"}));
    EXPECT_TRUE(queues.TakeWarnings().empty());
}

TEST_F(MessagingTest, AnswersReachTheAskingThreadWithItsMaskAndCookie) {
    WireMessage answer;
    ASSERT_EQ(AskServed(Message(MessageKind::kClear, 0x107), &answer), ClientStatus::kDone);
    EXPECT_EQ(answer.kind, MessageKind::kClearAnswer);
    EXPECT_EQ(answer.mask, 0x107);
    EXPECT_NE(answer.cookie, 0u);

    // A client gave up before the recorder came to its request; the next client asks the same.
    EXPECT_EQ(RecorderClient(10).Ask(Message(MessageKind::kClear, 1), &answer),
              ClientStatus::kUnavailable);
    std::thread asker([&] {
        EXPECT_EQ(client.Ask(Message(MessageKind::kClear, 2), &answer), ClientStatus::kDone);
    });
    // Its answer must arrive after the client emptied the reply queue, to be skipped by cookie.
    MessageQueue requests;
    ASSERT_EQ(requests.Open(kRequestQueue, O_RDONLY), QueueStatus::kOk);
    struct mq_attr waiting = {};
    while (mq_getattr(requests.Descriptor(), &waiting) == 0 && waiting.mq_curmsgs < 2) usleep(1000);
    recorder.ServeOne(queues.poller());  // the abandoned request, answered with the old cookie
    recorder.ServeOne(queues.poller());
    asker.join();
    EXPECT_EQ(answer.mask, 2);

    ASSERT_EQ(AskServed(Message(MessageKind::kUpdateCDRSettings), &answer), ClientStatus::kDone);
    EXPECT_EQ(answer.kind, MessageKind::kUpdateCDRSettingsAnswer);
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"clear 263", "clear 1", "clear 2", "reload settings"}));
}

TEST_F(MessagingTest, AnAnswerNobodyCanTakeIsDroppedWithoutWaiting) {
    // No client created the reply queue yet.
    Post(Message(MessageKind::kClear, 1));
    recorder.ServeOne(queues.poller());
    EXPECT_EQ(recorder.answerSent, 0);
    ExpectOneWarning("answer dropped");

    MessageQueue replies;
    ASSERT_EQ(replies.Create(kReplyQueue, O_RDWR | O_NONBLOCK), QueueStatus::kOk);
    for (unsigned char filler = 0; replies.Send(&filler, 1, 0) == QueueStatus::kOk;) continue;
    Post(Message(MessageKind::kFlush, 2));
    recorder.ServeOne(queues.poller());
    EXPECT_EQ(recorder.answerSent, 0);
    ExpectOneWarning("is full");
}

TEST_F(MessagingTest, GarbageIsDroppedWithAWarningAndTheNextMessageServed) {
    const std::string garbage = "not a message at all";
    WireMessage misplaced = Message(MessageKind::kClear, 1);  // a request on the report queue
    unsigned char bytes[kMaxMessageSize];
    size_t misplacedSize = EncodeMessage(misplaced, bytes, nullptr);
    for (const std::string& queue : {kReportQueue, kRequestQueue}) {
        queues.SendRaw(queue, garbage.data(), garbage.size());
        queues.SendRaw(queue, bytes, 3);
        if (queue == kReportQueue) queues.SendRaw(queue, bytes, misplacedSize);
    }
    Post(Message(MessageKind::kCMPartyState));
    Post(Message(MessageKind::kCGIPartyState));
    // Every message taken counts, the dropped ones too.
    EXPECT_EQ(recorder.CDRMessenger::ProcessMessageFromQueue(10), 4);
    EXPECT_EQ(recorder.CDRUpdateMessenger::ProcessMessageFromQueue(10), 3);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"cm connected", "cgi connected"}));
    std::vector<std::string> warnings = queues.TakeWarnings();
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_NE(warnings[0].find(kReportQueue + ": dropped a malformed message of 20 bytes"),
              std::string::npos)
        << warnings[0];
    EXPECT_NE(warnings[2].find("does not belong on this queue"), std::string::npos) << warnings[2];
    for (const std::string& warning : warnings) EXPECT_EQ(warning.back(), '\n');
}

// A flush must not overtake the reports sent before it, however the recorder's reading interleaves
// with the senders, nor wait behind reports sent after the poller found it.
TEST_F(MessagingTest, ThePollerServesMessagesInTheOrderItFoundThem) {
    auto report = [&] { Post(Message(MessageKind::kCMPartyState)); };
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) report();
    order.push_back(recorder.ServeOne(queues.poller()));
    report();
    report();
    Post(Message(MessageKind::kFlush, 7));
    for (int i = 0; i < 3; ++i) order.push_back(recorder.ServeOne(queues.poller()));
    report();  // sent after the flush was found
    for (int i = 0; i < 3; ++i) order.push_back(recorder.ServeOne(queues.poller()));
    EXPECT_EQ(order, (std::vector<int>{15, 15, 15, 15, 15, 111, 15}));
}

// Opening /ping-15 fails while `broken` is set; counts the attempts.
class BrokenQueueEnv : public SandboxEnv {
  public:
    std::string QueueName(const std::string& name) override {
        if (!broken || name != kReportQueue) return SandboxEnv::QueueName(name);
        ++attempts;
        return "/no/such/place";
    }
    std::atomic<bool> broken{true};
    std::atomic<int> attempts{0};
};

// Warning lines of the tests that run without RecorderQueues.
std::mutex gWarningsMutex;
std::vector<std::string> gWarnings;

void CollectWarning(const char* line) {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    gWarnings.push_back(line);
}

TEST(PollerRetryTest, AQueueThatCannotBeOpenedIsTriedAgainWithoutSpinning) {
    gWarnings.clear();
    SetWarningSink(CollectWarning);
    BrokenQueueEnv env;
    CyclicQueuePoller poller(2, 20);
    EXPECT_EQ(poller.SelectQueue(15, "/bin/ping", true, true), -1);
    std::thread sender([&env] {
        usleep(300000);
        env.broken = false;
        RecorderClient client(1000);
        while (client.Post(Message(MessageKind::kCMPartyState)) != ClientStatus::kDone)
            usleep(5000);
    });
    EXPECT_EQ(poller.WaitForEvents(), 15);
    sender.join();
    SetWarningSink(nullptr);
    EXPECT_LT(env.attempts, 40);  // about one every 20 ms, not one per turn of a busy loop
    std::vector<std::string> warnings = gWarnings;
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].rfind("cannot select queue 15: cannot open /ping-15: ", 0), 0u)
        << warnings[0];
    EXPECT_NE(warnings[0].find("; trying again every 0.02 s\n"), std::string::npos) << warnings[0];
    EXPECT_EQ(warnings[1], "selected queue 15 (/ping-15) after all\n");
}

TEST_F(MessagingTest, SendersFailClearlyWhenTheRecorderCannotTakeMore) {
    MessageQueue reports;
    ASSERT_EQ(reports.Open(kReportQueue, O_WRONLY), QueueStatus::kOk);
    EXPECT_GE(reports.Depth(), 10);
    EXPECT_LE(reports.Depth(), kPreferredQueueDepth);
    struct stat status;
    ASSERT_EQ(fstat(reports.Descriptor(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    RecorderClient impatient(0);
    for (long i = 0; i < reports.Depth(); ++i)
        ASSERT_EQ(impatient.Post(Message(MessageKind::kCMPartyState)), ClientStatus::kDone);
    EXPECT_EQ(impatient.Post(Message(MessageKind::kCMPartyState)), ClientStatus::kUnavailable);
    EXPECT_NE(impatient.error().find("stayed full"), std::string::npos) << impatient.error();
}

// Creates a queue open to everyone under the program's `name` as user nobody (65534).
bool PlantAsStranger(const std::string& name) {
    const std::string systemName = Env::Current()->QueueName(name);
    pid_t child = fork();
    if (child == 0) {
        umask(0);
        bool planted = setgid(65534) == 0 && setuid(65534) == 0 &&
                       mq_open(systemName.c_str(), O_CREAT | O_RDWR, 0666, nullptr) != (mqd_t)-1;
        _exit(planted ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST(QueueOwnerTest, NothingIsSentIntoAStrangersQueueAndItsNameIsTakenOver) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant a queue as another user";
    SandboxEnv env;
    ASSERT_TRUE(PlantAsStranger(kReportQueue));
    ASSERT_TRUE(PlantAsStranger(kReplyQueue));
    RecorderClient client(100);
    EXPECT_EQ(client.Post(Message(MessageKind::kCMPartyState)), ClientStatus::kUnavailable);
    EXPECT_EQ(client.error(),
              "refusing to send on /ping-15: it belongs to user 65534, neither root nor this user");
    MessageQueue answers;  // as the recorder opens it to answer a request
    EXPECT_EQ(answers.Open(kReplyQueue, O_WRONLY | O_NONBLOCK), QueueStatus::kFailed);

    gWarnings.clear();
    SetWarningSink(CollectWarning);
    CyclicQueuePoller poller(1);
    EXPECT_EQ(poller.SelectQueue(15, "/bin/ping", true, true), 0);
    SetWarningSink(nullptr);
    EXPECT_EQ(gWarnings, (std::vector<std::string>{
                             "removed /ping-15, a queue of user 65534 with mode 0666, to "
                             "create this program's own\n"}));
    EXPECT_EQ(client.Post(Message(MessageKind::kCMPartyState)), ClientStatus::kDone)
        << client.error();
    mq_unlink(env.QueueName(kReplyQueue).c_str());
}

TEST(MessagingWithoutRecorderTest, AQueueLeftOpenToOthersIsMadeOwnerOnly) {
    SandboxEnv env;
    CyclicQueuePoller poller(1);
    EXPECT_EQ(poller.SelectQueue(15, "/bin/ping", false, true), -1);  // absent, not created
    std::string systemName = Env::Current()->QueueName(kReportQueue);
    mqd_t open = mq_open(systemName.c_str(), O_CREAT | O_RDONLY, 0644, nullptr);
    ASSERT_NE(open, (mqd_t)-1);
    ASSERT_EQ(poller.SelectQueue(15, "/bin/ping", true, true), 0);
    struct stat status;
    ASSERT_EQ(fstat(open, &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    mq_close(open);
    EXPECT_EQ(poller.SelectQueue(111, "/bin/ping", true, true), -1);  // over its limit
}

}  // namespace
