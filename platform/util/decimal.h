// Decimal integers as text: the one strict reader behind cdrctl's numeric arguments and the
// health records' numbers, and the one writer behind the record files' numbers, the dotted
// addresses and the trace lines' milliseconds. The writers allocate nothing and call no
// formatted print, so that they serve on hot paths and under a held lock alike.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

// Reads `text` as a decimal integer in [min, max]: an optional '-' and digits, nothing before or
// after them. False, with `*value` untouched, when `text` is anything else or out of range.
bool ParseDecimal(const std::string& text, long long min, long long max, long long* value);

// Writes `value` in decimal, as "%llu" does, and a NUL after it into `buffer` (at most 21
// bytes); returns the number of digits. Inline: every number of every record goes through it.
inline size_t FormatUnsignedDecimal(char* buffer, unsigned long long value);

// Writes `value` in decimal, as "%lld" does, and a NUL after it into `buffer` (at most 21
// bytes); returns the length of the text.
inline size_t FormatSignedDecimal(char* buffer, long long value);

// Writes `value`, which is below 10^width, as exactly `width` digits, leading zeros included, as
// "%0*u" does but without a NUL.
void FormatPaddedDecimal(char* out, uint32_t value, size_t width);

namespace decimal_detail {

// The decimal digits of 0 to 99, two by two.
extern const char kDigitPairs[201];

// FormatUnsignedDecimal for a value above UINT32_MAX.
size_t FormatWideDecimal(char* buffer, unsigned long long value);

// Writes `value` in decimal, without a NUL, ending just before `end`; returns where it starts.
// Two digits at a time and in 32-bit arithmetic, which the 32-bit target divides without a
// library call.
inline char* FormatBackwards(char* end, uint32_t value) {
    while (value >= 100) {
        const uint32_t pair = value % 100;
        value /= 100;
        end -= 2;
        memcpy(end, kDigitPairs + 2 * pair, 2);
    }
    if (value >= 10) {
        end -= 2;
        memcpy(end, kDigitPairs + 2 * value, 2);
    } else {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

// The number of decimal digits of `value`: a few 32-bit comparisons instead of a loop.
inline size_t DigitCount(uint32_t value) {
    if (value < 100000u) {
        if (value < 100u) return value < 10u ? 1 : 2;
        if (value < 1000u) return 3;
        return value < 10000u ? 4 : 5;
    }
    if (value < 10000000u) return value < 1000000u ? 6 : 7;
    if (value < 100000000u) return 8;
    return value < 1000000000u ? 9 : 10;
}

}  // namespace decimal_detail

size_t FormatUnsignedDecimal(char* buffer, unsigned long long value) {
    // Nearly every number written fits 32 bits: no 64-bit arithmetic, which the 32-bit target
    // does in several instructions or library calls.
    if (value > UINT32_MAX) return decimal_detail::FormatWideDecimal(buffer, value);
    const size_t length = decimal_detail::DigitCount(static_cast<uint32_t>(value));
    buffer[length] = '\0';
    decimal_detail::FormatBackwards(buffer + length, static_cast<uint32_t>(value));
    return length;
}

size_t FormatSignedDecimal(char* buffer, long long value) {
    if (value >= 0) return FormatUnsignedDecimal(buffer, static_cast<unsigned long long>(value));
    *buffer = '-';
    return 1 + FormatUnsignedDecimal(buffer + 1, 0ull - static_cast<unsigned long long>(value));
}
