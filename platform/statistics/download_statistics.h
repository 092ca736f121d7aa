// The device's statistics download: takes the records of the download log into the outbox, from
// where the delivery agent hands them to the collector (platform/statistics/delivery_agent.h).
//
// A download is done once the records are safe in the outbox: written as one new whole file
// under a hidden staged name, synced, committed (see SetCommitHook), renamed into place and the
// folder synced (platform/statistics/outbox.h). It takes
// milliseconds whatever the network does, so the recorder never waits for the collector; a
// collector that is down only makes files gather in the outbox, where download_keep_kb bounds
// them (the oldest go first, with a warning naming the records lost).
//
// Settings, from "auto-down-stat.conf" under the configuration root (VELK_PATH, else
// "/etc/velk-conf/"), read at each download (platform/statistics/download_settings.h):
//   download_dir        the outbox, default "/mnt/bbram/calldata/outbox/"
//   download_cmd        the delivery command, split on blanks, run by the agent without a shell
//                       with the file's path appended; none: files wait in the outbox for pickup
//   download_timeout    seconds one delivery may take, default 30
//   download_retry_max  longest pause in seconds between failed attempts, default 300
//   download_keep_kb    most KiB the outbox files may take together, default 256
//   download_device     the device's name in file names, default the host's name
#pragma once

#include <functional>
#include <string>

#include "platform/config/multi_section_file.h"

class DownloadStatistics {
  public:
    DownloadStatistics();
    ~DownloadStatistics();
    DownloadStatistics(const DownloadStatistics&) = delete;
    DownloadStatistics& operator=(const DownloadStatistics&) = delete;

    // Decides whether a staged download becomes a delivery: called with the file's final name
    // once the file is whole on storage and before the delivery agent can see it; true commits.
    using CommitHook = std::function<bool(const std::string& name)>;

    // Sets the hook every download calls between staging and publishing its file (none: every
    // staged file is published). When it returns false or throws, the file is discarded and the
    // download fails. When it returned true and the file then cannot be published, the file
    // stays staged for the recorder's next start (SettleStagedFiles) and the download counts as
    // done, since the hook's owner has recorded it so.
    static void SetCommitHook(CommitHook hook);

    // Puts the records of `log` (not owned, only read) into the outbox as one new file and
    // starts or wakes the delivery agent. Returns non-zero once the file is safely there (a log
    // without records counts as done, with no file written); 0 when it could not be written or
    // was not committed, and 0 for a null log (nothing to download). Never throws: failures are
    // warned about.
    int StartDownloadStatistics(Configuration::MultiSectionConfigFile* log);
    // Why the last StartDownloadStatistics returned 0, one line (the outbox's error, or "no
    // download log"); empty when it has not failed.
    const std::string& FailureReason() const { return mFailureReason; }

    // For the recorder at start-up, before its first download: settles the files that downloads
    // staged in the outbox but did not publish before the recorder ended. Those `committed`
    // accepts are published, the others discarded (all of them when `committed` is empty), with
    // one line naming the files published and one warning line naming those discarded. Never
    // throws: a file that cannot be settled is warned about and stays for the next start.
    static void SettleStagedFiles(const CommitHook& committed);

    // For the recorder, when it reads the download settings with automatic download on (at
    // start-up and on a reload), between downloads: removes what an interrupted download left in
    // the outbox (never a whole file) and starts the delivery agent when a delivery command is set,
    // so that files left in the outbox leave without waiting for the next download. Never throws.
    static void StartDelivery();

  private:
    std::string mFailureReason;
};
