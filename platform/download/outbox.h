// The outbox: the folder where downloaded statistics wait until the delivery agent has handed
// them to the collector. Each download becomes one whole file holding the download log's records
// in the log's own sectioned text, so every tool that reads the log reads these files too.
//
// Names are "stat-<UTC time yyyymmddThhmmssZ>-<6-digit sequence>.log" and sort in the order the
// files were written: a name never sorts before the newest one already there, even when the
// clock was set back. Files are written to "<name>.tmp", synced, renamed and the folder synced,
// so a crash or power loss leaves either no file or a whole one; a ".tmp" left by a crash is not
// listed and is removed by the next Add or RemoveLeftovers.
#pragma once

#include <time.h>

#include <string>
#include <vector>

struct OutboxFile {
    std::string name;  // file name, no folder
    std::string path;  // folder + name
    long long bytes;
    time_t modified;
};

class Outbox {
  public:
    // `directory` ends in "/".
    explicit Outbox(const std::string& directory);

    // The waiting files, oldest first. An absent folder has none. Throws FileError when the
    // folder exists but cannot be read.
    std::vector<OutboxFile> Files() const;

    // Adds `text` as the newest file and returns its path; missing folders are created. Before
    // that, while the files and the new one together would take more than `capBytes`, the
    // oldest files are removed, with one warning line naming how many files and records went (a
    // file larger than the cap on its own is still written, alone). Throws FileError when the
    // file cannot be written; the outbox then holds no part of it.
    std::string Add(const std::string& text, unsigned long long capBytes);

    // Removes the ".tmp" files an interrupted Add left. Only the writer of the outbox may call
    // it, when it is not writing (Add calls it itself). Problems are ignored: Add tries again.
    void RemoveLeftovers() const;

    // Where the delivery agent listens for "retry now" (a FIFO in the folder).
    std::string WakePath() const { return mDirectory + ".wake"; }
    const std::string& directory() const { return mDirectory; }

  private:
    std::string NextName(const std::vector<OutboxFile>& files) const;
    void MakeRoom(std::vector<OutboxFile>* files, unsigned long long needed,
                  unsigned long long capBytes);
    std::vector<std::string> Names() const;

    std::string mDirectory;
};

// The number of records in the outbox file at `path`. Throws FileError when it cannot be read
// and ParseError when it is not in the download log's form.
unsigned CountRecords(const std::string& path);
