// The whole-text integer and double conversions against two oracles: the C
// library's own conversion named for each width (strtol, strtoll, strtoul,
// strtoull, strtod), applied to the number between the white space, and
// for the integers also a digit-by-digit reading of the number syntax that
// uses no library conversion at all.
//
// Input: the text (up to its first NUL byte).
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/support/fuzz_support.h"
#include "lib/cli/shared/clibase.h"

using fuzzsupport::Quote;

namespace {

bool IsWhite(char ch) {
    return ch == '\t' || ch == '\n' || ch == '\r' || ch == ' ';
}

// The number between leading and trailing white space (TAB, LF, CR and
// space). There is none in an empty or all-white text. The C conversions
// would also step over a vertical tab or form feed in front of the number,
// but those are no white space here and belong to no number's syntax, so a
// number that starts with one is no number.
bool NumberOf(const std::string &text, std::string *number) {
    size_t first = 0;
    while (first < text.size() && IsWhite(text[first])) {
        ++first;
    }
    size_t end = text.size();
    while (end > first && IsWhite(text[end - 1])) {
        --end;
    }
    if (end == first || text[first] == '\v' || text[first] == '\f') {
        return false;
    }
    *number = text.substr(first, end - first);
    return true;
}

bool HexMark(const std::string &s, size_t at) {
    return s.size() > at + 1 && s[at] == '0' && (s[at + 1] == 'x' || s[at + 1] == 'X');
}

int RadixOf(const std::string &number) {
    return HexMark(number, 0) || HexMark(number, 1) ? 16 : 10;
}

// ---- Oracle 1: the C library's conversions -------------------------------

template <typename T> struct Converted {
    bool ok = false;
    T value{};
};

// Converts the whole number with fn; fails unless fn used every byte and
// reported no range error.
template <typename T, typename Fn> Converted<T> ByLibrary(const std::string &text, Fn fn) {
    Converted<T> result;
    std::string number;
    if (!NumberOf(text, &number)) {
        return result;
    }
    char *stop = nullptr;
    errno = 0;
    T value = fn(number.c_str(), &stop, RadixOf(number));
    if (stop != number.c_str() + number.size() || errno == ERANGE) {
        return result;
    }
    result.ok = true;
    result.value = value;
    return result;
}

Converted<int64_t> SignedByLibrary(const std::string &text, bool wide) {
    Converted<int64_t> r =
        wide ? ByLibrary<int64_t>(
                   text, [](const char *s, char **e, int b) -> int64_t { return strtoll(s, e, b); })
             : ByLibrary<int64_t>(
                   text, [](const char *s, char **e, int b) -> int64_t { return strtol(s, e, b); });
    if (!wide && r.ok && (r.value < INT32_MIN || r.value > INT32_MAX)) {
        r.ok = false;
    }
    return r;
}

// The unsigned conversions accept a '-' that negates the value modulo the
// width; the magnitude behind the sign must fit the width.
Converted<uint64_t> UnsignedByLibrary(const std::string &text, bool wide) {
    Converted<uint64_t> r =
        wide ? ByLibrary<uint64_t>(
                   text,
                   [](const char *s, char **e, int b) -> uint64_t { return strtoull(s, e, b); })
             : ByLibrary<uint64_t>(text, [](const char *s, char **e, int b) -> uint64_t {
                   return strtoul(s, e, b);
               });
    if (!r.ok) {
        return r;
    }
    std::string number;
    NumberOf(text, &number);
    uint64_t magnitude = r.value;
    if (number[0] == '-') {
        magnitude = strtoull(number.c_str() + 1, nullptr, RadixOf(number));
    }
    uint64_t max = wide ? UINT64_MAX : UINT32_MAX;
    if (magnitude > max) {
        r.ok = false;
    } else if (!wide) {
        r.value = static_cast<uint32_t>(r.value);
    }
    return r;
}

// ---- Oracle 2: digit by digit ---------------------------------------------

// The number syntax read by hand: sign, "0x" when the radix is 16, at least
// one digit of the radix, nothing else. A magnitude of 2^64 or more fits no
// width and is only marked as such (64-bit arithmetic on every target).
struct Parsed {
    bool ok = false;
    bool negative = false;
    bool beyond64 = false; // the magnitude is 2^64 or more
    uint64_t magnitude = 0;
};

// The largest value of `bits` bits, for 1 to 64.
uint64_t MaxOf(int bits) {
    return bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
}

int DigitValue(char ch, int radix) {
    int v = ch >= '0' && ch <= '9'   ? ch - '0'
            : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
            : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                     : 99;
    return v < radix ? v : -1;
}

Parsed ByHand(const std::string &text) {
    Parsed p;
    std::string number;
    if (!NumberOf(text, &number)) {
        return p;
    }
    int radix = RadixOf(number);
    size_t i = 0;
    if (number[i] == '+' || number[i] == '-') {
        p.negative = number[i] == '-';
        ++i;
    }
    if (radix == 16) {
        if (!HexMark(number, i)) {
            return p;
        }
        i += 2;
    }
    if (i == number.size()) {
        return p;
    }
    for (; i < number.size(); ++i) {
        int d = DigitValue(number[i], radix);
        if (d < 0) {
            return p;
        }
        uint64_t digit = static_cast<uint64_t>(d);
        if (p.beyond64 || p.magnitude > (UINT64_MAX - digit) / static_cast<uint64_t>(radix)) {
            p.beyond64 = true;
        } else {
            p.magnitude = p.magnitude * static_cast<uint64_t>(radix) + digit;
        }
    }
    p.ok = true;
    return p;
}

Converted<int64_t> SignedByHand(const std::string &text, int bits) {
    Converted<int64_t> r;
    Parsed p = ByHand(text);
    uint64_t limit = uint64_t{1} << (bits - 1);
    if (!p.ok || p.beyond64 || p.magnitude > (p.negative ? limit : limit - 1)) {
        return r;
    }
    r.ok = true;
    r.value =
        p.negative ? static_cast<int64_t>(0 - p.magnitude) : static_cast<int64_t>(p.magnitude);
    return r;
}

// Unsigned of `bits` after a conversion at `convBits` (the 8- and 16-bit
// conversions convert at 32 bits and then check their own range).
Converted<uint64_t> UnsignedByHand(const std::string &text, int bits, int convBits) {
    Converted<uint64_t> r;
    Parsed p = ByHand(text);
    uint64_t convMax = MaxOf(convBits);
    if (!p.ok || p.beyond64 || p.magnitude > convMax) {
        return r;
    }
    // Negated modulo 2^convBits.
    uint64_t value = p.negative ? (0 - p.magnitude) & convMax : p.magnitude;
    if (value > MaxOf(bits)) {
        return r;
    }
    r.ok = true;
    r.value = value;
    return r;
}

// ---- The checks -------------------------------------------------------------

// Calls the conversion with a sentinel in its result, which a failure must
// leave alone, and compares with both oracles.
template <typename T, typename Fn>
void Check(const char *name, Fn convert, const char *text, const Converted<int64_t> &library,
           const Converted<int64_t> &byHand) {
    T sentinel;
    memset(&sentinel, 0xC3, sizeof sentinel);
    T out = sentinel;
    bool ok = convert(text, &out);
    std::string detail = std::string(name) + " of " + Quote(text) + ": got " +
                         (ok ? std::to_string(out) : std::string("failure")) + ", library says " +
                         (library.ok ? std::to_string(library.value) : "failure") + ", by hand " +
                         (byHand.ok ? std::to_string(byHand.value) : "failure");
    FUZZ_CHECK(ok == library.ok && ok == byHand.ok, detail);
    if (ok) {
        FUZZ_CHECK(static_cast<int64_t>(out) == library.value &&
                       static_cast<int64_t>(out) == byHand.value,
                   detail);
    } else {
        FUZZ_CHECK(memcmp(&out, &sentinel, sizeof out) == 0, detail + ": result written");
    }
}

Converted<int64_t> AsSigned(const Converted<uint64_t> &u) {
    Converted<int64_t> r;
    r.ok = u.ok;
    r.value = static_cast<int64_t>(u.value);
    return r;
}

Converted<int64_t> Narrow(Converted<int64_t> r, int64_t min, int64_t max) {
    if (r.ok && (r.value < min || r.value > max)) {
        r.ok = false;
    }
    return r;
}

void CheckDouble(const std::string &text) {
    std::string number;
    bool expectOk = false;
    double expected = 0;
    if (NumberOf(text, &number)) {
        char *stop = nullptr;
        errno = 0;
        expected = strtod(number.c_str(), &stop);
        expectOk = stop == number.c_str() + number.size() && errno == 0;
    }
    const double sentinel = -12345.678;
    double out = sentinel;
    bool ok = CliStrToDouble(text.c_str(), &out);
    std::string detail = "CliStrToDouble of " + Quote(text);
    FUZZ_CHECK(ok == expectOk, detail);
    // Bit for bit, so that NaN payloads and the sign of zero count too.
    FUZZ_CHECK(memcmp(&out, ok ? &expected : &sentinel, sizeof out) == 0, detail);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string text = input.substr(0, input.find('\0'));
    // Exactly the text's size on the heap: no conversion may read past it.
    std::unique_ptr<char[]> owned(new char[text.size() + 1]);
    memcpy(owned.get(), text.c_str(), text.size() + 1);
    const char *t = owned.get();

    Converted<int64_t> s32 = SignedByLibrary(text, false);
    Converted<int64_t> s64 = SignedByLibrary(text, true);
    Converted<int64_t> u32 = AsSigned(UnsignedByLibrary(text, false));
    Converted<int64_t> u64 = AsSigned(UnsignedByLibrary(text, true));

    Check<int8_t>("CliStrToSByte", CliStrToSByte, t, Narrow(s32, INT8_MIN, INT8_MAX),
                  SignedByHand(text, 8));
    Check<int16_t>("CliStrToSWord", CliStrToSWord, t, Narrow(s32, INT16_MIN, INT16_MAX),
                   SignedByHand(text, 16));
    Check<int32_t>("CliStrToSDword", CliStrToSDword, t, s32, SignedByHand(text, 32));
    Check<int64_t>("CliStrToSQword", CliStrToSQword, t, s64, SignedByHand(text, 64));
    Check<uint8_t>("CliStrToByte", CliStrToByte, t, Narrow(u32, 0, UINT8_MAX),
                   AsSigned(UnsignedByHand(text, 8, 32)));
    Check<uint16_t>("CliStrToWord", CliStrToWord, t, Narrow(u32, 0, UINT16_MAX),
                    AsSigned(UnsignedByHand(text, 16, 32)));
    Check<uint32_t>("CliStrToDword", CliStrToDword, t, u32, AsSigned(UnsignedByHand(text, 32, 32)));
    // Compared as the same 64 bits.
    Check<uint64_t>("CliStrToQword", CliStrToQword, t, u64, AsSigned(UnsignedByHand(text, 64, 64)));
    CheckDouble(text);
    return 0;
}
