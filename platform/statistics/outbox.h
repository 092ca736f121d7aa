// The outbox: the folder where downloaded statistics wait until the delivery agent has handed
// them to the collector. Each download becomes one whole file holding the download log's records
// in the log's own sectioned text, so every tool that reads the log reads these files too.
//
// Names are "stat-<device>-<10-digit sequence>-<UTC time yyyymmddThhmmssZ>.log". The sequence is
// the device's own, kept in OutboxSequencePath() on the databases' storage and advanced there
// (written and synced) before a file carrying it is written, so a name is never given twice in
// the life of the device, whatever the outbox holds, the clock says or a crash interrupts: a
// crash can skip a number, never reuse one. The device part lets one collector folder take the
// files of many devices; the time is only for people. Files are delivered by their sequence.
//
// Only files of exactly this form are the outbox's: anything else in the folder (another name,
// "stat-....log" put there by hand) is never listed, delivered, counted against the cap, removed
// or used for numbering. A file of this form is the outbox's only when it is a regular file of
// root or this process's user with a single link (outbox_trust.h): others are refused, and left
// as they are.
//
// A download is written in steps, so that a caller can make it one step with its own records:
// Stage writes the whole file under the hidden name ".stage-<name>" (not listed, never
// delivered), Publish renames it into place, Discard removes it. Every file goes through a
// "<name>.tmp" that is synced and renamed, and the folder is synced, so a crash or power loss
// leaves either no file or a whole one; a ".tmp" left by a crash is not listed and is removed by
// the next Stage or RemoveLeftovers. Staged files left by a crash stay until their writer settles
// them (StagedNames).
#pragma once

#include <time.h>

#include <string>
#include <vector>

struct RefusedFile {
    std::string name;     // file name, no folder
    std::string problem;  // why it is not delivered ("a symbolic link", "owned by uid 65534")
};

struct OutboxFile {
    std::string name;  // file name, no folder
    std::string path;  // folder + name
    long long bytes;
    time_t modified;
};

class Outbox {
  public:
    // `directory` ends in "/". `device` names the device in new file names (see DeviceName);
    // readers of the outbox leave it empty.
    explicit Outbox(const std::string& directory, const std::string& device = std::string());

    // The waiting files, in delivery order (see above). Files of this outbox's form that are
    // not its own are added to `refused` when it is not null. An absent folder has none. Throws
    // FileError when the folder exists but cannot be read.
    std::vector<OutboxFile> Files(std::vector<RefusedFile>* refused = nullptr) const;

    // Writes `text` as the newest file under its hidden staged name and returns the file's final
    // name (no folder); missing folders are created. The sequence is advanced on storage first.
    // Then, while the waiting files and the new one together would take more than `capBytes`, the
    // oldest waiting files are removed, with one warning line naming how many files and records
    // went (a file larger than the cap on its own is still written, alone). Throws FileError when
    // the sequence or the file cannot be written; the outbox then holds no part of the file.
    std::string Stage(const std::string& text, unsigned long long capBytes);
    // Moves the staged file `name` into place, where the agent finds it, and syncs the folder.
    // A file already published counts as done. Throws FileError when it cannot be moved; the
    // staged file then stays.
    void Publish(const std::string& name);
    // Removes the staged file `name`; an absent one counts as removed. Throws FileError when it
    // cannot be removed.
    void Discard(const std::string& name);
    // The final names of the staged files, oldest first (".tmp" files are not staged files).
    // Throws FileError when the folder exists but cannot be read.
    std::vector<std::string> StagedNames() const;

    // Stage and Publish in one: returns the new file's path. Throws as they do; when Publish
    // fails the staged file is removed.
    std::string Add(const std::string& text, unsigned long long capBytes);

    // Removes the ".tmp" files an interrupted write left; staged files stay. Only the writer of
    // the outbox may call it, when it is not writing (Stage calls it itself). Problems are
    // ignored: Stage tries again.
    void RemoveLeftovers() const;

    // Where the delivery agent listens for "retry now" (a FIFO in the folder).
    std::string WakePath() const { return mDirectory + ".wake"; }
    const std::string& directory() const { return mDirectory; }

  private:
    std::string StagedPath(const std::string& name) const { return mDirectory + ".stage-" + name; }
    void MakeRoom(std::vector<OutboxFile>* files, unsigned long long needed,
                  unsigned long long capBytes);
    std::vector<std::string> Names() const;
    std::vector<std::string> TrustedNames(const std::vector<std::string>& names, const char* prefix,
                                          std::vector<RefusedFile>* refused) const;

    std::string mDirectory;
    std::string mDevice;
};

// The file that keeps the last sequence number given to an outbox file:
// "<configuration root>telephony/cdr.outbox-seq", one decimal number and a line end.
std::string OutboxSequencePath();

// The device part of new file names: `configured` when not empty, else the host's name
// (Env::HostName), with every character other than A-Z, a-z, 0-9, '.', '_' and '-' made '_',
// cut to 64 characters; "device" when both are empty.
std::string DeviceName(const std::string& configured);

// The number of records in the outbox file at `path`. Throws FileError when it cannot be read
// and ParseError when it is not in the download log's form.
unsigned CountRecords(const std::string& path);
