#include "guard/crash_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "guard/log_manager.h"
#include "platform/util/file_util.h"
#include "platform/util/system_log.h"
#include "support/test_env.h"

// The guard's state belongs to the whole process, so every case arms it in a child process and
// looks at what the child left behind: its report file, its system-log records, how it ended.

namespace {

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

void AppendText(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
}

// A user routine: notes its first two arguments in the file its data names.
void NoteCall(bool crashed, int signal, void* data) {
    AppendText(static_cast<char*>(data),
               "routine " + std::to_string(crashed) + " " + std::to_string(signal) + "\n");
}

// A real invalid memory access, of a kind the sanitizers do not intercept.
void Fault() {
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
}

// Stands in for the system log: a datagram socket in a test folder that the system log client is
// pointed at.
class FakeSystemLog {
  public:
    explicit FakeSystemLog(const TempDir& dir) : mPath(dir.Sub("log")) {
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address = {AF_UNIX, {}};
        mPath.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(0, bind(mFd, reinterpret_cast<struct sockaddr*>(&address), sizeof address));
        SetSystemLogSocket(mPath.c_str());
    }
    ~FakeSystemLog() {
        SetSystemLogSocket("/dev/log");
        close(mFd);
    }

    // Collects the records that arrive within `milliseconds`.
    void Collect(int milliseconds) {
        struct pollfd ready = {mFd, POLLIN, 0};
        char record[8192];
        ssize_t got;
        if (poll(&ready, 1, milliseconds) > 0)
            while ((got = recv(mFd, record, sizeof record, MSG_DONTWAIT)) >= 0)
                records.emplace_back(record, static_cast<size_t>(got));
    }
    std::vector<std::string> records;

  private:
    std::string mPath;
    int mFd;
};

// The stop report of `process` (its path and name) ended by `signal`, at the sandbox's time.
std::string StopReport(const std::string& process, const std::string& signal) {
    return "\n======= Process " + process + " has been stopped by signal " + signal +
           " at 09:05:03 =======\n";
}

struct ChildEnd {
    pid_t pid;
    int status;
};

// Runs `body` in a child process whose guarded signals start with their default actions (a
// sanitizer may have installed its own), collecting system-log records meanwhile when `log` is
// given. A child that outlives its time limit is ended by SIGALRM.
ChildEnd RunInChild(const std::function<void()>& body, FakeSystemLog* log = nullptr) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        for (int signal : {1, 2, 3, 15, 20, 4, 6, 7, 8, 11, 16}) ::signal(signal, SIG_DFL);
        alarm(30);
        body();
        _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, log != nullptr ? WNOHANG : 0) == 0) log->Collect(20);
    if (log != nullptr) log->Collect(0);
    return {pid, status};
}

// Checks a backtrace report file: an empty line, `banner`, the frames (returned), the closing
// line (two equal runs of "=" making it as wide as the banner with its newlines, or one wider),
// an empty line and `last`.
std::vector<std::string> ReportFrames(const std::string& path, const std::string& banner,
                                      const std::string& last) {
    std::vector<std::string> lines;
    std::istringstream in(ReadRealFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.size() < 6) {
        ADD_FAILURE() << "short report: " << ReadRealFile(path);
        return {};
    }
    const std::string run((banner.size() + 2 - 18) / 2, '=');
    EXPECT_EQ((std::vector<std::string>{"", banner}),
              std::vector<std::string>(&lines[0], &lines[2]));
    EXPECT_EQ((std::vector<std::string>{run + " End of Backtace " + run, "", last}),
              std::vector<std::string>(lines.end() - 3, lines.end()));
    return std::vector<std::string>(lines.begin() + 2, lines.end() - 3);
}

class CrashGuardTest : public testing::Test {
  protected:
    CrashGuardTest() : mReport(mEnv.Real("/tmp/logs/cdr.log")), mSystemLog(mDir) {
        mEnv.SetTime(1709802303, 0);  // 2024-03-07 09:05:03 in the sandbox's zone, UTC
        MakeDirs("/tmp/logs");
    }

    // Arms a guard as the program does, with the system log.
    void ArmInChild() {
        new CrashGuard(mReport.c_str(), "Call Detail Recorder", "/usr/sbin/cdrd", true, false);
        CrashGuard::SetUserRoutine(NoteCall, &mReport[0]);
    }

    // Expects one record per line of `lines` at `level`, as openlog(name, LOG_PID, LOG_USER)
    // would send them.
    void ExpectRecords(int level, pid_t pid, const std::vector<std::string>& lines) {
        std::vector<std::string> expected;
        for (const std::string& line : lines)
            expected.push_back("<" + std::to_string(8 + level) +
                               ">Mar  7 09:05:03 Call Detail Recorder[" + std::to_string(pid) +
                               "]: " + line);
        EXPECT_EQ(expected, mSystemLog.records);
    }

