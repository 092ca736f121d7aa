#include "platform/statistics/delivery_trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <sys/mman.h>

#include <atomic>
#include <new>

#include "platform/statistics/delivery_agent.h"
#include "platform/util/log_stream.h"

namespace {

const unsigned kTraceLineSize = 1024;

// The trace log's size limit for the agent's lines: mapped shared on the recorder's first call of
// SetDeliveryTraceLimit, before it forks an agent; process-private should the mapping fail.
std::atomic<unsigned long>* TraceLimit() {
    static std::atomic<unsigned long>* limit = [] {
        const unsigned long initial = 1024 * 1024;
        void* shared = mmap(nullptr, sizeof(std::atomic<unsigned long>), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) return new std::atomic<unsigned long>(initial);
        return new (shared) std::atomic<unsigned long>(initial);
    }();
    return limit;
}

}  // namespace

// One stream for the agent's life: it follows a rotation by the recorder within a second, and
// tells of a failing rotation once.
void DeliveryTrace(const char* format, ...) {
    static LogStream* stream = new LogStream(kTraceLogName, true, false, kTraceLogMaxBytes,
                                             kTraceLogBackups, kTraceLineSize, false);
    char line[kTraceLineSize];
    size_t length = WriteTraceStamp(line, sizeof line);
    length += static_cast<size_t>(snprintf(line + length, sizeof line - length, "[delivery] "));
    va_list args;
    va_start(args, format);
    vsnprintf(line + length, sizeof line - length, format, args);
    va_end(args);
    stream->SetSizeLimit(TraceLimit()->load(std::memory_order_relaxed));
    stream->TRACE(line, 3, 1);
}

void SetDeliveryTraceLimit(unsigned long bytes) {
    TraceLimit()->store(bytes, std::memory_order_relaxed);
}
