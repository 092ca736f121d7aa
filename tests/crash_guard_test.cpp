#include "guard/crash_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_util.h"
#include "support/test_env.h"

// The guard's state belongs to the whole process, so every case arms it in a child process and
// looks at what the child left behind: its report file, its system-log records, how it ended.

namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CDR_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(CDR_ADDRESS_SANITIZER)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
// The address sanitizer's vfork keeps a single saved return address per thread, so a vfork
// inside a vfork child sends the caller back into the child's code.
constexpr const char* kNoNestedVfork = "nested vfork does not work under the address sanitizer";

constexpr int kSkipped = 77;  // a child could not set up what the case needs
const int kGuardedSignals[] = {SIGHUP,  SIGINT, SIGQUIT, SIGTERM, SIGTSTP,  SIGILL,
                               SIGABRT, SIGBUS, SIGFPE,  SIGSEGV, SIGSTKFLT};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

mode_t CurrentUmask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

void AppendText(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) return;
    if (write(fd, text, strlen(text)) < 0) {
    }
    close(fd);
}

// A user routine: notes its first two arguments in the file its data names.
void NoteCall(bool crashed, int signal, void* data) {
    char line[64];
    snprintf(line, sizeof line, "routine %d %d\n", crashed ? 1 : 0, signal);
    AppendText(static_cast<const char*>(data), line);
}

// A user routine that also raises a second signal while the first is being handled.
void NoteCallAndInterrupt(bool crashed, int signal, void* data) {
    NoteCall(crashed, signal, data);
    raise(SIGINT);
}

// A real invalid memory access, of a kind the sanitizers do not intercept.
void Fault() {
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
}

// Stands in for the system log: a datagram socket bound in a test folder, which a child process
// sees as "/dev/log" in a private mount namespace with a tmpfs over /dev.
class FakeSystemLog {
public:
    explicit FakeSystemLog(const std::string& path) : mPath(path) {
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (bind(mFd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot bind " << path;
    }
    ~FakeSystemLog() { close(mFd); }

    // Whether a child can get a private /dev here (root, or user namespaces, and an emulator
    // that passes the calls on).
    static bool Available() {
        static const bool available = Probe();
        return available;
    }

    // In the child: makes this socket the system log's.
    bool Install() const {
        if (!PrivateDev()) return false;
        int fd = open("/dev/log", O_CREAT | O_WRONLY, 0644);
        if (fd < 0) return false;
        close(fd);
        return mount(mPath.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) == 0;
    }

    // Collects the records that arrive within `milliseconds`.
    void Collect(int milliseconds) {
        struct pollfd ready = {mFd, POLLIN, 0};
        if (poll(&ready, 1, milliseconds) <= 0) return;
        char record[8192];
        ssize_t got;
        while ((got = recv(mFd, record, sizeof record, MSG_DONTWAIT)) >= 0)
            mRecords.emplace_back(record, static_cast<size_t>(got));
    }

    const std::vector<std::string>& records() const { return mRecords; }

private:
    static bool PrivateDev() {
        if (unshare(CLONE_NEWNS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") == 0;
    }
    static bool Probe();

    std::string mPath;
    int mFd = -1;
    std::vector<std::string> mRecords;
};

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
        for (int signal : kGuardedSignals) ::signal(signal, SIG_DFL);
        alarm(30);
        body();
        _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, log != nullptr ? WNOHANG : 0) == 0) log->Collect(20);
    if (log != nullptr) log->Collect(0);
    return {pid, status};
}

bool FakeSystemLog::Probe() {
    return testing::ExitedWithCode(0)(
        RunInChild([] { _exit(PrivateDev() ? 0 : kSkipped); }).status);
}

// A backtrace report cut into its parts.
struct Backtrace {
    std::string banner;               // with both newlines
    std::vector<std::string> frames;  // without their newline
    std::string closing;              // with its two newlines
    std::string rest;                 // whatever follows the report
};

Backtrace Parse(const std::string& text) {
    Backtrace report;
    size_t at = text.find('\n', 1) + 1;
    report.banner = text.substr(0, at);
    for (size_t end;
         text.compare(at, 3, " 0x") == 0 && (end = text.find('\n', at)) != std::string::npos;
         at = end + 1)
        report.frames.push_back(text.substr(at, end - at));
    size_t closingEnd = text.find("\n\n", at);
    if (closingEnd == std::string::npos) return report;
    report.closing = text.substr(at, closingEnd + 2 - at);
    report.rest = text.substr(closingEnd + 2);
    return report;
}

// Whether `line` reads " 0x<hex address>: <symbol text>".
bool IsFrameLine(const std::string& line) {
    size_t colon = line.find(": ");
    return line.compare(0, 3, " 0x") == 0 && colon > 3 && colon + 2 < line.size() &&
           line.find_first_not_of("0123456789abcdef", 3) == colon;
}

// The closing line for a banner: two equal runs of "=" around the title, as wide as the banner.
std::string ClosingFor(const std::string& banner) {
    std::string run((banner.size() - 18) / 2, '=');
    return run + " End of Backtace " + run + "\n\n";
}

class CrashGuardTest : public testing::Test {
protected:
    static constexpr time_t kNow = 1709802303;  // 2024-03-07 09:05:03 in the sandbox's zone, UTC

