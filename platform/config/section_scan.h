// The byte scans behind the quick load of a sectioned file: finding whether saved text needs
// the full check at all, sixteen bytes at a time where the processor has the instructions.
#pragma once

#include <stddef.h>

namespace Configuration {

// True when the text has a byte that a saved file holds only escaped: a control byte other than
// the line end, or DEL.
bool HasRawControlBytes(const char* text, size_t size);

// Looks at one entry line from `line`: returns its line end, or null when there is none before
// `end` or when a byte that a saved entry never holds raw (a control byte, DEL, a backslash)
// comes before it, which only the full check can judge. `*separator` is the line's first `sep`
// byte, or null when it has none.
const char* ScanEntryLine(const char* line, const char* end, char sep, const char** separator);

}  // namespace Configuration
