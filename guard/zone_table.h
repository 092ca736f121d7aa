// The local time of day without the C library's time-zone lock, so that a signal handler can read
// it even when it interrupted localtime: the zone's UTC offsets are learnt in advance.
#pragma once

#include <time.h>

class ZoneTable {
  public:
    // Learns the offsets of the local zone (through Env::Current()->LocalTime) from `from` to
    // about three years later, daylight-saving changes included. Later times keep the last
    // offset learnt, earlier times the first.
    void Prepare(time_t from);

    // The seconds east of UTC in force at `t`. Safe in a signal handler.
    long OffsetAt(time_t t) const;

    // Fills the year, month, day of month, hour, minute, second and UTC offset of `out` with the
    // local time at `t`; the other fields are zero. Safe in a signal handler.
    void BreakDown(time_t t, struct tm* out) const;

  private:
    struct Span {
        time_t start;  // first second with this offset
        long offset;
    };
    static constexpr int kMaxSpans = 16;

    void Add(time_t start, long offset);

    Span mSpans[kMaxSpans] = {};
    int mCount = 0;
};
