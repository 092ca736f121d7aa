#include "tools/show_command.h"

#include <errno.h>
#include <fcntl.h>

#include <exception>
#include <memory>

#include "platform/config/configuration_root.h"
#include "platform/config/general_paths.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "state/record_files.h"
#include "state/record_journal.h"
#include "tools/journal_source.h"

namespace {

// Throws FileError unless `root` is a folder that can be read: a mistyped root would otherwise
// read as databases without records.
void RequireFolder(const std::string& root) {
    Env* env = Env::Current();
    const int fd = env->Open(root.c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) throw FileError("open configuration root", root, errno);
    env->Close(fd);
}

// The file that holds the records `command` shows.
std::string RecordFilePath(const CdrctlCommand& command) {
    if (!command.file.empty()) return command.file;
    if (command.records == "download") return kDownloadLogPath;
    const std::string root = command.root.empty() ? ConfigurationRoot() : command.root;
    RequireFolder(root);
    const std::unique_ptr<GeneralPaths> paths = GeneralPaths::Read(root);
    const int index = command.records == "stated" ? 0 : command.records == "missed" ? 1 : 2;
    const std::string& name = paths->DatabaseName(index);
    return DatabasePath(root, name.empty() ? kDefaultDatabaseNames[index] : name);
}

// The record journal's target of the records `command` shows.
int JournalTarget(const CdrctlCommand& command) {
    return command.records == "stated"   ? 0
           : command.records == "missed" ? 1
           : command.records == "failed" ? 2
                                         : RecordJournal::kDownloadLogTarget;
}

}  // namespace

int ShowRecords(const CdrctlCommand& command, FILE* out, FILE* err) {
    try {
        const std::string path = RecordFilePath(command);
        RecordFileSource file(path, command.records == "download");
        // Without --file, the records of the journal beside the databases that the file does
        // not hold yet come first; --file shows that file alone.
        std::unique_ptr<JournaledRecordSource> journaled;
        if (command.file.empty()) {
            const std::string root = command.root.empty() ? ConfigurationRoot() : command.root;
            journaled.reset(new JournaledRecordSource(&file, RecordJournal::JournalPath(root),
                                                      JournalTarget(command), err));
        }
        RecordSource& source = journaled ? static_cast<RecordSource&>(*journaled) : file;
        const size_t shown =
            ListRecords(source, command.filter, command.limit, command.format, out);
        const bool forPeople =
            command.format == RecordFormat::kSummary || command.format == RecordFormat::kTable;
        if (shown == 0 && forPeople) fprintf(out, "no records in %s\n", path.c_str());
        return 0;
    } catch (const std::exception& e) {
        fprintf(err, "cdrctl: %s\n", e.what());
        return 1;
    }
}
