#include "guard/log_manager.h"

#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "guard/log_state.h"
#include "guard/zone_table.h"
#include "platform/util/cyclic_queue.h"
#include "platform/util/decimal.h"
#include "platform/util/env.h"
#include "platform/util/log_stream.h"

// The formats arrive by reference with their argument lists, as every caller's own printf-style
// format (CDRManager::TRACEX, TRACEX, PANICEX carry the format attribute and are checked there).
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#include "platform/util/thread.h"
#include "platform/util/thread_mutex.h"

const char* ERR_PREFIX = "<<ERROR>> ";
const char* WARN_PREFIX = "<WARNING> ";

namespace {

const unsigned kMinMsgSize = 128;
const size_t kIndentSize = 64;
const size_t kMaxHead = 48;     // so that head, space, widest stamp and NUL fit the indent
const size_t kStampWidth = 14;  // "%H:%M:%S." and "%03hu  "
const size_t kMarkLength = 10;  // ERR_PREFIX, WARN_PREFIX
const long kPlainLine = -1;     // queue type of trace and date lines; marked lines use the level
const unsigned char kTraceLevel = 3;
const int16_t kDateLineEvery = 32;  // new seconds
const char kDateFormat[] = "%d  %b %Y  <---- Date ----<<<\n";
const char kClockFormat[] = "%H:%M:%S.";

// Standard error is the process's own, never a test's file: written with plain system calls.
void CopyToStandardError(const char* line) {
    Env::Posix()->WriteFully(STDERR_FILENO, line, strlen(line));
}

// vsnprintf, with a format free of conversions (most trace lines, one per report) copied as it
// stands: the same text, without the formatter's cost.
int FormatMessage(char* text, size_t room, const char* fmt, va_list& args) {
    if (strchr(fmt, '%') != nullptr) return vsnprintf(text, room, fmt, args);
    const size_t length = strlen(fmt);
    const size_t stored = length < room ? length : room - 1;
    memcpy(text, fmt, stored);
    text[stored] = '\0';
    return static_cast<int>(length);
}

}  // namespace

LogManager::LogState::LogState(unsigned msgSize, unsigned queueDepth)
    : mpLock(new ThreadMutex),
      mpWriterLock(queueDepth != 0 ? new ThreadMutex : nullptr),
      mpQueue(queueDepth != 0 ? new CyclicQueue(CyclicQueue::CapacityFor(queueDepth, msgSize))
                              : nullptr),
      mpTime(new TimeRecord()),
      mpLine(new char[msgSize]),
      mpIndent(new char[kIndentSize]),
      mpCursor(mpLine),
      mImmediate(1),
      mTimeStamps(1),
      mIndentReady(0),
      mLastSecond(0),
      mMsgSize(msgSize),
      mQueueDepth(queueDepth),
      mStampLen(0),
      mRetries(0),
      mLineLen(0),
      mNewSeconds(0),
      mHoldMillis(0),
      mHeldSince(0),
      mWriterRunning(false) {
    sem_init(&mWriterEnded, 0, 0);
}

LogManager::LogState::~LogState() {
    sem_destroy(&mWriterEnded);
    delete[] mpIndent;
    delete[] mpLine;
    delete mpTime;
    delete mpQueue;
    delete mpWriterLock;
    delete mpLock;
}

LogManager::LogManager(const char* name, bool append, bool levelTags, unsigned queueDepth,
                       unsigned msgSize) {
    if (msgSize < kMinMsgSize) msgSize = kMinMsgSize;
    mpStream =
        new LogStream(name, append, levelTags, kTraceLogMaxBytes, kTraceLogBackups, msgSize, false);
    mpState = new LogState(msgSize, queueDepth);
    if (queueDepth == 0) return;
    StartWriter();
    if (!mpState->mWriterRunning) {
        // No thread to write queued lines: write every line from the caller's thread instead.
        delete mpState;
        mpState = new LogState(msgSize, 0);
    }
}

LogManager::~LogManager() {
    StopWriter();
    delete mpStream;  // flushes
    delete mpState;
}

// TRACE and PANIC take their format by reference, which the format attribute cannot describe;
// the formats are checked where they are written, at TRACEX and PANICEX and their callers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

void LogManager::SetSizeLimit(unsigned long bytes) {
    mpStream->SetSizeLimit(bytes);
}

