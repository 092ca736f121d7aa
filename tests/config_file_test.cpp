#include "platform/config/config_file.h"

#include <gtest/gtest.h>

#include <string>

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
    for (bool unescape : {false, true}) {
        const ConfigFile file = Parsed(text, unescape, false, false);
        EXPECT_EQ("true", Value(file, "START_AUTO_DOWNLOAD_STAT"));
        EXPECT_EQ("a=b", Value(file, "expr"));
        EXPECT_EQ("", Value(file, "empty"));
        EXPECT_EQ("no newline", Value(file, "last"));
        EXPECT_EQ("<absent>", Value(file, "export PATH"));
        EXPECT_EQ("<absent>", Value(file, "# indented"));
        EXPECT_EQ(unescape ? "first" : "second", Value(file, "dup"));  // shell-style: the last
    }
    char buffer[4];
    EXPECT_EQ(1, Parsed(text, false, false, false).GetEntry("last", buffer, sizeof buffer));
    EXPECT_STREQ("no ", buffer);
}

TEST(ConfigFileTest, EscapesQuotesAndEndLineFollowTheFlags) {
    const std::string text = "tab=a\\tb\nq=\"x y\"\nsingle='z'\nodd=\"w\nEND\nafter=1\n";
    const ConfigFile literal = Parsed(text, false, false, false);
    EXPECT_EQ("a\\tb", Value(literal, "tab"));
    EXPECT_EQ("x y", Value(literal, "q"));
    EXPECT_EQ("1", Value(literal, "after"));

    const ConfigFile cooked = Parsed(text, true, true, false, "END");
    EXPECT_EQ("a\tb", Value(cooked, "tab"));
    EXPECT_EQ("x y", Value(cooked, "q"));
    EXPECT_EQ("z", Value(cooked, "single"));
    EXPECT_EQ("\"w", Value(cooked, "odd"));
    EXPECT_EQ("<absent>", Value(cooked, "after"));
}

TEST(ConfigFileTest, HandEditedFilesReadAsTheirAuthorsMeantThem) {
    const std::string text =
        "share=\\\\server\\data\\\r\n"     // unknown escapes and a final backslash kept
        "count=1000   # records kept\r\n"  // a comment after blanks
        "hash=a#b\n"                       // a mark inside a value is no comment
        "bad_hex=\\x0G\\x00\n"
        "count=2000\n";
    const ConfigFile cooked = Parsed(text, true, false, false);
    EXPECT_EQ("\\server\\data\\", Value(cooked, "share"));
    EXPECT_EQ("1000", Value(cooked, "count"));
    EXPECT_EQ(2u, cooked.LineOf("count"));
    EXPECT_EQ("a#b", Value(cooked, "hash"));
    EXPECT_EQ("\\x0G\\x00", Value(cooked, "bad_hex"));

    // Shell-style: quotes removed, a mark inside them kept, the last assignment counts.
    const ConfigFile shell =
        Parsed("START=\"true\" # on\nSTART='true'\nNAME=\"a # b\"\nPLAIN=x\\y\nPLAIN=z # gone\n",
               false, false, false);
    EXPECT_EQ("true", Value(shell, "START"));
    EXPECT_EQ(2u, shell.LineOf("START"));
    EXPECT_EQ("a # b", Value(shell, "NAME"));
    EXPECT_EQ("z", Value(shell, "PLAIN"));
    EXPECT_EQ(0u, shell.LineOf("absent"));
}

}  // namespace
