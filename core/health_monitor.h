// Keeps the recorder's health record (state/health_record.h) and raises the operator's
// alarms. The report path only counts (RecordAdded); the record is written from the service loop,
// at most once a second while only counts change, at once when the state changes (a save starts
// or stops failing, a store opens or closes, a queue appears or goes), and every few seconds
// otherwise, so that its queue counts stay current for the users who cannot look at the queues.
// It is readable by all: it holds counts, times and paths, no call data. An alarm is one record
// when a condition starts and one when it ends, never one per report.
#pragma once

#include <stdint.h>

#include <string>

#include "state/health_record.h"

class HealthMonitor {
  public:
    // Receives each alarm: a system-log priority (LOG_WARNING when raised, LOG_NOTICE when
    // cleared) and one line of text.
    using AlarmSink = void (*)(int priority, const char* text);

    // A monitor for the process `pid`, started now, of `version`; alarms go to `sink`.
    HealthMonitor(int pid, const char* version, AlarmSink sink);

    // A record was added to `store` (HealthRecord::kDownloadLog or a database index).
    void RecordAdded(int store) {
        ++mSinceSave[store];
        ++mRecord.stores[store].unsaved;
        mDirty = true;
    }
    // Records added to `store` since its last save that succeeded.
    uint32_t Unsaved(int store) const { return mSinceSave[store]; }
    // The journal was synced: every record added so far is on storage, saved or not.
    void JournalSynced();
    // The journal is gone: records are on storage only once saved.
    void JournalLost();
    // A save of `store` ended: `error` null when it succeeded, else why it failed.
    void SaveEnded(int store, const char* error);
    // The download settings were read: automatic download on or off.
    void SetDownloadSettings(bool on);
    // Why `store` stays closed (null or empty: nothing known, or it opened), for the record.
    void SetOpenError(int store, const char* reason);
    // The download log's upkeep dropped its `count` oldest records because downloads fail, the
    // last for `reason`. The first drop after a success raises a warning alarm; while dropping
    // lasts, the total dropped since it began is told at least hourly, on the first drop an hour
    // or more after the previous count: "N records dropped from the download log: <reason>".
    void RecordsDropped(uint32_t count, const std::string& reason);
    // A download succeeded, or automatic download was switched off: when records were dropped,
    // the total is told one last time and the condition ends. Nothing otherwise.
    void DropsEnded();
    // Why the recorder runs without an instance lock; empty: it holds one.
    void SetRunningUnlocked(const std::string& reason) {
        mChanged = mChanged || reason != mRecord.unlocked;
        mRecord.unlocked = reason;
    }
    // What each store holds now; `open` false for a closed one.
    void SetHeld(int store, bool open, uint32_t held);
    // How queue `index` (0: the call manager's, 1: the web side's) looks now.
    void SetQueue(int index, const QueueHealth& queue);

    // Writes the record. A record that cannot be written gives one warning line until a write
    // succeeds again; the next turn retries.
    void Publish();
    // How many milliseconds the loop may wait before the record comes due: 0 when it is due now
    // (call SetHeld and SetQueue, then Publish).
    int MillisUntilDue();

  private:
    int64_t NowMillis() const;
    void Alarm(int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Tells how many records were dropped since the dropping began.
    void CountDrops(int priority, int64_t now);

    HealthRecord mRecord;
    AlarmSink mSink;
    bool mDirty = true;      // counts changed since the last write
    bool mChanged = true;    // the state changed since the last write
    int64_t mLastWrite = 0;  // milliseconds of the boot clock
    bool mSaveAlarm[HealthRecord::kStores] = {};
    // Records added since each store's last successful save; the record's "unsaved" counts only
    // those of them that are not in a synced journal entry either.
    uint32_t mSinceSave[HealthRecord::kStores] = {};
    bool mWriteFailed = false;
    bool mWritten = false;  // this recorder has written its record at least once
    int64_t mDropsCounted =
        0;  // boot-clock milliseconds: when the dropped records were last counted
};
