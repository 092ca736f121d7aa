// The recorder's health record: a small key=value file in its runtime folder saying what the
// recorder holds, what is not yet on storage, how its last saves went, and which process wrote
// it; beside it the delivery agent's record of how its deliveries go. The recorder and the agent
// write them; `cdrctl status` reads them, also after the recorder ended. Both sides judge them
// with the same rules, below.
#pragma once

#include <stdint.h>

#include <string>

// Where the recorder keeps its health record.
extern const char kHealthRecordPath[];

// How the last save or delivery went.
enum class Outcome { kNone, kOk, kFailed };

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

    int pid = 0;          // the recorder that wrote the record
    int64_t started = 0;  // when it started
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
    // Why the recorder runs without an instance lock (another recorder could then start on the
    // same databases); empty while it holds one.
    std::string unlocked;
};

// Where the delivery agent keeps its own record. The agent is a process of its own, so it writes
// a file of its own rather than share the recorder's.
extern const char kDeliveryRecordPath[];

// How the delivery agent's attempts go.
struct DeliveryHealth {
    int pid = 0;                      // the agent that wrote the record
    int64_t written = 0;              // when it wrote it
    int64_t time = 0;                 // when the last attempt ended
    Outcome result = Outcome::kNone;  // how it went
    std::string error;                // why it failed, one line
    int64_t failingSince = 0;         // the first failed attempt since the last success; 0: none
    int alarmAfterMinutes = 60;       // attempts failing this long need attention
};

// The stores' short names, as cdrctl names them: "stated", "missed", "failed", "download log".
extern const char* const kStoreNames[HealthRecord::kStores];
// Their full names: "stated calls database", ..., "download log".
extern const char* const kStoreTitles[HealthRecord::kStores];

// "none", "ok" or "failed".
const char* OutcomeName(Outcome outcome);

// A record as key=value lines. Texts are written on one line (control bytes become blanks).
std::string FormatHealthRecord(const HealthRecord& record);
std::string FormatDeliveryRecord(const DeliveryHealth& record);

// Read text written by the Format functions into `*record`. Keys they do not know are skipped, so
// a newer recorder may add some. False, with a reason naming the line, when a line is not
// key=value or a number or outcome is malformed.
bool ParseHealthRecord(const std::string& text, HealthRecord* record, std::string* error);
bool ParseDeliveryRecord(const std::string& text, DeliveryHealth* record, std::string* error);

// A store needs attention: it is closed while it should take records, or its last save failed
// and no save has succeeded since.
bool NeedsAttention(const HealthRecord& record, int store);

// The download log drops records because downloads fail, and no download has succeeded since.
bool RecordsDropping(const HealthRecord& record);

// Deliveries have failed for at least `alarmAfterMinutes` at `now`.
bool DeliveryOverdue(const DeliveryHealth& record, int64_t now);
