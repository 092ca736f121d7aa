#include "platform/config/config_file.h"

#include <gtest/gtest.h>

#include <string>

using Configuration::ConfigFile;

namespace {

std::string Value(const ConfigFile& file, const char* key) {
    char buffer[64];
    return file.GetEntry(key, buffer, sizeof buffer) ? buffer : "<absent>";
}

// A settings file as the recorder reads them: escapes taken or not, quotes and duplicates as a
// shell would take them.
ConfigFile Parsed(const std::string& text, bool unescape) {
    ConfigFile file(nullptr, unescape, false, false, "=", "#", nullptr);
    file.Parse(text.data(), text.size(), "text");
    return file;
}

TEST(ConfigFileTest, ReadsSettingsSkippingCommentsBlanksAndForeignLines) {
    const std::string text =
        "# switches\n\n  START_AUTO_DOWNLOAD_STAT =  true  \r\nexport PATH\n"
        "   # indented=comment\nexpr=a=b\ndup=first\ndup=second\nempty=\nlast=no newline";
    for (bool unescape : {false, true}) {
        const ConfigFile file = Parsed(text, unescape);
        EXPECT_EQ("true", Value(file, "START_AUTO_DOWNLOAD_STAT"));
        EXPECT_EQ("a=b", Value(file, "expr"));
        EXPECT_EQ("", Value(file, "empty"));
        EXPECT_EQ("no newline", Value(file, "last"));
        EXPECT_EQ("<absent>", Value(file, "export PATH"));
        EXPECT_EQ("<absent>", Value(file, "# indented"));
        EXPECT_EQ(unescape ? "first" : "second", Value(file, "dup"));  // shell-style: the last
    }
    char buffer[4];
    EXPECT_EQ(1, Parsed(text, false).GetEntry("last", buffer, sizeof buffer));
    EXPECT_STREQ("no ", buffer);
}

TEST(ConfigFileTest, HandEditedFilesReadAsTheirAuthorsMeantThem) {
    const std::string text =
        "share=\\\\server\\data\\\r\n"     // unknown escapes and a final backslash kept
        "count=1000   # records kept\r\n"  // a comment after blanks
        "hash=a#b\n"                       // a mark inside a value is no comment
        "bad_hex=\\x0G\\x00\n"
        "count=2000\n";
    const ConfigFile cooked = Parsed(text, true);
    EXPECT_EQ("\\server\\data\\", Value(cooked, "share"));
    EXPECT_EQ("1000", Value(cooked, "count"));
    EXPECT_EQ(2u, cooked.LineOf("count"));
    EXPECT_EQ("a#b", Value(cooked, "hash"));
    EXPECT_EQ("\\x0G\\x00", Value(cooked, "bad_hex"));

    // Shell-style: quotes removed, a mark inside them kept, the last assignment counts.
    const ConfigFile shell = Parsed(
        "START=\"true\" # on\nSTART='true'\nNAME=\"a # b\"\nTAB=a\\tb\nPLAIN=x\\y\n"
        "PLAIN=z # gone\n",
        false);
    EXPECT_EQ("true", Value(shell, "START"));
    EXPECT_EQ(2u, shell.LineOf("START"));
    EXPECT_EQ("a # b", Value(shell, "NAME"));
    EXPECT_EQ("a\\tb", Value(shell, "TAB"));  // escapes kept as written
    EXPECT_EQ("z", Value(shell, "PLAIN"));
    EXPECT_EQ(0u, shell.LineOf("absent"));
}

}  // namespace
