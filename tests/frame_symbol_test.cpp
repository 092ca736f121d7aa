#include "guard/frame_symbol.h"

#include <execinfo.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "guard/crash_guard.h"

namespace {

int NotExported(int x) {
    return x * 3 + 1;
}

TEST(FrameSymbolTest, MatchesTheCLibrarysTexts) {
    void* addresses[48];
    int count = backtrace(addresses, 40);
    int local = 0;
    void* heap = malloc(16);
    // An exported function, one the dynamic symbol table lacks, and addresses in no loaded file.
    for (void* extra : {reinterpret_cast<void*>(&CrashGuard::IsDebuggerOn),
                        reinterpret_cast<void*>(&NotExported), static_cast<void*>(&local), heap})
        addresses[count++] = extra;
    char** expected = backtrace_symbols(addresses, count);
    ASSERT_NE(nullptr, expected);
    for (int i = 0; i < count; ++i) {
        char text[1024];
        FormatFrameSymbol(addresses[i], text, sizeof text);
        EXPECT_STREQ(expected[i], text);
    }
    char cut[8];
    FormatFrameSymbol(addresses[0], cut, sizeof cut);
    EXPECT_EQ(std::string(expected[0]).substr(0, 7), cut);
    free(expected);
    free(heap);
}

}  // namespace
