#include "tools/cdrctl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/messaging/cdr_messenger.h"
#include "platform/messaging/cdr_update_messenger.h"
#include "platform/util/file_util.h"
#include "platform/util/instance_lock.h"
#include "support/cdrctl_run.h"
#include "support/recorder_queues.h"

namespace {

using Args = std::vector<std::string>;

using Outcome = CdrctlOutcome;

Outcome RunCommand(const Args& args) {
    return RunCdrctlCaptured(args);
}

Args Split(const std::string& line) {
    Args words;
    for (size_t at = 0, space; at <= line.size(); at = space + 1) {
        space = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, space - at));
    }
    return words;
}

WireMessage Parsed(const Args& args) {
    CdrctlCommand command;
    std::string error;
    EXPECT_TRUE(ParseCdrctlArguments(args, &command, &error)) << error;
    return command.message;
}

TEST(CdrctlParseTest, EveryFieldLandsWhereItBelongs) {
    Args args = Split(
        "add -3 startTime=-2147483648 duration=4294967295 called=1001 calledType=1 caller= "
        "callerType=-6 guid=g ocd=o cr=c authUserName=u authType=2 forwarder=f transferer=t "
        "hop=7 clirCaller=1 fax.txPackets=1 fax.txDuplicatePackets=2 fax.rxPackets=3 "
        "fax.rxLost=4 fax.rxBadPackets=5 fax.rxDuplicatePackets=6 fax.anamnesis=a=b");
    const char* streamFields[] = {"localPort",       "remotePort", "txPackets",  "txCodec",
                                  "txPacketSize",    "rxPackets",  "rxCodec",    "rxPacketSize",
                                  "rxLost",          "rxJitter",   "rxMaxDelay", "rxDelayIncrease",
                                  "rxDelayDecrease", "srtp"};
    for (const char* stream : {"s1.", "s2."}) {
        int value = stream[1] == '1' ? 100 : 200;
        for (const char* field : streamFields)
            args.push_back(std::string(stream) + field + "=" + std::to_string(value++));
        args.push_back(std::string(stream) + "localAddress=10.0.0." + std::to_string(value));
        args.push_back(std::string(stream) + "remoteAddress=192.168.1." + std::to_string(value));
    }
    WireMessage m = Parsed(args);

    WireMessage expected;
    expected.kind = MessageKind::kAddCDR;
    expected.recordType = -3;
    expected.hasStatistics = true;
    // clang-format off
    expected.report = {-2147483647L - 1, 4294967295u, "1001", kCallTypeSip, "",
                       static_cast<CallType>(-6), "g", "o", "c", "u", kCDRAuthPin, "f", "t", 7, 1};
    for (int i = 0; i < 2; ++i) {
        uint16_t v = static_cast<uint16_t>(i == 0 ? 100 : 200);
        expected.statistics.streams[i] = {0x0A000000u + v + 14u, 0xC0A80100u + v + 14u, v,
            uint16_t(v + 1), v + 2u, uint16_t(v + 3), uint16_t(v + 4), v + 5u, uint16_t(v + 6),
            uint16_t(v + 7), uint16_t(v + 8), v + 9u, v + 10u, uint16_t(v + 11),
            uint16_t(v + 12), v + 13};
    }
    // clang-format on
    expected.statistics.fax = {1, 2, 3, 4, 5, 6, "a=b"};
    EXPECT_EQ(m.recordType, expected.recordType);
    EXPECT_TRUE(m.hasStatistics);
    EXPECT_TRUE(m.report == expected.report);
    EXPECT_TRUE(m.statistics.streams[0] == expected.statistics.streams[0]);
    EXPECT_TRUE(m.statistics.streams[1] == expected.statistics.streams[1]);
    EXPECT_TRUE(m.statistics.fax == expected.statistics.fax);

    EXPECT_FALSE(Parsed({"add", "1", "hop=2"}).hasStatistics);
    EXPECT_TRUE(Parsed({"add", "1", "s2.srtp=0"}).hasStatistics);
}

TEST(CdrctlParseTest, CommandsAndOptions) {
    CdrctlCommand command;
    std::string error;
    ASSERT_TRUE(ParseCdrctlArguments({"--timeout", "0.25", "add", "2", "--repeat", "3", "hop=1"},
                                     &command, &error));
    EXPECT_EQ(command.timeoutMillis, 250);
    EXPECT_EQ(command.repeat, 3);
    EXPECT_EQ(Parsed({"clear", "7"}).mask, 7);
    EXPECT_EQ(Parsed({"flush", "-1"}).kind, MessageKind::kFlush);
    EXPECT_EQ(Parsed({"reload-settings"}).kind, MessageKind::kUpdateCDRSettings);
    EXPECT_EQ(Parsed({"reload-download"}).kind, MessageKind::kUpdateDownloadSettings);
    EXPECT_EQ(Parsed({"download-now"}).kind, MessageKind::kDownloadNow);
    EXPECT_FALSE(Parsed({"cm", "disconnect"}).connected);
    EXPECT_EQ(Parsed({"cgi", "connect"}).kind, MessageKind::kCGIPartyState);
    EXPECT_TRUE(Parsed({"cgi", "connect"}).connected);

    ASSERT_TRUE(ParseCdrctlArguments(
        {"show", "missed", "--json", "--root", "/r", "--limit", "3", "--csv"}, &command, &error));
    EXPECT_EQ(command.action, CdrctlAction::kShow);
    EXPECT_EQ(command.records, "missed");
    EXPECT_EQ(command.format, RecordFormat::kCsv);  // the last format option counts
    EXPECT_EQ(command.root, "/r/");
    EXPECT_EQ(command.limit, 3u);
}

