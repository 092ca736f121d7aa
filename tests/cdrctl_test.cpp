#include "tools/cdrctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/recorder_fixture.h"

namespace {

using Args = std::vector<std::string>;

Args Split(const std::string& line) {
    Args words;
    for (size_t at = 0, space; at <= line.size(); at = space + 1) {
        space = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, space - at));
    }
    return words;
}

// The command `args` make; expects them to parse.
CdrctlCommand Command(const Args& args) {
    CdrctlCommand command;
    std::string error;
    EXPECT_TRUE(ParseCdrctlArguments(args, &command, &error)) << args.back() << ": " << error;
    return command;
}

// Each command line sends its kind of message, with the mask or connection state it names.
TEST(CdrctlParseTest, EachCommandSendsItsMessage) {
    const struct {
        const char* line;
        MessageKind kind;
        int32_t mask;
        bool connected;
    } cases[] = {
        {"clear 7", MessageKind::kClear, 7, false},
        {"flush -1", MessageKind::kFlush, -1, false},
        {"reload-settings", MessageKind::kUpdateCDRSettings, 0, false},
        {"reload-download", MessageKind::kUpdateDownloadSettings, 0, false},
        {"download-now", MessageKind::kDownloadNow, 0, false},
        {"cm connect", MessageKind::kCMPartyState, 0, true},
        {"cm disconnect", MessageKind::kCMPartyState, 0, false},
        {"cgi connect", MessageKind::kCGIPartyState, 0, true},
        {"cgi disconnect", MessageKind::kCGIPartyState, 0, false},
    };
    for (const auto& c : cases) {
        WireMessage m = Command(Split(c.line)).message;
        EXPECT_EQ(m.kind, c.kind) << c.line;
        EXPECT_EQ(m.mask, c.mask) << c.line;
        EXPECT_EQ(m.connected, c.connected) << c.line;
    }
    // Statistics travel only when a stream or fax field was given.
    EXPECT_FALSE(Command({"add", "1", "hop=2"}).message.hasStatistics);
    EXPECT_TRUE(Command({"add", "1", "s2.srtp=0"}).message.hasStatistics);
    // Of several format options the last counts. (--timeout and --repeat are shown by the runs
    // below; show's --root, --file and --limit by CdrctlShowTest.)
    EXPECT_EQ(Command({"show", "missed", "--json", "--csv"}).format, RecordFormat::kCsv);
}

// "spool" is the outbox command's former name: scripts written for it keep working.
TEST(CdrctlParseTest, OutboxAndItsFormerNameAreOneCommand) {
    const struct {
        const char* line;
        CdrctlAction action;
        const char* folder;
    } cases[] = {
        {"outbox", CdrctlAction::kOutbox, ""},
        {"outbox retry --dir /o/", CdrctlAction::kRetry, "/o/"},
        {"spool --dir /o", CdrctlAction::kOutbox, "/o"},
        {"spool retry", CdrctlAction::kRetry, ""},
    };
    for (const auto& c : cases) {
        const CdrctlCommand command = Command(Split(c.line));
        EXPECT_EQ(command.action, c.action) << c.line;
        EXPECT_EQ(command.outbox, c.folder) << c.line;
    }
}

class CdrctlTest : public ::testing::Test {
  protected:
    FakeRecorder recorder;
};

TEST_F(CdrctlTest, TextsThatCannotTravelAsTheyStandAreFittedAndSent) {
    CdrctlOutcome run =
        RunCdrctlCaptured({"add", "1", "called=" + std::string(256, 'x'), "caller=a\tb"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err,
              "cdrctl: warning: texts fitted before sending: called: cut to 255 bytes; caller: "
              "control characters replaced by blanks\n");
    EXPECT_EQ(recorder.ServeWaiting(), 1);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"add 1"});
    EXPECT_TRUE(recorder.TakeWarnings().empty()) << "the recorder had nothing left to fit";
}

TEST_F(CdrctlTest, BadCommandLinesExitWith2AndSendNothing) {
    // Words split at each blank; "--file " ends in an empty word. The first line has no words.
    // clang-format off
    const char* bad[] = {"", "--timeout", "--timeout -1 download-now", "frobnicate", "add",
        "add 2147483648", "add 1 nosuchfield=1", "add 1 s3.srtp=1", "add 1 hop", "add 1 hop=-1",
        "add 1 hop=1x", "add 1 s1.localPort=65536", "add 1 startTime=2147483648",
        "add 1 s1.localAddress=10.0.0", "add 1 --repeat 0", "clear", "flush 0x7",
        "reload-settings now", "cm up", "show", "show answered", "show stated --xml",
        "show stated --limit 0", "show stated --root", "show stated --file ", "status now",
        "outbox now", "spool retry --dir"};
    // clang-format on
    for (const char* line : bad) {
        CdrctlOutcome run = RunCdrctlCaptured(*line != '\0' ? Split(line) : Args());
        EXPECT_EQ(run.status, 2) << line;
        EXPECT_EQ(run.err.compare(0, 8, "cdrctl: "), 0) << line << ": " << run.err;
        EXPECT_EQ(run.out, "") << line;
    }
    EXPECT_EQ(recorder.ServeWaiting(), 0);
    EXPECT_TRUE(recorder.TakeWarnings().empty());
}

TEST_F(CdrctlTest, ARequestNobodyAnswersExitsWith1AfterTheTimeout) {
    CdrctlOutcome run = RunCdrctlCaptured({"--timeout", "0.05", "reload-settings"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cdrctl: no answer from the recorder within 0.05 s\n");
}

}  // namespace
