// Character classes, bounded strings, search and heap blocks.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "lib/cli/shared/clibase.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/sys_faults.h"

namespace {

using testsupport::GuardedBuffer;
using testsupport::Sys;
using testsupport::SysFaults;

constexpr char kSentinel = '\x5A';

TEST(CharClasses, AgreeWithTheirDefinitionOnEveryByte) {
    for (int b = 0; b < 256; ++b) {
        char ch = static_cast<char>(b);
        SCOPED_TRACE(b);
        EXPECT_EQ(CliChIsLower(ch), b >= 'a' && b <= 'z');
        EXPECT_EQ(CliChIsUpper(ch), b >= 'A' && b <= 'Z');
        EXPECT_EQ(CliChIsDigit(ch), b >= '0' && b <= '9');
        EXPECT_EQ(CliChIsHexDigit(ch),
                  (b >= '0' && b <= '9') || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F'));
        EXPECT_EQ(CliChIsAlpha(ch), (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z'));
        EXPECT_EQ(CliChIsWhite(ch), b == 9 || b == 10 || b == 13 || b == 32);
        EXPECT_EQ(CliChIsPrint(ch), b >= 0x20 && b <= 0x7E);
        bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
        EXPECT_EQ(CliChToUpper(ch), letter ? static_cast<char>(b & ~0x20) : ch);
        EXPECT_EQ(CliChToLower(ch), letter ? static_cast<char>(b | 0x20) : ch);
    }
    EXPECT_TRUE(CliChIsMember('b', "abc"));
    EXPECT_FALSE(CliChIsMember('d', "abc"));
    EXPECT_FALSE(CliChIsMember('\0', "abc"));
}

TEST(StrLenSize, NullAndEmpty) {
    EXPECT_EQ(CliStrLen(nullptr), 0u);
    EXPECT_EQ(CliStrSize(nullptr), 0u);
    EXPECT_EQ(CliStrSize(""), 1u);
    EXPECT_EQ(CliStrLen("abc"), 3u);
}

TEST(StrCpy, SizesZeroOneExactAndOneShort) {
    struct Case {
        uint32_t size;
        const char *src;
        bool ok;
    };
    const Case cases[] = {
        {0, "", false},       {1, "", true},       {1, "a", false}, {6, "hello", true},
        {6, "hello!", false}, {5, "hello", false}, {6, "hi", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.src) + " size " + std::to_string(c.size));
        GuardedBuffer buf(c.size, kSentinel);
        EXPECT_EQ(CliStrCpy(buf.Data(), c.size, c.src), c.ok);
        EXPECT_TRUE(buf.Intact());
        if (c.ok) {
            EXPECT_STREQ(buf.Data(), c.src);
            // The rest of the destination is NUL-filled.
            for (uint32_t i = static_cast<uint32_t>(strlen(c.src)); i < c.size; ++i) {
                EXPECT_EQ(buf[i], '\0');
            }
        } else {
            EXPECT_TRUE(buf.Untouched());
        }
    }
}

TEST(StrCpy, NullSourceStoresEmptyWithoutReadingIt) {
    GuardedBuffer buf(4, kSentinel);
    EXPECT_TRUE(CliStrCpy(buf.Data(), 4, nullptr));
    EXPECT_STREQ(buf.Data(), "");
    EXPECT_TRUE(buf.Intact());
}

TEST(StrCat, AllOrNothing) {
    struct Case {
        const char *start, *add;
        uint32_t size;
        bool ok;
    };
    const Case cases[] = {
        {"abcd", "efghi", 10, true}, {"abcd", "efghij", 10, false}, {"", "", 1, true},
        {"abc", "", 4, true},        {"abc", "d", 4, false},        {"abc", nullptr, 4, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.start) + "+" + (c.add ? c.add : "(null)"));
        GuardedBuffer buf(c.size, kSentinel);
        memcpy(buf.Data(), c.start, strlen(c.start) + 1);
        std::string before(buf.Data());
        EXPECT_EQ(CliStrCat(buf.Data(), c.size, c.add), c.ok);
        EXPECT_TRUE(buf.Intact());
        EXPECT_EQ(std::string(buf.Data()), c.ok && c.add ? before + c.add : before);
    }
}

TEST(ChCat, AppendsOneCharacterWhenItFits) {
    GuardedBuffer buf(3, kSentinel);
    strcpy(buf.Data(), "a");
    EXPECT_TRUE(CliChCat(buf.Data(), 3, '\0'));
    EXPECT_STREQ(buf.Data(), "a");
    EXPECT_TRUE(CliChCat(buf.Data(), 3, 'b'));
    EXPECT_STREQ(buf.Data(), "ab");
    EXPECT_FALSE(CliChCat(buf.Data(), 3, 'c'));
    EXPECT_STREQ(buf.Data(), "ab");
    EXPECT_TRUE(CliChCat(buf.Data(), 3, '\0'));
    EXPECT_TRUE(buf.Intact());
}

TEST(StrCpyAndTrim, FixedWidthFields) {
    struct Case {
        std::string field;
        uint32_t size;
        bool ok;
        const char *want;
    };
    const Case cases[] = {
        {std::string("  ab c\0\0", 8), 16, true, "ab c"},
        {"        ", 16, true, ""},
        {"abcd", 4, false, ""},
        {"abcd", 5, true, "abcd"},
        {std::string("\0ab", 3), 8, true, ""},
        {"\t\r\n x y \t", 8, true, "x y"},
        {std::string("ab\0 \0", 5), 3, true, "ab"},
    };
    for (const Case &c : cases) {
        GuardedBuffer buf(c.size, kSentinel);
        EXPECT_EQ(CliStrCpyAndTrim(buf.Data(), c.size, c.field.data(),
                                   static_cast<uint32_t>(c.field.size())),
                  c.ok);
        EXPECT_STREQ(buf.Data(), c.want);
        EXPECT_TRUE(buf.Intact());
    }
}

TEST(StrCpyAndTrim, RefusesNullsAndZeroSizeWithoutWriting) {
    GuardedBuffer buf(4, kSentinel);
    EXPECT_FALSE(CliStrCpyAndTrim(buf.Data(), 0, "ab", 2));
    EXPECT_FALSE(CliStrCpyAndTrim(buf.Data(), 4, nullptr, 2));
    EXPECT_FALSE(CliStrCpyAndTrim(nullptr, 4, "ab", 2));
    EXPECT_TRUE(buf.Untouched());
}

TEST(StrCpyAndTrim, TrimsABufferIntoItself) {
    char text[] = "   moved left  ";
    EXPECT_TRUE(CliStrCpyAndTrim(text, sizeof text, text, sizeof text - 1));
    EXPECT_STREQ(text, "moved left");
}

TEST(StrCpyAndEsc, EveryEscapeAndEveryRefusal) {
    char out[32];
    EXPECT_TRUE(CliStrCpyAndEsc(out, sizeof out, "a\\tb"));
    EXPECT_STREQ(out, "a\tb");
    EXPECT_TRUE(CliStrCpyAndEsc(out, sizeof out, "\\a\\b\\f\\n\\r\\t\\v\\\"\\'\\?\\\\"));
    EXPECT_STREQ(out, "\a\b\f\n\r\t\v\"'?\\");
    for (const char *bad : {"ends\\", "\\x41", "\\0", "\\1", "a\\q"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(CliStrCpyAndEsc(out, sizeof out, bad));
    }
    EXPECT_FALSE(CliStrCpyAndEsc(out, 0, "a"));
    EXPECT_FALSE(CliStrCpyAndEsc(nullptr, 4, "a"));
    EXPECT_FALSE(CliStrCpyAndEsc(out, 4, nullptr));
}

TEST(StrCpyAndEsc, NeverWritesPastTheSize) {
    for (uint32_t size = 0; size <= 5; ++size) {
        GuardedBuffer buf(size, kSentinel);
        bool ok = CliStrCpyAndEsc(buf.Data(), size, "ab\\nc"); // needs 5 bytes
        EXPECT_EQ(ok, size >= 5) << size;
        EXPECT_TRUE(buf.Intact()) << size;
    }
}

TEST(StrEscape, OneLineOfPrintableAsciiNeverHalfAnEscape) {
    // A driver's name that tries to forge notification assignments.
    const char kForged[] = "x\nWATCHDOG=trigger\r\tMAINPID=1\x1b[2J\xff\\";
    const std::string kForgedOut = "x\\nWATCHDOG=trigger\\r\\tMAINPID=1\\x1b[2J\\xff\\\\";
    struct Case {
        const char *src;
        uint32_t size;
        bool ok;
        std::string want;
    };
    const Case cases[] = {
        {"abc", 0, false, ""},
        {"", 1, true, ""},
        {nullptr, 1, true, ""},
        {"a", 1, false, ""},
        {"abc", 4, true, "abc"},                       // exact fit
        {"abc", 3, false, "ab"},                       // one short
        {"\x7f\x80\x01", 13, true, "\\x7f\\x80\\x01"}, // exact fit
        {"a\x7f", 5, false, "a"},                      // one short: the escape left off whole
        {"a\n", 3, false, "a"},
        {"a\n", 4, true, "a\\n"},
        {kForged, static_cast<uint32_t>(kForgedOut.size() + 1), true, kForgedOut},
        {kForged, static_cast<uint32_t>(kForgedOut.size()), false,
         kForgedOut.substr(0, kForgedOut.size() - 2)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want + " size " + std::to_string(c.size));
        GuardedBuffer buf(c.size, kSentinel);
        EXPECT_EQ(CliStrEscape(buf.Data(), c.size, c.src), c.ok);
        EXPECT_TRUE(buf.Intact());
        if (c.size > 0) {
            EXPECT_EQ(std::string(buf.Data()), c.want);
        }
    }
}

TEST(StrEscape, EveryByteComesOutPrintableAndReadsBack) {
    for (int b = 1; b < 256; ++b) {
        SCOPED_TRACE(b);
        const char src[] = {static_cast<char>(b), '\0'};
        char out[8];
        ASSERT_TRUE(CliStrEscape(out, sizeof out, src));
        for (const char *p = out; *p != '\0'; ++p) {
            EXPECT_TRUE(CliChIsPrint(*p));
        }
        bool plain = b >= 0x20 && b < 0x7f && b != '\\';
        EXPECT_EQ(strlen(out), plain                                              ? 1u
                               : b == '\\' || b == '\n' || b == '\r' || b == '\t' ? 2u
                                                                                  : 4u);
        // What the runtime's own unescaping reads back, where it knows the escape.
        if (!plain && strlen(out) == 2) {
            char back[4];
            ASSERT_TRUE(CliStrCpyAndEsc(back, sizeof back, out));
            EXPECT_EQ(std::string(back), std::string(src));
        }
    }
}

TEST(StrTrim, InPlace) {
    char text[] = "\t a b \r\n";
    char *end = CliStrTrim(text);
    EXPECT_STREQ(text, "a b");
    EXPECT_EQ(end, text + 3);
    char blank[] = "   ";
    EXPECT_EQ(CliStrTrim(blank), blank);
    EXPECT_STREQ(blank, "");
    char vt[] = "\va\f"; // vertical tab and form feed are not white space
    CliStrTrim(vt);
    EXPECT_STREQ(vt, "\va\f");
}

TEST(StrRmvChar, RemovesEveryOccurrenceAndRuns) {
    char text[] = "a,,b,c,";
    CliStrRmvChar(text, ',');
    EXPECT_STREQ(text, "abc");
}

TEST(StrSearch, ForwardAndReverseBothCases) {
    const char *hello = "Hello World";
    EXPECT_EQ(CliStrSearchCi(hello, "WORLD"), hello + 6);
    EXPECT_EQ(CliStrSearchCs(hello, "WORLD"), nullptr);
    const char *abc = "abcabc";
    EXPECT_EQ(CliStrSearchReverseCs(abc, "bc"), abc + 4);
    EXPECT_EQ(CliStrSearchCs(abc, "bc"), abc + 1);
    EXPECT_EQ(CliStrSearchReverseCi(abc, "BC"), abc + 4);
    EXPECT_EQ(CliStrSearchReverseCs(abc, ""), abc + 6);
    EXPECT_EQ(CliStrSearchReverseCs(abc, nullptr), abc + 6);
    EXPECT_EQ(CliStrSearchCs(abc, ""), abc);
    EXPECT_EQ(CliStrSearchCs("", ""), nullptr);
    const char *empty = "";
    EXPECT_EQ(CliStrSearchReverseCs(empty, ""), empty);
    EXPECT_EQ(CliStrSearchCs("ab", "abc"), nullptr); // never runs past the end
    EXPECT_EQ(CliStrSearchReverseCs("ab", "abc"), nullptr);
}

TEST(Memory, AllocIsZeroFilledAndRefusesZero) {
    EXPECT_EQ(CliMemAlloc(0), nullptr);
    auto *block = static_cast<unsigned char *>(CliMemAlloc(100));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(block[i], 0);
    }
    CliMemFree(block);
    CliMemFree(nullptr);
    CliStrFree(nullptr);
}

TEST(Memory, DupCopiesAndRefusesNull) {
    EXPECT_EQ(CliStrDup(nullptr), nullptr);
    char *copy = CliStrDup("text");
    EXPECT_STREQ(copy, "text");
    CliStrFree(copy);
}

TEST(Memory, GrowKeepsContentsAndRefusesShrinking) {
    void *block = CliMemAlloc(4);
    memcpy(block, "abcd", 4);
    void *before = block;
    EXPECT_EQ(CliMemGrow(&block, 4, 2), 0u);
    EXPECT_EQ(block, before);
    EXPECT_EQ(CliMemGrow(&block, 4, 0), 0u);
    EXPECT_EQ(CliMemGrow(nullptr, 4, 8), 0u);
    EXPECT_EQ(CliMemGrow(&block, 4, 4), 4u);
    EXPECT_EQ(memcmp(block, "abcd", 4), 0);
    EXPECT_EQ(CliMemGrow(&block, 4, 8), 8u);
    EXPECT_EQ(memcmp(block, "abcd\0\0\0\0", 8), 0);
    CliMemFree(block);
    void *fresh = nullptr;
    EXPECT_EQ(CliMemGrow(&fresh, 0, 3), 3u);
    EXPECT_NE(fresh, nullptr);
    CliMemFree(fresh);
}

TEST(Memory, GrowKeepsTheOldBlockWhenAllocationFails) {
    void *block = CliMemAlloc(4);
    void *before = block;
    {
        SysFaults faults;
        faults.FailFrom(Sys::calloc, 1, ENOMEM);
        EXPECT_EQ(CliMemGrow(&block, 4, 8), 0u);
        EXPECT_EQ(block, before);
    }
    CliMemFree(block);
}

TEST(StrAlloc, SizesItselfWithOneRetry) {
    SysFaults faults;
    std::string hundred(100, 'x');
    char *text = CliStrAlloc("%s", hundred.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), hundred);
    EXPECT_EQ(faults.Calls(Sys::calloc), 2u); // 32 bytes first, then exactly 101
    CliStrFree(text);
    EXPECT_EQ(CliStrAlloc(nullptr), nullptr);
    faults.FailFrom(Sys::calloc, 1, ENOMEM);
    EXPECT_EQ(CliStrAlloc("%d", 1), nullptr);
}

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
