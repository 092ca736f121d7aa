#include "platform/statistics/transfer_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "platform/util/utf8_text.h"

extern char** environ;

namespace {

const size_t kLinePiece = 200;
const int kEndRounds = 100;
const useconds_t kEndPauseMicros = 10000;

// close_range where the kernel (or emulator) has it; else every open descriptor /proc lists;
// else every number up to the limit.
void CloseFrom(int first) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0) return;
#endif
    std::vector<int> open;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (const struct dirent* entry = readdir(folder)) {
            const int fd = atoi(entry->d_name);
            if (fd >= first && fd != dirfd(folder)) open.push_back(fd);
        }
        closedir(folder);
        for (int fd : open) close(fd);
        return;
    }
    struct rlimit limit;
    const rlim_t most = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                            ? limit.rlim_cur
                            : 65536;
    for (rlim_t fd = static_cast<rlim_t>(first); fd < most; ++fd) close(static_cast<int>(fd));
}

// A process as /proc/<pid>/stat tells it.
struct ProcessInfo {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
    bool zombie = false;
};

bool ReadProcessInfo(pid_t pid, ProcessInfo* info) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
    FILE* file = fopen(path, "re");
    if (file == nullptr) return false;
    char text[1024] = {};
    const size_t size = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    const char* end = strrchr(text, ')');  // the command name may hold anything
    if (size == 0 || end == nullptr) return false;
    char state = 0;
    long parent = 0, group = 0;
    if (sscanf(end + 1, " %c %ld %ld", &state, &parent, &group) != 3) return false;
    info->pid = pid;
    info->parent = static_cast<pid_t>(parent);
    info->group = static_cast<pid_t>(group);
    info->zombie = state == 'Z' || state == 'X';
    return true;
}

bool CarriesMarker(pid_t pid, const std::string& marker) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/environ", static_cast<long>(pid));
    FILE* file = fopen(path, "re");
    if (file == nullptr) return false;
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    fclose(file);
    const std::string entry = marker + '\0';
    return text.compare(0, entry.size(), entry) == 0 ||
           text.find('\0' + entry) != std::string::npos;
}

std::vector<ProcessInfo> ListProcesses() {
    std::vector<ProcessInfo> processes;
    DIR* folder = opendir("/proc");
    if (folder == nullptr) return processes;
    while (const struct dirent* entry = readdir(folder)) {
        const pid_t pid = static_cast<pid_t>(atol(entry->d_name));
        ProcessInfo info;
        if (pid > 0 && ReadProcessInfo(pid, &info)) processes.push_back(info);
    }
    closedir(folder);
    return processes;
}

// The live processes of the transfer: in the leader's group, children of this process or of one
// already known, or marked. Parents are followed to a fixed point, as /proc lists in pid order.
std::vector<pid_t> FindTransferProcesses(pid_t leader, const std::string& marker,
                                         std::set<pid_t>* known) {
    const std::vector<ProcessInfo> processes = ListProcesses();
    std::vector<pid_t> found;
    for (bool grew = true; grew;) {
        grew = false;
        for (const ProcessInfo& info : processes) {
            if (info.pid == getpid() || known->count(info.pid) != 0) continue;
            if (info.group == leader || info.parent == getpid() || known->count(info.parent) != 0 ||
                CarriesMarker(info.pid, marker)) {
                known->insert(info.pid);
                grew = true;
            }
        }
    }
    for (const ProcessInfo& info : processes)
        if (known->count(info.pid) != 0 && !info.zombie) found.push_back(info.pid);
    return found;
}

void ReapChildren() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

bool IsControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte < 0xA0);
}

// The length of the valid UTF-8 sequence at `at` that is not a C1 control; 0 when there is none.
size_t PrintableSequence(const std::string& text, size_t at) {
    unsigned code;
    const size_t length = DecodeUtf8(text, at, &code);
    return IsTerminalControl(code) ? 0 : length;
}

void AppendLines(const std::string& text, std::vector<std::string>* lines) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) end = text.size();
        for (size_t piece = at; piece < end || piece == at; piece += kLinePiece) {
            lines->push_back(EscapeControls(text.substr(piece, std::min(kLinePiece, end - piece))));
            if (end - piece <= kLinePiece) break;
        }
        at = next;
    }
}

}  // namespace

int KeepOnlyDescriptor(int keep) {
    int kept = keep == 3 ? 3 : dup2(keep, 3);
    if (kept == 3 && keep != 3) close(keep);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
    }
    CloseFrom(kept == 3 ? 4 : 3);
    return kept == 3 ? 3 : -1;
}

bool BecomeSubreaper() {
    return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

void CapturedOutput::Append(const char* data, size_t size) {
    mTotal += size;
    const size_t toHead = std::min(size, kKeep - mHead.size());
    mHead.append(data, toHead);
    for (size_t i = toHead; i < size; ++i) {
        if (mRing.size() < kKeep) {
            mRing.push_back(data[i]);
        } else {
            mRing[mRingStart] = data[i];
            mRingStart = (mRingStart + 1) % kKeep;
        }
    }
}

std::string CapturedOutput::Tail() const {
    return mRing.substr(mRingStart) + mRing.substr(0, mRingStart);
}

std::vector<std::string> CapturedOutput::Lines() const {
    std::vector<std::string> lines;
    AppendLines(mHead, &lines);
    const unsigned long long left = mTotal - mHead.size() - mRing.size();
    if (left > 0) lines.push_back("... " + std::to_string(left) + " bytes left out ...");
    AppendLines(Tail(), &lines);
    return lines;
}

std::string EscapeControls(const std::string& text) {
    std::string escaped;
    for (size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        const size_t length = byte < 0x80 ? (IsControl(byte) ? 0 : 1) : PrintableSequence(text, at);
        if (length > 0) {
            escaped.append(text, at, length);
            at += length;
            continue;
        }
        char code[8];
        snprintf(code, sizeof code, "\\x%02X", byte);
        escaped += code;
        ++at;
    }
    return escaped;
}

pid_t SpawnCaptured(const std::vector<std::string>& command, const std::string& path,
                    const std::string& marker, int* output, int* error) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    std::vector<std::string> words = command;
    words.push_back(path);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    std::string mark = marker;
    std::vector<char*> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
    env.push_back(&mark[0]);
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = -1;
    *error = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), env.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (*error != 0) {
        close(ends[0]);
        return -1;
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    *output = ends[0];
    return child;
}

void EndDescendants(pid_t leader, const std::string& marker) {
    std::set<pid_t> known = {leader};
    for (int round = 0; round < kEndRounds; ++round) {
        kill(-leader, SIGKILL);
        ReapChildren();
        const std::vector<pid_t> left = FindTransferProcesses(leader, marker, &known);
        if (left.empty()) return;
        for (pid_t pid : left) kill(pid, SIGKILL);
        usleep(kEndPauseMicros);
    }
}
