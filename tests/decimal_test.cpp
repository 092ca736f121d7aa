#include "platform/util/decimal.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace {

// Every digit count's edges (10^k - 1, 10^k, 10^k + 1), the 32-bit edge where values go to
// nine-digit chunks (whose inner zeros must stay), and a spread across the 64-bit range, each as
// the formatted print writes it: a wrong length guess or a lost digit pair shows.
TEST(DecimalTest, WritesAsTheFormattedPrintDoesAtEveryEdgeAndAcrossTheRange) {
    std::vector<unsigned long long> values = {UINT32_MAX, UINT32_MAX - 1ull, UINT32_MAX + 1ull,
                                              ULLONG_MAX - 1, ULLONG_MAX};
    for (unsigned long long power = 1; power <= 10000000000000000000ull / 10; power *= 10)
        for (unsigned long long around : {power - 1, power, power + 1, 10 * power - 1})
            values.push_back(around);
    values.push_back(10000000000000000000ull);
    unsigned long long mixed = 88172645463325252ull;
    for (int i = 0; i < 20000; ++i) {
        mixed ^= mixed << 13;
        mixed ^= mixed >> 7;
        mixed ^= mixed << 17;
        values.push_back(mixed >> (i % 64));
    }
    for (unsigned long long value : values) {
        char expected[32], written[32];
        snprintf(expected, sizeof expected, "%llu", value);
        ASSERT_EQ(FormatUnsignedDecimal(written, value), strlen(expected)) << expected;
        ASSERT_STREQ(written, expected);
    }
    for (long long value : {0LL, -1LL, 1LL, -2147483648LL, 2147483647LL, LLONG_MIN, LLONG_MAX}) {
        char expected[32], written[32];
        snprintf(expected, sizeof expected, "%lld", value);
        EXPECT_EQ(FormatSignedDecimal(written, value), strlen(expected));
        EXPECT_STREQ(written, expected);
    }
}

}  // namespace
