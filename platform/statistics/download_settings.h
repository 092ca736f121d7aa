// The statistics delivery settings: where the outbox is, how files leave it and how much it may
// keep. Read from "auto-down-stat.conf" under the configuration root, afresh at each use, so a
// changed file takes effect with the next download or delivery attempt.
#pragma once

#include <string>
#include <vector>

struct DownloadSettings {
    // download_dir: the outbox, ending in "/". Default "/mnt/bbram/calldata/outbox/".
    std::string directory;
    // download_cmd: the delivery command split on blanks, run without a shell with the file's
    // path appended. Empty: files wait in the outbox for pickup.
    std::vector<std::string> command;
    // download_timeout: seconds one delivery may take before it is killed. Default 30.
    unsigned timeoutSeconds;
    // download_retry_max: the longest pause, in seconds, between two failed attempts. Default 300.
    unsigned retryMaxSeconds;
    // download_keep_kb: the most the outbox files may take together, in KiB. Default 256.
    unsigned keepKiB;
    // download_device: the device's name in outbox file names, as written; empty: the host's
    // name (platform/statistics/outbox.h, DeviceName).
    std::string device;
    // download_alarm_after: minutes of failing deliveries that raise the operator's alarm, from 1
    // to 44640 (a month). Default 60.
    unsigned alarmAfterMinutes;
};

// Reads the settings; keys that are absent take their defaults. A number that is not a whole
// decimal number takes its default, with a warning when `warn` is true. Throws what
// Configuration::ConfigFile throws when the file exists but cannot be read.
DownloadSettings ReadDownloadSettings(bool warn);
