// The hex and decimal renderers against models of their layouts, each
// rendered into a buffer of the fuzzed size, of exactly the text's size and
// of one byte less, every buffer followed by a guard region that must stay
// untouched. A rendering that does not fit must return 0 and leave a
// terminated prefix of the full text, cut no earlier than the last element
// that still fit. The appending forms must keep the text already there, and
// the console forms must print exactly the buffer forms' text.
//
// Input: renderer byte (mod 10: hex string, its Cat form, hex string with
// lines, its Cat form, hex dump with indent, hex dump, their Cat forms,
// decimal, capacity), size byte, separator byte, count per line byte,
// indent byte, two flag bytes, existing-text length byte (for the Cat
// forms), then the data (at most 1024 bytes; the first 8 are the number
// for the decimal and capacity renderers).
#include <bit>
#include <cstdio>
#include <functional>
#include <string>

#include "fuzz/support/fuzz_support.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/clibase.h"

using fuzzsupport::GuardedBuffer;
using fuzzsupport::Quote;

namespace {

// The longest element a renderer puts whole or not at all ("]  "): a
// rendering that stops early has at most this many characters of room left.
constexpr size_t kLongestFixedElement = 3;

std::string Hex(uint32_t value, int width) {
    char text[16];
    snprintf(text, sizeof text, "%0*X", width, value);
    return text;
}

char Shown(uint8_t byte) {
    return byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
}

std::string ModelHexStr(const std::string &data, char separator) {
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        if (i != 0 && separator != '\0') {
            out += separator;
        }
        out += Hex(static_cast<uint8_t>(data[i]), 2);
    }
    return out;
}

std::string ModelHexStr2(const std::string &data, char separator, uint8_t perLine, uint8_t indent,
                         uint32_t flags) {
    std::string out;
    if (perLine == 0) {
        return out; // no layout at all; checked on its own
    }
    for (size_t start = 0; start < data.size(); start += perLine) {
        if (!(start == 0 && (flags & kCliHexStrNoFirstIndent))) {
            out += std::string(indent, ' ');
        }
        for (size_t i = start; i < data.size() && i < start + perLine; ++i) {
            if (i != start && separator != '\0') {
                out += separator;
            }
            uint8_t b = static_cast<uint8_t>(data[i]);
            out += (flags & kCliHexStrChars) ? std::string(1, Shown(b)) : Hex(b, 2);
        }
        out += '\n';
    }
    return out;
}

std::string ModelHexDump(const uint8_t *bytes, size_t length, uint8_t perLine, uint8_t indent,
                         uint32_t flags) {
    size_t unit = (flags & kCliHexDumpDwords) ? 4 : (flags & kCliHexDumpWords) ? 2 : 1;
    size_t units = length / unit;
    size_t shown = units * unit;
    int offsetWidth = shown <= 0xFF ? 2 : shown <= 0xFFFF ? 4 : 8;
    std::string out;
    if (perLine == 0) {
        return out; // no layout at all; checked on its own
    }
    for (size_t first = 0; first < units; first += perLine) {
        if (!(first == 0 && (flags & kCliHexDumpNoFirstIndent))) {
            out += std::string(indent, ' ');
        }
        const uint8_t *line = bytes + first * unit;
        if (flags & kCliHexDumpAddress) {
            uint64_t address = reinterpret_cast<uintptr_t>(line);
            out += std::string("[") + ((flags & kCliHexDumpAddrPrefix) ? "0x" : "") +
                   Hex(static_cast<uint32_t>(address >> 32), 8) + ":" +
                   Hex(static_cast<uint32_t>(address), 8) + "]  ";
        }
        if (flags & kCliHexDumpOffset) {
            out += std::string("[") + ((flags & kCliHexDumpOffsetPrefix) ? "0x" : "") +
                   Hex(static_cast<uint32_t>(first * unit), offsetWidth) + "]  ";
        }
        size_t inLine = 0;
        for (size_t pos = 0; pos < perLine; ++pos) {
            if (pos != 0 && !(flags & kCliHexDumpPacked)) {
                out += ' ';
            }
            size_t u = first + pos;
            size_t width = 2 * unit + ((flags & kCliHexDumpUnitPrefix) ? 2 : 0);
            if (u >= units) {
                out += std::string(width, ' ');
                continue;
            }
            // A unit is read as the host stores it: the most significant
            // byte comes last on a little-endian host, first on a big one.
            uint32_t value = 0;
            for (size_t k = 0; k < unit; ++k) {
                size_t shift = std::endian::native == std::endian::little ? k : unit - 1 - k;
                value |= uint32_t{bytes[u * unit + k]} << (8 * shift);
            }
            out += ((flags & kCliHexDumpUnitPrefix) ? "0x" : "") +
                   Hex(value, static_cast<int>(2 * unit));
            ++inLine;
        }
        if (flags & kCliHexDumpChars) {
            out += "  ";
            for (size_t i = 0; i < inLine * unit; ++i) {
                out += Shown(line[i]);
            }
        }
        out += '\n';
    }
    return out;
}