void LogManager::TRACE(const char*& fmt, va_list& args) {
    if (fmt == nullptr) return;
    LogState& state = *mpState;
    ThreadMutexLock lock(state.mpLock);
    bool immediate = state.mImmediate.load(std::memory_order_relaxed) != 0;
    if (!state.mTimeStamps) {
        mpStream->TRACE(kTraceLevel, fmt, args, 0);
        if (immediate) mpStream->Flush();
        return;
    }
    const bool heldBefore = mpStream->HasHeld();
    if (!FormatLine(nullptr, fmt, args)) return;
    if (SendLine(kPlainLine) && immediate && !MayHold(heldBefore)) mpStream->Flush();
}

void LogManager::PANIC(int level, const char*& fmt, va_list& args) {
    if (fmt == nullptr) return;
    LogState& state = *mpState;
    ThreadMutexLock lock(state.mpLock);
    if (!state.mTimeStamps) {
        mpStream->TRACE(static_cast<unsigned char>(level), fmt, args, 0);
        mpStream->Flush();
        return;
    }
    if (!FormatLine(level == 0 ? ERR_PREFIX : WARN_PREFIX, fmt, args) || !SendLine(level)) return;
    mpStream->Flush();
    if (level == 0 && state.mImmediate.load(std::memory_order_relaxed) != 0)
        CopyToStandardError(state.mpLine);
}

#pragma GCC diagnostic pop

void LogManager::TRACEX(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    TRACE(fmt, args);
    va_end(args);
}

void LogManager::PANICEX(int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    PANIC(level, fmt, args);
    va_end(args);
}

void LogManager::HoldLines(unsigned millis) {
    ThreadMutexLock lock(mpState->mpLock);
    mpState->mHoldMillis = millis;
    if (millis != 0) mpStream->BecomeLastWordStream();
}

bool LogManager::HasHeldLines() const {
    return mpStream->HasHeld();
}

void LogManager::FlushHeld() {
    mpStream->Flush();
}

// Whether the trace line just sent may stay in the stream's buffer: holding is on and the oldest
// held line, by the stamps of the lines, is less than the hold limit old. `heldBefore`: the
// stream held lines before this one (otherwise this one is the oldest).
bool LogManager::MayHold(bool heldBefore) {
    LogState& state = *mpState;
    if (state.mHoldMillis == 0) return false;
    const long long now = static_cast<long long>(state.mpTime->time) * 1000 + state.mpTime->millitm;
    if (!heldBefore) state.mHeldSince = now;
    return now >= state.mHeldSince && now - state.mHeldSince < state.mHoldMillis;
}

void LogManager::SetMode(bool immediate, bool timeStamps, const char* head) {
    LogState& state = *mpState;
    ThreadMutexLock lock(state.mpLock);
    state.mImmediate.store(immediate ? 1 : 0, std::memory_order_relaxed);
    state.mTimeStamps = timeStamps ? 1 : 0;
    state.mIndentReady = 0;
    size_t length = head != nullptr ? strnlen(head, kMaxHead) : 0;
    state.mpCursor = state.mpLine;
    if (length == 0) return;
    memcpy(state.mpLine, head, length);
    state.mpLine[length] = ' ';
    state.mpCursor = state.mpLine + length + 1;
    memcpy(state.mpIndent, state.mpLine, length + 1);
}

std::string LogManager::Indent() {
    LogState& state = *mpState;
    ThreadMutexLock lock(state.mpLock);
    if (!state.mIndentReady) {
        size_t width = state.mStampLen + 5;
        memset(state.mpIndent + state.HeadLength(), ' ', width);
        state.mpIndent[state.HeadLength() + width] = '\0';
        state.mIndentReady = 1;
    }
    return state.mpIndent;
}

// Writes the time stamp at mpCursor: the full clock on the first line of a second, spaces and a
// full stop on further lines of that second, then the milliseconds. Before every 32nd new second
// the date line is sent on first.
void LogManager::FormatTime() {
    LogState& state = *mpState;
    Env* env = Env::Current();
    struct timespec now;
    env->Now(&now);
    state.mpTime->time = now.tv_sec;
    state.mpTime->millitm = static_cast<unsigned short>(now.tv_nsec / 1000000);
    size_t room = state.mMsgSize - state.HeadLength();
    if (state.mStampLen != 0 && state.mpTime->time == state.mLastSecond) {
        memset(state.mpCursor, ' ', state.mStampLen - 1);
        state.mpCursor[state.mStampLen - 1] = '.';
    } else {
        state.mLastSecond = state.mpTime->time;
        struct tm local;
        env->LocalTime(state.mpTime->time, &local);
        // Once a second is cheap enough to keep the crash guard's local time in step with a
        // clock that was set.
        LocalZone::Follow(state.mpTime->time);
        if (++state.mNewSeconds == kDateLineEvery) {
            state.mNewSeconds = 0;
            size_t length = strftime(state.mpCursor, room, kDateFormat, &local);
            if (length != 0) {
                state.mLineLen = static_cast<int32_t>(state.HeadLength() + length + 1);
                SendLine(kPlainLine);
            }
        }
        uint32_t stampLen =
            static_cast<uint32_t>(strftime(state.mpCursor, room, kClockFormat, &local));
        if (stampLen != state.mStampLen) state.mIndentReady = 0;
        state.mStampLen = stampLen;
    }
    // The milliseconds as "%03hu  " writes them, without a formatted print on every line.
    char* millis = state.mpCursor + state.mStampLen;
    const unsigned ms = state.mpTime->millitm;
    if (room - state.mStampLen < 6 || ms > 999) {
        snprintf(millis, room - state.mStampLen, "%03hu  ", state.mpTime->millitm);
        return;
    }
    FormatPaddedDecimal(millis, ms, 3);
    millis[3] = ' ';
    millis[4] = ' ';
    millis[5] = '\0';
}

