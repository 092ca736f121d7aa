// Record values shown without harm: a file's bytes may hold anything, and neither a terminal nor
// a JSON reader may be made to act on them or to misread them. Valid UTF-8 passes as it is but
// for the controls a terminal acts on; everything else is escaped so that it can be told back.
#pragma once

#include <stddef.h>

#include <string>

// The cell as the table shows it: one line of valid UTF-8 that a terminal only prints. Line ends
// and tabs become \n, \r, \t; other C0 bytes, DEL and bytes that are not part of valid UTF-8
// become \xHH; C1 and bidirectional controls (U+0080 to U+009F, U+061C, U+200E, U+200F, U+202A
// to U+202E, U+2066 to U+2069) become \uHHHH; a backslash becomes \\.
std::string TableCell(const std::string& value);

// Characters on screen, counting a UTF-8 sequence as one.
size_t DisplayWidth(const std::string& text);

// Appends `text` to `*out` as a JSON string (RFC 8259): valid UTF-8 passes but for the controls
// TableCell escapes, written \uHHHH; a byte that is not part of valid UTF-8 is written as the lone
// surrogate U+DC00 + byte (\udcHH), which no valid text holds, so the bytes can be told back.
void AppendJsonString(std::string* out, const std::string& text);
