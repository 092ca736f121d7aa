#include "platform/util/diag.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>

namespace {
std::atomic<WarningSink> gSink{nullptr};
}

void SetWarningSink(WarningSink sink) {
    gSink.store(sink);
}

void Warn(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    WarningSink sink = gSink.load();
    if (sink != nullptr)
        sink(line);
    else
        fputs(line, stderr);
}
