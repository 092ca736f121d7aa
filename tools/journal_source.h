// The records `cdrctl show` takes from the record journal: those the recorder took and has not
// saved into their file yet, ahead of the file's own records, so that a copy of a device's files
// shows every record.
#pragma once

#include <stdio.h>

#include <memory>
#include <string>

#include "platform/config/multi_section_config_file.h"
#include "tools/record_source.h"

class JournaledRecordSource : public RecordSource {
  public:
    // The live records of `target` (0, 1, 2: a database; 3: the download log) in the journal at
    // `journalPath` that `file` (not owned; must outlive this) does not hold, newest first, then
    // the records of `file`. Reads `file` once through to learn what it holds, then rewinds it.
    // A journal that is absent adds nothing; one that cannot be read, is not a journal or ends at
    // a damaged entry is told on `err`, with the records that could be read kept. Throws what
    // `file` throws.
    JournaledRecordSource(RecordSource* file, const std::string& journalPath, int target,
                          FILE* err);

    bool Next(RecordEntries* record) override;
    void Rewind() override;

  private:
    RecordSource* mpFile;
    // The journal's records for the file, newest first, walked before the file's.
    std::unique_ptr<Configuration::MultiSectionConfigFile> mpJournaled;
    bool mInFile = false;
};
