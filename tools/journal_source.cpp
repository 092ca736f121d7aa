#include "tools/journal_source.h"

#include <exception>
#include <vector>

#include "platform/config/record_syntax.h"
#include "state/record_journal.h"

namespace {

std::unique_ptr<Configuration::MultiSectionConfigFile> EmptyRecords(bool downloadLog) {
    return std::unique_ptr<Configuration::MultiSectionConfigFile>(
        new Configuration::MultiSectionConfigFile(downloadLog ? "section" : nullptr, "{\n", "}\n",
                                                  "=", "#", nullptr));
}

// What `file` holds as the journal's replay judges it: the "type" and "ID" of its records (of
// its newest only, for a database, whose IDs only grow), oldest first.
std::unique_ptr<Configuration::MultiSectionConfigFile> Sketch(RecordSource* file,
                                                              bool downloadLog) {
    std::unique_ptr<Configuration::MultiSectionConfigFile> sketch = EmptyRecords(downloadLog);
    RecordEntries record;
    while (file->Next(&record)) {
        sketch->AddSection(false);
        for (const char* key : {"type", "ID"}) {
            const std::string* value = FindEntry(record, key);
            if (value != nullptr) sketch->AddSectionEntry(key, value->c_str());
        }
        if (!downloadLog) break;
    }
    file->Rewind();
    return sketch;
}

}  // namespace

JournaledRecordSource::JournaledRecordSource(RecordSource* file, const std::string& journalPath,
                                             int target, FILE* err)
    : mpFile(file) {
    const bool downloadLog = target == RecordJournal::kDownloadLogTarget;
    mpJournaled = EmptyRecords(downloadLog);
    RecordJournal::Contents journal;
    try {
        RecordJournal::ReadJournal(journalPath, &journal);
    } catch (const std::exception& e) {
        fprintf(err, "cdrctl: %s; the records only in the journal are not shown\n", e.what());
        return;
    }
    if (journal.unreadable)
        fprintf(err, "cdrctl: %s is not a journal; the records only in it are not shown\n",
                journalPath.c_str());
    if (journal.damaged)
        fprintf(err,
                "cdrctl: %s: the entry at offset %lu is damaged; the entries after it are not "
                "shown\n",
                journalPath.c_str(), static_cast<unsigned long>(journal.end));
    const std::vector<RecordJournal::Entry> live = RecordJournal::LiveEntries(journal.entries);
    bool any = false;
    for (const RecordJournal::Entry& entry : live) any = any || entry.target == target;
    if (!any) return;
    std::unique_ptr<Configuration::MultiSectionConfigFile> held = Sketch(file, downloadLog);
    for (const RecordJournal::Entry& entry :
         RecordJournal::EntriesMissingFrom(live, target, held.get())) {
        try {
            AddRecordText(entry.payload, downloadLog, mpJournaled.get());
        } catch (const std::exception& e) {
            fprintf(err, "cdrctl: %s: the record at offset %lu is not shown: %s\n",
                    journalPath.c_str(), static_cast<unsigned long>(entry.offset), e.what());
        }
    }
    mpJournaled->Restart();
}

bool JournaledRecordSource::Next(RecordEntries* record) {
    if (!mInFile) {
        if (mpJournaled->GotoNextSection() != 0) {
            record->resize(mpJournaled->GetEntryCount());
            for (unsigned i = 0; i < record->size(); ++i)
                mpJournaled->GetEntry(i, &(*record)[i].first, &(*record)[i].second);
            return true;
        }
        mInFile = true;
    }
    return mpFile->Next(record);
}

void JournaledRecordSource::Rewind() {
    mpJournaled->Restart();
    mInFile = false;
    mpFile->Rewind();
}
