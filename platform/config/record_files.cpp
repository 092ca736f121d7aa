#include "platform/config/record_files.h"

#include "platform/config/parse_error.h"

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

void AddRecordText(const std::string& text, bool downloadLog,
                   Configuration::MultiSectionConfigFile* file) {
    Configuration::MultiSectionConfigFile record(downloadLog ? "section" : nullptr, "{\n", "}\n",
                                                 "=", "#", nullptr);
    record.Parse(text.data(), text.size(), "journal entry");
    if (record.GetSectionCount() != 1 || record.GotoFirstSection() == 0)
        throw Configuration::ParseError("journal entry", 1, "not one record");
    file->AddSection(true);
    std::string key, value;
    for (unsigned i = 0; record.GetEntry(i, &key, &value); ++i)
        file->AddSectionEntry(key.c_str(), key.size(), value.c_str(), value.size());
}
