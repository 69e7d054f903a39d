// Whole-text character tests, scanners and the integer and floating-point
// conversions of user text.
#include <cctype>
#include <climits>
#include <cstdlib>

#include "lib/cli/osx/osbase.h"
#include "lib/cli/shared/clibase.h"

namespace {

// The calling thread's last system error, which the C conversions use to
// report overflow.
void ClearLastError() {
    OsClearLastError();
}
uint32_t LastError() {
    return OsGetLastError(nullptr, 0);
}

using CharClass = bool (*)(char);

bool IsAlphanumeric(char ch) {
    return CliChIsDigit(ch) || CliChIsAlpha(ch);
}

bool AllOfClass(const char *str, bool allowWhite, CharClass inClass) {
    for (; *str != '\0'; ++str) {
        if (!inClass(*str) && !(allowWhite && CliChIsWhite(*str))) {
            return false;
        }
    }
    return true;
}

// The number proper of a whole text: the bytes between the leading and the
// trailing white space. Fails for a null, empty or all-white text, and when
// the number starts with a byte that the C conversions would skip as space
// although it is no white space here (vertical tab, form feed): the number
// proper itself never starts with space.
bool FindNumber(const char *text, const char **begin, const char **end) {
    if (text == nullptr) {
        return false;
    }
    const char *first = CliStrSkipWhite(text);
    const char *last = first + CliStrLen(first);
    while (last > first && CliChIsWhite(last[-1])) {
        --last;
    }
    if (last == first || isspace(static_cast<unsigned char>(*first))) {
        return false;
    }
    *begin = first;
    *end = last;
    return true;
}

bool IsHexPrefix(const char *p) {
    return p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
}

// 16 when "0x" stands at the first or the second byte, else 10. Reads at
// most three bytes, never past the terminator.
int ChooseRadix(const char *number) {
    return IsHexPrefix(number) || (number[0] != '\0' && IsHexPrefix(number + 1)) ? 16 : 10;
}

// Converts the whole number in text with the C library's conversion in the
// radix its prefix selects. Fails when text holds no number or the
// conversion stops short of its end; *overflowed tells a range error.
template <typename T>
bool ConvertWhole(const char *text, T (*convert)(const char *, char **, int), T *converted,
                  const char **begin, bool *overflowed) {
    const char *end;
    if (!FindNumber(text, begin, &end)) {
        return false;
    }
    int radix = ChooseRadix(*begin);
    ClearLastError();
    char *stop = nullptr;
    *converted = convert(*begin, &stop, radix);
    *overflowed = LastError() != 0;
    return stop == end;
}

bool ConvertSigned(const char *text, int64_t min, int64_t max, int64_t *value) {
    const char *begin;
    long long converted;
    bool overflowed;
    if (!ConvertWhole<long long>(text, strtoll, &converted, &begin, &overflowed)) {
        return false;
    }
    if (overflowed && (converted == LLONG_MAX || converted == LLONG_MIN)) {
        return false;
    }
    if (converted < min || converted > max) {
        return false;
    }
    *value = converted;
    return true;
}

// The value comes back as the 64-bit conversion gives it (a negated value
// wraps modulo 2^64); the caller keeps the low bits of its width, which is
// the same value negated modulo that width.
bool ConvertUnsigned(const char *text, uint64_t maxMagnitude, uint64_t *value) {
    const char *begin;
    unsigned long long converted;
    bool overflowed;
    if (!ConvertWhole<unsigned long long>(text, strtoull, &converted, &begin, &overflowed)) {
        return false;
    }
    if (overflowed && converted == ULLONG_MAX) {
        return false;
    }
    uint64_t magnitude = *begin == '-' ? 0 - uint64_t{converted} : uint64_t{converted};
    if (magnitude > maxMagnitude) {
        return false;
    }
    *value = converted;
    return true;
}

} // namespace

bool CliStrIsHex(const char *str, bool allowWhite) {
    return AllOfClass(str, allowWhite, CliChIsHexDigit);
}
bool CliStrIsNumeric(const char *str, bool allowWhite) {
    return AllOfClass(str, allowWhite, CliChIsDigit);
}
bool CliStrIsAlpha(const char *str, bool allowWhite) {
    return AllOfClass(str, allowWhite, CliChIsAlpha);
}
bool CliStrIsAlphanumeric(const char *str, bool allowWhite) {
    return AllOfClass(str, allowWhite, IsAlphanumeric);
}

char *CliStrSkipWhite(const char *str) {
    while (CliChIsWhite(*str)) {
        ++str;
    }
    return const_cast<char *>(str);
}

char *CliStrSkipNonWhite(const char *str) {
    while (*str != '\0' && !CliChIsWhite(*str)) {
        ++str;
    }
    return const_cast<char *>(str);
}

char *CliStrSkipNum(const char *str, bool isHex) {
    CharClass digit = isHex ? CliChIsHexDigit : CliChIsDigit;
    while (digit(*str)) {
        ++str;
    }
    return const_cast<char *>(str);
}

bool CliStrToSQword(const char *text, int64_t *out) {
    int64_t value;
    if (out == nullptr || !ConvertSigned(text, INT64_MIN, INT64_MAX, &value)) {
        return false;
    }
    *out = value;
    return true;
}

bool CliStrToSDword(const char *text, int32_t *out) {
    int64_t value;
    if (out == nullptr || !ConvertSigned(text, INT32_MIN, INT32_MAX, &value)) {
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

bool CliStrToSWord(const char *text, int16_t *out) {
    int32_t value;
    if (out == nullptr || !CliStrToSDword(text, &value) || value < INT16_MIN || value > INT16_MAX) {
        return false;
    }
    *out = static_cast<int16_t>(value);
    return true;
}

bool CliStrToSByte(const char *text, int8_t *out) {
    int32_t value;
    if (out == nullptr || !CliStrToSDword(text, &value) || value < INT8_MIN || value > INT8_MAX) {
        return false;
    }
    *out = static_cast<int8_t>(value);
    return true;
}

bool CliStrToQword(const char *text, uint64_t *out) {
    uint64_t value;
    if (out == nullptr || !ConvertUnsigned(text, UINT64_MAX, &value)) {
        return false;
    }
    *out = value;
    return true;
}

bool CliStrToDword(const char *text, uint32_t *out) {
    uint64_t value;
    if (out == nullptr || !ConvertUnsigned(text, UINT32_MAX, &value)) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

bool CliStrToWord(const char *text, uint16_t *out) {
    uint32_t value;
    if (out == nullptr || !CliStrToDword(text, &value) || value > UINT16_MAX) {
        return false;
    }
    *out = static_cast<uint16_t>(value);
    return true;
}

bool CliStrToByte(const char *text, uint8_t *out) {
    uint32_t value;
    if (out == nullptr || !CliStrToDword(text, &value) || value > UINT8_MAX) {
        return false;
    }
    *out = static_cast<uint8_t>(value);
    return true;
}

bool CliStrToDouble(const char *text, double *out) {
    const char *begin;
    const char *end;
    if (out == nullptr || !FindNumber(text, &begin, &end)) {
        return false;
    }
    ClearLastError();
    char *stop = nullptr;
    double value = strtod(begin, &stop);
    if (stop != end || LastError() != 0) {
        return false;
    }
    *out = value;
    return true;
}
