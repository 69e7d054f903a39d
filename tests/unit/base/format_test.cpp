// Bounded printf, decimal numbers with grouping and byte counts.
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/cli/shared/clibase.h"
#include "tests/support/guarded_buffer.h"

namespace {

constexpr char kSentinel = '\xA5';

// Runs a writer on a sentinel-filled buffer of the given size followed by a
// guard area, checks that nothing past the size changed, and returns the
// writer's result and the terminated text (empty for size 0).
struct Outcome {
    bool ok;
    std::string text;
};

Outcome RunBounded(uint32_t size, const std::function<bool(char *, uint32_t)> &writer) {
    testsupport::GuardedBuffer memory(size);
    bool ok = writer(memory.Data(), size);
    EXPECT_TRUE(memory.Intact()) << "written past size " << size;
    if (size == 0) {
        return {ok, ""};
    }
    std::string text;
    EXPECT_TRUE(memory.Text(&text)) << "no terminator within size " << size;
    return {ok, text};
}

// Sizes 0, 1, one short and exact fit of a writer whose full text is known.
void ExpectBoundedLikeSnprintf(const std::string &full,
                               const std::function<bool(char *, uint32_t)> &writer) {
    uint32_t exact = static_cast<uint32_t>(full.size() + 1);
    for (uint32_t size : {0u, 1u, exact - 1, exact, exact + 5}) {
        SCOPED_TRACE("size " + std::to_string(size));
        Outcome result = RunBounded(size, writer);
        EXPECT_EQ(result.ok, size >= exact);
        if (size != 0) {
            EXPECT_EQ(result.text, full.substr(0, size - 1));
        }
    }
}

bool CatV(char *buffer, uint32_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = CliSprintStrCatV(buffer, size, format, args);
    va_end(args);
    return ok;
}

bool PrintV(char *buffer, uint32_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = CliSprintStrV(buffer, size, format, args);
    va_end(args);
    return ok;
}

TEST(SprintStr, FitsOnlyWithTerminator) {
    char buffer[8];
    EXPECT_TRUE(CliSprintStr(buffer, 5, "%s", "abcd"));
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_FALSE(CliSprintStr(buffer, 4, "%s", "abcd"));
    EXPECT_STREQ(buffer, "abc");

    ExpectBoundedLikeSnprintf(
        "x=42 name", [](char *b, uint32_t s) { return CliSprintStr(b, s, "x=%d %s", 42, "name"); });
    ExpectBoundedLikeSnprintf(
        "x=42 name", [](char *b, uint32_t s) { return PrintV(b, s, "x=%d %s", 42, "name"); });
    ExpectBoundedLikeSnprintf("", [](char *b, uint32_t s) { return CliSprintStr(b, s, "%s", ""); });
}

TEST(SprintStrCat, AppendsIntoFreeSpace) {
    char buffer[10] = "abc";
    EXPECT_TRUE(CliSprintStrCat(buffer, sizeof buffer, "%d", 123456));
    EXPECT_STREQ(buffer, "abc123456");
    strcpy(buffer, "abc");
    EXPECT_FALSE(CliSprintStrCat(buffer, sizeof buffer, "%d", 1234567));
    EXPECT_STREQ(buffer, "abc123456");

    // The existing text counts against the size; both forms behave alike.
    for (auto cat : {+[](char *b, uint32_t s) { return CliSprintStrCat(b, s, "%s-%u", "ab", 7u); },
                     +[](char *b, uint32_t s) { return CatV(b, s, "%s-%u", "ab", 7u); }}) {
        for (uint32_t size = 1; size <= 12; ++size) {
            testsupport::GuardedBuffer memory(size);
            memcpy(memory.Data(), "xy", std::min<uint32_t>(size, 3));
            memory.Data()[std::min<uint32_t>(size, 3) - 1] = '\0';
            std::string before(memory.Data());
            bool ok = cat(memory.Data(), size);
            std::string full = before + "ab-7";
            EXPECT_EQ(ok, full.size() + 1 <= size) << size;
            EXPECT_EQ(std::string(memory.Data()), full.substr(0, size - 1)) << size;
            ASSERT_TRUE(memory.Intact()) << "size " << size;
        }
    }
}

TEST(SprintStrCat, RefusesBufferWithoutTerminator) {
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(CliSprintStrCat(buffer, sizeof buffer, "%s", "x"));
    EXPECT_EQ(memcmp(buffer, "abcd", 4), 0);
    EXPECT_FALSE(CliSprintStrCat(buffer, 0, "%s", ""));
}

TEST(SprintDecimal, DigitsAndGrouping) {
    struct Case {
        uint64_t value;
        bool grouping;
        const char *text;
    };
    const Case cases[] = {
        {0, false, "0"},
        {0, true, "0"},
        {7, true, "7"},
        {999, true, "999"},
        {1000, true, "1,000"},
        {1000, false, "1000"},
        {100000, true, "100,000"},
        {1234567, true, "1,234,567"},
        {18446744073709551615ull, false, "18446744073709551615"},
        {18446744073709551615ull, true, "18,446,744,073,709,551,615"},
    };
    for (const Case &c : cases) {
        char buffer[32];
        memset(buffer, kSentinel, sizeof buffer);
        char *end = CliSprintDecimal(buffer, sizeof buffer, c.value, c.grouping);
        EXPECT_STREQ(buffer, c.text);
        EXPECT_EQ(end, buffer + strlen(c.text));
    }
    char largest[27];
    ASSERT_NE(CliSprintDecimal(largest, sizeof largest, UINT64_MAX, true), nullptr);
    EXPECT_EQ(strlen(largest), 26u);
}

TEST(SprintDecimal, AgreesWithIndependentGroupingAndStaysInBounds) {
    std::mt19937_64 rng(99);
    for (int round = 0; round < 300; ++round) {
        uint64_t value = rng() >> (rng() % 64);
        bool grouping = (round & 1) != 0;
        std::string plain = std::to_string(value);
        std::string expect;
        for (size_t i = 0; i < plain.size(); ++i) {
            if (grouping && i != 0 && (plain.size() - i) % 3 == 0) {
                expect += ',';
            }
            expect += plain[i];
        }
        uint32_t exact = static_cast<uint32_t>(expect.size() + 1);
        for (uint32_t size : {0u, 1u, exact - 1, exact}) {
            char *end = nullptr;
            Outcome result = RunBounded(size, [&](char *b, uint32_t s) {
                end = CliSprintDecimal(b, s, value, grouping);
                return end != nullptr;
            });
            if (size == exact) {
                ASSERT_TRUE(result.ok);
                ASSERT_EQ(result.text, expect);
            } else {
                ASSERT_FALSE(result.ok) << value << " size " << size;
                ASSERT_EQ(result.text, "");
            }
        }
    }
}

TEST(SprintCapacity, UnitsAndRounding) {
    struct Case {
        uint64_t bytes;
        const char *text;
    };
    const Case cases[] = {
        {0, "0  B"},
        {512, "512  B"},
        {1023, "1023  B"},
        {1024, "1 KB"},
        {1500, "1.46 KB"},
        {1536, "1.50 KB"},
        {10240, "10 KB"},
        {1048575, "1024 KB"},
        {1048576, "1 MB"},
        {1234567, "1.18 MB"},
        {11010048, "10.50 MB"},
        {5368709120ull, "5 GB"},
        {107374182400ull, "100 GB"},
        {1099511627776ull, "1 TB"},
        {3848290697216ull, "3.50 TB"},
        // Counts whose byte count times 1000 exceeds 64 bits.
        {18446744073709551ull, "16777.22 TB"},
        {UINT64_MAX, "16777216 TB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes));
        char buffer[32];
        EXPECT_TRUE(CliSprintCapacity(buffer, sizeof buffer, c.bytes));
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(SprintCapacity, BoundedWithoutPointOnFailure) {
    // On truncation the raw formatting is left: digits, two blanks, unit.
    for (uint32_t size = 0; size <= 9; ++size) {
        SCOPED_TRACE("size " + std::to_string(size));
        Outcome result =
            RunBounded(size, [](char *b, uint32_t s) { return CliSprintCapacity(b, s, 1536); });
        EXPECT_EQ(result.ok, size >= 8);
        if (size >= 8) {
            EXPECT_EQ(result.text, "1.50 KB");
        } else if (size != 0) {
            EXPECT_EQ(result.text, std::string("150  KB").substr(0, size - 1));
        }
    }
    ExpectBoundedLikeSnprintf("512  B",
                              [](char *b, uint32_t s) { return CliSprintCapacity(b, s, 512); });
    ExpectBoundedLikeSnprintf(
        "5 GB", [](char *b, uint32_t s) { return CliSprintCapacity(b, s, 5368709120ull); });
}

// Bounded formatting when the C library's formatter reports an error: the
// result is failure and the buffer holds a terminated text, never garbage.
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