    CrashGuardTest() : mReport(mDir.Sub("cdr.log")), mSystemLog(mDir.Sub("log")) {
        mEnv.SetTime(kNow, 0);
    }

    // The head of every system-log record of `pid` at `level`.
    static std::string RecordHead(int level, pid_t pid) {
        return "<" + std::to_string(8 + level) + ">Mar  7 09:05:03 Call Detail Recorder[" +
               std::to_string(pid) + "]: ";
    }

    // Arms a guard as the program does, with the system log when it can be faked.
    void ArmInChild() {
        bool syslogOn = FakeSystemLog::Available();
        if (syslogOn && !mSystemLog.Install()) _exit(kSkipped);
        // Stays armed until the child ends.
        new CrashGuard(mReport.c_str(), "Call Detail Recorder", "/usr/sbin/cdrd", syslogOn, false);
    }

    TempDir mDir;
    SandboxEnv mEnv;
    std::string mReport;
    FakeSystemLog mSystemLog;
};

TEST_F(CrashGuardTest, StopSignalLeavesOneTimedLineAndEndsTheProcess) {
    ChildEnd child = RunInChild(
        [&] {
            ArmInChild();
            kill(getpid(), SIGTERM);
            _exit(3);
        },
        &mSystemLog);

    EXPECT_TRUE(testing::KilledBySignal(SIGTERM)(child.status)) << child.status;
    const std::string report =
        "\n======= Process /usr/sbin/cdrd (Call Detail Recorder) has been stopped by signal "
        "SIGTERM(15) at 09:05:03 =======\n";
    EXPECT_EQ(report, ReadText(mReport));
    if (!FakeSystemLog::Available())
        GTEST_SKIP() << "system-log records not checked: no private /dev";
    EXPECT_EQ(std::vector<std::string>{RecordHead(4, child.pid) + report}, mSystemLog.records());
}

TEST_F(CrashGuardTest, FaultLeavesBacktraceThenCallsRoutineAndEndsTheProcess) {
    ChildEnd child = RunInChild(
        [&] {
            ArmInChild();
            CrashGuard::SetUserRoutine(NoteCall, const_cast<char*>(mReport.c_str()));
            Fault();
            _exit(3);
        },
        &mSystemLog);

    EXPECT_TRUE(testing::KilledBySignal(SIGSEGV)(child.status)) << child.status;
    Backtrace report = Parse(ReadText(mReport));
    EXPECT_EQ(
        "\n======= Backtrace dump of the process /usr/sbin/cdrd (Call Detail Recorder), got "
        "signal SIGSEGV(11) =======\n",
        report.banner);
    ASSERT_FALSE(report.frames.empty());
    EXPECT_TRUE(std::any_of(report.frames.begin(), report.frames.end(), [](const std::string& f) {
        return f.find("CrashGuard") != std::string::npos;
    }));
    for (const std::string& frame : report.frames) EXPECT_TRUE(IsFrameLine(frame)) << frame;
    EXPECT_EQ(ClosingFor(report.banner), report.closing);
    EXPECT_EQ("routine 1 11\n", report.rest);

    if (!FakeSystemLog::Available())
        GTEST_SKIP() << "system-log records not checked: no private /dev";
    const std::string head = RecordHead(3, child.pid);
    std::vector<std::string> expected{head + report.banner};
    for (const std::string& frame : report.frames) expected.push_back(head + frame);
    expected.push_back(head + "========= End of Backtace of the Call Detail Recorder =========\n");
    EXPECT_EQ(expected, mSystemLog.records());
}

TEST_F(CrashGuardTest, OnlyTheFirstSignalIsHandledAndLaterFaultsStillEndTheProcess) {
    // Hang-up was ignored before the guard, so the process survives its report; the interrupt
    // raised from the routine and the terminate sent afterwards find the guard spent, and the
    // final fault must end the process rather than return to the faulting instruction.
    ChildEnd child = RunInChild([&] {
        signal(SIGHUP, SIG_IGN);
        CrashGuard guard(mReport.c_str(), "Call Detail Recorder", "/usr/sbin/cdrd", false, false);
        CrashGuard::SetUserRoutine(NoteCallAndInterrupt, const_cast<char*>(mReport.c_str()));
        kill(getpid(), SIGHUP);
        kill(getpid(), SIGTERM);
        AppendText(mReport.c_str(), "still running\n");
        Fault();
    });

    EXPECT_TRUE(testing::KilledBySignal(SIGSEGV)(child.status)) << child.status;
    EXPECT_EQ(
        "\n======= Process /usr/sbin/cdrd (Call Detail Recorder) has been stopped by signal "
        "SIGHUP(1) at 09:05:03 =======\nroutine 0 1\nstill running\n",
        ReadText(mReport));
}

TEST_F(CrashGuardTest, AbortReportsTheExceptionAndExitsWithOneAfterCleanUp) {
    struct Case {
        const char* reason;
        const char* banner;
    } cases[] = {
        {"disk on fire",
         "\n======= Backtrace dump of the process /usr/sbin/cdrd (Call Detail Recorder), caught "
         "C++ unhandled exception, reason: disk on fire =======\n"},
        {nullptr,
         "\n======= Backtrace dump of the process /usr/sbin/cdrd (Call Detail Recorder), caught "
         "C++ unhandled exception =======\n"},
    };
    static std::string sReport;
    sReport = mReport;
    for (const Case& c : cases) {
        unlink(mReport.c_str());
        ChildEnd child = RunInChild([&] {
            atexit([] { AppendText(sReport.c_str(), "clean-up ran\n"); });
            CrashGuard guard(mReport.c_str(), "Call Detail Recorder", "/usr/sbin/cdrd", false,
                             false);
            CrashGuard::SetUserRoutine(NoteCall, const_cast<char*>(mReport.c_str()));
            CrashGuard::Abort(c.reason);
        });

        EXPECT_TRUE(testing::ExitedWithCode(1)(child.status)) << child.status;
        Backtrace report = Parse(ReadText(mReport));
        EXPECT_EQ(c.banner, report.banner);
        EXPECT_FALSE(report.frames.empty());
        EXPECT_EQ(ClosingFor(report.banner), report.closing);
        EXPECT_EQ("clean-up ran\n", report.rest);  // and no user routine
    }
}

TEST_F(CrashGuardTest, OnlyTheFirstGuardActsAndDestroyingAnyGuardDisarmsIt) {
    MakeDirs("/var/run");
    const std::string second = mDir.Sub("second.log");
    ChildEnd bothArmed = RunInChild([&] {
        CrashGuard first(mReport.c_str(), "First", "/bin/first", false, false);
        CrashGuard ignored(second.c_str(), "Second", "/bin/second", false, true);
        kill(getpid(), SIGQUIT);
    });
    EXPECT_TRUE(testing::KilledBySignal(SIGQUIT)(bothArmed.status)) << bothArmed.status;
    EXPECT_EQ(
        "\n======= Process /bin/first (First) has been stopped by signal SIGQUIT(3) at 09:05:03 "
        "=======\n",
        ReadText(mReport));
    EXPECT_FALSE(Exists(second));
    EXPECT_FALSE(Exists(mEnv.Real("/var/run/second.pid")));

    // With the buffers released, a fault and Abort still end the process, without a report.
    unlink(mReport.c_str());
    auto armThenRelease = [&] {
        new CrashGuard(mReport.c_str(), "First", "/bin/first", false, false);  // never destroyed
        CrashGuard second(mReport.c_str(), "Second", "/bin/second", false, false);
    };
    ChildEnd faulted = RunInChild([&] {
        armThenRelease();
        Fault();
    });
    EXPECT_TRUE(testing::KilledBySignal(SIGSEGV)(faulted.status)) << faulted.status;
    ChildEnd aborted = RunInChild([&] {
        armThenRelease();
        CrashGuard::Abort("late");
    });
    EXPECT_TRUE(testing::ExitedWithCode(1)(aborted.status)) << aborted.status;
    EXPECT_FALSE(Exists(mReport));
}

TEST_F(CrashGuardTest, NamesAndPathsFillInWhenNotGiven) {
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const char* exeName = strrchr(exe, '/') + 1;
    struct Case {
        const char* path;
        std::string shownPath, shownName;
    } cases[] = {
        {"/opt/tools/cdrd", "/opt/tools/cdrd", "cdrd"},
        {"tools\\cdrd.exe", "tools\\cdrd.exe", "cdrd.exe"},
        {nullptr, exe, exeName},
    };
    for (const Case& c : cases) {
        unlink(mReport.c_str());
        RunInChild([&] {
            CrashGuard guard(mReport.c_str(), nullptr, c.path, false, false);
            kill(getpid(), SIGINT);
        });
        EXPECT_EQ("\n======= Process " + c.shownPath + " (" + c.shownName +
                      ") has been stopped by signal SIGINT(2) at 09:05:03 =======\n",
                  ReadText(mReport));
    }
}

TEST_F(CrashGuardTest, PidFileOnlyWithRestartHoldsTheStartUpProcessId) {
    MakeDirs("/var/run");
    RunInChild([&] { CrashGuard guard(mReport.c_str(), "X", "/usr/sbin/x", false, true); });
    RunInChild([&] { CrashGuard guard(mReport.c_str(), "Y", "/usr/sbin/y", false, false); });
    RunInChild([&] { CrashGuard guard(mReport.c_str(), "Z", "z", false, true); });

    // The id is the one the program started with, which a forked child shares.
    const std::string startId = std::to_string(getpid()) + "\n";
    EXPECT_EQ(startId, ReadText(mEnv.Real("/var/run/x.pid")));
    EXPECT_FALSE(Exists(mEnv.Real("/var/run/y.pid")));
    EXPECT_EQ(startId, ReadText(mEnv.Real("/var/run/z.pid")));
    struct stat info;
    ASSERT_EQ(0, stat(mEnv.Real("/var/run/x.pid").c_str(), &info));
    EXPECT_EQ(0666u & ~CurrentUmask(), info.st_mode & 0777u);
}

// A program that writes what it was started with next to itself: its arguments in brackets, its
// process id, and whether it runs in a session of its own with standard output looped back to
// standard input and no standard error.
class ArgumentsProbe {
public:
    explicit ArgumentsProbe(const TempDir& dir) : mPath(dir.Sub("probe")) {
        std::ofstream(mPath) << "#!/bin/sh\n"
                                "for word in \"$@\"; do printf '[%s]' \"$word\"; done >\"$0.tmp\"\n"
                                "set -- $(cat /proc/$$/stat)\n"
                                "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1)\n"
                                "[ \"$6\" = $$ ] && printf ' session' >>\"$0.tmp\"\n"
                                "[ \"$in\" = \"$out\" ] && printf ' looped' >>\"$0.tmp\"\n"
                                "[ -e /proc/$$/fd/2 ] || printf ' no-stderr' >>\"$0.tmp\"\n"
                                "printf ' pid=%s\\n' $$ >>\"$0.tmp\"\n"
                                "mv \"$0.tmp\" \"$0.out\"\n";
        chmod(mPath.c_str(), 0755);
    }
    const std::string& path() const { return mPath; }

