// The device's statistics delivery: hands the records of the download log to a collector,
// synchronously. Each delivery writes the log's records, in the log's own sectioned text, to a
// new file in the delivery folder (named by UTC time and a sequence number, written crash-safely),
// then, when a delivery command is set, runs it with the file's path as its last argument.
//
// Settings, from "auto-down-stat.conf" under the configuration root (VELK_PATH, else
// "/etc/velk-conf/"):
//   download_dir      delivery folder, default "/mnt/bbram/calldata/outbox/"
//   download_cmd      optional command, split on blanks, run without a shell; the delivery
//                     succeeds only when it exits 0 within download_timeout seconds
//   download_timeout  seconds, default 30; past it the command is killed
// A failed or timed-out command removes the file it was given, so a later attempt delivers the
// same records again and nothing is delivered twice. The recorder handles no report while a
// delivery runs, so the timeout bounds how long a stuck collector can hold up call recording.
#pragma once

#include <string>
#include <vector>

#include "platform/config/multi_section_file.h"

class DownloadStatistics {
  public:
    DownloadStatistics();
    ~DownloadStatistics();
    DownloadStatistics(const DownloadStatistics&) = delete;
    DownloadStatistics& operator=(const DownloadStatistics&) = delete;

    // Delivers the records of `log` (not owned, only read). Returns non-zero when they were
    // delivered (a log without records counts as delivered, with no file written), 0 when not,
    // and 0 for a null log (nothing to deliver). Never throws: failures are warned about.
    int StartDownloadStatistics(Configuration::MultiSectionConfigFile* log);

  private:
    // Writes the delivery file; returns its path.
    std::string WriteDeliveryFile(const std::string& text);
    // Runs the delivery command on `path`; true when it exited 0 in time.
    bool RunCommand(const std::string& path);

    std::string mDirectory;
    std::vector<std::string> mCommand;
    unsigned mTimeoutSeconds;
};
