// Decimal integers as text: the one strict reader behind cdrctl's numeric arguments and the
// health records' numbers, and the one writer behind the record files' numbers, the dotted
// addresses and the trace lines' milliseconds. The writers allocate nothing and call no
// formatted print, so that they serve on hot paths and under a held lock alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// Reads `text` as a decimal integer in [min, max]: an optional '-' and digits, nothing before or
// after them. False, with `*value` untouched, when `text` is anything else or out of range.
bool ParseDecimal(const std::string& text, long long min, long long max, long long* value);

// Writes `value` in decimal, as "%llu" does, and a NUL after it into `buffer` (at most 21
// bytes); returns the number of digits.
size_t FormatUnsignedDecimal(char* buffer, unsigned long long value);

// Writes `value` in decimal, as "%lld" does, and a NUL after it into `buffer` (at most 21
// bytes); returns the length of the text.
size_t FormatSignedDecimal(char* buffer, long long value);

// Writes `value`, which is below 10^width, as exactly `width` digits, leading zeros included, as
// "%0*u" does but without a NUL.
void FormatPaddedDecimal(char* out, uint32_t value, size_t width);