    // Waits for the program's output and takes it away; empty after ten seconds without.
    std::string Take() const {
        const std::string out = mPath + ".out";
        for (int i = 0; i < 1000 && !Exists(out); ++i) usleep(10000);
        std::string text = ReadText(out);
        unlink(out.c_str());
        return text;
    }

private:
    std::string mPath;
};

TEST_F(CrashGuardTest, CreateProcessSplitsArgumentsAtEverySpace) {
    if (kAddressSanitizer) GTEST_SKIP() << kNoNestedVfork;
    ArgumentsProbe probe(mDir);
    const std::string longWord(300, 'x');
    struct Case {
        const char* args;
        std::string words;
    } cases[] = {
        {"one two three", "[one][two][three]"},
        {"", ""},
        {nullptr, ""},
        {"a  b ", "[a][][b][]"},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17",
         "[1][2][3][4][5][6][7][8][9][10][11][12][13][14][15 16 17]"},
        {longWord.c_str(), "[" + longWord.substr(0, 255) + "]"},
    };
    for (const Case& c : cases) {
        ChildEnd child = RunInChild([&] {
            unsigned long pid = 0;
            _exit(CrashGuard::CreateProcess(probe.path().c_str(), c.args, &pid) && pid != 0 ? 0
                                                                                            : 1);
        });
        EXPECT_TRUE(testing::ExitedWithCode(0)(child.status)) << child.status;
        std::string out = probe.Take();
        EXPECT_EQ(c.words + " session looped no-stderr", out.substr(0, out.find(" pid=")))
            << (c.args != nullptr ? c.args : "(null)");
    }
}

