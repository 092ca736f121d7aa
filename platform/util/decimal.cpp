#include "platform/util/decimal.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace decimal_detail {

const char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Out of line, so that the common case saves and restores no more registers than it uses.
size_t FormatWideDecimal(char* buffer, unsigned long long value) {
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

}  // namespace decimal_detail

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

void FormatPaddedDecimal(char* out, uint32_t value, size_t width) {
    char* start = decimal_detail::FormatBackwards(out + width, value);
    while (start > out) *--start = '0';
}
