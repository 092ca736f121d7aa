#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/thread.h"

namespace {

std::string Text(bool programPath, bool fullLine, bool absolute) {
    char buffer[8192];
    EXPECT_TRUE(Thread::GetCommandLine(buffer, sizeof buffer, programPath, fullLine, absolute));
    return buffer;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

TEST(ThreadCommandLineTest, GivesProgramPathArgumentsOrBoth) {
    const std::vector<std::string> argv = testing::internal::GetArgvs();
    std::string arguments;
    for (size_t i = 1; i < argv.size(); ++i) arguments += (i > 1 ? " " : "") + argv[i];

    EXPECT_EQ(argv[0], Text(true, false, false));
    EXPECT_EQ(arguments, Text(false, false, false));
    EXPECT_EQ(arguments, Text(false, false, true));
    EXPECT_EQ(argv[0] + (arguments.empty() ? "" : " " + arguments), Text(true, true, false));

    const std::string absolute = Text(true, false, true);
    EXPECT_EQ('/', absolute[0]);
    EXPECT_TRUE(SameFile(argv[0], absolute)) << absolute;
    EXPECT_EQ(absolute + (arguments.empty() ? "" : " " + arguments), Text(false, true, true));
}

TEST(ThreadCommandLineTest, CutsToTheBufferAndRefusesNone) {
    const std::string path = Text(true, false, false);
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(Thread::GetCommandLine(buffer, sizeof buffer, true, false, false));
    EXPECT_EQ(path.substr(0, 3), buffer);
    EXPECT_TRUE(Thread::GetCommandLine(buffer, 1, true, false, false));
    EXPECT_STREQ("", buffer);
    buffer[0] = 'x';
    EXPECT_FALSE(Thread::GetCommandLine(buffer, 0, true, false, false));
    EXPECT_EQ('x', buffer[0]);
    EXPECT_FALSE(Thread::GetCommandLine(nullptr, 16, true, false, false));
}

}  // namespace
