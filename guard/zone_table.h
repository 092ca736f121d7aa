// The local time of day without the C library's time-zone lock, so that a signal handler can read
// it even when it interrupted localtime: the zone's UTC offsets are learnt in advance, and learnt
// again by ordinary code when the clock leaves the years they cover.
#pragma once

#include <time.h>

#include <atomic>

class ZoneTable {
  public:
    // Learns the offsets of the local zone (through Env::Current()->LocalTime) from `from` to
    // about three years later, daylight-saving changes included. Later times keep the last
    // offset learnt, earlier times the first.
    void Prepare(time_t from);

    // Whether `t` lies within the years learnt by the last Prepare. Safe in a signal handler.
    bool Covers(time_t t) const;

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
    time_t mEnd = 0;  // first second after the years learnt
};

// The process's table of the local zone, shared by whoever needs the local time inside a signal
// handler. Two tables take turns: a new one is learnt beside the one in use and then put in use
// with one atomic store, so a handler never reads a half-learnt table.
class LocalZone {
  public:
    // Learns the table from `now` unless the table in use covers it. Calls LocalTime about a
    // thousand times, so never from a signal handler. Concurrent calls: one learns, the others
    // return at once.
    static void Learn(time_t now);
    // Learns the table again when one has been learnt and `now` lies outside it (the clock was
    // set, or years went by); otherwise costs one comparison. Not from a signal handler.
    static void Follow(time_t now);
    // The local time at `t` by the table in use (UTC when none was learnt). Safe in a signal
    // handler.
    static void BreakDown(time_t t, struct tm* out);

  private:
    static ZoneTable sTables[2];
    static std::atomic<int> sInUse;  // index into sTables; -1 before the first Learn
    static std::atomic<bool> sLearning;
};
