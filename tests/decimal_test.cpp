#include "platform/util/decimal.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>

#include <string>

namespace {

// Each number is written as the formatted print writes it, across the writer's digit pairs and
// the nine-digit chunks of values past 32 bits (whose inner zeros must stay).
TEST(DecimalTest, WritesAsTheFormattedPrintDoes) {
    const unsigned long long unsignedCases[] = {
        0,
        9,
        10,
        99,
        100,
        101,
        4294967295,
        4294967296,
        5000000000,
        1000000000,
        10000000000,
        4294967296000000001ull,
        ULLONG_MAX,
        1000000000000000000ull,
        999999999999999999ull,
    };
    for (unsigned long long value : unsignedCases) {
        char expected[32], written[32];
        snprintf(expected, sizeof expected, "%llu", value);
        EXPECT_EQ(FormatUnsignedDecimal(written, value), strlen(expected));
        EXPECT_STREQ(written, expected);
    }
    const long long signedCases[] = {0, -1, 1, -2147483648LL, 2147483647, LLONG_MIN, LLONG_MAX};
    for (long long value : signedCases) {
        char expected[32], written[32];
        snprintf(expected, sizeof expected, "%lld", value);
        EXPECT_EQ(FormatSignedDecimal(written, value), strlen(expected));
        EXPECT_STREQ(written, expected);
    }
}

// Padded digits fill exactly their width and leave the byte after them alone.
TEST(DecimalTest, PaddedDigitsKeepTheirWidth) {
    const struct {
        uint32_t value;
        size_t width;
        const char* text;
    } cases[] = {{0, 3, "000"},      {7, 3, "007"}, {42, 3, "042"},
                 {999, 3, "999"},    {5, 1, "5"},   {123456789, 9, "123456789"},
                 {1, 9, "000000001"}};
    for (const auto& c : cases) {
        std::string out(c.width + 1, '#');
        FormatPaddedDecimal(&out[0], c.value, c.width);
        EXPECT_EQ(out, std::string(c.text) + "#");
    }
}

}  // namespace