class CdrctlTest : public ::testing::Test {
  protected:
    // Serves every message waiting on both queues; returns how many there were.
    int Waiting() {
        return reports.ProcessMessageFromQueue(100) + requests.ProcessMessageFromQueue(100);
    }

    RecorderQueues queues;
    struct Reports : CDRMessenger {
        int OnAddCDR(int type, const CallDetailReport&, const CallStatistics* s) override {
            types.push_back(type);
            withStatistics = s != nullptr;
            return 1;
        }
        std::vector<int> types;
        bool withStatistics = false;
    } reports;
    struct Requests : CDRUpdateMessenger {
        int OnClear(int mask) override { return Clear(mask); }
    } requests;
};

TEST_F(CdrctlTest, TextsThatCannotTravelAsTheyStandAreFittedAndSent) {
    Outcome run = RunCommand({"add", "1", "called=" + std::string(256, 'x'), "caller=a\tb"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err,
              "cdrctl: warning: texts fitted before sending: called: cut to 255 bytes; caller: "
              "control characters replaced by blanks\n");
    EXPECT_EQ(Waiting(), 1);
    EXPECT_EQ(reports.types, std::vector<int>{1});
    EXPECT_TRUE(queues.TakeWarnings().empty()) << "the recorder had nothing left to fit";
}

TEST_F(CdrctlTest, BadCommandLinesExitWith2AndSendNothing) {
    const Args bad[] = {
        {},
        {"--timeout"},
        {"--timeout", "-1", "download-now"},
        {"frobnicate"},
        {"add"},
        {"add", "2147483648"},
        {"add", "1", "nosuchfield=1"},
        {"add", "1", "s3.srtp=1"},
        {"add", "1", "hop"},
        {"add", "1", "hop=-1"},
        {"add", "1", "hop=1x"},
        {"add", "1", "s1.localPort=65536"},
        {"add", "1", "startTime=2147483648"},
        {"add", "1", "s1.localAddress=10.0.0"},
        {"add", "1", "--repeat", "0"},
        {"clear"},
        {"flush", "0x7"},
        {"reload-settings", "now"},
        {"cm", "up"},
        {"show"},
        {"show", "answered"},
        {"show", "stated", "--xml"},
        {"show", "stated", "--limit", "0"},
        {"show", "stated", "--root"},
        {"show", "stated", "--file", ""},
        {"status", "now"},
    };
    for (const Args& args : bad) {
        Outcome run = RunCommand(args);
        std::string line = args.empty() ? "(none)" : args.back();
        EXPECT_EQ(run.status, 2) << line;
        EXPECT_EQ(run.err.compare(0, 8, "cdrctl: "), 0) << line << ": " << run.err;
        EXPECT_EQ(run.out, "") << line;
    }
    EXPECT_EQ(Waiting(), 0);
    EXPECT_TRUE(queues.TakeWarnings().empty());
}

TEST_F(CdrctlTest, PostsReachTheRecorderAndAnswersTheAskingThread) {
    Outcome run = RunCommand({"add", "9", "--repeat", "3", "s1.rxPackets=5"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Waiting(), 3);
    EXPECT_EQ(reports.types, (std::vector<int>{9, 9, 9}));
    EXPECT_TRUE(reports.withStatistics);

    std::thread asker([&] { run = RunCommand({"clear", "5"}); });
    while (queues.poller().WaitForEvents() != kWebSideQueueNumber) {
    }
    requests.ProcessMessageFromQueue(1);
    asker.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "clear 5: answered\n");

    run = RunCommand({"--timeout", "0.05", "reload-settings"});  // nobody answers
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cdrctl: no answer from the recorder within 0.05 s\n");

    EXPECT_EQ(RunCommand({"--help"}).out, kCdrctlUsage);
}

TEST_F(CdrctlTest, StatusTellsARunningRecorderFromQueuesLeftBehind) {
    ASSERT_EQ(RunCommand({"add", "1", "--repeat", "2"}).status, 0);
    ASSERT_EQ(RunCommand({"cgi", "connect"}).status, 0);
    Outcome run = RunCommand({"status"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("recorder not running\n/ping-15: left behind, not served, 2 of "),
              std::string::npos)
        << run.out;

    MakeDirs("/run");
    InstanceLock recorder(kRecorderLockPath);
    ASSERT_EQ(recorder.Acquire(), InstanceLock::Result::kAcquired) << recorder.error();
    run = RunCommand({"status"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("recorder running (pid " + std::to_string(getpid()) + ")\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("/ping-15: served, 2 of "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("/ping-111: served, 1 of "), std::string::npos) << run.out;
    EXPECT_EQ(Waiting(), 3);
}

TEST(CdrctlWithoutRecorderTest, AMissingQueueExitsWith1) {
    SandboxEnv env;
    Outcome run = RunCommand({"cm", "connect"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("/ping-15 does not exist"), std::string::npos) << run.err;

    run = RunCommand({"status"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "recorder not running\n/ping-15: not served (no such queue)\n"
              "/ping-111: not served (no such queue)\n");
}

}  // namespace
