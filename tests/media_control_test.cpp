#include "platform/media/media_control.h"

#include <gtest/gtest.h>

namespace {

// Numbers the recorder does not know still give a text a record can hold.
TEST(MediaControlTest, UnknownNumbersGetClearTexts) {
    EXPECT_STREQ(CallTypeToToken(static_cast<CallType>(-1)), "unknown");
    EXPECT_STREQ(CallTypeToToken(static_cast<CallType>(7)), "unknown");
    EXPECT_STREQ(CDRAuthTypeToToken(static_cast<CDRAuthType>(99)), "unknown");
    char buffer[256];
    GetNameByDspCodec(kDspCodecOpusWideband, buffer);
    EXPECT_STREQ(buffer, "Opus wideband");
    GetNameByDspCodec(-7, buffer);
    EXPECT_STREQ(buffer, "unknown codec -7");
    GetNameByDspCodec(2147483647, buffer);
    EXPECT_STREQ(buffer, "unknown codec 2147483647");
}

}  // namespace
