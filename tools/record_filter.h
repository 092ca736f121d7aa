// Picks the records `cdrctl show` prints by their start time and parties, and turns the records'
// start times (seconds since the epoch, key "ST") into local dates and times for people.
//
// Times are the device's local time (Env::LocalTime). A time bound is one of
//   YYYY-MM-DD                   that day's midnight
//   YYYY-MM-DD HH:MM[:SS]        (or with "T" between date and time)
//   -N followed by s, m, h or d  N seconds, minutes, hours or days before now
#pragma once

#include <time.h>

#include <string>
#include <utility>
#include <vector>

// One record: its entries (key, value) in file order.
using RecordEntries = std::vector<std::pair<std::string, std::string>>;

// Which records to print. A record passes when its start lies in [since, until) (a bound not set
// does not limit; with any bound set, a record without a readable start does not pass) and, when
// `match` is not empty, its caller or called number contains `match`.
struct RecordFilter {
    bool hasSince = false;
    bool hasUntil = false;
    long long since = 0;  // seconds since the epoch
    long long until = 0;
    std::string match;

    bool Accepts(const RecordEntries& record) const;
};

// The first value of `key` in `record`, or null when it has none. Points into `record`.
const std::string* FindEntry(const RecordEntries& record, const char* key);

// Parses the time bound `text` against `now`. Returns false, with a one-line reason in `*error`,
// when it is none of the forms above or names no real date and time.
bool ParseTimeBound(const std::string& text, time_t now, long long* seconds, std::string* error);

// The record's start time: true, with the seconds in `*start`, when it has an "ST" entry holding a
// whole number that is not negative (the recorder writes -1 for an unknown start).
bool RecordStart(const RecordEntries& record, long long* start);

// `seconds` in local time as "YYYY-MM-DD HH:MM:SS" (`iso` false) or as ISO 8601 with the local
// offset, "YYYY-MM-DDTHH:MM:SS+HH:MM" (`iso` true).
std::string FormatLocalTime(long long seconds, bool iso);
