#include "platform/download/download_statistics.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <exception>
#include <sstream>

#include "platform/config/config_file.h"
#include "platform/config/configuration_root.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"

extern char** environ;

namespace {

const char kDefaultDirectory[] = "/mnt/bbram/calldata/outbox/";
const unsigned kDefaultTimeoutSeconds = 30;
const unsigned kValueSize = 1024;

// Numbers the files of one process, so two deliveries in one second get different names.
unsigned gSequence = 0;

std::string Setting(Configuration::ConfigFile& file, const char* key, const char* fallback) {
    char value[kValueSize];
    return file.GetEntry(key, value, sizeof value) != 0 ? value : fallback;
}

std::vector<std::string> SplitOnBlanks(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

// Waits for `child` up to `seconds`; kills it past that. True when it exited with status 0.
bool WaitForExit(pid_t child, unsigned seconds) {
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) return false;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= static_cast<time_t>(seconds)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            Warn("Download: the delivery command took longer than %u s and was stopped.\n",
                 seconds);
            return false;
        }
        const struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

DownloadStatistics::DownloadStatistics()
    : mDirectory(kDefaultDirectory), mTimeoutSeconds(kDefaultTimeoutSeconds) {}

DownloadStatistics::~DownloadStatistics() = default;

int DownloadStatistics::StartDownloadStatistics(Configuration::MultiSectionConfigFile* log) {
    if (log == nullptr) return 0;
    if (log->GetSectionCount() == 0) return 1;
    try {
        Configuration::ConfigFile settings((ConfigurationRoot() + "auto-down-stat.conf").c_str(),
                                           true, false, false, "=", "#", nullptr);
        mDirectory = Setting(settings, "download_dir", kDefaultDirectory);
        if (!mDirectory.empty() && mDirectory.back() != '/') mDirectory += '/';
        mCommand = SplitOnBlanks(Setting(settings, "download_cmd", ""));
        mTimeoutSeconds = static_cast<unsigned>(
            strtoul(Setting(settings, "download_timeout", "30").c_str(), nullptr, 10));
        const std::string path = WriteDeliveryFile(log->Text());
        if (mCommand.empty() || RunCommand(path)) return 1;
        Env::Current()->Unlink(path.c_str());
        return 0;
    } catch (const std::exception& e) {
        Warn("Download: %s.\n", e.what());
        return 0;
    }
}

std::string DownloadStatistics::WriteDeliveryFile(const std::string& text) {
    struct timespec now;
    Env::Current()->Now(&now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char name[64];
    strftime(name, sizeof name, "stat-%Y%m%dT%H%M%SZ", &utc);
    for (;;) {
        const std::string path = mDirectory + name + "-" + std::to_string(++gSequence) + ".log";
        int fd = Env::Current()->Open(path.c_str(), O_RDONLY, 0);
        if (fd >= 0) {  // taken by an earlier run of the recorder
            Env::Current()->Close(fd);
            continue;
        }
        WriteFileAtomically(path, text);
        return path;
    }
}

bool DownloadStatistics::RunCommand(const std::string& path) {
    std::vector<char*> argv;
    for (std::string& word : mCommand) argv.push_back(&word[0]);
    std::string file = path;
    argv.push_back(&file[0]);
    argv.push_back(nullptr);
    pid_t child;
    int error = posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0) {
        Warn("Download: cannot run %s: %s.\n", argv[0], strerror(error));
        return false;
    }
    if (WaitForExit(child, mTimeoutSeconds)) return true;
    Warn("Download: %s did not deliver %s.\n", argv[0], path.c_str());
    return false;
}