    TempDir mDir;
    SandboxEnv mEnv;
    std::string mReport;
    FakeSystemLog mSystemLog;
};

// The trace lines the log held go into it before the report.
TEST_F(CrashGuardTest, StopSignalLeavesOneTimedLineAndEndsTheProcess) {
    ChildEnd child = RunInChild(
        [&] {
            ArmInChild();
            LogManager log("cdr.log", true, true, 0, 256);
            log.TRACEX("written\n");
            log.HoldLines(200);
            log.TRACEX("held\n");
            kill(getpid(), SIGTERM);
        },
        &mSystemLog);

    EXPECT_TRUE(testing::KilledBySignal(SIGTERM)(child.status)) << child.status;
    const std::string report = StopReport("/usr/sbin/cdrd (Call Detail Recorder)", "SIGTERM(15)");
    EXPECT_EQ("09:05:03.000  written\n        .000  held\n" + report + "routine 0 15\n",
              ReadRealFile(mReport));
    ExpectRecords(4, child.pid, {report});
}

// A clock set by the test, read in Central European time rather than the sandbox's UTC.
class ZoneClockEnv : public LocalZoneEnv {
  public:
    explicit ZoneClockEnv(time_t now) : mNow(now) {}
    void Now(struct timespec* now) override { *now = {mNow, 0}; }
    time_t mNow;
};

TEST_F(CrashGuardTest, StopReportFollowsAClockSetAfterStartUp) {
    const time_t newYear2000 = 946684800, summer2026 = 1782909296;  // 2026-07-01 12:34:56 UTC
    ChildEnd child = RunInChild([&] {
        ZoneClockEnv clock(newYear2000);  // a device without a battery-backed clock
        ArmInChild();
        LogManager log("t.log", true, true, 0, 256);
        clock.mNow = summer2026;  // then set from the network
        log.TRACEX("tick\n");
        kill(getpid(), SIGTERM);
    });

    EXPECT_TRUE(testing::KilledBySignal(SIGTERM)(child.status)) << child.status;
    struct tm local;
    LocalZoneEnv().LocalTime(summer2026, &local);
    char expected[16];
    snprintf(expected, sizeof expected, " at %02d:%02d:%02d ", local.tm_hour, local.tm_min,
             local.tm_sec);
    EXPECT_NE(std::string::npos, ReadRealFile(mReport).find(expected)) << ReadRealFile(mReport);
}

TEST_F(CrashGuardTest, FaultLeavesBacktraceThenCallsRoutineAndEndsTheProcess) {
    ChildEnd child = RunInChild(
        [&] {
            ArmInChild();
            Fault();
        },
        &mSystemLog);

    EXPECT_TRUE(testing::KilledBySignal(SIGSEGV)(child.status)) << child.status;
    const std::string banner =
        "======= Backtrace dump of the process /usr/sbin/cdrd (Call Detail Recorder), got signal "
        "SIGSEGV(11) =======";
    std::vector<std::string> frames = ReportFrames(mReport, banner, "routine 1 11");
    frames.insert(frames.begin(), "\n" + banner + "\n");
    frames.push_back("========= End of Backtace of the Call Detail Recorder =========\n");
    ExpectRecords(3, child.pid, frames);
}

TEST_F(CrashGuardTest, OnlyTheFirstSignalIsHandledAndLaterFaultsStillEndTheProcess) {
    // Hang-up was ignored before the guard, so the process survives its report; an interrupt
    // during the routine and a terminate afterwards find the guard spent, and the final fault
    // must end the process rather than return to the faulting instruction.
    ChildEnd child = RunInChild([&] {
        signal(SIGHUP, SIG_IGN);
        CrashGuard guard(mReport.c_str(), "Call Detail Recorder", "/usr/sbin/cdrd", false, false);
        CrashGuard::SetUserRoutine(
            [](bool crashed, int signal, void* data) {
                NoteCall(crashed, signal, data);
                raise(SIGINT);
            },
            &mReport[0]);
        kill(getpid(), SIGHUP);
        kill(getpid(), SIGTERM);
        AppendText(mReport.c_str(), "still running\n");
        Fault();
    });

    EXPECT_TRUE(testing::KilledBySignal(SIGSEGV)(child.status)) << child.status;
    EXPECT_EQ(StopReport("/usr/sbin/cdrd (Call Detail Recorder)", "SIGHUP(1)") +
                  "routine 0 1\nstill running\n",
              ReadRealFile(mReport));
}

