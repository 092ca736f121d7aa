#include <gtest/gtest.h>

#include <string>

#include "platform/util/thread.h"

namespace {

std::string Text(bool programPath, bool fullLine, bool absolute) {
    char buffer[8192];
    EXPECT_TRUE(Thread::GetCommandLine(buffer, sizeof buffer, programPath, fullLine, absolute));
    return buffer;
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
