// The program's trace log: time-stamped lines, error and warning marks, a date line at intervals,
// written by the calling thread or handed to a writer thread through a bounded queue.
#pragma once

#include <stdarg.h>

#include <string>

class LogStream;

// The marks put before the text of error lines (PANIC level 0) and of warning lines (any other
// level). Each is exactly 10 characters.
extern const char* ERR_PREFIX;
extern const char* WARN_PREFIX;

// Writes one trace log. Every line gets a head (optional, see SetMode), a time stamp and the
// message:
//
//   "14:03:07.042  text\n"              first line of a second: the full clock
//   "        .043  text\n"              further lines in the same second: spaces, then the millis
//   "14:03:08.001  <<ERROR>> text\n"    PANIC level 0; other levels carry "<WARNING> "
//
// Before every 32nd line that opens a new second (counted from construction; the log never
// opens with one) the date line "%d  %b %Y  <---- Date ----<<<\n" in local time is written.
// The manager adds no line end: formats end with "\n". A message longer than the line buffer is
// cut so that head, stamp, mark and message fit in `msgSize` bytes with a NUL. A message that
// formats to nothing (or fails to format) writes nothing. Nothing here reports failures: the
// stream drops what it cannot write.
//
// Modes, fixed at construction by `queueDepth`:
//  - direct (0): the caller's thread writes each line to the stream;
//  - queued (N > 0): lines without a head are posted to a queue sized for N lines and written
//    by a writer thread; a full queue makes the caller wait for the writer at most N times, then
//    the line is dropped. Lines with a head are written directly in both modes.
// After construction: immediate on, time stamps on, no head.
//
// Immediate mode flushes the stream after every line (trace lines may wait a little: HoldLines)
// and copies error lines (level 0) to standard error; PANIC lines are flushed whatever the mode.
// With time stamps off, the stream formats TRACE (level 3) and PANIC (its own level) messages
// itself, with no stamp and no mark.
//
// Thread safety: every operation may be called from any thread; lines never mix.
//
// Destruction of a queued manager: the destructor posts an empty message behind the queued lines
// and waits until the writer thread has written them all and signalled its end; then the stream
// is flushed and deleted. So every line accepted before destruction reaches the file.
class LogManager {
  public:
    // `name` is the log's file name, kept by the stream in its log folder ("cdr.log" is
    // "/tmp/logs/cdr.log"); `append` and `levelTags` are handed to the stream (LogStream).
    // `msgSize` is the line buffer's size and the largest queue message; sizes below 128 are
    // raised to 128. A queued manager whose writer thread cannot be started writes its lines
    // directly.
    LogManager(const char* name, bool append, bool levelTags, unsigned queueDepth,
               unsigned msgSize);
    virtual ~LogManager();
    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

    // Writes one trace line: printf `fmt` filled from `args`. `args` is consumed.
    void TRACE(const char*& fmt, va_list& args);
    // Writes one error line (`level` 0) or warning line (any other level).
    void PANIC(int level, const char*& fmt, va_list& args);
    // printf-style forms of TRACE and PANIC.
    void TRACEX(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void PANICEX(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    // Sets immediate mode, time stamps and the line head. `head` null or empty: no head;
    // otherwise every line starts with `head` (cut to 48 characters) and one space. A new head
    // replaces the previous one.
    void SetMode(bool immediate, bool timeStamps, const char* head);

    // Caps the log file at `bytes` (0: no cap of its own); the file is then renamed to its one
    // backup "<name>.1" and started anew, under the lock every writer of the file rotates under
    // (LogStream), so that the delivery agent's lines in the same file obey the same rotation.
    // Until called, the cap is 1 MiB.
    void SetSizeLimit(unsigned long bytes);

    // Lets trace lines written from the caller's thread in immediate mode wait in the stream's
    // buffer instead of being flushed one by one, while more lines may follow. Held lines are
    // written when the buffer is full, by FlushHeld, at the first trace line stamped `millis` or
    // more after the oldest held one (or before it: the clock was set back), before any warning
    // or error line, before the process forks, by the crash guard's reports
    // (LogStream::WriteHeldFromSignalHandler) and at destruction. So a SIGKILL loses at most
    // what the buffer holds. 0 turns holding off (the start value).
    void HoldLines(unsigned millis);
    // Whether trace lines are held, not yet written. Cheap; from any thread.
    bool HasHeldLines() const;
    // Writes the held lines.
    void FlushHeld();

    // The head followed by spaces as wide as the time stamp (14 once a line has been stamped, 5
    // before), for continuation lines that line up under the message text.
    std::string Indent();

  private:
    friend class LogManagerTestPeer;
    struct LogState;

    void FormatTime();
    bool FormatLine(const char* mark, const char* fmt, va_list& args)
        __attribute__((format(printf, 3, 0)));
    bool SendLine(long type);
    bool MayHold(bool heldBefore);
    void PostLogMsg(long type);
    void StartWriter();
    void StopWriter();
    static unsigned long LogWriteProc(void* manager);

    LogStream* mpStream;
    LogState* mpState;
};
