// The recorder's health record: a small key=value file in its runtime folder saying what the
// recorder holds, what is not yet on storage, how its last saves went, and which process wrote
// it. The recorder writes it; `cdrctl status` reads it, also after the recorder ended. Both sides
// judge it with the same rules, below.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/messaging/queue_state.h"
#include "platform/util/key_value_record.h"

// Where the recorder keeps its health record.
extern const char kHealthRecordPath[];

// One file the recorder saves: a database or the download log.
struct StoreHealth {
    bool open = false;              // the file is open; a closed one takes no records
    uint32_t held = 0;              // records in memory
    uint32_t unsaved = 0;           // records added since the last save that succeeded
    int64_t saveTime = 0;           // when the last save ended (seconds since the epoch)
    Outcome save = Outcome::kNone;  // how it went
    std::string saveError;          // why it failed, one line
    std::string openError;          // why it stays closed, one line; empty when not known
};

struct HealthRecord {
    static const int kStores = 4;  // the three databases, then the download log
    static const int kDownloadLog = 3;
    static const int kQueues = 2;  // the call manager's queue, then the web side's

    int pid = 0;          // the recorder that wrote the record
    int64_t started = 0;  // when it started
    // When the process started, in clock ticks after boot, as /proc/<pid>/stat gives it: with the
    // pid it tells the writer from a later process that got the same pid. 0: not known.
    int64_t startTicks = 0;
    std::string version;  // its version
    int64_t written = 0;  // when it wrote this record
    StoreHealth stores[kStores];
    bool autoDownload = false;  // automatic statistics download is on
    // Records the download log's upkeep dropped (its oldest, to stay within twice download_cnt)
    // while downloads fail: how many since the dropping began, when it began, and why the last
    // download failed. All zero or empty once a download succeeds again.
    uint32_t dropped = 0;
    int64_t droppingSince = 0;
    std::string dropReason;
    // The queues as the recorder saw them when it wrote the record; their names are empty in a
    // record of a recorder that did not look.
    QueueHealth queues[kQueues];
    // Why the recorder runs without an instance lock (another recorder could then start on the
    // same databases); empty while it holds one.
    std::string unlocked;
};

// The stores' short names, as cdrctl names them: "stated", "missed", "failed", "download log".
extern const char* const kStoreNames[HealthRecord::kStores];
// Their full names: "stated calls database", ..., "download log".
extern const char* const kStoreTitles[HealthRecord::kStores];

// The record as key=value lines (key_value_record.h).
std::string FormatHealthRecord(const HealthRecord& record);

// Reads text written by FormatHealthRecord into `*record`, as ParseKeyValues does: keys it does
// not know are skipped, so a newer recorder may add some.
bool ParseHealthRecord(const std::string& text, HealthRecord* record, std::string* error);

// A store needs attention: it is closed while it should take records, or its last save failed
// and no save has succeeded since.
bool NeedsAttention(const HealthRecord& record, int store);

// The download log drops records because downloads fail, and no download has succeeded since.
bool RecordsDropping(const HealthRecord& record);

// When the process `pid` started, in clock ticks after boot (field 22 of its stat file in /proc);
// 0 when that cannot be read: the process is gone, or /proc hides it.
int64_t ProcessStartTicks(int pid);

// Whether a process `pid` exists (one of another user's counts too).
bool ProcessRuns(int pid);

// Whether the process that wrote `record` still runs: its pid is alive and, when both are known,
// started at the same tick, so that a pid taken over by a later process does not count.
bool RecordWriterRuns(const HealthRecord& record);
