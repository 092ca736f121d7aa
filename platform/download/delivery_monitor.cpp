#include "platform/download/delivery_monitor.h"

#include <stdio.h>
#include <syslog.h>
#include <time.h>

#include <exception>

#include "platform/util/env.h"
#include "platform/util/file_util.h"

namespace {

int64_t NowSeconds() {
    struct timespec now;
    Env::Current()->Now(&now);
    return static_cast<int64_t>(now.tv_sec);
}

}  // namespace

DeliveryMonitor::DeliveryMonitor(int pid, AlarmSink alarm, WarningSink warn)
    : mAlarm(alarm), mWarn(warn) {
    mRecord.pid = pid;
}

void DeliveryMonitor::Started(unsigned alarmAfterMinutes) {
    mRecord.alarmAfterMinutes = static_cast<int>(alarmAfterMinutes);
    Write();
}

void DeliveryMonitor::AttemptEnded(bool delivered, const std::string& error,
                                   unsigned alarmAfterMinutes) {
    const int64_t now = NowSeconds();
    mRecord.alarmAfterMinutes = static_cast<int>(alarmAfterMinutes);
    mRecord.time = now;
    mRecord.result = delivered ? Outcome::kOk : Outcome::kFailed;
    mRecord.error = delivered ? "" : error;
    if (delivered) {
        mRecord.failingSince = 0;
        if (mAlarmRaised) mAlarm(LOG_NOTICE, "delivery recovered: statistics delivered again");
        mAlarmRaised = false;
    } else {
        if (mRecord.failingSince == 0) mRecord.failingSince = now;
        if (!mAlarmRaised && DeliveryOverdue(mRecord, now)) {
            mAlarmRaised = true;
            char text[1024];
            snprintf(text, sizeof text,
                     "deliveries failing for %lld minutes: statistics not delivered (%s)",
                     static_cast<long long>((now - mRecord.failingSince) / 60), error.c_str());
            mAlarm(LOG_WARNING, text);
        }
    }
    Write();
}

void DeliveryMonitor::Write() {
    mRecord.written = NowSeconds();
    try {
        WriteFileAtomically(kDeliveryRecordPath, FormatDeliveryRecord(mRecord), 0600);
        mWriteFailed = false;
    } catch (const std::exception& e) {
        if (mWriteFailed) return;
        mWriteFailed = true;
        char text[1024];
        snprintf(text, sizeof text, "the delivery record cannot be written: %s", e.what());
        mWarn(text);
    }
}
