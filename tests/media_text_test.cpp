#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/media/media_control.h"
#include "platform/util/sock_addr.h"

namespace {

// The lengths handed back are what the record writer copies: a wrong one cuts a name short or
// copies bytes past it. Every named codec, a number without a name and the widest fallback.
TEST(MediaTextTest, CodecNamesReportTheirLength) {
    for (int codec : {-2147483647 - 1, -1, 0, 1, 7, 12, 13, 14, 65535, 2147483647}) {
        char name[256];
        memset(name, '#', sizeof name);
        const size_t length = GetNameByDspCodec(codec, name);
        EXPECT_EQ(length, strlen(name)) << codec;
    }
    char name[256];
    EXPECT_EQ(std::string(name, GetNameByDspCodec(kDspCodecG711A, name)), "G.711 A-law");
    EXPECT_EQ(std::string(name, GetNameByDspCodec(99, name)), "unknown codec 99");
}

// Addresses of one to three digits per byte, reassigned over a longer one.
TEST(MediaTextTest, DottedAddressesReportTheirLength) {
    SockAddr address;
    EXPECT_STREQ(address.DottedDecimal(), "0.0.0.0");
    EXPECT_EQ(address.DottedDecimalSize(), 7u);
    const struct {
        unsigned long value;
        const char* text;
    } cases[] = {{0xFFFFFFFFUL, "255.255.255.255"},
                 {0x0A000001UL, "10.0.0.1"},
                 {0xC0A80114UL, "192.168.1.20"},
                 {0x01020304UL, "1.2.3.4"}};
    for (const auto& c : cases) {
        address = c.value;
        EXPECT_STREQ(address.DottedDecimal(), c.text);
        EXPECT_EQ(address.DottedDecimalSize(), strlen(c.text));
    }
}

}  // namespace
