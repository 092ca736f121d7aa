#include "core/recorder_main.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/messaging/recorder_client.h"
#include "platform/util/system_log.h"
#include "support/test_env.h"

namespace {

const int kSkip = 77;

// Once armed, the recorder's next opening of its general settings throws an int: an exception of
// no standard type, let out by the settings-reload handler.
class ThrowingEnv : public SandboxEnv {
  public:
    int Open(const char* path, int flags, int mode) override {
        if (mArmed && strstr(path, "general-settings.conf") != nullptr) throw 42;
        return SandboxEnv::Open(path, flags, mode);
    }
    std::atomic<bool> mArmed{false};
};

// Gives the child a private mount namespace in which the report file's folder, /tmp/logs, is
// `reportDir`, and points the system log at a dead end. Exits with kSkip where that is not allowed.
void IsolateReports(const std::string& reportDir) {
    SetSystemLogSocket("/tmp/no-log");  // on the private /tmp, where nothing listens
    if (chdir(reportDir.c_str()) != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("cdr-test", "/tmp", "tmpfs", 0, nullptr) != 0 || mkdir("/tmp/logs", 0755) != 0 ||
        mount(".", "/tmp/logs", nullptr, MS_BIND, nullptr) != 0)
        _exit(kSkip);
}

// The recorder's whole process, with a web side that asks for a settings reload once the queues
// are served.
[[noreturn]] void RunRecorder(const std::string& reportDir) {
    alarm(60);
    IsolateReports(reportDir);
    ThrowingEnv env;
    setenv("VELK_PATH", "/conf/", 1);
    std::thread webSide([&env] {
        RecorderClient client(200);
        WireMessage connect;
        connect.kind = MessageKind::kCGIPartyState;
        connect.connected = true;
        while (client.Post(connect) != ClientStatus::kDone) usleep(10000);
        env.mArmed = true;
        WireMessage reload;
        reload.kind = MessageKind::kUpdateCDRSettings;
        client.Post(reload);
    });
    webSide.detach();
    char program[] = "cdrd";
    char* argv[] = {program, nullptr};
    _exit(RecorderMain(1, argv) == 0 ? 3 : 4);
}

TEST(RecorderMainTest, AnExceptionOfNoStandardTypeEndsInAReportAndStatusOne) {
    TempDir reports;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) RunRecorder(reports.path());
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSkip)
        GTEST_SKIP() << "needs root and a private mount namespace";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(1, WEXITSTATUS(status));
    const std::string report = ReadRealFile(reports.Sub("cdr.log"));
    EXPECT_NE(std::string::npos,
              report.find("(Call Detail Recorder), caught C++ unhandled exception, reason: "
                          "Unknown exception in main ======="))
        << report;
}

}  // namespace
