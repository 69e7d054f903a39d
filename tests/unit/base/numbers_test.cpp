// Whole-text tests, scanners, number conversions and data lists.
#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "lib/cli/shared/clibase.h"

namespace {

// ---------------------------------------------------------------------------
// Whole-text tests and scanners
// ---------------------------------------------------------------------------

TEST(CharClassTest, WholeTextTests) {
    using Test = bool (*)(const char *, bool);
    struct Case {
        const char *name;
        Test test;
        const char *text;
        bool strict;    // white space not allowed
        bool withWhite; // white space allowed
    };
    const Case cases[] = {
        {"hex", CliStrIsHex, "", true, true},
        {"hex", CliStrIsHex, "09afAF", true, true},
        {"hex", CliStrIsHex, "0x1F", false, false},
        {"hex", CliStrIsHex, "1g", false, false},
        {"hex", CliStrIsHex, " a\tb\r\nc ", false, true},
        {"hex", CliStrIsHex, "ab\vcd", false, false},
        {"numeric", CliStrIsNumeric, "", true, true},
        {"numeric", CliStrIsNumeric, "0123456789", true, true},
        {"numeric", CliStrIsNumeric, "12 34", false, true},
        {"numeric", CliStrIsNumeric, "-12", false, false},
        {"numeric", CliStrIsNumeric, "1.5", false, false},
        {"numeric", CliStrIsNumeric, "12a", false, false},
        {"alpha", CliStrIsAlpha, "", true, true},
        {"alpha", CliStrIsAlpha, "azAZ", true, true},
        {"alpha", CliStrIsAlpha, "ab1", false, false},
        {"alpha", CliStrIsAlpha, "ab cd", false, true},
        {"alpha", CliStrIsAlpha, "\xe9t\xe9", false, false},
        {"alnum", CliStrIsAlphanumeric, "", true, true},
        {"alnum", CliStrIsAlphanumeric, "a0Z9", true, true},
        {"alnum", CliStrIsAlphanumeric, "a_0", false, false},
        {"alnum", CliStrIsAlphanumeric, "a0\tZ9\n", false, true},
        {"alnum", CliStrIsAlphanumeric, "+1", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " '" + c.text + "'");
        EXPECT_EQ(c.test(c.text, false), c.strict);
        EXPECT_EQ(c.test(c.text, true), c.withWhite);
    }
}

TEST(CharClassTest, ScannersStopAtTheRightByte) {
    const char text[] = " \t\r\n x y";
    EXPECT_EQ(CliStrSkipWhite(text), text + 5);
    EXPECT_EQ(CliStrSkipWhite(text + 5), text + 5);
    const char vt[] = "\v a";
    EXPECT_EQ(CliStrSkipWhite(vt), vt); // vertical tab is not white space here
    const char allWhite[] = "  \t";
    EXPECT_EQ(CliStrSkipWhite(allWhite), allWhite + 3);

    const char word[] = "abc\tdef";
    EXPECT_EQ(CliStrSkipNonWhite(word), word + 3);
    const char noWhite[] = "abc";
    EXPECT_EQ(CliStrSkipNonWhite(noWhite), noWhite + 3);
    EXPECT_EQ(CliStrSkipNonWhite(text), text);

    const char num[] = "12ab";
    EXPECT_EQ(CliStrSkipNum(num, false), num + 2);
    EXPECT_EQ(CliStrSkipNum(num, true), num + 4);
    const char hexStop[] = "09afAFg";
    EXPECT_EQ(CliStrSkipNum(hexStop, true), hexStop + 6);
    EXPECT_EQ(CliStrSkipNum(hexStop, false), hexStop + 2);
    const char empty[] = "";
    EXPECT_EQ(CliStrSkipNum(empty, true), empty);
}

// ---------------------------------------------------------------------------
// Integer conversions: worked examples
// ---------------------------------------------------------------------------

// Runs one conversion with a sentinel in the result, so that a failure can
// be seen to leave it untouched.
template <typename T> std::optional<T> Convert(bool (*fn)(const char *, T *), const char *text) {
    T value = static_cast<T>(0x5A);
    if (fn(text, &value)) {
        return value;
    }
    EXPECT_EQ(value, static_cast<T>(0x5A)) << "result written on failure: '" << text << "'";
    return std::nullopt;
}

TEST(IntegerConversionTest, UnsignedDword) {
    struct Case {
        const char *text;
        std::optional<uint32_t> expected;
    };
    const Case cases[] = {
        {" 0x1F\n", 31},
        {"1F", std::nullopt}, // hex digits need the prefix
        {"1Fh", std::nullopt},
        {"010", 10}, // no octal
        {"+7", 7},
        {"7 8", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {"0XfF", 255},
        {"+0x10", 16},
        {"-1", 4294967295u},
        {"-4294967295", 1},
        {"-4294967296", std::nullopt},
        {"-0", 0},
        {"0x", std::nullopt},
        {"-", std::nullopt},
        {"+", std::nullopt},
        {"- 1", std::nullopt},
        {"0x-1", std::nullopt},
        {"00x10", std::nullopt}, // the prefix only counts at byte 1 or 2
        {"1.0", std::nullopt},
        {"\t\r\n 42 \t\r\n", 42},
        {"\v42", std::nullopt},
        {"42\v", std::nullopt},
        {"99999999999999999999999", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        EXPECT_EQ(Convert(CliStrToDword, c.text), c.expected);
    }
    uint32_t untouched = 3;
    EXPECT_FALSE(CliStrToDword(nullptr, &untouched));
    EXPECT_EQ(untouched, 3u);
    EXPECT_FALSE(CliStrToDword("5", nullptr));
}

TEST(IntegerConversionTest, SignedAndNarrowWidths) {
    EXPECT_EQ(Convert(CliStrToSDword, "-0x10"), -16);
    EXPECT_EQ(Convert(CliStrToSDword, "2147483647"), INT32_MAX);
    EXPECT_EQ(Convert(CliStrToSDword, "2147483648"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToSDword, "-2147483648"), INT32_MIN);
    EXPECT_EQ(Convert(CliStrToSDword, "-2147483649"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToSDword, "0x7FFFFFFF"), INT32_MAX);
    EXPECT_EQ(Convert(CliStrToSDword, "0x80000000"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToSDword, "-010"), -10);

    EXPECT_EQ(Convert(CliStrToSByte, "-128"), -128);
    EXPECT_EQ(Convert(CliStrToSByte, "127"), 127);
    EXPECT_EQ(Convert(CliStrToSByte, "128"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToSByte, "-129"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToSByte, "100"), 100);

    EXPECT_EQ(Convert(CliStrToSWord, "-32768"), -32768);
    EXPECT_EQ(Convert(CliStrToSWord, "32767"), 32767);
    EXPECT_EQ(Convert(CliStrToSWord, "32768"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToSWord, "-0x8001"), std::nullopt);

    EXPECT_EQ(Convert(CliStrToByte, "255"), 255);
    EXPECT_EQ(Convert(CliStrToByte, "256"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToByte, "-1"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToByte, "0xff"), 255);
    EXPECT_EQ(Convert(CliStrToByte, "-0"), 0);

    EXPECT_EQ(Convert(CliStrToWord, "65535"), 65535);
    EXPECT_EQ(Convert(CliStrToWord, "65536"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToWord, "-1"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToWord, " 0x1000 "), 4096);

    EXPECT_EQ(Convert(CliStrToSQword, "9223372036854775807"), INT64_MAX);
    EXPECT_EQ(Convert(CliStrToSQword, "9223372036854775808"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToSQword, "-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(Convert(CliStrToSQword, "-9223372036854775809"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToSQword, "-0x8000000000000000"), INT64_MIN);

    EXPECT_EQ(Convert(CliStrToQword, "18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(Convert(CliStrToQword, "18446744073709551616"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToQword, "0xFFFFFFFFFFFFFFFF"), UINT64_MAX);
    EXPECT_EQ(Convert(CliStrToQword, "-1"), UINT64_MAX);
    EXPECT_EQ(Convert(CliStrToQword, "-18446744073709551615"), 1u);
}

TEST(IntegerConversionTest, ClearsTheLastErrorBeforeConverting) {
    // A stale overflow report from earlier work must not fail a good number
    // that happens to equal the overflow value.
    errno = ERANGE;
    EXPECT_EQ(Convert(CliStrToQword, "18446744073709551615"), UINT64_MAX);
    errno = ERANGE;
    EXPECT_EQ(Convert(CliStrToSQword, "9223372036854775807"), INT64_MAX);
    errno = ERANGE;
    EXPECT_EQ(Convert(CliStrToDouble, "1.5"), 1.5);
}

TEST(DoubleConversionTest, WorkedExamples) {
    EXPECT_EQ(Convert(CliStrToDouble, " 2.5 "), 2.5);
    EXPECT_EQ(Convert(CliStrToDouble, "1e400"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToDouble, "-1e400"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToDouble, "1e-400"), std::nullopt); // underflow
    EXPECT_EQ(Convert(CliStrToDouble, "0x1p4"), 16.0);
    EXPECT_EQ(Convert(CliStrToDouble, "010"), 10.0);
    EXPECT_EQ(Convert(CliStrToDouble, "-.5e1"), -5.0);
    EXPECT_EQ(Convert(CliStrToDouble, "2.5x"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToDouble, "2.5 3"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToDouble, ""), std::nullopt);
    EXPECT_EQ(Convert(CliStrToDouble, " \t"), std::nullopt);
    EXPECT_EQ(Convert(CliStrToDouble, "."), std::nullopt);
    EXPECT_EQ(Convert(CliStrToDouble, "inf"), HUGE_VAL);
    EXPECT_EQ(Convert(CliStrToDouble, "-Infinity"), -HUGE_VAL);
    std::optional<double> nan = Convert(CliStrToDouble, "nan");
    ASSERT_TRUE(nan.has_value());
    EXPECT_TRUE(std::isnan(*nan));
    double untouched = 7.0;
    EXPECT_FALSE(CliStrToDouble(nullptr, &untouched));
    EXPECT_EQ(untouched, 7.0);
}

// ---------------------------------------------------------------------------
// Integer conversions against the C library
// ---------------------------------------------------------------------------

// Random texts built from the pieces a number is made of, plus the
// mistakes people make: stray signs, prefixes in the wrong place, bytes the
// C library counts as space, junk.
std::string RandomNumberText(std::mt19937_64 &rng) {
    auto pick = [&](const char *set) {
        return set[std::uniform_int_distribution<size_t>(0, strlen(set) - 1)(rng)];
    };
    auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(rng) < percent;
    };
    std::string text;
    while (chance(30)) {
        text += pick(" \t\r\n\v");
    }
    if (chance(50)) {
        text += pick("+-+-0 ");
    }
    if (chance(40)) {
        text += chance(50) ? "0x" : "0X";
    }
    const bool hexDigits = chance(50);
    size_t digits = std::uniform_int_distribution<size_t>(0, 24)(rng);
    for (size_t i = 0; i < digits; ++i) {
        text += hexDigits ? pick("0123456789abcdefABCDEF") : pick("0123456789");
    }
    if (chance(8)) {
        size_t at = std::uniform_int_distribution<size_t>(0, text.size())(rng);
        text.insert(at, 1, pick("x-+ .hg\v\f"));
    }
    while (chance(30)) {
        text += pick(" \t\r\n\f");
    }
    return text;
}

// The grammar of number text, written independently of the parser.
const std::regex kNumberText("^[ \\t\\r\\n]*([+-]?(0[xX][0-9a-fA-F]+|[0-9]+))[ \\t\\r\\n]*$");

struct Reference {
    bool accepted = false; // the grammar accepts the text
    std::string number;    // the number proper
    int radix = 10;
};

Reference Classify(const std::string &text) {
    Reference ref;
    std::smatch match;
    if (std::regex_match(text, match, kNumberText)) {
        ref.accepted = true;
        ref.number = match[1];
        ref.radix =
            match[2].str().size() > 1 && (match[2].str()[1] == 'x' || match[2].str()[1] == 'X')
                ? 16
                : 10;
    }
    return ref;
}

TEST(IntegerConversionTest, AgreesWithTheCLibraryOnRandomTexts) {
    std::mt19937_64 rng(20200310);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::string text = RandomNumberText(rng);
        SCOPED_TRACE("text '" + text + "'");
        const Reference ref = Classify(text);
        const bool negative = ref.accepted && ref.number[0] == '-';

        // Signed: strtoll gives the value or reports overflow.
        std::optional<int64_t> s64;
        std::optional<uint64_t> u64;
        if (ref.accepted) {
            errno = 0;
            long long sv = strtoll(ref.number.c_str(), nullptr, ref.radix);
            if (errno != ERANGE) {
                s64 = sv;
            }
            errno = 0;
            unsigned long long uv = strtoull(ref.number.c_str(), nullptr, ref.radix);
            if (errno != ERANGE) {
                u64 = uv;
            }
        }
        auto signedIn = [&](int64_t lo, int64_t hi) -> std::optional<int64_t> {
            if (s64 && *s64 >= lo && *s64 <= hi) {
                return s64;
            }
            return std::nullopt;
        };
        // Unsigned: the magnitude must fit the width; a '-' negates modulo it.
        auto unsignedIn = [&](uint64_t max) -> std::optional<uint64_t> {
            if (!u64) {
                return std::nullopt;
            }
            uint64_t magnitude = negative ? 0 - *u64 : *u64;
            if (magnitude > max) {
                return std::nullopt;
            }
            return max == UINT64_MAX ? *u64 : *u64 & max;
        };

        std::optional<int64_t> expS64 = signedIn(INT64_MIN, INT64_MAX);
        std::optional<int64_t> expS32 = signedIn(INT32_MIN, INT32_MAX);
        std::optional<int64_t> expS16 = signedIn(INT16_MIN, INT16_MAX);
        std::optional<int64_t> expS8 = signedIn(INT8_MIN, INT8_MAX);
        std::optional<uint64_t> expU64 = unsignedIn(UINT64_MAX);
        std::optional<uint64_t> expU32 = unsignedIn(UINT32_MAX);
        // The narrow unsigned widths check the 32-bit result.
        std::optional<uint64_t> expU16 = expU32 && *expU32 <= UINT16_MAX ? expU32 : std::nullopt;
        std::optional<uint64_t> expU8 = expU32 && *expU32 <= UINT8_MAX ? expU32 : std::nullopt;
        accepted += expU32.has_value();

        auto widen = [](auto v) {
            return v ? std::optional<int64_t>(*v) : std::optional<int64_t>();
        };
        auto uwiden = [](auto v) {
            return v ? std::optional<uint64_t>(*v) : std::optional<uint64_t>();
        };
        ASSERT_EQ(widen(Convert(CliStrToSQword, text.c_str())), expS64);
        ASSERT_EQ(widen(Convert(CliStrToSDword, text.c_str())), expS32);
        ASSERT_EQ(widen(Convert(CliStrToSWord, text.c_str())), expS16);
        ASSERT_EQ(widen(Convert(CliStrToSByte, text.c_str())), expS8);
        ASSERT_EQ(uwiden(Convert(CliStrToQword, text.c_str())), expU64);
        ASSERT_EQ(uwiden(Convert(CliStrToDword, text.c_str())), expU32);
        ASSERT_EQ(uwiden(Convert(CliStrToWord, text.c_str())), expU16);
        ASSERT_EQ(uwiden(Convert(CliStrToByte, text.c_str())), expU8);
    }
    // The generator must reach both outcomes often enough to mean something.
    EXPECT_GT(accepted, 2000);
    EXPECT_LT(accepted, 18000);
}

TEST(IntegerConversionTest, RoundTripsPrintedValues) {
    std::mt19937_64 rng(4242);
    for (int round = 0; round < 5000; ++round) {
        // Spread the values over every magnitude.
        uint64_t bits = rng() >> std::uniform_int_distribution<int>(0, 63)(rng);
        int64_t s = static_cast<int64_t>(bits) * (rng() % 2 ? 1 : -1);
        char text[64];

        snprintf(text, sizeof text, " %" PRId64 "\t", s);
        SCOPED_TRACE(text);
        int64_t s64 = 0;
        ASSERT_TRUE(CliStrToSQword(text, &s64));
        ASSERT_EQ(s64, s);

        uint64_t magnitude = s < 0 ? 0 - static_cast<uint64_t>(s) : static_cast<uint64_t>(s);
        snprintf(text, sizeof text, "%s0%c%" PRIx64, s < 0 ? "-" : "", rng() % 2 ? 'x' : 'X',
                 magnitude);
        ASSERT_TRUE(CliStrToSQword(text, &s64)) << text;
        ASSERT_EQ(s64, s) << text;

        snprintf(text, sizeof text, "%" PRIu64, bits);
        uint64_t u64 = 0;
        ASSERT_TRUE(CliStrToQword(text, &u64)) << text;
        ASSERT_EQ(u64, bits) << text;

        uint32_t u32 = 0;
        ASSERT_EQ(CliStrToDword(text, &u32), bits <= UINT32_MAX) << text;
        if (bits <= UINT32_MAX) {
            ASSERT_EQ(u32, bits) << text;
        }
    }
}

TEST(DoubleConversionTest, AgreesWithTheCLibraryOnRandomTexts) {
    std::mt19937_64 rng(77);
    const char *formats[] = {"%g", "%.17g", "%e", "%a", "%f", "%.0f"};
    for (int round = 0; round < 5000; ++round) {
        double value;
        uint64_t bits = rng();
        memcpy(&value, &bits, sizeof value);
        char number[512];
        snprintf(number, sizeof number, formats[rng() % 6], value);
        std::string text = number;
        if (rng() % 4 == 0) {
            text = " \t" + text + "\r\n";
        }
        if (rng() % 8 == 0) {
            text.insert(rng() % (text.size() + 1), 1, "x.e-+ "[rng() % 6]);
        }
        SCOPED_TRACE("text '" + text + "'");

        // The C library on the trimmed text, as the reference.
        std::string trimmed = text;
        trimmed.erase(0, trimmed.find_first_not_of(" \t\r\n"));
        trimmed.erase(trimmed.find_last_not_of(" \t\r\n") + 1);
        std::optional<double> expected;
        if (!trimmed.empty()) {
            errno = 0;
            char *stop = nullptr;
            double v = strtod(trimmed.c_str(), &stop);
            if (*stop == '\0' && errno == 0) {
                expected = v;
            }
        }
        std::optional<double> got = Convert(CliStrToDouble, text.c_str());
        ASSERT_EQ(got.has_value(), expected.has_value());
        if (got && !std::isnan(*got)) {
            ASSERT_EQ(*got, *expected);
        } else if (got) {
            ASSERT_TRUE(std::isnan(*expected));
        }
    }
}

// ---------------------------------------------------------------------------
// Data lists
// ---------------------------------------------------------------------------

struct DataCase {
    const char *text;
    uint8_t radix;
    const char *separators;
    bool ranges;
    uint8_t unitSize;
    std::optional<std::vector<uint32_t>> units; // nullopt: the parse fails
};

std::vector<uint32_t> ReadUnits(const uint8_t *buffer, uint32_t count, uint8_t unitSize) {
    std::vector<uint32_t> units;
    for (uint32_t i = 0; i < count; ++i) {
        if (unitSize == 1) {
            units.push_back(buffer[i]);
        } else if (unitSize == 2) {
            uint16_t u;
            memcpy(&u, buffer + 2 * i, sizeof u);
            units.push_back(u);
        } else {
            uint32_t u;
            memcpy(&u, buffer + 4 * i, sizeof u);
            units.push_back(u);
        }
    }
    return units;
}

TEST(DataListTest, WorkedExamples) {
    using V = std::vector<uint32_t>;
    const DataCase cases[] = {
        {"1,2,5-9", 10, ",", true, 1, V{1, 2, 5, 6, 7, 8, 9}},
        {"1 2 3", 10, nullptr, false, 1, V{1, 2, 3}},
        {"0A0B0C", 16, nullptr, false, 1, V{0x0A, 0x0B, 0x0C}},
        {"0x410x42", 16, nullptr, false, 1, V{0x41, 0x42}},
        {"ABC", 16, nullptr, false, 1, V{0xAB, 0x0C}},
        {"0A:FF", 16, ":", false, 1, V{0x0A, 0xFF}},
        {"0A0B", 16, ":", false, 1, std::nullopt},
        {"256", 10, nullptr, false, 1, std::nullopt},
        {"1-3-5", 10, nullptr, true, 1, std::nullopt},
        {"01-05", 16, nullptr, true, 1, V{1, 2, 3, 4, 5}},
        {"01020A0B", 16, nullptr, false, 2, V{0x0102, 0x0A0B}},
        {"1,2", 10, ",", false, 2, V{1, 2}},
        // More of the rules.
        {"", 10, nullptr, false, 1, V{}},
        {" ,, ", 10, ",", false, 1, V{}},
        {"1 - 3", 10, nullptr, true, 1, V{1, 2, 3}},
        {"7-", 10, nullptr, true, 1, V{7}},
        {"-3", 10, nullptr, true, 1, std::nullopt},   // dash at the start
        {"1--3", 10, nullptr, true, 1, std::nullopt}, // dash after a dash
        {"1-3-", 10, nullptr, true, 1, std::nullopt}, // dash after a range
        {"5-5", 10, nullptr, true, 1, std::nullopt},
        {"9-3", 10, nullptr, true, 1, std::nullopt},
        {"1-3 7", 10, nullptr, true, 1, V{1, 2, 3, 7}},
        {"1-3", 10, nullptr, false, 1, std::nullopt}, // no ranges: '-3' is negative
        {"1;2", 10, ",", false, 1, std::nullopt},     // ';' is no separator
        {"1,x", 10, ",", false, 1, std::nullopt},     // a value without digits
        {"12ab", 10, nullptr, false, 1, std::nullopt},
        {"0x1F 10", 16, nullptr, false, 1, V{0x1F, 0x10}}, // packed, white separated
        {"1F,0x20", 16, ",", false, 1, V{0x1F, 0x20}},
        {"FF-0x101", 16, ",", true, 2, V{0xFF, 0x100, 0x101}},
        {"0x", 16, nullptr, false, 1, std::nullopt},
        {"0G", 16, nullptr, false, 1, std::nullopt},
        {"65535 65536", 10, nullptr, false, 2, std::nullopt},
        {"4294967295", 10, nullptr, false, 4, V{4294967295u}},
        {"4294967296", 10, nullptr, false, 4, std::nullopt},
        {"DEADBEEF01", 16, nullptr, false, 4, V{0xDEADBEEF, 0x01}},
        {"0xDEADBEEF", 16, nullptr, false, 4, V{0xDEADBEEF}},
        {"1", 10, nullptr, false, 3, std::nullopt},
        {"1", 10, nullptr, false, 0, std::nullopt},
        {"", 10, nullptr, false, 0, V{}},
        {"1", 10, nullptr, false, 5, std::nullopt},
        {"", 10, nullptr, false, 5, std::nullopt},
    };
    for (const DataCase &c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "' radix " + std::to_string(c.radix) + " unit " +
                     std::to_string(c.unitSize));
        uint8_t buffer[64];
        memset(buffer, 0xEE, sizeof buffer);
        uint32_t count = 0;
        bool ok =
            CliStrToData(c.text, buffer, 16, &count, c.separators, c.radix, c.unitSize, c.ranges);
        ASSERT_EQ(ok, c.units.has_value());
        if (ok) {
            EXPECT_EQ(ReadUnits(buffer, count, c.unitSize), *c.units);
            // Nothing is written past the units stored.
            for (size_t i = size_t{count} * c.unitSize; i < sizeof buffer; ++i) {
                ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;
            }
        } else {
            EXPECT_EQ(count, 0u); // not updated on failure
        }
    }
}

TEST(DataListTest, DemandedCountAndBufferLimit) {
    uint8_t buffer[8] = {};
    uint32_t count = 3;
    EXPECT_FALSE(CliStrToData("1 2", buffer, 8, &count, nullptr, 10, 1, false));
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(CliStrToData("1 2 3", buffer, 8, &count, nullptr, 10, 1, false));
    EXPECT_EQ(count, 3u);
    count = 3;
    EXPECT_FALSE(CliStrToData("1 2 3 4", buffer, 8, &count, nullptr, 10, 1, false));

    // The buffer maximum stops a range, keeping what was stored before.
    memset(buffer, 0, sizeof buffer);
    count = 0;
    EXPECT_FALSE(CliStrToData("1-5", buffer, 4, &count, nullptr, 10, 1, true));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ReadUnits(buffer, 5, 1), (std::vector<uint32_t>{1, 2, 3, 4, 0}));
    EXPECT_TRUE(CliStrToData("1-4", buffer, 4, nullptr, nullptr, 10, 1, true));
    EXPECT_FALSE(CliStrToData("1", buffer, 0, nullptr, nullptr, 10, 1, false));
    EXPECT_TRUE(CliStrToData("", buffer, 0, nullptr, nullptr, 10, 1, false));

    // A failure leaves the units stored before it.
    memset(buffer, 0, sizeof buffer);
    EXPECT_FALSE(CliStrToData("7 8 300", buffer, 8, nullptr, nullptr, 10, 1, false));
    EXPECT_EQ(ReadUnits(buffer, 3, 1), (std::vector<uint32_t>{7, 8, 0}));

    EXPECT_FALSE(CliStrToData(nullptr, buffer, 8, nullptr, nullptr, 10, 1, false));
    EXPECT_FALSE(CliStrToData("1", nullptr, 8, nullptr, nullptr, 10, 1, false));
}

TEST(DataListTest, RangeEndingAtTheLargestUnitValue) {
    uint32_t units[4] = {};
    uint32_t count = 0;
    ASSERT_TRUE(CliStrToData("4294967293-4294967295", units, 4, &count, nullptr, 10, 4, true));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(ReadUnits(reinterpret_cast<uint8_t *>(units), count, 4),
              (std::vector<uint32_t>{4294967293u, 4294967294u, 4294967295u}));
    // The same in packed hexadecimal, and at the top of a byte and a word.
    count = 0;
    ASSERT_TRUE(CliStrToData("FFFFFFFE-FFFFFFFF", units, 4, &count, nullptr, 16, 4, true));
    EXPECT_EQ(count, 2u);
    uint8_t bytes[4] = {};
    count = 0;
    ASSERT_TRUE(CliStrToData("253-255", bytes, 4, &count, nullptr, 10, 1, true));
    EXPECT_EQ(ReadUnits(bytes, count, 1), (std::vector<uint32_t>{253, 254, 255}));
}

TEST(DataListTest, ByteShorthands) {
    uint8_t buffer[8] = {};
    uint32_t count = 0;
    ASSERT_TRUE(CliStrToDecimalBytes("10, 20 30", buffer, 8, &count, ","));
    EXPECT_EQ(ReadUnits(buffer, count, 1), (std::vector<uint32_t>{10, 20, 30}));
    EXPECT_FALSE(CliStrToDecimalBytes("1-3", buffer, 8, nullptr, ",")); // no ranges
    count = 0;
    ASSERT_TRUE(CliStrToHexBytes("DEAD beef", buffer, 8, &count, nullptr));
    EXPECT_EQ(ReadUnits(buffer, count, 1), (std::vector<uint32_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    count = 0;
    ASSERT_TRUE(CliStrToHexBytes("de:ad:1", buffer, 8, &count, ":"));
    EXPECT_EQ(ReadUnits(buffer, count, 1), (std::vector<uint32_t>{0xDE, 0xAD, 0x01}));
}

} // namespace
