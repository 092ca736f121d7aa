// The trace log manager's private state: its locks, queue, line buffer and counters. Only the
// manager (and its tests) look inside.
#pragma once

#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "guard/log_manager.h"

class CyclicQueue;
class ThreadMutex;

struct LogManager::LogState {
    // The time of the line being formatted, to the millisecond.
    struct TimeRecord {
        time_t time;
        unsigned short millitm;
    };

    LogState(unsigned msgSize, unsigned queueDepth);
    ~LogState();
    // A queued manager (posts lines without a head) as opposed to a direct one.
    bool Queued() const { return mQueueDepth != 0; }
    size_t HeadLength() const { return static_cast<size_t>(mpCursor - mpLine); }

    ThreadMutex* mpLock;        // guards formatting, these fields and writes from callers
    ThreadMutex* mpWriterLock;  // held by the writer thread while it writes one line
    CyclicQueue* mpQueue;
    TimeRecord* mpTime;
    char* mpLine;
    char* mpIndent;
    char* mpCursor;                   // end of the head in mpLine
    std::atomic<int32_t> mImmediate;  // also read by the writer thread, without mpLock
    int32_t mTimeStamps;
    int32_t mIndentReady;
    time_t mLastSecond;
    uint32_t mMsgSize;
    uint32_t mQueueDepth;
    uint32_t mStampLen;
    uint32_t mRetries;
    int32_t mLineLen;
    int16_t mNewSeconds;
    uint32_t mHoldMillis;  // 0: trace lines are flushed at once in immediate mode
    long long mHeldSince;  // stamp of the oldest held line, in milliseconds
    bool mWriterRunning;   // changed only by StartWriter/StopWriter, from the owner's thread
    sem_t mWriterEnded;    // posted by the writer thread as its last act
};
