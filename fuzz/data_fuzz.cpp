// CliStrToData against a model of the list rules, with the output buffer
// followed by a guard region and the unit count checked on success and on
// failure.
//
// Input: a flags byte (bits 0-1: radix 10, 16, 8 or 0; bits 2-4: unit size
// 1, 2, 4, 1, 2, 4, 3 or 0; bit 5: ranges; bit 6: a separator set is given;
// bit 7: a count pointer is given), the buffer's maximum of units, the
// demanded count, the separator set's length (up to 3 bytes follow), then
// the text (up to its first NUL byte).
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_support.h"
#include "lib/cli/shared/clibase.h"

using fuzzsupport::GuardedBuffer;
using fuzzsupport::Quote;

namespace {

struct Request {
    std::string text;
    uint32_t maxUnits;
    bool hasCount;
    uint32_t demanded;
    bool hasSeparators;
    std::string separators;
    uint8_t radix;
    uint8_t unitSize;
    bool ranges;
};

struct Outcome {
    bool ok = false;
    std::vector<uint32_t> units; // the units stored, also those before a failure
};

bool IsWhite(char ch) {
    return ch == '\t' || ch == '\n' || ch == '\r' || ch == ' ';
}

// The list rules, item by item. Values are read with the C conversion the
// way the list syntax hands them to it.
Outcome Model(const Request &r) {
    Outcome o;
    if (r.unitSize > 4) {
        return o;
    }
    const bool packed = !r.hasSeparators && r.radix == 16;
    const uint64_t unitMax = r.unitSize == 4 ? 0xFFFFFFFFu : (1u << (8 * r.unitSize)) - 1;
    auto isSeparator = [&](char ch) {
        return r.hasSeparators && ch != '\0' && r.separators.find(ch) != std::string::npos;
    };
    auto store = [&](uint64_t value) {
        if (o.units.size() >= r.maxUnits) {
            return false;
        }
        o.units.push_back(static_cast<uint32_t>(value));
        return true;
    };

    const std::string &t = r.text;
    uint64_t last = 0;
    bool single = false;
    bool dash = false;
    size_t i = 0;
    while (i < t.size()) {
        char c = t[i];
        if (IsWhite(c) || isSeparator(c)) {
            ++i;
            continue;
        }
        if (r.ranges && c == '-') {
            if (dash || !single) {
                return o;
            }
            dash = true;
            ++i;
            continue;
        }
        if (r.unitSize != 1 && r.unitSize != 2 && r.unitSize != 4) {
            return o;
        }
        uint64_t value;
        if (packed) {
            // Two digits per byte of the unit, two more for a "0x"; the
            // piece ends early at white space or a range dash.
            size_t limit = 2u * r.unitSize;
            std::string piece;
            while (piece.size() < limit && i + piece.size() < t.size()) {
                char ch = t[i + piece.size()];
                if (IsWhite(ch) || (r.ranges && ch == '-')) {
                    break;
                }
                piece += ch;
                if (piece.size() == 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X')) {
                    limit += 2;
                }
            }
            char *stop = nullptr;
            value = strtoul(piece.c_str(), &stop, 16);
            if (stop != piece.c_str() + piece.size()) {
                return o;
            }
            i += piece.size();
        } else {
            const char *start = t.c_str() + i;
            char *stop = nullptr;
            value = strtoul(start, &stop, r.radix);
            char next = *stop;
            if (!(next == '\0' || IsWhite(next) || isSeparator(next) ||
                  (r.ranges && next == '-'))) {
                return o;
            }
            i += static_cast<size_t>(stop - start);
        }
        if (value > unitMax) {
            return o;
        }
        if (!dash) {
            last = value;
            single = true;
            if (!store(value)) {
                return o;
            }
            continue;
        }
        if (value <= last) {
            return o;
        }
        for (uint64_t v = last + 1; v <= value; ++v) {
            if (!store(v)) {
                return o;
            }
        }
        single = false;
        dash = false;
    }
    if (r.hasCount && r.demanded != 0 && r.demanded != o.units.size()) {
        return o;
    }
    o.ok = true;
    return o;
}

uint32_t UnitAt(const char *bytes, uint8_t unitSize, size_t index) {
    const char *at = bytes + index * unitSize;
    if (unitSize == 1) {
        return static_cast<uint8_t>(*at);
    }
    if (unitSize == 2) {
        uint16_t v;
        memcpy(&v, at, sizeof v);
        return v;
    }
    uint32_t v;
    memcpy(&v, at, sizeof v);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const uint8_t kRadix[] = {10, 16, 8, 0};
    static const uint8_t kUnit[] = {1, 2, 4, 1, 2, 4, 3, 0};
    fuzzsupport::Reader in(data, size);
    uint8_t flags = in.Byte();
    Request r;
    r.radix = kRadix[flags & 3];
    r.unitSize = kUnit[(flags >> 2) & 7];
    r.ranges = (flags & 0x20) != 0;
    r.hasSeparators = (flags & 0x40) != 0;
    r.hasCount = (flags & 0x80) != 0;
    r.maxUnits = in.Byte();
    r.demanded = in.Byte();
    std::string separators = in.Take(in.Byte() % 4);
    r.separators = separators.substr(0, separators.find('\0'));
    std::string rest = in.Rest();
    r.text = rest.substr(0, rest.find('\0'));

    // Text and separator set at exactly their sizes on the heap.
    std::unique_ptr<char[]> text(new char[r.text.size() + 1]);
    memcpy(text.get(), r.text.c_str(), r.text.size() + 1);
    std::unique_ptr<char[]> seps(new char[r.separators.size() + 1]);
    memcpy(seps.get(), r.separators.c_str(), r.separators.size() + 1);

    // A unit size of 0 or 3 fails at the first value, so the buffer is
    // sized as if its units were 4 bytes: nothing may be written to it.
    uint32_t width = r.unitSize == 1 || r.unitSize == 2 || r.unitSize == 4 ? r.unitSize : 4;
    GuardedBuffer out(size_t{r.maxUnits} * width);
    const uint32_t kSentinel = 0xFEEDC0DE;
    uint32_t count = r.hasCount ? r.demanded : kSentinel;

    bool ok = CliStrToData(text.get(), out.Data(), r.maxUnits, r.hasCount ? &count : nullptr,
                           r.hasSeparators ? seps.get() : nullptr, r.radix, r.unitSize, r.ranges);
    Outcome want = Model(r);

    std::string detail = "list " + Quote(r.text) + " radix " + std::to_string(r.radix) + " unit " +
                         std::to_string(r.unitSize) + " max " + std::to_string(r.maxUnits) +
                         (r.ranges ? " ranges" : "") +
                         (r.hasSeparators ? " separators " + Quote(r.separators) : "") +
                         (r.hasCount ? " demanded " + std::to_string(r.demanded) : "");
    FUZZ_CHECK(ok == want.ok, detail + ": model says " + (want.ok ? "success" : "failure"));
    FUZZ_CHECK(out.Intact(), detail + ": wrote past the buffer");
    for (size_t k = 0; k < want.units.size(); ++k) {
        FUZZ_CHECK(UnitAt(out.Data(), r.unitSize, k) == want.units[k],
                   detail + ": unit " + std::to_string(k) + " is " +
                       std::to_string(UnitAt(out.Data(), r.unitSize, k)) + ", model " +
                       std::to_string(want.units[k]));
    }
    // Nothing behind the units stored.
    for (size_t b = want.units.size() * r.unitSize; b < out.Size(); ++b) {
        FUZZ_CHECK(static_cast<uint8_t>(out.Data()[b]) == GuardedBuffer::kPattern,
                   detail + ": wrote behind the units stored");
    }
    if (r.hasCount) {
        uint32_t expected = ok ? static_cast<uint32_t>(want.units.size()) : r.demanded;
        FUZZ_CHECK(count == expected, detail + ": count " + std::to_string(count));
    }

    // A null text or buffer fails at once.
    uint32_t untouched = 7;
    FUZZ_CHECK(!CliStrToData(nullptr, out.Data(), r.maxUnits, &untouched, nullptr, r.radix,
                             r.unitSize, r.ranges) &&
                   !CliStrToData(text.get(), nullptr, r.maxUnits, &untouched, nullptr, r.radix,
                                 r.unitSize, r.ranges) &&
                   untouched == 7,
               detail + ": null text or buffer");
    return 0;
}
