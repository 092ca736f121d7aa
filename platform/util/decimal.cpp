#include "platform/util/decimal.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The decimal digits of 0 to 99, two by two.
const char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes `value` in decimal, without a NUL, ending just before `end`; returns where it starts.
// Two digits at a time and in 32-bit arithmetic, which the 32-bit target divides without a
// library call.
char* FormatBackwards(char* end, uint32_t value) {
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
size_t DigitCount(uint32_t value) {
    if (value < 100000u) {
        if (value < 100u) return value < 10u ? 1 : 2;
        if (value < 1000u) return 3;
        return value < 10000u ? 4 : 5;
    }
    if (value < 10000000u) return value < 1000000u ? 6 : 7;
    if (value < 100000000u) return 8;
    return value < 1000000000u ? 9 : 10;
}

// FormatUnsignedDecimal for a value above UINT32_MAX. Kept out of line, so that the common
// case saves and restores no more registers than it uses.
__attribute__((noinline)) size_t FormatWideDecimal(char* buffer, unsigned long long value) {
    size_t length = 10;
    for (unsigned long long limit = 10000000000ull; value >= limit && length < 20; limit *= 10)
        ++length;
    char* end = buffer + length;
    *end = '\0';
    // Nine digits at a time while the rest does not fit the 32-bit arithmetic.
    while (value > UINT32_MAX) {
        end -= 9;
        FormatPaddedDecimal(end, static_cast<uint32_t>(value % 1000000000u), 9);
        value /= 1000000000u;
    }
    FormatBackwards(end, static_cast<uint32_t>(value));
    return length;
}

}  // namespace

bool ParseDecimal(const std::string& text, long long min, long long max, long long* value) {
    if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
        return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
    *value = parsed;
    return true;
}

size_t FormatUnsignedDecimal(char* buffer, unsigned long long value) {
    // Nearly every number written fits 32 bits: no 64-bit arithmetic, which the 32-bit target
    // does in several instructions or library calls.
    if (value > UINT32_MAX) return FormatWideDecimal(buffer, value);
    const size_t length = DigitCount(static_cast<uint32_t>(value));
    buffer[length] = '\0';
    FormatBackwards(buffer + length, static_cast<uint32_t>(value));
    return length;
}

size_t FormatSignedDecimal(char* buffer, long long value) {
    if (value >= 0) return FormatUnsignedDecimal(buffer, static_cast<unsigned long long>(value));
    *buffer = '-';
    return 1 + FormatUnsignedDecimal(buffer + 1, 0ull - static_cast<unsigned long long>(value));
}

void FormatPaddedDecimal(char* out, uint32_t value, size_t width) {
    char* start = FormatBackwards(out + width, value);
    while (start > out) *--start = '0';
}
