#include "platform/statistics/delivery_monitor.h"

#include <stdio.h>
#include <syslog.h>
#include <time.h>

#include <exception>

#include "platform/util/env.h"
#include "platform/util/file_util.h"

namespace {

int64_t WallSeconds() {
    struct timespec now;
    Env::Current()->Now(&now);
    return static_cast<int64_t>(now.tv_sec);
}

int64_t BootSeconds() {
    return static_cast<int64_t>(BootMillis() / 1000);
}

// The record the last agent wrote. False when there is none; `*why` then says why one that is
// there cannot be read, and stays empty when there is no record at all.
bool ReadEarlierRecord(DeliveryHealth* record, std::string* why) {
    std::string text;
    try {
        if (!ReadWholeFile(kDeliveryRecordPath, &text)) return false;
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
    return ParseDeliveryRecord(text, record, why);
}

}  // namespace

DeliveryMonitor::DeliveryMonitor(int pid, AlarmSink alarm, WarningSink warn)
    : mAlarm(alarm), mWarn(warn) {
    mRecord.pid = pid;
    mRecord.bootId = BootId();
}

bool DeliveryMonitor::Started(unsigned alarmAfterMinutes) {
    const bool carried = CarryOnFailures();
    mRecord.alarmAfterMinutes = static_cast<int>(alarmAfterMinutes);
    Write();
    return carried;
}

bool DeliveryMonitor::CarryOnFailures() {
    DeliveryHealth earlier;
    std::string why;
    if (!ReadEarlierRecord(&earlier, &why)) {
        // As if there were none: this agent's own record replaces it.
        if (!why.empty()) WarnEarlierRecordUnread(why);
        return false;
    }
    if (!SameBoot(earlier, mRecord.bootId) || earlier.failingSince == 0) return false;
    mRecord.time = earlier.time;
    mRecord.result = earlier.result;
    mRecord.error = earlier.error;
    mRecord.failingSince = earlier.failingSince;
    mRecord.failingSinceBoot = earlier.failingSinceBoot;
    mRecord.alarmRaised = earlier.alarmRaised;
    return true;
}

void DeliveryMonitor::WarnEarlierRecordUnread(const std::string& why) {
    char text[1024];
    snprintf(text, sizeof text,
             "the earlier delivery record cannot be read (%s); its failures are not carried on",
             why.c_str());
    mWarn(text);
}

void DeliveryMonitor::AttemptEnded(bool delivered, const std::string& error,
                                   unsigned alarmAfterMinutes) {
    const int64_t bootNow = BootSeconds();
    mRecord.alarmAfterMinutes = static_cast<int>(alarmAfterMinutes);
    mRecord.time = WallSeconds();
    mRecord.result = delivered ? Outcome::kOk : Outcome::kFailed;
    mRecord.error = delivered ? "" : error;
    if (delivered) {
        mRecord.failingSince = 0;
        mRecord.failingSinceBoot = 0;
        if (mRecord.alarmRaised)
            mAlarm(LOG_NOTICE, "delivery recovered: statistics delivered again");
        mRecord.alarmRaised = false;
    } else {
        if (mRecord.failingSince == 0) {
            mRecord.failingSince = mRecord.time;
            mRecord.failingSinceBoot = bootNow;
        }
        if (!mRecord.alarmRaised && DeliveryOverdue(mRecord, bootNow)) {
            mRecord.alarmRaised = true;
            char text[1024];
            snprintf(text, sizeof text,
                     "deliveries failing for %lld minutes: statistics not delivered (%s)",
                     static_cast<long long>(DeliveryFailingSeconds(mRecord, bootNow) / 60),
                     error.c_str());
            mAlarm(LOG_WARNING, text);
        }
    }
    Write();
}

void DeliveryMonitor::Write() {
    mRecord.written = WallSeconds();
    try {
        // Readable by all, as the recorder's own record: it holds times, counts and the last
        // error, no call data. A record of an earlier agent may be owner-only and a replacement
        // would keep its mode, so the first write starts afresh (Started has read it by then).
        if (!mWritten) RemoveSavedFile(kDeliveryRecordPath);
        WriteFileAtomically(kDeliveryRecordPath, FormatDeliveryRecord(mRecord), 0644);
        mWritten = true;
        mWriteFailed = false;
    } catch (const std::exception& e) {
        if (mWriteFailed) return;
        mWriteFailed = true;
        char text[1024];
        snprintf(text, sizeof text, "the delivery record cannot be written: %s", e.what());
        mWarn(text);
    }
}
