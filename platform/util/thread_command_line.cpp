#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/util/thread.h"

// The command line comes from the process's own entries in /proc. They describe this process,
// not a device file, so they are read directly rather than through Env.
namespace {

// The arguments of this process, program path first. False when they cannot be read.
bool ReadArguments(std::vector<std::string>* arguments) {
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string raw;
    char chunk[512];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        raw.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    if (got < 0 || raw.empty()) return false;
    // Each argument ends with a NUL; a program that rewrote its arguments may leave the last
    // one without.
    if (raw.back() == '\0') raw.pop_back();
    size_t start = 0;
    for (size_t end; (end = raw.find('\0', start)) != std::string::npos; start = end + 1)
        arguments->push_back(raw.substr(start, end - start));
    arguments->push_back(raw.substr(start));
    return true;
}

// The program's path as the kernel knows it. False when it cannot be read.
bool ReadExecutablePath(std::string* path) {
    char text[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", text, sizeof text);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof text) return false;
    path->assign(text, static_cast<size_t>(length));
    return true;
}

std::string Join(const std::vector<std::string>& words, size_t first) {
    std::string text;
    for (size_t i = first; i < words.size(); ++i) {
        if (i > first) text += ' ';
        text += words[i];
    }
    return text;
}

}  // namespace

bool Thread::GetCommandLine(char* buffer, unsigned size, bool programPath, bool fullLine,
                            bool absolute) {
    if (buffer == nullptr || size == 0) return false;
    buffer[0] = '\0';
    std::vector<std::string> arguments;
    if (!ReadArguments(&arguments)) return false;
    bool withPath = programPath || fullLine;
    if (withPath && absolute && !ReadExecutablePath(&arguments[0])) return false;

    std::string text;
    if (fullLine)
        text = Join(arguments, 0);
    else if (programPath)
        text = arguments[0];
    else
        text = Join(arguments, 1);
    size_t length = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return true;
}
