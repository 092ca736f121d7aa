#include "platform/config/record_files.h"

const char kDownloadLogPath[] = "/mnt/bbram/calldata/down_stat.log";

const char* const kDefaultDatabaseNames[3] = {"CDR_db", "missed_calls_db", "unsuccess_calls_db"};

std::string DatabasePath(const std::string& root, const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos) return name;
    return root + "telephony/" + name;
}

std::unique_ptr<Configuration::MultiSectionFile> OpenDatabaseFile(const char* path, bool readOnly) {
    return std::unique_ptr<Configuration::MultiSectionFile>(new Configuration::MultiSectionFile(
        path, true, readOnly, false, nullptr, "{\n", "}\n", "=", "#", nullptr));
}

std::unique_ptr<Configuration::MultiSectionFile> OpenDownloadLogFile(const char* path,
                                                                     bool readOnly) {
    return std::unique_ptr<Configuration::MultiSectionFile>(new Configuration::MultiSectionFile(
        path, true, readOnly, false, "section", "{\n", "}\n", "=", "#", nullptr));
}

std::unique_ptr<Configuration::MultiSectionConfigFile> NewRecordText(bool downloadLog) {
    return std::unique_ptr<Configuration::MultiSectionConfigFile>(
        new Configuration::MultiSectionConfigFile(downloadLog ? "section" : nullptr, "{\n", "}\n",
                                                  "=", "#", nullptr));
}
