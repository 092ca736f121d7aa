#include "core/health_monitor.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>
#include <time.h>

#include <algorithm>
#include <exception>
#include <string>

#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"

namespace {

const int64_t kWriteIntervalMillis = 1000;
// The longest the record goes unwritten: its queue counts are at most this old.
const int64_t kRefreshIntervalMillis = 3000;
const int64_t kDropCountIntervalMillis = 60 * 60 * 1000;

int64_t Seconds(int64_t millis) {
    return millis / 1000;
}

}  // namespace

HealthMonitor::HealthMonitor(int pid, const char* version, AlarmSink sink) : mSink(sink) {
    mRecord.pid = pid;
    mRecord.version = version;
    mRecord.started = Seconds(NowMillis());
    mRecord.startTicks = ProcessStartTicks(pid);
}

void HealthMonitor::SaveEnded(int store, const char* error) {
    StoreHealth& health = mRecord.stores[store];
    const Outcome outcome = error == nullptr ? Outcome::kOk : Outcome::kFailed;
    mChanged = mChanged || outcome != health.save;
    mDirty = true;
    health.save = outcome;
    health.saveTime = Seconds(NowMillis());
    health.saveError = error != nullptr ? error : "";
    if (error == nullptr) {
        health.unsaved = 0;
        mSinceSave[store] = 0;
        if (mSaveAlarm[store]) Alarm(LOG_NOTICE, "%s: records saved again", kStoreTitles[store]);
        mSaveAlarm[store] = false;
    } else if (!mSaveAlarm[store]) {
        mSaveAlarm[store] = true;
        Alarm(LOG_WARNING, "%s: records not saved: %s (kept in memory until a save succeeds)",
              kStoreTitles[store], error);
    }
}

void HealthMonitor::JournalSynced() {
    for (StoreHealth& health : mRecord.stores) {
        mDirty = mDirty || health.unsaved != 0;
        health.unsaved = 0;
    }
}

void HealthMonitor::JournalLost() {
    for (int store = 0; store < HealthRecord::kStores; ++store)
        mRecord.stores[store].unsaved = mSinceSave[store];
    mDirty = true;
}

void HealthMonitor::SetDownloadSettings(bool on) {
    mChanged = mChanged || on != mRecord.autoDownload;
    mRecord.autoDownload = on;
}

void HealthMonitor::SetOpenError(int store, const char* reason) {
    std::string& error = mRecord.stores[store].openError;
    const std::string text = reason != nullptr ? reason : "";
    mChanged = mChanged || text != error;
    error = text;
}

void HealthMonitor::RecordsDropped(uint32_t count, const std::string& reason) {
    const int64_t now = BootMillis();
    mRecord.dropReason = reason;
    mDirty = true;
    if (mRecord.dropped == 0) {
        mRecord.droppingSince = Seconds(NowMillis());
        mDropsCounted = now;
        Alarm(LOG_WARNING,
              "download log: downloads fail (%s), so its oldest records are dropped to keep it "
              "within twice download_cnt until a download succeeds",
              reason.c_str());
    }
    mRecord.dropped = count > UINT32_MAX - mRecord.dropped ? UINT32_MAX : mRecord.dropped + count;
    // The boot clock does not go back, but a test's shifted one may: it must not hold the count
    // back, so count from now at the latest.
    mDropsCounted = std::min(mDropsCounted, now);
    if (now - mDropsCounted >= kDropCountIntervalMillis) CountDrops(LOG_WARNING, now);
}

void HealthMonitor::DropsEnded() {
    if (mRecord.dropped == 0) return;
    CountDrops(LOG_NOTICE, BootMillis());
    mRecord.dropped = 0;
    mRecord.droppingSince = 0;
    mRecord.dropReason.clear();
}

void HealthMonitor::CountDrops(int priority, int64_t now) {
    mDropsCounted = now;
    Alarm(priority, "%lu records dropped from the download log: %s",
          static_cast<unsigned long>(mRecord.dropped), mRecord.dropReason.c_str());
}

void HealthMonitor::SetHeld(int store, bool open, uint32_t held) {
    StoreHealth& health = mRecord.stores[store];
    mChanged = mChanged || open != health.open;
    health.open = open;
    health.held = held;
}

void HealthMonitor::SetQueue(int index, const QueueHealth& queue) {
    QueueHealth& known = mRecord.queues[index];
    mChanged = mChanged || queue.exists != known.exists || queue.name != known.name;
    known = queue;
}

void HealthMonitor::Publish() {
    mRecord.written = Seconds(NowMillis());
    mLastWrite = BootMillis();
    mDirty = false;
    mChanged = false;
    try {
        // A record left by an earlier recorder may be owner-only; a replacement would keep its
        // mode, so the first write starts afresh.
        if (!mWritten) RemoveSavedFile(kHealthRecordPath);
        WriteFileAtomically(kHealthRecordPath, FormatHealthRecord(mRecord), 0644);
        mWritten = true;
        if (mWriteFailed) Warn("The health record is written again.\n");
        mWriteFailed = false;
    } catch (const std::exception& e) {
        if (!mWriteFailed) Warn("The health record cannot be written: %s.\n", e.what());
        mWriteFailed = true;
        mDirty = true;  // retried a second later
    }
}

int HealthMonitor::MillisUntilDue() {
    const int64_t now = BootMillis();
    if (mChanged) return 0;
    // A clock set back must not hold the record back: count from now at the latest.
    const int64_t due =
        std::min(mLastWrite, now) + (mDirty ? kWriteIntervalMillis : kRefreshIntervalMillis);
    if (due <= now) return 0;
    return static_cast<int>(std::min<int64_t>(due - now, 60 * 60 * 1000));
}

int64_t HealthMonitor::NowMillis() const {
    struct timespec now;
    Env::Current()->Now(&now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void HealthMonitor::Alarm(int priority, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    mChanged = true;
    if (mSink != nullptr) mSink(priority, text);
}
