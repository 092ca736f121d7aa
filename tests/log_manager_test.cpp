#include "guard/log_manager.h"

#include <gtest/gtest.h>
#include <stdarg.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/util/file_util.h"
#include "support/test_env.h"

// Stalls and restarts the writer thread, as a slow storage would.
class LogManagerTestPeer {
  public:
    static void StopWriter(LogManager* log) { log->StopWriter(); }
    static void StartWriter(LogManager* log) { log->StartWriter(); }
};

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const time_t kT = 1614952987;  // 2021-03-05 14:03:07 UTC

std::string Log() {
    std::string text;
    ReadWholeFile("/tmp/logs/cdr.log", &text);
    return text;
}

std::unique_ptr<LogManager> NewLog(unsigned queueDepth = 0, unsigned msgSize = 8192) {
    return std::make_unique<LogManager>("cdr.log", true, true, queueDepth, msgSize);
}

// Traces with `fmt` as the format, whatever it holds.
void TraceFormat(LogManager* log, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log->TRACE(fmt, args);
    va_end(args);
}

// A direct-writing manager on "/tmp/logs/cdr.log" in a sandbox whose clock stands at kT.
class LogManagerTest : public testing::Test {
  protected:
    LogManagerTest() { env.SetTime(kT, 0); }
    // Replaces the manager with one that queues `queueDepth` lines (0: writes directly).
    void Reopen(unsigned queueDepth, unsigned msgSize) {
        log.reset();
        log = NewLog(queueDepth, msgSize);
    }

    SandboxEnv env;
    std::unique_ptr<LogManager> log = NewLog();
};

TEST_F(LogManagerTest, EachLineCarriesItsTimeOrTheSameSecondFormAndItsLevelMark) {
    env.SetTime(kT, 42);
    log->TRACEX("first %d\n", 1);
    env.SetTime(kT, 43);
    log->TRACEX("second\n");
    log->TRACEX("%s", "");  // empty formats write nothing
    log->PANICEX(0, "%s", "");
    env.SetTime(kT + 1, 1);
    log->PANICEX(0, "bad %s\n", "x");
    log->PANICEX(7, "odd\n");
    EXPECT_EQ(
        "14:03:07.042  first 1\n"
        "        .043  second\n"
        "14:03:08.001  <<ERROR>> bad x\n"
        "        .001  <WARNING> odd\n",
        Log());
}

TEST_F(LogManagerTest, HeadPrefixesLinesAndIndentMatchesIt) {
    env.SetTime(kT, 5);
    log->SetMode(true, true, "abc");
    EXPECT_EQ("abc" + std::string(6, ' '), log->Indent());
    log->TRACEX("x\n");
    EXPECT_EQ("abc" + std::string(15, ' '), log->Indent());
    log->SetMode(true, true, "");
    log->TRACEX("y\n");
    EXPECT_EQ(std::string(14, ' '), log->Indent());
    log->SetMode(true, true, std::string(60, 'h').c_str());
    log->TRACEX("z\n");
    log->SetMode(true, true, nullptr);
    log->TRACEX("w\n");
    EXPECT_EQ("abc 14:03:07.005  x\n        .005  y\n" + std::string(48, 'h') +
                  "         .005  z\n        .005  w\n",
              Log());
}

TEST_F(LogManagerTest, DateLineBeforeEvery32ndNewSecond) {
    for (int second = 0; second < 64; ++second) {
        env.SetTime(second, 0);  // the epoch: a first line at second 0 is a new second too
        log->TRACEX("s%d\n", second);
        log->TRACEX("again\n");  // lines within a second do not count
    }
    std::string text = Log();
    const std::string date = "01  Jan 1970  <---- Date ----<<<\n";
    EXPECT_EQ(0u, text.find("00:00:00.000  s0\n"));
    size_t first = text.find(date);
    EXPECT_EQ(text.find("00:00:31.000  s31\n"), first + date.size());
    EXPECT_EQ(text.find("00:01:03.000  s63\n"), text.find(date, first + 1) + date.size());
    EXPECT_EQ(std::string::npos, text.find(date, text.find(date, first + 1) + 1));
}

// A message longer than the line buffer loses its end, not the lines after it.
TEST_F(LogManagerTest, ALongMessageIsCutToTheLineBufferWithItsStampKept) {
    log->PANICEX(1, "%s", std::string(9000, 'a').c_str());
    log->TRACEX("next\n");
    const std::string text = Log();
    const std::string stamp = "14:03:07.000  <WARNING> ";
    ASSERT_EQ(0u, text.compare(0, stamp.size(), stamp));
    const size_t cut = text.find_first_not_of('a', stamp.size());
    EXPECT_EQ(8192u - 1, cut) << "the whole buffer but its terminating NUL";
    EXPECT_EQ(text.substr(cut), "        .000  next\n");

    // A format without conversions is copied as it stands, cut the same way.
    TraceFormat(log.get(), std::string(9000, 'b').c_str());
    EXPECT_EQ(text + "        .000  " + std::string(8192 - 1 - 14, 'b'), Log());
}

