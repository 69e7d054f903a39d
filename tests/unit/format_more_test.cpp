// Bounded formatting when the C library's formatter reports an error: the
// result is failure and the buffer holds a terminated text, never garbage.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>

#include "lib/cli/shared/clibase.h"

namespace {

const wchar_t kUnencodable[] = {static_cast<wchar_t>(0x20AC), 0}; // not in the C locale

TEST(SprintStrMore, FormatterErrorFailsAndLeavesTheEmptyText) {
    char buffer[16];
    memset(buffer, 'G', sizeof buffer);
    EXPECT_FALSE(CliSprintStr(buffer, sizeof buffer, "%ls", kUnencodable));
    EXPECT_STREQ(buffer, "");
}

TEST(SprintStrMore, FormatterErrorInAnAppendKeepsTheExistingText) {
    char buffer[16];
    memset(buffer, 'G', sizeof buffer);
    strcpy(buffer, "abc");
    EXPECT_FALSE(CliSprintStrCat(buffer, sizeof buffer, "x%ls", kUnencodable));
    EXPECT_STREQ(buffer, "abc");
}

} // namespace
