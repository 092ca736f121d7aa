// Keeps the delivery agent's health record (kDeliveryRecordPath, delivery_health.h)
// and raises the delivery alarm: one record when attempts have kept failing for
// download_alarm_after minutes, one more when a delivery succeeds again, never one per attempt.
// The record is written when the agent starts and after each attempt, so never more often than
// attempts are made. How long deliveries have failed is measured on the boot clock, so setting
// the wall clock neither raises nor holds back the alarm; and a new agent carries on from the
// failures its predecessor of the same boot recorded, so a recorder that keeps restarting still
// raises it.
#pragma once

#include <string>

#include "platform/statistics/delivery_health.h"

class DeliveryMonitor {
  public:
    // Receives each alarm: a system-log priority (LOG_WARNING when raised, LOG_NOTICE when
    // cleared) and one line of text.
    using AlarmSink = void (*)(int priority, const char* text);
    // Receives a warning line of the monitor's own (the record cannot be written, or the last
    // agent's record cannot be read).
    using WarningSink = void (*)(const char* text);

    // A monitor for the agent `pid`; alarms go to `alarm`, the monitor's own warnings to `warn`.
    DeliveryMonitor(int pid, AlarmSink alarm, WarningSink warn);

    // Writes the record of an agent that has attempted nothing yet. When the last record was
    // written in this boot while deliveries were failing, takes over when they began and whether
    // the alarm was raised, and returns true.
    bool Started(unsigned alarmAfterMinutes);
    // An attempt ended: delivered, or not with `error` saying why. `alarmAfterMinutes` is the
    // delay in force. Raises the alarm when failures have lasted that long, clears it on a
    // delivery, and writes the record.
    void AttemptEnded(bool delivered, const std::string& error, unsigned alarmAfterMinutes);

    const DeliveryHealth& record() const { return mRecord; }

  private:
    bool CarryOnFailures();
    void WarnEarlierRecordUnread(const std::string& why);
    void Write();

    DeliveryHealth mRecord;
    AlarmSink mAlarm;
    WarningSink mWarn;
    bool mWriteFailed = false;
    bool mWritten = false;  // this agent has written its record at least once
};
