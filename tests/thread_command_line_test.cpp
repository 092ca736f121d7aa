#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/util/thread.h"

namespace {

std::string Text(bool programPath, bool fullLine, bool absolute) {
    char buffer[8192];
    EXPECT_TRUE(Thread::GetCommandLine(buffer, sizeof buffer, programPath, fullLine, absolute));
    return buffer;
}

TEST(ThreadCommandLineTest, GivesProgramPathArgumentsOrBoth) {
    const std::vector<std::string> argv = testing::internal::GetArgvs();
    std::string arguments;
    for (size_t i = 1; i < argv.size(); ++i) arguments += (i > 1 ? " " : "") + argv[i];
    const std::string withArguments = arguments.empty() ? "" : " " + arguments;

    EXPECT_EQ(argv[0], Text(true, false, false));
    EXPECT_EQ(arguments, Text(false, false, false));
    EXPECT_EQ(arguments, Text(false, false, true));
    EXPECT_EQ(argv[0] + withArguments, Text(true, true, false));
    const std::string absolute = Text(true, false, true);
    struct stat given, real;
    ASSERT_EQ(0, stat(argv[0].c_str(), &given));
    ASSERT_EQ(0, stat(absolute.c_str(), &real));
    EXPECT_TRUE(absolute[0] == '/' && given.st_ino == real.st_ino) << absolute;
    EXPECT_EQ(absolute + withArguments, Text(false, true, true));
}

TEST(ThreadCommandLineTest, CutsToTheBufferAndRefusesNone) {
    char buffer[4] = "xxx";
    EXPECT_TRUE(Thread::GetCommandLine(buffer, sizeof buffer, true, false, false));
    EXPECT_EQ(Text(true, false, false).substr(0, 3), buffer);
    EXPECT_TRUE(Thread::GetCommandLine(buffer, 1, true, false, false));
    EXPECT_STREQ("", buffer);
    EXPECT_FALSE(Thread::GetCommandLine(buffer, 0, true, false, false));
    EXPECT_FALSE(Thread::GetCommandLine(nullptr, 16, true, false, false));
}

}  // namespace
