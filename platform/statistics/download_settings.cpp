#include "platform/statistics/download_settings.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <sstream>

#include "platform/config/config_file.h"
#include "platform/config/configuration_root.h"
#include "platform/statistics/outbox.h"
#include "platform/util/diag.h"

namespace {

const char kDefaultDirectory[] = "/mnt/bbram/calldata/outbox/";
// A month: longer delays say nothing an operator could act on.
const unsigned kMostAlarmAfterMinutes = 31 * 24 * 60;

std::vector<std::string> SplitOnBlanks(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

unsigned ReadNumber(const Configuration::ConfigFile& file, const char* key, unsigned fallback,
                    bool warn, unsigned least = 0, unsigned most = UINT_MAX) {
    const std::string* text = file.Find(key);
    if (text == nullptr) return fallback;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text->c_str(), &end, 10);
    const bool whole = !text->empty() && (*text)[0] != '-' && *end == '\0' && errno == 0;
    if (whole && value >= least && value <= most) return static_cast<unsigned>(value);
    if (warn)
        Warn("Download: %s=%s is not a whole number from %u to %u; %u is used.\n", key,
             text->c_str(), least, most, fallback);
    return fallback;
}

}  // namespace

DownloadSettings ReadDownloadSettings(bool warn) {
    const Configuration::ConfigFile file((ConfigurationRoot() + "auto-down-stat.conf").c_str(),
                                         true, false, false, "=", "#", nullptr);
    DownloadSettings settings;
    const std::string* directory = file.Find("download_dir");
    settings.directory =
        directory != nullptr && !directory->empty() ? *directory : kDefaultDirectory;
    if (settings.directory.back() != '/') settings.directory += '/';
    const std::string* command = file.Find("download_cmd");
    if (command != nullptr) settings.command = SplitOnBlanks(*command);
    const std::string* device = file.Find("download_device");
    if (device != nullptr) settings.device = *device;
    if (warn && !settings.device.empty() && DeviceName(settings.device) != settings.device)
        Warn(
            "Download: download_device=%s is not made only of A-Z, a-z, 0-9, '.', '_' and '-' "
            "or is longer than 64; \"%s\" is used in file names.\n",
            settings.device.c_str(), DeviceName(settings.device).c_str());
    settings.timeoutSeconds = ReadNumber(file, "download_timeout", 30, warn);
    settings.retryMaxSeconds = ReadNumber(file, "download_retry_max", 300, warn);
    settings.keepKiB = ReadNumber(file, "download_keep_kb", 256, warn);
    settings.alarmAfterMinutes =
        ReadNumber(file, "download_alarm_after", 60, warn, 1, kMostAlarmAfterMinutes);
    return settings;
}
