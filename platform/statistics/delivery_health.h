// The delivery agent's health record: a small key=value file in the recorder's runtime folder
// saying how the agent's deliveries go. The agent writes it (delivery_monitor.h); `cdrctl status`
// reads it, also after the agent ended, and judges it with the rules below, as the agent does.
// The agent is a process of its own, so it writes a file of its own rather than share the
// recorder's.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/util/key_value_record.h"

// Where the delivery agent keeps its record.
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

// The record as key=value lines (key_value_record.h).
std::string FormatDeliveryRecord(const DeliveryHealth& record);

// Reads text written by FormatDeliveryRecord into `*record`, as ParseKeyValues does.
bool ParseDeliveryRecord(const std::string& text, DeliveryHealth* record, std::string* error);

// The record was written in the boot `bootId`, so its boot-clock stamps can be compared with this
// boot's clock. False when either boot is unknown.
bool SameBoot(const DeliveryHealth& record, const std::string& bootId);

// How long deliveries have failed at `bootNow` (seconds of the boot clock of the record's boot):
// -1 when they are not failing. Never negative otherwise: a boot clock that reads earlier than
// the first failure (only a test's shifted clock does) counts as no time passed.
int64_t DeliveryFailingSeconds(const DeliveryHealth& record, int64_t bootNow);

// Deliveries have failed for at least `alarmAfterMinutes` at `bootNow`, as above.
bool DeliveryOverdue(const DeliveryHealth& record, int64_t bootNow);
