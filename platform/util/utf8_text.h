// Reading UTF-8 text that may hold anything: where a valid character starts and ends, and which
// characters a terminal acts on instead of showing. Shared by everything that shows bytes from
// outside to people (record values, a delivery command's output).
#pragma once

#include <stddef.h>

#include <string>

// The length of the valid UTF-8 sequence starting at text[at], or 0 when there is none; its code
// point in `*code` (the byte itself for ASCII). Overlong forms, surrogates and code points past
// U+10FFFF are not valid. `at` must lie inside `text`.
size_t DecodeUtf8(const std::string& text, size_t at, unsigned* code);

// A character beyond ASCII that a terminal acts on instead of showing: the C1 controls (U+009B
// starts an escape sequence as ESC [ does) and the bidirectional controls, which reorder what
// follows them on the line and so can make one number look like another.
bool IsTerminalControl(unsigned code);
