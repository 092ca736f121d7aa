#include "platform/util/sock_addr.h"

#include <gtest/gtest.h>

namespace {

TEST(SockAddrTest, DottedDecimalReadsTheFirstByteFromTheTop) {
    SockAddr address;
    EXPECT_STREQ("0.0.0.0", address.DottedDecimal());
    struct {
        unsigned long number;
        const char* text;
    } cases[] = {{0x0A000001UL, "10.0.0.1"},
                 {0xFFFFFFFFUL, "255.255.255.255"},
                 {0xC0A86407UL, "192.168.100.7"},
                 {0x01020304UL, "1.2.3.4"}};
    for (const auto& c : cases) {
        address = c.number;
        EXPECT_STREQ(c.text, address.DottedDecimal());
        EXPECT_EQ(c.number, address.mAddr);
    }
}

}  // namespace
