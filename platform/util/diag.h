// Where the platform layer reports the problems it recovers from on its own (a malformed queue
// message dropped, an answer nobody reads): one warning line each. The program points the sink
// at its trace log; until then warnings go to standard error.
#pragma once

using WarningSink = void (*)(const char* line);

// Installs `sink` (null: standard error). The line handed to it ends with "\n".
void SetWarningSink(WarningSink sink);

// Formats one warning line and hands it to the sink. A line longer than 1 KiB is cut.
void Warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