TEST_F(CrashGuardTest, AbortReportsTheExceptionAndExitsWithOneAfterCleanUp) {
    static const char* sReport;
    sReport = mReport.c_str();
    ChildEnd child = RunInChild([&] {
        atexit([] { AppendText(sReport, "clean-up ran\n"); });
        CrashGuard guard(mReport.c_str(), "Call Detail Recorder", "/usr/sbin/cdrd", false, false);
        CrashGuard::SetUserRoutine(NoteCall, &mReport[0]);
        CrashGuard::Abort("disk on fire");
    });

    EXPECT_TRUE(testing::ExitedWithCode(1)(child.status)) << child.status;
    ReportFrames(mReport,
                 "======= Backtrace dump of the process /usr/sbin/cdrd (Call Detail Recorder), "
                 "caught C++ unhandled exception, reason: disk on fire =======",
                 "clean-up ran");  // and no user routine
}

// A fault after main's guard is gone (in the clean-up at exit) still ends the process.
TEST_F(CrashGuardTest, ADestroyedGuardLeavesFaultsToEndTheProcessWithoutAReport) {
    ChildEnd child = RunInChild([&] {
        { CrashGuard guard(mReport.c_str(), "First", "/bin/first", false, false); }
        Fault();
    });
    EXPECT_TRUE(testing::KilledBySignal(SIGSEGV)(child.status)) << child.status;
    EXPECT_FALSE(Exists(mReport));
}

TEST_F(CrashGuardTest, HeldTraceLinesGoIntoTheLogBeforeTheStopReport) {
    const std::string logPath = mEnv.Real("/tmp/logs/t.log");
    ChildEnd child = RunInChild([&] {
        new CrashGuard(logPath.c_str(), "Call Detail Recorder", "/usr/sbin/cdrd", false, false);
        LogManager log("t.log", true, true, 0, 256);
        log.TRACEX("written\n");
        log.HoldLines(200);
        log.TRACEX("held\n");
        kill(getpid(), SIGTERM);
    });

    EXPECT_TRUE(testing::KilledBySignal(SIGTERM)(child.status)) << child.status;
    EXPECT_EQ("09:05:03.000  written\n        .000  held\n" +
                  StopReport("/usr/sbin/cdrd (Call Detail Recorder)", "SIGTERM(15)"),
              ReadRealFile(logPath));
}

TEST_F(CrashGuardTest, PidFileWithRestartHoldsTheStartUpProcessId) {
    // The id is the one the program started with, which a forked child shares.
    MakeDirs("/var/run");
    for (const char* program : {"/usr/sbin/x", "x"}) {
        unlink(mEnv.Real("/var/run/x.pid").c_str());
        RunInChild([&] { CrashGuard guard(mReport.c_str(), "X", program, false, true); });
        EXPECT_EQ(std::to_string(getpid()) + "\n", ReadRealFile(mEnv.Real("/var/run/x.pid")));
    }
}

TEST_F(CrashGuardTest, CreateProcessSplitsArgumentsAtEverySpace) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer's vfork keeps one saved return address per thread, so a vfork inside a vfork
    // child sends the caller back into the child's code.
    GTEST_SKIP() << "no nested vfork under the address sanitizer";
#endif
    // The program notes its arguments in brackets, and whether it runs in a session of its own
    // with standard output looped back to standard input and no standard error.
    const std::string probe = mDir.Sub("probe"), out = probe + ".out";
    std::ofstream(probe) << R"sh(#!/bin/sh
for word in "$@"; do printf '[%s]' "$word"; done >"$0.tmp"
set -- $(cat /proc/$$/stat)
[ "$6" = $$ ] && [ "$(readlink /proc/$$/fd/0)" = "$(readlink /proc/$$/fd/1)" ] &&
  [ ! -e /proc/$$/fd/2 ] && echo ' detached' >>"$0.tmp"
mv "$0.tmp" "$0.out"
)sh";
    chmod(probe.c_str(), 0755);
    const std::string longWord(300, 'x');
    const std::pair<const char*, std::string> cases[] = {
        {nullptr, ""},
        {"a  b ", "[a][][b][]"},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17",
         "[1][2][3][4][5][6][7][8][9][10][11][12][13][14][15 16 17]"},
        {longWord.c_str(), "[" + longWord.substr(0, 255) + "]"},
    };
    for (const auto& c : cases) {
        ChildEnd child = RunInChild([&] {
            unsigned long pid = 0;
            _exit(CrashGuard::CreateProcess(probe.c_str(), c.first, &pid) && pid > 1 ? 0 : 1);
        });
        EXPECT_TRUE(testing::ExitedWithCode(0)(child.status)) << child.status;
        for (int i = 0; i < 1000 && !Exists(out); ++i) usleep(10000);
        EXPECT_EQ(c.second + " detached\n", ReadRealFile(out)) << c.second;
        unlink(out.c_str());
    }
}

}  // namespace
