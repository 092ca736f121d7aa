#include "platform/config/record_syntax.h"

#include "platform/config/parse_error.h"

const char kRecordCloseLine[] = "}";

namespace {

// The syntax both kinds of record file share; the download log heads each section with a word.
const char kOpen[] = "{\n";
const char kClose[] = "}\n";
const char kSeparator[] = "=";
const char kComment[] = "#";
const char kLogSectionWord[] = "section";

}  // namespace

std::unique_ptr<Configuration::MultiSectionFile> OpenDatabaseFile(const char* path, bool readOnly) {
    return std::unique_ptr<Configuration::MultiSectionFile>(new Configuration::MultiSectionFile(
        path, true, readOnly, false, nullptr, kOpen, kClose, kSeparator, kComment, nullptr));
}

std::unique_ptr<Configuration::MultiSectionFile> OpenDownloadLogFile(const char* path,
                                                                     bool readOnly) {
    return std::unique_ptr<Configuration::MultiSectionFile>(
        new Configuration::MultiSectionFile(path, true, readOnly, false, kLogSectionWord, kOpen,
                                            kClose, kSeparator, kComment, nullptr));
}

std::unique_ptr<Configuration::MultiSectionConfigFile> NewRecordText(bool downloadLog) {
    return std::unique_ptr<Configuration::MultiSectionConfigFile>(
        new Configuration::MultiSectionConfigFile(downloadLog ? kLogSectionWord : nullptr, kOpen,
                                                  kClose, kSeparator, kComment, nullptr));
}

void AddRecordText(const std::string& text, bool downloadLog,
                   Configuration::MultiSectionConfigFile* file) {
    Configuration::MultiSectionConfigFile record(downloadLog ? kLogSectionWord : nullptr, kOpen,
                                                 kClose, kSeparator, kComment, nullptr);
    record.Parse(text.data(), text.size(), "journal entry");
    if (record.GetSectionCount() != 1 || record.GotoFirstSection() == 0)
        throw Configuration::ParseError("journal entry", 1, "not one record");
    file->AddSection(true);
    std::string key, value;
    for (unsigned i = 0; record.GetEntry(i, &key, &value); ++i)
        file->AddSectionEntry(key.c_str(), key.size(), value.c_str(), value.size());
}
