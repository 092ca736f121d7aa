#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/messaging/message_queue.h"
#include "platform/messaging/recorder_client.h"
#include "support/recorder_fixture.h"

namespace {

const std::string kReportQueue = QueueNameOf(kCallManagerQueueNumber, kRecorderQueuePath);
const std::string kRequestQueue = QueueNameOf(kWebSideQueueNumber, kRecorderQueuePath);
const std::string kReplyQueue = ReplyQueueNameOf(kRequestQueue);

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
        recorder.Serve(1);
        asker.join();
        return status;
    }
    // Expects exactly one warning since the last look, holding `part`.
    void ExpectOneWarning(const std::string& part) {
        std::vector<std::string> warnings = recorder.TakeWarnings();
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(part), std::string::npos) << warnings[0];
    }

    FakeRecorder recorder;
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
    recorder.Serve(1);
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
        recorder.Serve(1);
    }
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"add 4 stats", "add 1", "cm connected", "cgi disconnected",
                                        "reload download", "download now"}));
    EXPECT_TRUE(recorder.TakeWarnings().empty());
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
    recorder.Serve(2);  // the abandoned request, answered with the old cookie, then the new one
    asker.join();
    EXPECT_EQ(answer.mask, 2);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"clear 263", "clear 1", "clear 2"}));

    // The reply queue removed and made anew between two answers: the answer reaches the new one.
    ASSERT_EQ(mq_unlink(Env::Current()->QueueName(kReplyQueue).c_str()), 0);
    ASSERT_EQ(AskServed(Message(MessageKind::kClear, 3), &answer), ClientStatus::kDone);
    EXPECT_EQ(answer.mask, 3);
}

TEST_F(MessagingTest, AnAnswerNobodyCanTakeIsDroppedWithoutWaiting) {
    // No client created the reply queue yet.
    Post(Message(MessageKind::kClear, 1));
    recorder.Serve(1);
    EXPECT_EQ(recorder.answerSent, 0);
    ExpectOneWarning("answer dropped");

    MessageQueue replies;
    ASSERT_EQ(replies.Create(kReplyQueue, O_RDWR | O_NONBLOCK), QueueStatus::kOk);
    for (unsigned char filler = 0; replies.Send(&filler, 1, 0) == QueueStatus::kOk;) continue;
    Post(Message(MessageKind::kFlush, 2));
    recorder.Serve(1);
    EXPECT_EQ(recorder.answerSent, 0);
    ExpectOneWarning("is full");
}

TEST_F(MessagingTest, GarbageIsDroppedWithAWarningAndTheNextMessageServed) {
    const std::string garbage = "not a message at all";
    WireMessage misplaced = Message(MessageKind::kClear, 1);  // a request on the report queue
    unsigned char bytes[kMaxMessageSize];
    size_t misplacedSize = EncodeMessage(misplaced, bytes, nullptr);
    for (const std::string& queue : {kReportQueue, kRequestQueue}) {
        recorder.SendRaw(queue, garbage.data(), garbage.size());
        recorder.SendRaw(queue, bytes, 3);
        if (queue == kReportQueue) recorder.SendRaw(queue, bytes, misplacedSize);
    }
    Post(Message(MessageKind::kCMPartyState));
    Post(Message(MessageKind::kCGIPartyState));
    // Every message taken counts, the dropped ones too.
    EXPECT_EQ(recorder.CDRMessenger::ProcessMessageFromQueue(10), 4);
    EXPECT_EQ(recorder.CDRUpdateMessenger::ProcessMessageFromQueue(10), 3);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"cm connected", "cgi connected"}));
    std::vector<std::string> warnings = recorder.TakeWarnings();
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
    for (int i = 0; i < 3; ++i) report();
    recorder.Serve(1);
    report();
    report();
    Post(Message(MessageKind::kFlush, 7));
    recorder.Serve(3);
    report();  // sent after the flush was found
    recorder.Serve(3);
    std::vector<std::string> expected(7, "cm connected");
    expected[5] = "flush 7";
    EXPECT_EQ(recorder.events, expected);
}

TEST_F(MessagingTest, SendersFailClearlyWhenTheRecorderCannotTakeMore) {
    MessageQueue reports;
    ASSERT_EQ(reports.Open(kReportQueue, O_WRONLY), QueueStatus::kOk);
    EXPECT_GE(reports.Depth(), 10);
    EXPECT_LE(reports.Depth(), kPreferredQueueDepth);

    RecorderClient impatient(0);
    for (long i = 0; i < reports.Depth(); ++i)
        ASSERT_EQ(impatient.Post(Message(MessageKind::kCMPartyState)), ClientStatus::kDone)
            << "message " << i << ": " << impatient.error();
    EXPECT_EQ(impatient.Post(Message(MessageKind::kCMPartyState)), ClientStatus::kUnavailable);
    EXPECT_NE(impatient.error().find("stayed full"), std::string::npos) << impatient.error();
}

// A queue of ours that was left open to others (an older start, another umask) is closed to
// them before it is used: anyone who could write to it could steer the recorder.
TEST(MessagingWithoutRecorderTest, AQueueLeftOpenToOthersIsMadeOwnerOnly) {
    SandboxEnv env;
    CyclicQueuePoller poller(1);
    std::string systemName = Env::Current()->QueueName(kReportQueue);
    mqd_t open = mq_open(systemName.c_str(), O_CREAT | O_RDONLY, 0644, nullptr);
    ASSERT_NE(open, (mqd_t)-1);
    ASSERT_EQ(poller.SelectQueue(15, "/bin/ping", true, true), 0);
    struct stat status;
    ASSERT_EQ(fstat(open, &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    mq_close(open);
}

}  // namespace
