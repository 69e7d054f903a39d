// Bounded printf into caller buffers, decimal numbers with grouping and byte
// counts with a unit.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lib/cli/shared/clibase.h"

bool CliSprintStrV(char *buffer, uint32_t size, const char *format, va_list args) {
    int written = vsnprintf(buffer, size, format, args);
    if (written < 0) {
        // An output error leaves the contents undefined: keep them terminated.
        if (size != 0) {
            buffer[0] = '\0';
        }
        return false;
    }
    return static_cast<uint32_t>(written) < size;
}

bool CliSprintStr(char *buffer, uint32_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    bool fits = CliSprintStrV(buffer, size, format, args);
    va_end(args);
    return fits;
}

bool CliSprintStrCatV(char *buffer, uint32_t size, const char *format, va_list args) {
    // Never measure past size: a buffer without a terminator in it has no
    // free space to append to.
    size_t used = size == 0 ? 0 : strnlen(buffer, size);
    if (used >= size) {
        return false;
    }
    return CliSprintStrV(buffer + used, size - static_cast<uint32_t>(used), format, args);
}

bool CliSprintStrCat(char *buffer, uint32_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    bool fits = CliSprintStrCatV(buffer, size, format, args);
    va_end(args);
    return fits;
}

char *CliSprintDecimal(char *buffer, uint32_t size, uint64_t value, bool grouping) {
    // Digits from the least significant end, then reversed; 20 digits and
    // six commas at most.
    char text[27];
    uint32_t length = 0;
    uint32_t digits = 0;
    do {
        if (grouping && digits != 0 && digits % 3 == 0) {
            text[length++] = ',';
        }
        text[length++] = static_cast<char>('0' + value % 10);
        ++digits;
        value /= 10;
    } while (value != 0);

    if (uint64_t{length} + 1 > size) {
        if (size != 0) {
            buffer[0] = '\0';
        }
        return nullptr;
    }
    for (uint32_t i = 0; i < length; ++i) {
        buffer[i] = text[length - 1 - i];
    }
    buffer[length] = '\0';
    return buffer + length;
}

bool CliSprintCapacity(char *buffer, uint32_t size, uint64_t bytes) {
    if (bytes < 1024) {
        return CliSprintStr(buffer, size, "%d %s%s", static_cast<int>(bytes), "", " B");
    }
    struct Unit {
        uint32_t shift;
        const char *name;
    };
    static constexpr Unit kUnits[] = {{40, "TB"}, {30, "GB"}, {20, "MB"}, {10, "KB"}};
    const Unit *unit = &kUnits[3];
    for (const Unit &candidate : kUnits) {
        if (bytes >> candidate.shift != 0) {
            unit = &candidate;
            break;
        }
    }
    // Thousandths of the unit, truncated: bytes * 1000 >> shift computed in
    // two halves so that no count overflows 64 bits.
    uint64_t mask = (uint64_t{1} << unit->shift) - 1;
    uint64_t thousandths = (bytes >> unit->shift) * 1000 + (((bytes & mask) * 1000) >> unit->shift);
    uint64_t hundredths = thousandths / 10 + (thousandths % 10 >= 5 ? 1 : 0);
    // At most 2^24 * 100 hundredths: always within "%d".
    if (hundredths % 100 == 0) {
        return CliSprintStr(buffer, size, "%d %s%s", static_cast<int>(hundredths / 100), "",
                            unit->name);
    }
    if (!CliSprintStr(buffer, size, "%d %s%s", static_cast<int>(hundredths), " ", unit->name)) {
        return false;
    }
    // "150  KB" becomes "1.50 KB": the last two digits move one place right
    // over the first blank and the point takes their place.
    char *blank = strchr(buffer, ' ');
    blank[0] = blank[-1];
    blank[-1] = blank[-2];
    blank[-2] = '.';
    return true;
}