TEST_F(LogManagerTest, FlushesAndStandardErrorFollowTheMode) {
    CaptureStderr();
    log->PANICEX(0, "e1\n");
    log->PANICEX(1, "w1\n");
    log->SetMode(false, true, nullptr);
    log->TRACEX("held\n");
    EXPECT_EQ(std::string::npos, Log().find("held"));
    log->PANICEX(0, "e2\n");  // flushed anyway, but not copied to standard error
    EXPECT_EQ("14:03:07.000  <<ERROR>> e1\n", GetCapturedStderr());
    EXPECT_NE(std::string::npos, Log().find("held\n        .000  <<ERROR>> e2\n"));

    log->SetMode(true, false, nullptr);  // the stream formats: level tag, no stamp, no mark
    log->TRACEX("plain %d\n", 3);
    log->PANICEX(1, "warn\n");
    std::string text = Log();
    EXPECT_EQ("[3] plain 3\n[1] warn\n", text.substr(text.size() - 21));
}

TEST_F(LogManagerTest, HeldLinesWaitForAFlushTheHoldLimitAClockSetBackOrAWarning) {
    log->HoldLines(200);
    log->TRACEX("a\n");
    env.SetTime(kT, 199);
    log->TRACEX("b\n");
    EXPECT_TRUE(log->HasHeldLines());
    EXPECT_EQ("", Log());
    env.SetTime(kT, 200);  // 200 ms after the oldest held line
    log->TRACEX("c\n");
    EXPECT_FALSE(log->HasHeldLines());
    const std::string abc = "14:03:07.000  a\n        .199  b\n        .200  c\n";
    EXPECT_EQ(abc, Log());

    log->TRACEX("d\n");
    log->FlushHeld();
    env.SetTime(kT, 300);
    log->TRACEX("e\n");
    env.SetTime(kT - 1, 0);  // the clock set back
    log->TRACEX("f\n");
    const std::string def = "        .200  d\n        .300  e\n14:03:06.000  f\n";
    EXPECT_EQ(abc + def, Log());

    log->TRACEX("g\n");
    log->PANICEX(1, "w\n");
    log->HoldLines(0);
    log->TRACEX("h\n");
    EXPECT_EQ(abc + def + "        .000  g\n        .000  <WARNING> w\n        .000  h\n", Log());
}

TEST_F(LogManagerTest, QueuedLinesAllReachTheFileInOrder) {
    CaptureStderr();
    Reopen(256, 128);  // room for every line: none is dropped
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        log->TRACEX("line %d\n", i);
        expected += (i == 0 ? "14:03:07" : "        ") + std::string(".000  line ") +
                    std::to_string(i) + "\n";
    }
    log->PANICEX(0, "err\n");
    log.reset();  // the writer writes every queued line before it stops
    EXPECT_EQ(expected + "        .000  <<ERROR>> err\n", Log());
    EXPECT_EQ("        .000  <<ERROR>> err\n", GetCapturedStderr());
}

// With the writer stalled, a line that finds the queue full is dropped instead of holding up
// the thread that traces it; lines flow again once the writer runs.
TEST_F(LogManagerTest, ALineThatFindsTheQueueFullIsDroppedWithoutWaiting) {
    Reopen(3, 128);
    LogManagerTestPeer::StopWriter(log.get());
    for (int i = 0; i < 100; ++i) log->TRACEX("line %d\n", i);
    LogManagerTestPeer::StartWriter(log.get());
    LogManagerTestPeer::StopWriter(log.get());  // drains the queue
    log->TRACEX("fresh\n");
    LogManagerTestPeer::StartWriter(log.get());
    log.reset();
    const std::string text = Log();
    EXPECT_NE(std::string::npos, text.find(".000  line 0\n"));
    EXPECT_EQ(std::string::npos, text.find("line 99\n"));
    EXPECT_NE(std::string::npos, text.find("fresh\n"));
}

// Several threads trace at once; every line must come out whole, and each thread's lines in the
// order it wrote them.
TEST_F(LogManagerTest, ThreadsNeverMixLinesInEitherMode) {
    for (unsigned depth : {0u, 3u}) {
        const int threads = 4, lines = 300;
        Reopen(depth, 256);
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t)
            writers.emplace_back([this, t] {
                for (int i = 0; i < lines; ++i) log->TRACEX("t%d %04d %s\n", t, i, "xxxxxxxx");
            });
        for (auto& writer : writers) writer.join();
        log.reset();
        std::string text = Log();
        env.Unlink("/tmp/logs/cdr.log");
        std::vector<int> last(threads, -1);
        size_t lineCount = 0;
        for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1, ++lineCount) {
            int t = -1, i = -1;
            char tail[16] = "";
            ASSERT_EQ(3, sscanf(text.c_str() + at + 14, "t%d %d %15[x]\n", &t, &i, tail));
            ASSERT_TRUE(t >= 0 && t < threads);
            EXPECT_GT(i, last[t]);
            last[t] = i;
            EXPECT_STREQ("xxxxxxxx", tail);
        }
        // A queued manager may drop lines when its queue is full; a direct one never does.
        EXPECT_TRUE(depth != 0 || lineCount == static_cast<size_t>(threads * lines)) << lineCount;
    }
}

}  // namespace
