// Lists of values ('1,2,5-9', '0A 0B', packed '0A0B0C') into arrays of 1-,
// 2- or 4-byte units.
#include <cstdlib>
#include <cstring>

#include "lib/cli/shared/clibase.h"

namespace {

// The running state of one list parse.
class UnitWriter {
public:
    UnitWriter(void *out, uint32_t maxUnits, uint8_t unitSize)
        : bytes_(static_cast<uint8_t *>(out)), maxUnits_(maxUnits), unitSize_(unitSize) {}

    // Stores one unit; fails when the buffer holds no more units.
    bool Store(uint32_t value) {
        if (stored_ >= maxUnits_) {
            return false;
        }
        uint8_t *at = bytes_ + uint64_t{stored_} * unitSize_;
        if (unitSize_ == 1) {
            *at = static_cast<uint8_t>(value);
        } else if (unitSize_ == 2) {
            uint16_t unit = static_cast<uint16_t>(value);
            memcpy(at, &unit, sizeof unit);
        } else {
            memcpy(at, &value, sizeof value);
        }
        ++stored_;
        return true;
    }

    uint32_t Stored() const { return stored_; }

private:
    uint8_t *bytes_;
    uint32_t maxUnits_;
    uint8_t unitSize_;
    uint32_t stored_ = 0;
};

uint64_t UnitMax(uint8_t unitSize) {
    return unitSize == 4 ? UINT32_MAX : (uint64_t{1} << (8 * unitSize)) - 1;
}

// Packed hexadecimal: one value is 2 * unitSize digits, or fewer at the end
// of a run, with room for its own "0x" prefix. Advances *cursor past the
// copied bytes; fails unless all of them convert.
bool ReadPackedValue(const char **cursor, uint8_t unitSize, bool ranges, uint64_t *value) {
    char digits[2 * 4 + 2 + 1];
    const char *p = *cursor;
    uint32_t limit = 2u * unitSize;
    uint32_t n = 0;
    while (n < limit && p[n] != '\0' && !CliChIsWhite(p[n]) && !(ranges && p[n] == '-')) {
        digits[n] = p[n];
        ++n;
        if (n == 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            limit += 2;
        }
    }
    digits[n] = '\0';
    char *stop = nullptr;
    *value = strtoull(digits, &stop, 16);
    *cursor = p + n;
    return stop == digits + n;
}

// Normal mode: one value as the C conversion reads it in the radix, which
// must be followed by the end, a separator, white space or a range dash.
bool ReadValue(const char **cursor, const char *separators, int radix, bool ranges,
               uint64_t *value) {
    char *stop = nullptr;
    *value = strtoull(*cursor, &stop, radix);
    *cursor = stop;
    char next = *stop;
    return next == '\0' || CliChIsWhite(next) || CliChIsMember(next, separators) ||
           (ranges && next == '-');
}

} // namespace

bool CliStrToData(const char *text, void *out, uint32_t maxUnits, uint32_t *count,
                  const char *separators, uint8_t radix, uint8_t unitSize, bool ranges) {
    if (text == nullptr || out == nullptr || unitSize > 4) {
        return false;
    }
    const bool packed = separators == nullptr && radix == 16;
    UnitWriter writer(out, maxUnits, unitSize);
    uint64_t last = 0;
    bool afterSingle = false;
    bool dashPending = false;

    const char *p = text;
    while (*p != '\0') {
        if (CliChIsWhite(*p) || CliChIsMember(*p, separators)) {
            ++p;
            continue;
        }
        if (ranges && *p == '-') {
            if (dashPending || !afterSingle) {
                return false;
            }
            dashPending = true;
            ++p;
            continue;
        }
        if (unitSize != 1 && unitSize != 2 && unitSize != 4) {
            return false;
        }
        uint64_t value = 0;
        bool read = packed ? ReadPackedValue(&p, unitSize, ranges, &value)
                           : ReadValue(&p, separators, radix, ranges, &value);
        if (!read || value > UnitMax(unitSize)) {
            return false;
        }
        if (!dashPending) {
            last = value;
            afterSingle = true;
            if (!writer.Store(static_cast<uint32_t>(value))) {
                return false;
            }
            continue;
        }
        if (value <= last) {
            return false;
        }
        // 64-bit counter: a range that ends at the largest 32-bit value
        // must still end.
        for (uint64_t unit = last + 1; unit <= value; ++unit) {
            if (!writer.Store(static_cast<uint32_t>(unit))) {
                return false;
            }
        }
        afterSingle = false;
        dashPending = false;
    }

    if (count != nullptr) {
        if (*count != 0 && *count != writer.Stored()) {
            return false;
        }
        *count = writer.Stored();
    }
    return true;
}

bool CliStrToDecimalBytes(const char *text, void *out, uint32_t maxUnits, uint32_t *count,
                          const char *separators) {
    return CliStrToData(text, out, maxUnits, count, separators, 10, 1, false);
}

bool CliStrToHexBytes(const char *text, void *out, uint32_t maxUnits, uint32_t *count,
                      const char *separators) {
    return CliStrToData(text, out, maxUnits, count, separators, 16, 1, false);
}
