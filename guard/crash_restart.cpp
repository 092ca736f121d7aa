#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "guard/crash_guard.h"
#include "platform/util/env.h"

namespace {

constexpr size_t kArgsSize = 256;
constexpr int kMaxArgs = 15;  // arguments after the program path

// The id of the process as it started, before any fork the program makes.
const pid_t sStartPid = getpid();

// Splits `text` in place at every space into argv[1] to argv[kMaxArgs]; the last one keeps the
// rest of the text, spaces included.
void SplitArguments(char* text, char** argv) {
    if (*text == '\0') return;
    argv[1] = text;
    for (int i = 2; i <= kMaxArgs; ++i) {
        char* space = strchr(argv[i - 1], ' ');
        if (space == nullptr) return;
        *space = '\0';
        argv[i] = space + 1;
    }
}

// Runs in the intermediate child of a detached start: starts the program in a grandchild with a
// session of its own and ends at once, so that the program's parent is gone.
[[noreturn]] void StartGrandchild(const char* path, char* const* argv, const int* pipeFds) {
    pid_t grandchild = vfork();
    if (grandchild == 0) {
        setsid();
        dup2(pipeFds[0], STDIN_FILENO);
        dup2(pipeFds[1], STDOUT_FILENO);
        // A pipe end that landed on standard input or output is in its place already.
        for (int i = 0; i < 2; ++i)
            if (pipeFds[i] > STDOUT_FILENO) close(pipeFds[i]);
        close(STDERR_FILENO);
        execv(path, argv);
        _exit(1);
    }
    _exit(grandchild < 0 ? 1 : 0);
}

}  // namespace

void CrashGuard::WritePidFile() {
    if (mpAppPath == nullptr) return;
    const char* slash = strrchr(mpAppPath, '/');
    const char* name = slash != nullptr ? slash + 1 : mpAppPath;
    size_t size = strlen("/var/run/") + strlen(name) + strlen(".pid") + 1;
    char* path = static_cast<char*>(malloc(size));
    if (path == nullptr) return;
    snprintf(path, size, "/var/run/%s.pid", name);
    Env* env = Env::Current();
    int fd = env->Open(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
    free(path);
    if (fd < 0) return;
    char text[16];
    int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(sStartPid));
    env->WriteFully(fd, text, static_cast<size_t>(length));
    env->Close(fd);
}

bool CrashGuard::CreateProcess(const char* path, const char* args, unsigned long* pid) {
    char text[kArgsSize] = {};
    if (args != nullptr) strncpy(text, args, kArgsSize - 1);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    char* argv[kMaxArgs + 2] = {};
    argv[0] = const_cast<char*>(path);
    SplitArguments(text, argv);

    pid_t child = vfork();
    if (child == 0) StartGrandchild(path, argv, pipeFds);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (child < 0) return false;
    waitpid(child, nullptr, WNOHANG);
    // The program itself normally got the next process id after the intermediate child.
    if (pid != nullptr) *pid = static_cast<unsigned long>(child) + 1;
    return true;
}
