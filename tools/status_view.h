// What `cdrctl status` tells about the recorder, its queues and its deliveries: gathered first
// (status_gather.h), judged (status_judge.h), then printed for people or machines
// (status_print.h); and the few wordings that judging and printing share.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/statistics/delivery_health.h"
#include "state/health_record.h"

// What permission hides from a user other than the recorder's, said in place of what it hides.
extern const char kNoPermission[];

// One of the recorder's queues as a sender sees it, or as the recorder's record tells it when
// this user may not open it.
struct QueueView {
    QueueHealth queue;
    bool denied = false;      // this user may not open it
    bool fromRecord = false;  // `queue` is what the running recorder wrote in its record
    bool Known() const { return !denied || fromRecord; }
};

// The outbox and the delivery agent, as far as they can be told.
struct DeliveryView {
    bool automatic = false;
    bool commandSet = false;  // a delivery command is set, so an agent delivers
    std::string folder;
    std::string outboxError;  // the outbox cannot be read: why
    unsigned long files = 0;
    unsigned long records = 0;
    bool recordsHidden = false;  // some files may not be read by this user: records not known
    long long oldestAge = -1;    // seconds; -1: no file
    bool agentKnown = false;     // the agent wrote its record
    bool agentDenied = false;    // this user may not read the agent's record
    bool agentRunning = false;
    DeliveryHealth agent;
};

// Everything cdrctl status tells: gathered, judged, then printed in either form.
struct StatusView {
    int64_t now = 0;      // wall clock, for what is shown
    int64_t bootNow = 0;  // boot clock, for how long deliveries have failed
    std::string bootId;
    int pid = 0;             // the running recorder's pid; 0: none runs
    bool known = false;      // a health record of that recorder (or of the last one) was read
    bool current = false;    // the record is the running recorder's own
    std::string recordNote;  // why no record is shown
    HealthRecord record;
    std::vector<QueueView> queues;
    DeliveryView delivery;
    std::vector<std::string> problems;  // what needs attention, one line each
};

// `seconds` since the epoch as local "YYYY-MM-DD HH:MM:SS".
std::string LocalTimeText(int64_t seconds);

// "<count> <noun>", the noun with an "s" unless the count is 1.
std::string Plural(unsigned long count, const char* noun);

// ": <why>" when the reason a store stays closed is known, else nothing.
std::string OpenErrorText(const StoreHealth& store);
