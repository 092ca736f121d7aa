#include "platform/download/download_settings.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <sstream>

#include "platform/config/config_file.h"
#include "platform/config/configuration_root.h"
#include "platform/util/diag.h"

namespace {

const char kDefaultDirectory[] = "/mnt/bbram/calldata/outbox/";

std::vector<std::string> SplitOnBlanks(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

unsigned ReadNumber(const Configuration::ConfigFile& file, const char* key, unsigned fallback,
                    bool warn) {
    const std::string* text = file.Find(key);
    if (text == nullptr) return fallback;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text->c_str(), &end, 10);
    const bool whole = !text->empty() && (*text)[0] != '-' && *end == '\0' && errno == 0;
    if (whole && value <= UINT_MAX) return static_cast<unsigned>(value);
    if (warn)
        Warn("Download: %s=%s is not a whole number up to %u; %u is used.\n", key, text->c_str(),
             UINT_MAX, fallback);
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
    settings.timeoutSeconds = ReadNumber(file, "download_timeout", 30, warn);
    settings.retryMaxSeconds = ReadNumber(file, "download_retry_max", 300, warn);
    settings.keepKiB = ReadNumber(file, "download_keep_kb", 256, warn);
    return settings;
}
