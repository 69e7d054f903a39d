// Byte order, checksums, CRC-32 and month names.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/cli/shared/clibase.h"

namespace {

// Bit-by-bit CRC written from the definition of the variant: polynomial
// 0x04C11DB7, register preset to all ones, MSB first, final inversion.
uint32_t BitwiseCrc32(const uint8_t *data, size_t length) {
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            uint32_t in = (data[i] >> bit) & 1u;
            uint32_t top = reg >> 31;
            reg <<= 1;
            if ((top ^ in) != 0) {
                reg ^= 0x04C11DB7u;
            }
        }
    }
    return ~reg;
}

// A host-order word assembled byte by byte.
uint32_t HostWord(const uint8_t *at) {
    if constexpr (std::endian::native == std::endian::little) {
        return at[0] | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
    } else {
        return at[3] | uint32_t{at[2]} << 8 | uint32_t{at[1]} << 16 | uint32_t{at[0]} << 24;
    }
}

const uint8_t *Str(const char *text) {
    return reinterpret_cast<const uint8_t *>(text);
}

TEST(ByteOrder, ReversesBytes) {
    EXPECT_EQ(CliSwap2(0x1234), 0x3412);
    EXPECT_EQ(CliSwap2(0x00FF), 0xFF00);
    EXPECT_EQ(CliSwap4(0x12345678u), 0x78563412u);
    EXPECT_EQ(CliSwap4(0xFF000001u), 0x010000FFu);
    EXPECT_EQ(CliSwap8(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(CliSwap8(0xFF00000000000080ull), 0x80000000000000FFull);

    std::mt19937_64 rng(7);
    for (int i = 0; i < 1000; ++i) {
        uint64_t value = rng();
        uint8_t bytes[8];
        uint8_t reversed[8];
        memcpy(bytes, &value, 8);
        for (int b = 0; b < 8; ++b) {
            reversed[b] = bytes[7 - b];
        }
        uint64_t expect8;
        memcpy(&expect8, reversed, 8);
        ASSERT_EQ(CliSwap8(value), expect8);
        uint32_t low = static_cast<uint32_t>(value);
        ASSERT_EQ(CliSwap4(CliSwap4(low)), low);
        ASSERT_EQ(CliSwap4(low),
                  (low >> 24) | ((low >> 8) & 0xFF00u) | ((low << 8) & 0xFF0000u) | (low << 24));
        uint16_t half = static_cast<uint16_t>(value);
        ASSERT_EQ(CliSwap2(half), static_cast<uint16_t>((half >> 8) | (half << 8)));
    }
}

TEST(Checksums, WorkedValuesOnAbc) {
    const uint8_t *abc = Str("abc");
    EXPECT_EQ(CliCalcByteCksum(abc, 3, 0), 0x26);
    uint8_t field = 0;
    EXPECT_EQ(CliUpdateByteCksum(abc, 3, 0, &field), 0xDA);
    EXPECT_EQ(field, 0xDA);
    EXPECT_EQ(CliCalcByteXorCksum(abc, 3, 0), 0x60);
    EXPECT_EQ(CliCalcDwordCksum(abc, 3, 0), 0u);
    EXPECT_EQ(CliCalcCrc32(abc, 3), 0x648CBB73u);
    EXPECT_EQ(CliCalcCrc32(Str("123456789"), 9), 0xFC891918u);
    EXPECT_EQ(CliCalcCrc32(Str("123456789"), 0), 0u);

    if constexpr (std::endian::native == std::endian::little) {
        alignas(4) char abcd[] = "abcd";
        EXPECT_EQ(CliCalcDwordCksum(abcd, 4, 0), 0x64636261u);
        uint32_t word = 0;
        EXPECT_EQ(CliUpdateDwordCksum(abcd, 4, 0, &word), 0x9B9C9D9Fu);
        EXPECT_EQ(word, 0x9B9C9D9Fu);
    }
}

TEST(Checksums, InitialValuesAndTrailingBytes) {
    const uint8_t *abc = Str("abc");
    EXPECT_EQ(CliCalcByteCksum(abc, 3, 0xF0), static_cast<uint8_t>(0x26 + 0xF0));
    EXPECT_EQ(CliCalcByteXorCksum(abc, 3, 0x01020304u), 0x60 ^ 0x04);
    EXPECT_EQ(CliCalcByteXorCksum(abc, 0, 0x11223344u), 0x11 ^ 0x22 ^ 0x33 ^ 0x44);
    // Seven bytes: one word summed, the last three ignored.
    const uint8_t seven[] = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(CliCalcDwordCksum(seven, 7, 5), HostWord(seven) + 5);
    EXPECT_EQ(CliCalcDwordCksum(seven, 7, 0), CliCalcDwordCksum(seven, 4, 0));
}

TEST(Checksums, UpdateMakesBlockSumToZero) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        uint8_t block[64];
        for (auto &b : block) {
            b = static_cast<uint8_t>(rng());
        }
        uint32_t length = 1 + rng() % 64;
        uint8_t initial = static_cast<uint8_t>(rng());
        uint8_t *field = block + rng() % length;
        uint8_t stored = CliUpdateByteCksum(block, length, initial, field);
        ASSERT_EQ(stored, *field);
        ASSERT_EQ(CliCalcByteCksum(block, length, initial), 0);

        alignas(4) uint32_t words[16];
        for (auto &w : words) {
            w = static_cast<uint32_t>(rng());
        }
        uint32_t count = 1 + rng() % 16;
        uint32_t byteLength = count * 4 + rng() % 4; // trailing bytes are ignored
        byteLength = std::min<uint32_t>(byteLength, sizeof words);
        uint32_t wordInitial = static_cast<uint32_t>(rng());
        uint32_t *wordField = words + rng() % count;
        uint32_t storedWord = CliUpdateDwordCksum(words, byteLength, wordInitial, wordField);
        ASSERT_EQ(storedWord, *wordField);
        ASSERT_EQ(CliCalcDwordCksum(words, byteLength, wordInitial), 0u);
    }
    // Field outside the block: old value minus the sum.
    uint8_t data[] = {0x10, 0x20, 0x30};
    uint8_t outside = 0x05;
    EXPECT_EQ(CliUpdateByteCksum(data, 3, 1, &outside), static_cast<uint8_t>(0x05 - 0x61));
    uint32_t wordOutside = 0;
    alignas(4) uint8_t one[4] = {1, 0, 0, 0};
    EXPECT_EQ(CliUpdateDwordCksum(one, 4, 0, &wordOutside), 0u - HostWord(one));
}

