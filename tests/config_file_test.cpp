#include "platform/config/config_file.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/config/parse_error.h"

using Configuration::ConfigFile;

namespace {

std::string Value(const ConfigFile& file, const char* key) {
    char buffer[64];
    return file.GetEntry(key, buffer, sizeof buffer) ? buffer : "<absent>";
}

ConfigFile Parsed(const std::string& text, bool unescape, bool stripQuotes, bool lastWins,
                  const char* endLine = nullptr) {
    ConfigFile file(nullptr, unescape, stripQuotes, lastWins, "=", "#", endLine);
    file.Parse(text.data(), text.size(), "text");
    return file;
}

TEST(ConfigFileTest, ReadsSettingsSkippingCommentsBlanksAndForeignLines) {
    const std::string text =
        "# switches\n\n  START_AUTO_DOWNLOAD_STAT =  true  \r\nexport PATH\n"
        "   # indented=comment\nexpr=a=b\ndup=first\ndup=second\nempty=\nlast=no newline";
    for (bool lastWins : {false, true}) {
        const ConfigFile file = Parsed(text, false, false, lastWins);
        EXPECT_EQ("true", Value(file, "START_AUTO_DOWNLOAD_STAT"));
        EXPECT_EQ("a=b", Value(file, "expr"));
        EXPECT_EQ("", Value(file, "empty"));
        EXPECT_EQ("no newline", Value(file, "last"));
        EXPECT_EQ("<absent>", Value(file, "export PATH"));
        EXPECT_EQ("<absent>", Value(file, "# indented"));
        EXPECT_EQ(lastWins ? "second" : "first", Value(file, "dup"));
    }
    char buffer[4];
    EXPECT_EQ(1, Parsed(text, false, false, false).GetEntry("last", buffer, sizeof buffer));
    EXPECT_STREQ("no ", buffer);
}

TEST(ConfigFileTest, EscapesQuotesAndEndLineFollowTheFlags) {
    const std::string text = "tab=a\\tb\nq=\"x y\"\nsingle='z'\nodd=\"w\nEND\nafter=1\n";
    const ConfigFile literal = Parsed(text, false, false, false);
    EXPECT_EQ("a\\tb", Value(literal, "tab"));
    EXPECT_EQ("\"x y\"", Value(literal, "q"));
    EXPECT_EQ("1", Value(literal, "after"));

    const ConfigFile cooked = Parsed(text, true, true, false, "END");
    EXPECT_EQ("a\tb", Value(cooked, "tab"));
    EXPECT_EQ("x y", Value(cooked, "q"));
    EXPECT_EQ("z", Value(cooked, "single"));
    EXPECT_EQ("\"w", Value(cooked, "odd"));
    EXPECT_EQ("<absent>", Value(cooked, "after"));

    try {
        Parsed("a=1\nb=\\q\n", true, false, false);
        ADD_FAILURE() << "bad escape accepted";
    } catch (const Configuration::ParseError& e) {
        EXPECT_STREQ("text:2: bad escape", e.what());
    }
}

}  // namespace