std::string ModelDecimal(uint64_t value, bool grouping) {
    std::string digits = std::to_string(value);
    if (!grouping) {
        return digits;
    }
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) {
            out += ',';
        }
        out += digits[i];
    }
    return out;
}

// The capacity text before and after the point is put in ("150  KB" and
// "1.50 KB"); a whole number of units needs no point and both are the same.
void ModelCapacity(uint64_t bytes, std::string *raw, std::string *final) {
    if (bytes < 1024) {
        *raw = *final = std::to_string(bytes) + "  B";
        return;
    }
    int shift = bytes >= (uint64_t{1} << 40) ? 40
                : bytes >= (1u << 30)        ? 30
                : bytes >= (1u << 20)        ? 20
                                             : 10;
    const char *unit = shift == 40 ? "TB" : shift == 30 ? "GB" : shift == 20 ? "MB" : "KB";
    // Counts stay below 2^64 / 1000 (see the caller): the product fits.
    uint64_t thousandths = (bytes * 1000) >> shift;
    uint64_t hundredths = thousandths / 10 + (thousandths % 10 >= 5 ? 1 : 0);
    if (hundredths % 100 == 0) {
        *raw = *final = std::to_string(hundredths / 100) + " " + unit;
        return;
    }
    std::string digits = std::to_string(hundredths);
    *raw = digits + "  " + unit;
    *final =
        digits.substr(0, digits.size() - 2) + "." + digits.substr(digits.size() - 2) + " " + unit;
}

using Render = std::function<bool(char *buffer, uint32_t size)>;

// Renders into a buffer of `size` and checks the result against the full
// text `full`. The Cat forms (`cat`) render behind the `existing` text; the
// others get a buffer full of garbage. `partial` is the form in which a cut
// text must be a prefix (the same as full but for capacities); unless the
// renderer is all-or-nothing, it must have stopped only at an element that
// did not fit.
struct Shape {
    bool cat;
    bool allOrNothing;
    bool emptyMayStayUnwritten; // a plain hex string of no bytes
};

void CheckRendering(const Render &render, uint32_t size, Shape shape, const std::string &existing,
                    const std::string &full, const std::string &partial, const std::string &what) {
    std::string detail = what + " into " + std::to_string(size) +
                         (shape.cat ? " behind " + std::to_string(existing.size()) : "");
    GuardedBuffer buffer(size);
    if (shape.cat) {
        memcpy(buffer.Data(), existing.c_str(), existing.size() + 1);
    }
    bool fits = uint64_t{existing.size()} + full.size() + 1 <= size;
    bool ok = render(buffer.Data(), size);
    FUZZ_CHECK(ok == fits, detail + ": result " + std::to_string(ok) + " for text of " +
                               std::to_string(full.size()));
    FUZZ_CHECK(buffer.Intact(), detail + ": wrote past the buffer");
    if (size == 0) {
        FUZZ_CHECK(buffer.Untouched(), detail + ": wrote into a buffer of size 0");
        return;
    }
    // Whether a plain hex string of no bytes stores the empty text is open;
    // it must not write anything else.
    if (shape.emptyMayStayUnwritten && full.empty() && ok && buffer.Untouched()) {
        return;
    }
    std::string text;
    FUZZ_CHECK(buffer.Text(&text), detail + ": left no terminator");
    FUZZ_CHECK(text.compare(0, existing.size(), existing) == 0,
               detail + ": lost the existing text");
    std::string added = text.substr(existing.size());
    if (ok) {
        FUZZ_CHECK(added == full, detail + ": gave " + Quote(added) + ", model " + Quote(full));
        return;
    }
    FUZZ_CHECK(partial.compare(0, added.size(), added) == 0,
               detail + ": gave " + Quote(added) + ", not a prefix of " + Quote(partial));
    FUZZ_CHECK(shape.allOrNothing || text.size() + kLongestFixedElement + 1 >= size,
               detail + ": stopped early at " + Quote(added));
}

// The sizes worth trying: the fuzzed one, an exact fit and one byte short.
void CheckSizes(const Render &render, uint32_t fuzzedSize, Shape shape, const std::string &existing,
                const std::string &full, const std::string &partial, const std::string &what) {
    uint32_t exact = static_cast<uint32_t>(existing.size() + full.size() + 1);
    CheckRendering(render, exact, shape, existing, full, partial, what);
    if (exact > existing.size() + 1) {
        CheckRendering(render, exact - 1, shape, existing, full, partial, what);
    }
    // The Cat forms need a terminator within the size.
    if (!shape.cat || fuzzedSize > existing.size()) {
        CheckRendering(render, fuzzedSize, shape, existing, full, partial, what);
    }
}

