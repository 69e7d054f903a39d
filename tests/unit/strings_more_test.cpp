// Formatted allocation when the C library's formatter keeps failing.
#include <gtest/gtest.h>

#include <cwchar>
#include <vector>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/clibase.h"

namespace {

std::vector<size_t> gSizes;

void *RecordingCalloc(size_t n, size_t size) {
    gSizes.push_back(n * size);
    return gOsSysReal.calloc(n, size);
}

// A wide character that the C locale cannot encode makes every formatting
// attempt fail. The allocation must give up with null (freeing every
// buffer, which the leak checker sees) instead of growing for ever, and
// each retry takes a buffer 32 bytes larger than the one before.
TEST(StrAllocMore, PersistentFormatErrorGivesUpWithNull) {
    OsSysOverride restore;
    gSizes.clear();
    gOsSys.calloc = RecordingCalloc;
    const wchar_t unencodable[] = {static_cast<wchar_t>(0x20AC), 0};
    EXPECT_EQ(CliStrAlloc("%ls", unencodable), nullptr);
    ASSERT_GE(gSizes.size(), 2u);
    for (size_t i = 0; i < gSizes.size(); ++i) {
        EXPECT_EQ(gSizes[i], 32 + 32 * i) << "attempt " << i;
    }
}

} // namespace