TEST(Checksums, AgreeWithIndependentSumsAtEveryAlignment) {
    std::mt19937 rng(2024);
    std::vector<uint8_t> pool(4096 + 16);
    for (int round = 0; round < 500; ++round) {
        for (auto &b : pool) {
            b = static_cast<uint8_t>(rng());
        }
        uint32_t offset = rng() % 16;
        uint32_t length = rng() % 4097;
        const uint8_t *data = pool.data() + offset;
        uint32_t initial = static_cast<uint32_t>(rng());

        uint8_t byteSum = static_cast<uint8_t>(initial);
        uint8_t xorSum =
            static_cast<uint8_t>(initial ^ (initial >> 8) ^ (initial >> 16) ^ (initial >> 24));
        for (uint32_t i = 0; i < length; ++i) {
            byteSum = static_cast<uint8_t>(byteSum + data[i]);
            xorSum ^= data[i];
        }
        uint32_t wordSum = initial;
        for (uint32_t i = 0; i + 4 <= length; i += 4) {
            wordSum += HostWord(data + i);
        }
        SCOPED_TRACE("offset " + std::to_string(offset) + " length " + std::to_string(length));
        ASSERT_EQ(CliCalcByteCksum(data, length, static_cast<uint8_t>(initial)), byteSum);
        ASSERT_EQ(CliCalcByteXorCksum(data, length, initial), xorSum);
        ASSERT_EQ(CliCalcDwordCksum(data, length, initial), wordSum);
        ASSERT_EQ(CliCalcCrc32(data, length), length == 0 ? 0u : BitwiseCrc32(data, length));
    }
}

TEST(Checksums, XorIsTheSameWhereverTheBytesLie) {
    const uint8_t sample[] = {0x9A, 0x01, 0xFE, 0x33, 0x47, 0x80, 0x7F, 0x10, 0xC3, 0x5D, 0x22};
    for (uint32_t length = 0; length <= sizeof sample; ++length) {
        uint8_t first = 0;
        for (uint32_t offset = 0; offset < 8; ++offset) {
            alignas(8) uint8_t buffer[32] = {};
            memcpy(buffer + offset, sample, length);
            uint8_t result = CliCalcByteXorCksum(buffer + offset, length, 0x01020304u);
            if (offset == 0) {
                first = result;
            }
            ASSERT_EQ(result, first) << "length " << length << " offset " << offset;
        }
    }
}

TEST(Crc32, TableFollowsThePolynomial) {
    EXPECT_EQ(CliCrc32Lookup[0], 0x00000000u);
    EXPECT_EQ(CliCrc32Lookup[1], 0x04C11DB7u);
    EXPECT_EQ(CliCrc32Lookup[2], 0x09823B6Eu);
    EXPECT_EQ(CliCrc32Lookup[3], 0x0D4326D9u);
    EXPECT_EQ(CliCrc32Lookup[255], 0xB1F740B4u);
}

TEST(MonthNames, NamesAndOutOfRange) {
    const char *names[] = {"January", "February", "March",     "April",   "May",      "June",
                           "July",    "August",   "September", "October", "November", "December"};
    for (uint32_t month = 1; month <= 12; ++month) {
        EXPECT_STREQ(CliGetMonthStr(month), names[month - 1]);
        EXPECT_STREQ(CliMonthStr[month - 1], names[month - 1]);
    }
    for (uint32_t month : {0u, 13u, 100u, 0xFFFFFFFFu}) {
        const char *text = CliGetMonthStr(month);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "") << month;
    }
}

} // namespace
