// Hex strings and hex dumps, in caller buffers and on the console.
#include <sys/mman.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/cli/shared/cli.h"
#include "tests/support/child_process.h"
#include "tests/support/guarded_buffer.h"

namespace {

using testsupport::RunInChild;

// 'Hello, World!' followed by 00 01 02 7F 80 41 42.
const uint8_t kSample[20] = {0x48, 0x65, 0x6C, 0x6C, 0x6F, 0x2C, 0x20, 0x57, 0x6F, 0x72,
                             0x6C, 0x64, 0x21, 0x00, 0x01, 0x02, 0x7F, 0x80, 0x41, 0x42};

// The expected texts below show each blank as a middle dot.
std::string Dots(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\xC2\xB7") == 0) {
            out += ' ';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

using Renderer = std::function<bool(char *, uint32_t)>;

// Renders into a large buffer; the renderer must succeed.
std::string Render(const Renderer &render) {
    std::vector<char> buffer(1 << 20, '\xA5');
    EXPECT_TRUE(render(buffer.data(), static_cast<uint32_t>(buffer.size())));
    return std::string(buffer.data());
}

constexpr char kSentinel = '\xA5';

// Every size from 0 to past the exact fit: nothing written past the size,
// the text a terminated prefix of the full text, success only at full fit.
void ExpectBoundedPrefixes(const Renderer &render) {
    std::string full = Render(render);
    for (uint32_t size = 0; size <= full.size() + 2; ++size) {
        testsupport::GuardedBuffer memory(size);
        bool ok = render(memory.Data(), size);
        ASSERT_EQ(ok, size > full.size()) << "size " << size;
        ASSERT_TRUE(memory.Intact()) << "written past size " << size;
        if (size != 0) {
            ASSERT_NE(memchr(memory.Data(), '\0', size), nullptr) << "size " << size;
            std::string text(memory.Data());
            ASSERT_EQ(full.compare(0, text.size(), text), 0) << "size " << size << ": " << text;
        }
    }
}

std::string Dump2(const void *data, uint32_t length, uint8_t perLine, uint8_t indent,
                  uint32_t flags) {
    return Render([&](char *b, uint32_t s) {
        return CliSprintHexDump2(b, s, data, length, perLine, indent, flags);
    });
}

std::string Str2(const void *data, uint32_t length, char separator, uint8_t perLine, uint8_t indent,
                 uint32_t flags) {
    return Render([&](char *b, uint32_t s) {
        return CliSprintHexStr2(b, s, data, length, separator, perLine, indent, flags);
    });
}

TEST(HexDump, WorkedExampleOffsetAndCharacters) {
    EXPECT_EQ(Dump2(kSample, 20, 8, 2, 0x0600), Dots("··[00]··48·65·6C·6C·6F·2C·20·57··Hello,·W\n"
                                                     "··[08]··6F·72·6C·64·21·00·01·02··orld!...\n"
                                                     "··[10]··7F·80·41·42··············..AB\n"));
}

TEST(HexDump, WorkedExampleAddressColumn) {
    // The data must lie at 0x2000F3C0 for the literal text.
    void *want = reinterpret_cast<void *>(0x2000F000);
    void *page = mmap(want, 4096, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (page != want) {
        GTEST_SKIP() << "address 0x2000F000 is not available in this process";
    }
    uint8_t *data = static_cast<uint8_t *>(page) + 0x3C0;
    memcpy(data, kSample, sizeof kSample);
    EXPECT_EQ(Dump2(data, 20, 8, 2, 0x0520),
              Dots("··[0x00000000:2000F3C0]··48·65·6C·6C·6F·2C·20·57··Hello,·W\n"
                   "··[0x00000000:2000F3C8]··6F·72·6C·64·21·00·01·02··orld!...\n"
                   "··[0x00000000:2000F3D0]··7F·80·41·42··············..AB\n"));
    munmap(page, 4096);
}

TEST(HexDump, AddressColumnShowsBothHalves) {
    uint64_t address = reinterpret_cast<uintptr_t>(kSample + 8);
    char expect[64];
    snprintf(expect, sizeof expect, "[%08X:%08X]  6F\n", static_cast<uint32_t>(address >> 32),
             static_cast<uint32_t>(address));
    EXPECT_EQ(Dump2(kSample + 8, 1, 1, 0, 0x0100), expect);
}

TEST(HexDump, WorkedExampleSixteenBitUnits) {
    // Units are read in the host's byte order.
    const char *little = "[00]··6548·6C6C·2C6F·5720··Hello,·W\n"
                         "[08]··726F·646C·0021·0201··orld!...\n"
                         "[10]··807F·4241············..AB\n";
    const char *big = "[00]··4865·6C6C·6F2C·2057··Hello,·W\n"
                      "[08]··6F72·6C64·2100·0102··orld!...\n"
                      "[10]··7F80·4142············..AB\n";
    EXPECT_EQ(Dump2(kSample, 20, 4, 0, 0x0602),
              Dots(std::endian::native == std::endian::little ? little : big));
}

TEST(HexDump, LayoutFlags) {
    const uint8_t abcd[] = {'a', 'b', 'c', 'd', 'e'};
    uint32_t word;
    memcpy(&word, abcd, 4);
    char wordText[16];
    snprintf(wordText, sizeof wordText, "%08X", word);
    struct Case {
        const uint8_t *data;
        uint32_t length;
        uint8_t perLine;
        uint8_t indent;
        uint32_t flags;
        std::string text;
    };
    const Case cases[] = {
        // 32-bit units: one whole unit, its four bytes as characters.
        {abcd, 5, 4, 0, 0x0404, std::string(wordText) + std::string(3 * 9 + 2, ' ') + "abcd\n"},
        {abcd, 3, 4, 0, 0x0404, ""},
        // The 32-bit flag wins over the 16-bit one.
        {abcd, 4, 1, 0, 0x0006, std::string(wordText) + "\n"},
        // A full line has no blank fill.
        {kSample, 8, 8, 0, 0x0400, Dots("48·65·6C·6C·6F·2C·20·57··Hello,·W\n")},
        // "0x" before units, blanks widened to match.
        {kSample, 3, 4, 1, 0x0010, Dots("·0x48·0x65·0x6C·····\n")},
        {kSample, 3, 4, 0, 0x1000, "48656C  \n"},
        {kSample, 3, 2, 0, 0x1010, "0x480x65\n0x6C    \n"},
        {kSample, 2, 4, 0, 0x0240, Dots("[0x00]··48·65······\n")},
        // Indent on every line but the first with 0x0800.
        {kSample, 3, 1, 3, 0x0800, Dots("48\n···65\n···6C\n")},
        {kSample, 3, 1, 3, 0x0000, Dots("···48\n···65\n···6C\n")},
        // Flag bits without a meaning are ignored.
        {kSample, 2, 2, 0, 0xFFFF0009, "48 65\n"},
        // Nothing to show: empty text and success.
        {kSample, 0, 8, 2, 0x0700, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags) + " length " + std::to_string(c.length));
        EXPECT_EQ(Dump2(c.data, c.length, c.perLine, c.indent, c.flags), c.text);
    }
}

TEST(HexDump, SixteenBitOddLengthIndentsAllButFirst) {
    uint16_t units[3];
    memcpy(units, kSample, sizeof units);
    char expect[64];
    snprintf(expect, sizeof expect, "%04X %04X\n  %04X     \n", units[0], units[1], units[2]);
    EXPECT_EQ(Dump2(kSample, 7, 2, 2, 0x0802), expect);
}

TEST(HexDump, OffsetWidthFollowsTotalLength) {
    std::vector<uint8_t> data(65536 + 16, 0x11);
    struct Case {
        uint32_t length;
        const char *firstOffset;
        const char *lastOffset;
    };
    const Case cases[] = {
        {16, "[00]", "[00]"},
        {255, "[00]", "[F0]"},
        {256, "[0000]", "[00F0]"},
        {65535, "[0000]", "[FFF0]"},
        {65536, "[00000000]", "[0000FFF0]"},
        {65537, "[00000000]", "[00010000]"},
    };
    for (const Case &c : cases) {
        std::string text = Dump2(data.data(), c.length, 16, 0, 0x0200);
        size_t lastLine = text.rfind('\n', text.size() - 2);
        lastLine = lastLine == std::string::npos ? 0 : lastLine + 1;
        EXPECT_EQ(text.compare(0, strlen(c.firstOffset), c.firstOffset), 0) << c.length;
        EXPECT_EQ(text.compare(lastLine, strlen(c.lastOffset), c.lastOffset), 0)
            << c.length << ": " << text.substr(lastLine);
    }
}

TEST(HexDump, FixedElementsAreWholeOrAbsent) {
    // "[00]  48\n": "[", "00", "]  ", "48", "\n".
    struct Case {
        uint32_t size;
        const char *text;
    };
    const Case cases[] = {{1, ""},         {2, "["},          {3, "[0"},     {4, "[00"},
                          {5, "[00"},      {6, "[00"},        {7, "[00]  "}, {8, "[00]  4"},
                          {9, "[00]  48"}, {10, "[00]  48\n"}};
    for (const Case &c : cases) {
        testsupport::GuardedBuffer memory(c.size);
        bool ok = CliSprintHexDump(memory.Data(), c.size, kSample, 1, 1, 0x0200);
        EXPECT_EQ(ok, c.size == 10) << c.size;
        EXPECT_STREQ(memory.Data(), c.text) << c.size;
    }
}

TEST(HexDump, BoundedAtEverySize) {
    for (uint32_t flags : {0x0600u, 0x0F72u, 0x1414u, 0x0000u}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        ExpectBoundedPrefixes(
            [&](char *b, uint32_t s) { return CliSprintHexDump2(b, s, kSample, 20, 6, 3, flags); });
    }
}

TEST(HexDump, ZeroUnitsPerLineFailsWithoutLooping) {
    char buffer[64];
    memset(buffer, kSentinel, sizeof buffer);
    EXPECT_FALSE(CliSprintHexDump2(buffer, sizeof buffer, kSample, 20, 0, 2, 0x0600));
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(CliSprintHexDump(buffer, sizeof buffer, kSample, 0, 0, 0));
    EXPECT_FALSE(CliSprintHexStr2(buffer, sizeof buffer, kSample, 20, ' ', 0, 0, 0));
    EXPECT_STREQ(buffer, "");
    auto child = RunInChild([] {
        CliPrintHexDump2(kSample, 20, 0, 2, 0x0600);
        CliPrintHexStr2(kSample, 20, ' ', 0, 2, 0);
    });
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.out, "");
}

TEST(HexStr, SeparatorAndExactFit) {
    const uint8_t bytes[] = {0x01, 0xAB, 0xFF};
    char buffer[16];
    EXPECT_TRUE(CliSprintHexStr(buffer, 9, bytes, 3, ':'));
    EXPECT_STREQ(buffer, "01:AB:FF");
    EXPECT_FALSE(CliSprintHexStr(buffer, 8, bytes, 3, ':'));
    EXPECT_STREQ(buffer, "01:AB:F");
    EXPECT_TRUE(CliSprintHexStr(buffer, 7, bytes, 3, '\0'));
    EXPECT_STREQ(buffer, "01ABFF");
    EXPECT_TRUE(CliSprintHexStr(buffer, sizeof buffer, bytes, 0, ':'));
    EXPECT_STREQ(buffer, "");
    ExpectBoundedPrefixes(
        [&](char *b, uint32_t s) { return CliSprintHexStr(b, s, bytes, 3, '-'); });
}

TEST(HexStr2, WorkedExamples) {
    EXPECT_EQ(Str2(kSample, 20, ' ', 8, 2, 0), Dots("··48·65·6C·6C·6F·2C·20·57\n"
                                                    "··6F·72·6C·64·21·00·01·02\n"
                                                    "··7F·80·41·42\n"));
    EXPECT_EQ(Str2(kSample, 20, ':', 8, 4, 0x0002), Dots("48:65:6C:6C:6F:2C:20:57\n"
                                                         "····6F:72:6C:64:21:00:01:02\n"
                                                         "····7F:80:41:42\n"));
    EXPECT_EQ(Str2(kSample, 20, '\0', 8, 2, 0x0003), Dots("Hello,·W\n"
                                                          "··orld!...\n"
                                                          "··..AB\n"));
    EXPECT_EQ(Str2(kSample, 0, ' ', 8, 2, 0), "");
    EXPECT_EQ(Str2(kSample, 5, ',', 8, 0, 0x0001), "H,e,l,l,o\n");
    ExpectBoundedPrefixes(
        [](char *b, uint32_t s) { return CliSprintHexStr2(b, s, kSample, 20, ':', 7, 3, 0x0001); });
}

TEST(HexRenderers, AppendBehindExistingText) {
    const uint8_t bytes[] = {0x01, 0xAB};
    char buffer[32] = "id=";
    EXPECT_TRUE(CliSprintHexStrCat(buffer, sizeof buffer, bytes, 2, ' '));
    EXPECT_STREQ(buffer, "id=01 AB");
    EXPECT_TRUE(CliSprintHexStr2Cat(buffer, sizeof buffer, bytes, 2, '\0', 4, 1, 0));
    EXPECT_STREQ(buffer, "id=01 AB 01AB\n");
    EXPECT_TRUE(CliSprintHexDumpCat(buffer, sizeof buffer, bytes, 2, 2, 0x0200));
    EXPECT_STREQ(buffer, "id=01 AB 01AB\n[00]  01 AB\n");
    strcpy(buffer, ">");
    EXPECT_TRUE(CliSprintHexDump2Cat(buffer, sizeof buffer, bytes, 1, 2, 2, 0x0800));
    EXPECT_STREQ(buffer, ">01   \n");

    // The size covers the existing text: "ab" + "01:AB" needs 8 bytes.
    for (uint32_t size = 3; size <= 9; ++size) {
        testsupport::GuardedBuffer memory(size);
        strcpy(memory.Data(), "ab");
        bool ok = CliSprintHexStrCat(memory.Data(), size, bytes, 2, ':');
        EXPECT_EQ(ok, size >= 8) << size;
        EXPECT_EQ(std::string(memory.Data()), std::string("ab01:AB").substr(0, size - 1));
        ASSERT_TRUE(memory.Intact()) << "size " << size;
    }

    // No terminator within the size: nothing to append to, nothing written.
    char full[4] = {'w', 'x', 'y', 'z'};
    EXPECT_FALSE(CliSprintHexStrCat(full, sizeof full, bytes, 2, ' '));
    EXPECT_FALSE(CliSprintHexStr2Cat(full, sizeof full, bytes, 2, ' ', 4, 0, 0));
    EXPECT_FALSE(CliSprintHexDump2Cat(full, sizeof full, bytes, 2, 4, 0, 0));
    EXPECT_FALSE(CliSprintHexDumpCat(full, sizeof full, bytes, 2, 4, 0));
    EXPECT_EQ(memcmp(full, "wxyz", 4), 0);
}

// The console renderers print exactly the text of their buffer twins.
TEST(HexRenderers, ConsoleMatchesBuffer) {
    std::vector<uint8_t> data(300);
    std::mt19937 rng(5);
    for (auto &b : data) {
        b = static_cast<uint8_t>(rng());
    }
    struct Variant {
        uint32_t length;
        uint8_t perLine;
        uint8_t indent;
        uint32_t flags;
        char separator;
    };
    const Variant variants[] = {
        {20, 8, 2, 0x0600, ' '},   {20, 8, 2, 0x0520, ':'},  {20, 4, 0, 0x0602, '\0'},
        {300, 16, 4, 0x0F54, '-'}, {299, 3, 1, 0x1C14, ' '}, {7, 5, 0, 0x0003, '\0'},
        {0, 8, 2, 0x0700, ' '},
    };
    for (const Variant &v : variants) {
        const uint8_t *bytes = v.length == 20 ? kSample : data.data();
        std::string expect =
            Render([&](char *b, uint32_t s) {
                return CliSprintHexDump2(b, s, bytes, v.length, v.perLine, v.indent, v.flags);
            }) +
            Render([&](char *b, uint32_t s) {
                return CliSprintHexDump(b, s, bytes, v.length, v.perLine, v.flags);
            }) +
            Render([&](char *b, uint32_t s) {
                return CliSprintHexStr2(b, s, bytes, v.length, v.separator, v.perLine, v.indent,
                                        v.flags);
            }) +
            Render([&](char *b, uint32_t s) {
                return CliSprintHexStr(b, s, bytes, v.length, v.separator);
            });
        auto child = RunInChild([&] {
            CliPrintHexDump2(bytes, v.length, v.perLine, v.indent, v.flags);
            CliPrintHexDump(bytes, v.length, v.perLine, v.flags);
            CliPrintHexStr2(bytes, v.length, v.separator, v.perLine, v.indent, v.flags);
            CliPrintHexStr(bytes, v.length, v.separator);
        });
        EXPECT_EQ(child.exitCode, 0);
        EXPECT_EQ(child.out, expect) << "flags " << v.flags;
        EXPECT_EQ(child.err, "");
    }
}

} // namespace