// What a console renderer prints.
std::string Printed(const std::function<void()> &print) {
    char *text = nullptr;
    size_t length = 0;
    FILE *saved = stdout;
    FILE *capture = open_memstream(&text, &length);
    FUZZ_CHECK(capture != nullptr, "cannot capture the console");
    stdout = capture;
    print();
    fflush(capture);
    stdout = saved;
    fclose(capture);
    std::string out(text, length);
    free(text);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t inputSize) {
    fuzzsupport::Reader in(input, inputSize);
    uint8_t which = in.Byte() % 10;
    uint32_t size = in.Byte();
    char separator = static_cast<char>(in.Byte());
    uint8_t perLine = in.Byte();
    uint8_t indent = in.Byte();
    uint32_t flags = in.Word();
    uint8_t existingLength = in.Byte();
    std::string data = in.Take(1024);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(data.data());
    uint32_t length = static_cast<uint32_t>(data.size());
    bool cat = which == 1 || which == 3 || which == 6 || which == 7;
    std::string existing(cat && size > 0 ? existingLength % size : 0, 'E');

    std::string full;
    std::string what;
    Render render;
    std::function<void()> print;
    switch (which) {
    case 0:
    case 1:
        full = ModelHexStr(data, separator);
        what = "hex string of " + std::to_string(length) + " bytes";
        render = [&](char *b, uint32_t s) {
            return cat ? CliSprintHexStrCat(b, s, bytes, length, separator)
                       : CliSprintHexStr(b, s, bytes, length, separator);
        };
        print = [&] { CliPrintHexStr(bytes, length, separator); };
        break;
    case 2:
    case 3:
        full = ModelHexStr2(data, separator, perLine, indent, flags);
        what = "hex lines of " + std::to_string(length) + " bytes, " + std::to_string(perLine) +
               " a line, indent " + std::to_string(indent) + ", flags " + std::to_string(flags);
        render = [&](char *b, uint32_t s) {
            return cat ? CliSprintHexStr2Cat(b, s, bytes, length, separator, perLine, indent, flags)
                       : CliSprintHexStr2(b, s, bytes, length, separator, perLine, indent, flags);
        };
        print = [&] { CliPrintHexStr2(bytes, length, separator, perLine, indent, flags); };
        break;
    case 4:
    case 5:
    case 6:
    case 7: {
        bool indented = which == 4 || which == 6;
        uint8_t ind = indented ? indent : 0;
        full = ModelHexDump(bytes, length, perLine, ind, flags);
        what = "hex dump of " + std::to_string(length) + " bytes, " + std::to_string(perLine) +
               " units a line, indent " + std::to_string(ind) + ", flags " + std::to_string(flags);
        render = [&, indented](char *b, uint32_t s) {
            if (indented) {
                return cat ? CliSprintHexDump2Cat(b, s, bytes, length, perLine, indent, flags)
                           : CliSprintHexDump2(b, s, bytes, length, perLine, indent, flags);
            }
            return cat ? CliSprintHexDumpCat(b, s, bytes, length, perLine, flags)
                       : CliSprintHexDump(b, s, bytes, length, perLine, flags);
        };
        print = [&, indented] {
            if (indented) {
                CliPrintHexDump2(bytes, length, perLine, indent, flags);
            } else {
                CliPrintHexDump(bytes, length, perLine, flags);
            }
        };
        break;
    }
    case 8: {
        uint64_t value = 0;
        memcpy(&value, data.data(), data.size() < 8 ? data.size() : 8);
        bool grouping = (flags & 1) != 0;
        full = ModelDecimal(value, grouping);
        // The decimal renderer answers with the terminator's address, or
        // null when the text did not fit.
        CheckSizes(
            [&](char *b, uint32_t s) {
                char *end = CliSprintDecimal(b, s, value, grouping);
                FUZZ_CHECK(end == nullptr || end == b + full.size(), "decimal: wrong end");
                return end != nullptr;
            },
            size, Shape{false, true, false}, "", full, full, "decimal " + std::to_string(value));
        return 0;
    }
    default: {
        uint64_t value = 0;
        memcpy(&value, data.data(), data.size() < 8 ? data.size() : 8);
        // Counts of 2^64 / 1000 and more are beyond the renderer's range.
        value %= UINT64_MAX / 1000;
        std::string raw;
        ModelCapacity(value, &raw, &full);
        CheckSizes([&](char *b, uint32_t s) { return CliSprintCapacity(b, s, value); }, size,
                   Shape{false, false, false}, "", full, raw, "capacity " + std::to_string(value));
        return 0;
    }
    }

    // Nothing to show with no line able to take it: 0 and the empty text.
    bool lines = which >= 2;
    size_t unit = which < 4                     ? 1
                  : (flags & kCliHexDumpDwords) ? 4
                  : (flags & kCliHexDumpWords)  ? 2
                                                : 1;
    if (lines && perLine == 0 && length >= unit) {
        GuardedBuffer buffer(size > existing.size() ? size : existing.size() + 1);
        memcpy(buffer.Data(), existing.c_str(), existing.size() + 1);
        FUZZ_CHECK(!render(buffer.Data(), buffer.Size()), what + ": succeeded with 0 a line");
        std::string text;
        FUZZ_CHECK(buffer.Intact() && buffer.Text(&text) && text == existing,
                   what + ": 0 a line left " + Quote(text));
        Printed(print); // must end
        return 0;
    }
    CheckSizes(render, size, Shape{cat, false, which == 0}, existing, full, full, what);
    std::string printed = Printed(print);
    FUZZ_CHECK(printed == full, what + ": console printed " + Quote(printed));
    return 0;
}