// Stamps the line, then formats the message behind the stamp and `mark` (10 characters; null for
// none), cut so that the line and its NUL fit in mpLine. Leaves the line's size with its NUL in
// mLineLen. False when the message is empty or cannot be formatted.
bool LogManager::FormatLine(const char* mark, const char* fmt, va_list& args) {
    LogState& state = *mpState;
    FormatTime();
    char* text = state.mpCursor + kStampWidth;
    if (mark != nullptr) {
        memcpy(text, mark, kMarkLength);
        text += kMarkLength;
    }
    size_t room = static_cast<size_t>(state.mpLine + state.mMsgSize - text);
    state.mLineLen = FormatMessage(text, room, fmt, args);
    if (state.mLineLen <= 0) return false;
    size_t stored = static_cast<size_t>(state.mLineLen) < room ? state.mLineLen : room - 1;
    state.mLineLen = static_cast<int32_t>(text - state.mpLine + stored + 1);
    return true;
}

// Sends the line in mpLine (mLineLen bytes with its NUL) on its way: a queued manager posts lines
// without a head under `type`; every other line goes to the stream from this thread. True when
// the line went to the stream.
bool LogManager::SendLine(long type) {
    LogState& state = *mpState;
    if (state.Queued() && state.HeadLength() == 0) {
        PostLogMsg(type);
        return false;
    }
    mpStream->TRACE(state.mpLine, kTraceLevel, 0);
    return true;
}

// Posts the line; while the queue is full, waits for the writer to finish the line it is writing
// and tries again, mQueueDepth times at most. Then the line is dropped.
void LogManager::PostLogMsg(long type) {
    LogState& state = *mpState;
    state.mRetries = 0;
    while (!state.mpQueue->SendMessage(type, state.mpLine,
                                       static_cast<unsigned long>(state.mLineLen))) {
        if (state.mRetries >= state.mQueueDepth) return;
        ++state.mRetries;
        state.mpWriterLock->Lock();
        state.mpWriterLock->Unlock();
    }
}

void LogManager::StartWriter() {
    mpState->mWriterRunning = Thread::BeginThread(LogWriteProc, this, 0);
}

// Queues an empty message behind every line, which ends the writer once it has written them,
// and waits for the writer's last sign of life.
void LogManager::StopWriter() {
    LogState& state = *mpState;
    if (!state.mWriterRunning) return;
    {
        ThreadMutexLock lock(state.mpLock);
        while (!state.mpQueue->SendMessage(kPlainLine, nullptr, 0)) {
            state.mpWriterLock->Lock();
            state.mpWriterLock->Unlock();
            sched_yield();
        }
    }
    while (sem_wait(&state.mWriterEnded) != 0 && errno == EINTR) {
    }
    state.mWriterRunning = false;
}

// The writer thread: writes queued lines until it takes the empty message, flushing each line
// and copying error lines (type 0) to standard error in immediate mode.
unsigned long LogManager::LogWriteProc(void* manager) {
    LogManager* self = static_cast<LogManager*>(manager);
    LogState& state = *self->mpState;
    char* buffer = new char[state.mMsgSize];
    long type;
    while (state.mpQueue->GetMessage(&type, buffer, state.mMsgSize) > 0) {
        ThreadMutexLock lock(state.mpWriterLock);
        self->mpStream->TRACE(buffer, kTraceLevel, 0);
        if (state.mImmediate.load(std::memory_order_relaxed) != 0) {
            self->mpStream->Flush();
            if (type == 0) CopyToStandardError(buffer);
        }
    }
    delete[] buffer;
    sem_post(&state.mWriterEnded);
    return 0;
}
