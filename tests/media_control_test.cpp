#include "platform/media_control.h"

#include <ctype.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

bool IsLowerCaseWord(const std::string& token) {
    if (token.empty()) return false;
    for (char c : token)
        if (!islower(static_cast<unsigned char>(c)) && !isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// Tokens end up as record values that other programs parse: one distinct word per value, and a
// word even for numbers the recorder does not know.
TEST(MediaControlTest, TokensAreDistinctLowerCaseWords) {
    std::set<std::string> callTokens, authTokens;
    for (int32_t value = -2; value <= 10; ++value) {
        std::string call = CallTypeToToken(static_cast<CallType>(value));
        std::string auth = CDRAuthTypeToToken(static_cast<CDRAuthType>(value));
        EXPECT_TRUE(IsLowerCaseWord(call)) << value;
        EXPECT_TRUE(IsLowerCaseWord(auth)) << value;
        callTokens.insert(call);
        authTokens.insert(auth);
    }
    EXPECT_EQ(callTokens.size(), 7u);  // six kinds and "unknown"
    EXPECT_EQ(authTokens.size(), 5u);  // four kinds and "unknown"
    EXPECT_STREQ(CallTypeToToken(static_cast<CallType>(-1)), "unknown");
    EXPECT_STREQ(CDRAuthTypeToToken(static_cast<CDRAuthType>(99)), "unknown");
}

TEST(MediaControlTest, EveryCodecNumberGetsAClearName) {
    std::set<std::string> names;
    char buffer[256];
    for (int codec = kDspCodecG711U; codec <= kDspCodecT38; ++codec) {
        GetNameByDspCodec(codec, buffer);
        EXPECT_EQ(std::string(buffer).find("unknown"), std::string::npos) << codec;
        names.insert(buffer);
    }
    EXPECT_EQ(names.size(), size_t(kDspCodecT38 + 1));
    GetNameByDspCodec(-7, buffer);
    EXPECT_STREQ(buffer, "unknown codec -7");
    GetNameByDspCodec(2147483647, buffer);
    EXPECT_STREQ(buffer, "unknown codec 2147483647");
}

}  // namespace
