#include "guard/zone_table.h"

#include <limits>

#include "platform/util/env.h"

namespace {

constexpr long kDay = 86400;
constexpr long kHorizonDays = 3 * 366;

long OffsetFromEnv(time_t t) {
    struct tm local = {};
    Env::Current()->LocalTime(t, &local);
    return local.tm_gmtoff;
}

// Days since 1970-01-01 to year, month (0-11) and day of month (proleptic Gregorian).
void CivilFromDays(long long days, int* year, int* month, int* day) {
    days += 719468;  // count from 0000-03-01, so that leap days end each 4-year cycle
    long long era = (days >= 0 ? days : days - 146096) / 146097;
    long long dayOfEra = days - era * 146097;
    long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    *month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 2 : monthFromMarch - 10);
    *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 1 ? 1 : 0));
}

}  // namespace

void ZoneTable::Prepare(time_t from) {
    mCount = 0;
    long offset = OffsetFromEnv(from);
    Add(from, offset);
    const time_t last = std::numeric_limits<time_t>::max() - kDay;
    time_t before = from;
    for (long day = 1; day <= kHorizonDays && before <= last && mCount < kMaxSpans; ++day) {
        time_t after = before + kDay;
        long next = OffsetFromEnv(after);
        if (next != offset) {
            // The change lies in (before, after]: find its first second.
            time_t low = before, high = after;
            while (high - low > 1) {
                time_t middle = low + (high - low) / 2;
                (OffsetFromEnv(middle) == offset ? low : high) = middle;
            }
            Add(high, next);
            offset = next;
        }
        before = after;
    }
    mEnd = before;
}

bool ZoneTable::Covers(time_t t) const {
    return mCount > 0 && t >= mSpans[0].start && t < mEnd;
}

void ZoneTable::Add(time_t start, long offset) {
    mSpans[mCount].start = start;
    mSpans[mCount].offset = offset;
    ++mCount;
}

long ZoneTable::OffsetAt(time_t t) const {
    if (mCount == 0) return 0;
    int span = mCount - 1;
    while (span > 0 && mSpans[span].start > t) --span;
    return mSpans[span].offset;
}

void ZoneTable::BreakDown(time_t t, struct tm* out) const {
    *out = {};
    long offset = OffsetAt(t);
    long long local = static_cast<long long>(t) + offset;
    long long days = (local >= 0 ? local : local - (kDay - 1)) / kDay;
    long secondOfDay = static_cast<long>(local - days * kDay);
    int year, month, day;
    CivilFromDays(days, &year, &month, &day);
    out->tm_year = year - 1900;
    out->tm_mon = month;
    out->tm_mday = day;
    out->tm_hour = static_cast<int>(secondOfDay / 3600);
    out->tm_min = static_cast<int>(secondOfDay / 60 % 60);
    out->tm_sec = static_cast<int>(secondOfDay % 60);
    out->tm_gmtoff = offset;
}

ZoneTable LocalZone::sTables[2];
std::atomic<int> LocalZone::sInUse{-1};
std::atomic<bool> LocalZone::sLearning{false};

void LocalZone::Learn(time_t now) {
    int inUse = sInUse.load(std::memory_order_acquire);
    if (inUse >= 0 && sTables[inUse].Covers(now)) return;
    if (sLearning.exchange(true, std::memory_order_acquire)) return;
    int spare = inUse == 0 ? 1 : 0;
    sTables[spare].Prepare(now);
    sInUse.store(spare, std::memory_order_release);
    sLearning.store(false, std::memory_order_release);
}

void LocalZone::Follow(time_t now) {
    if (sInUse.load(std::memory_order_acquire) >= 0) Learn(now);
}

void LocalZone::BreakDown(time_t t, struct tm* out) {
    int inUse = sInUse.load(std::memory_order_acquire);
    sTables[inUse >= 0 ? inUse : 0].BreakDown(t, out);
}
