#include "tools/record_filter.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/util/env.h"

namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

// The broken-down time read as if it were UTC, in seconds since the epoch.
long long CivilSeconds(const struct tm& time) {
    return DaysFromCivil(time.tm_year + 1900LL, static_cast<unsigned>(time.tm_mon + 1),
                         static_cast<unsigned>(time.tm_mday)) *
               86400 +
           time.tm_hour * 3600LL + time.tm_min * 60LL + time.tm_sec;
}

struct tm Local(long long seconds) {
    struct tm local = {};
    Env::Current()->LocalTime(static_cast<time_t>(seconds), &local);
    return local;
}

// The seconds since the epoch of a local date and time: the UTC reading corrected by the local
// offset, twice, so a date on the other side of a daylight-saving change gets its own offset.
long long FromLocal(const struct tm& wanted) {
    const long long civil = CivilSeconds(wanted);
    long long guess = civil;
    for (int i = 0; i < 2; ++i) guess += civil - CivilSeconds(Local(guess));
    return guess;
}

bool ParseRelative(const std::string& text, time_t now, long long* seconds) {
    static const struct {
        char unit;
        long long seconds;
    } kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
    if (text.size() < 3 || text[0] != '-' || text[1] < '0' || text[1] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long long count = strtoll(text.c_str() + 1, &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() - 1 || count > 1000000000) return false;
    for (const auto& unit : kUnits) {
        if (*end != unit.unit) continue;
        *seconds = static_cast<long long>(now) - count * unit.seconds;
        return true;
    }
    return false;
}

// Whether `text` has the shape of "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS", with
// a space or "T" between date and time.
bool LooksLikeDateTime(const std::string& text) {
    static const char kShape[] = "0000-00-00 00:00:00";
    if (text.size() != 10 && text.size() != 16 && text.size() != 19) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool fits = kShape[i] == '0' ? c >= '0' && c <= '9'
                          : i == 10        ? c == ' ' || c == 'T'
                                           : c == kShape[i];
        if (!fits) return false;
    }
    return true;
}

bool ParseAbsolute(const std::string& text, long long* seconds) {
    if (!LooksLikeDateTime(text)) return false;
    struct tm wanted = {};
    sscanf(text.c_str(), "%4d-%2d-%2d", &wanted.tm_year, &wanted.tm_mon, &wanted.tm_mday);
    if (text.size() > 10) sscanf(text.c_str() + 11, "%2d:%2d", &wanted.tm_hour, &wanted.tm_min);
    if (text.size() > 16) sscanf(text.c_str() + 17, "%2d", &wanted.tm_sec);
    wanted.tm_year -= 1900;
    wanted.tm_mon -= 1;
    if (wanted.tm_mon < 0 || wanted.tm_mon > 11 || wanted.tm_mday < 1 || wanted.tm_hour > 23 ||
        wanted.tm_min > 59 || wanted.tm_sec > 59)
        return false;
    // A day past the month's end (February 30) would roll into the next month.
    const long long parsed = FromLocal(wanted);
    const struct tm check = Local(parsed);
    if (check.tm_mday != wanted.tm_mday || check.tm_mon != wanted.tm_mon) return false;
    *seconds = parsed;
    return true;
}

// Whether `value` contains `part`.
bool Contains(const std::string& value, const std::string& part) {
    return value.find(part) != std::string::npos;
}

}  // namespace

const std::string* FindEntry(const RecordEntries& record, const char* key) {
    for (const auto& entry : record)
        if (entry.first == key) return &entry.second;
    return nullptr;
}

bool RecordFilter::Accepts(const RecordEntries& record) const {
    if (hasSince || hasUntil) {
        long long start = 0;
        if (!RecordStart(record, &start)) return false;
        if ((hasSince && start < since) || (hasUntil && start >= until)) return false;
    }
    if (match.empty()) return true;
    const std::string* caller = FindEntry(record, "caller");
    const std::string* called = FindEntry(record, "called");
    return (caller != nullptr && Contains(*caller, match)) ||
           (called != nullptr && Contains(*called, match));
}

bool ParseTimeBound(const std::string& text, time_t now, long long* seconds, std::string* error) {
    if (ParseRelative(text, now, seconds) || ParseAbsolute(text, seconds)) return true;
    *error = "bad time '" + text +
             "': expected YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] or -N with s, m, h or d (-2h, -7d)";
    return false;
}

bool RecordStart(const RecordEntries& record, long long* start) {
    const std::string* value = FindEntry(record, "ST");
    if (value == nullptr || value->empty() || (*value)[0] < '0' || (*value)[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = strtoll(value->c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *start = parsed;
    return true;
}

std::string FormatLocalTime(long long seconds, bool iso) {
    const struct tm local = Local(seconds);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, iso ? 'T' : ' ', local.tm_hour, local.tm_min,
             local.tm_sec);
    if (!iso) return text;
    const long long offset = CivilSeconds(local) - seconds;
    const long long minutes = (offset < 0 ? -offset : offset) / 60;
    char zone[48];
    snprintf(zone, sizeof zone, "%c%02lld:%02lld", offset < 0 ? '-' : '+', minutes / 60,
             minutes % 60);
    return std::string(text) + zone;
}
