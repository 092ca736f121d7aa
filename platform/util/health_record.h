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

// One of the recorder's queues as a sender sees it.
struct QueueHealth {
    std::string name;      // the program's name of the queue ("/ping-15")
    bool exists = false;   // it exists and could be looked at
    uint32_t waiting = 0;  // messages waiting in it
    uint32_t depth = 0;    // messages it holds at most: a sender's post waits while it is full
    std::string error;     // why it could not be looked at, when it does not exist
};

// True when `queue` is full, so that a sender's post waits and, past its timeout, fails.
inline bool RefusesPosts(const QueueHealth& queue) {
    return queue.exists && queue.depth > 0 && queue.waiting >= queue.depth;
}

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

// Where the delivery agent keeps its own record. The agent is a process of its own, so it writes
// a file of its own rather than share the recorder's.
extern const char kDeliveryRecordPath[];

// How the delivery agent's attempts go. Times are wall-clock seconds since the epoch, for people;
// how long deliveries have failed is measured on the boot clock (Env::BootTime), whose stamps
// count only in the boot the record names.
struct DeliveryHealth {
    int pid = 0;                      // the agent that wrote the record
    int64_t written = 0;              // when it wrote it
    std::string bootId;               // the boot it was written in (BootId); empty: unknown
    int64_t time = 0;                 // when the last attempt ended
    Outcome result = Outcome::kNone;  // how it went
    std::string error;                // why it failed, one line
    int64_t failingSince = 0;         // the first failed attempt since the last success; 0: none
    int64_t failingSinceBoot = 0;     // the same moment in seconds of the boot clock
    bool alarmRaised = false;         // the delivery alarm was raised for this stretch of failures
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

// The record was written in the boot `bootId`, so its boot-clock stamps can be compared with this
// boot's clock. False when either boot is unknown.
bool SameBoot(const DeliveryHealth& record, const std::string& bootId);

// How long deliveries have failed at `bootNow` (seconds of the boot clock of the record's boot):
// -1 when they are not failing. Never negative otherwise: a boot clock that reads earlier than
// the first failure (only a test's shifted clock does) counts as no time passed.
int64_t DeliveryFailingSeconds(const DeliveryHealth& record, int64_t bootNow);

// Deliveries have failed for at least `alarmAfterMinutes` at `bootNow`, as above.
bool DeliveryOverdue(const DeliveryHealth& record, int64_t bootNow);

// When the process `pid` started, in clock ticks after boot (field 22 of its stat file in /proc);
// 0 when that cannot be read: the process is gone, or /proc hides it.
int64_t ProcessStartTicks(int pid);

// Whether the process that wrote `record` still runs: its pid is alive and, when both are known,
// started at the same tick, so that a pid taken over by a later process does not count.
bool RecordWriterRuns(const HealthRecord& record);