TEST_F(CrashGuardTest, CreateProcessStoresTheIdAfterTheIntermediateChild) {
    if (kAddressSanitizer) GTEST_SKIP() << kNoNestedVfork;
    // In a fresh pid namespace ids are handed out in order, so the program's id is known, unless
    // something else (an emulator's helper threads) takes ids too.
    ArgumentsProbe probe(mDir);
    const std::string stored = mDir.Sub("stored");
    ChildEnd child = RunInChild([&] {
        if (unshare(CLONE_NEWPID) != 0) _exit(kSkipped);
        ChildEnd init = RunInChild([&] {
            pid_t first = RunInChild([] {}).pid;
            if (RunInChild([] {}).pid != first + 1) _exit(kSkipped);
            unsigned long pid = 0;
            if (!CrashGuard::CreateProcess(probe.path().c_str(), nullptr, &pid)) _exit(1);
            std::ofstream(stored) << " pid=" << pid << "\n";
            for (int i = 0; i < 1000 && !Exists(probe.path() + ".out"); ++i) usleep(10000);
        });
        _exit(WIFEXITED(init.status) ? WEXITSTATUS(init.status) : 1);
    });
    if (testing::ExitedWithCode(kSkipped)(child.status))
        GTEST_SKIP() << "no pid namespace handing out one id per process here";
    EXPECT_TRUE(testing::ExitedWithCode(0)(child.status)) << child.status;
    std::string out = probe.Take();
    EXPECT_EQ(ReadText(stored), out.substr(out.find(" pid=")));
}

}  // namespace
