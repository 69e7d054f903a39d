// CliStrCpyAndEsc and CliStrCpyAndTrim against models of their rules, into
// destinations of every small size followed by a guard region.
//
// Input: mode byte (bit 0: trim instead of escape copy; bit 1: trim a
// buffer into itself, bits 2-5 giving the distance between source and
// destination and bit 6 putting the source in front), destination size
// byte, then the source bytes.
#include <memory>
#include <string>

#include "fuzz/support/fuzz_support.h"
#include "lib/cli/shared/clibase.h"

using fuzzsupport::GuardedBuffer;
using fuzzsupport::Quote;

namespace {

bool IsWhite(char ch) {
    return ch == '\t' || ch == '\n' || ch == '\r' || ch == ' ';
}

// The unescaped text, or false for an invalid escape.
bool Unescape(const std::string &src, std::string *out) {
    static const char kLetters[] = "abfnrtv\"'?\\";
    static const char kBytes[] = "\a\b\f\n\r\t\v\"'?\\";
    out->clear();
    for (size_t i = 0; i < src.size(); ++i) {
        if (src[i] != '\\') {
            *out += src[i];
            continue;
        }
        if (i + 1 == src.size()) {
            return false; // a backslash before the terminator
        }
        const char *hit = src[i + 1] == '\0' ? nullptr : strchr(kLetters, src[i + 1]);
        if (hit == nullptr) {
            return false;
        }
        *out += kBytes[hit - kLetters];
        ++i;
    }
    return true;
}

void CheckEscape(uint32_t size, const std::string &input) {
    // The source as a C string of exactly its own size: the copy must not
    // read past the terminator.
    std::string src = input.substr(0, input.find('\0'));
    std::unique_ptr<char[]> source(new char[src.size() + 1]);
    memcpy(source.get(), src.c_str(), src.size() + 1);

    std::string expected;
    bool valid = Unescape(src, &expected);
    bool fits = uint64_t{expected.size()} + 1 <= size;

    GuardedBuffer dst(size);
    bool ok = CliStrCpyAndEsc(dst.Data(), dst.Size(), source.get());
    std::string detail = "escape copy of " + Quote(src) + " into " + std::to_string(size);

    FUZZ_CHECK(ok == (size != 0 && valid && fits), detail);
    FUZZ_CHECK(dst.Intact(), detail + ": wrote past the destination");
    if (size == 0) {
        FUZZ_CHECK(dst.Untouched(), detail);
    }
    if (ok) {
        FUZZ_CHECK(memcmp(dst.Data(), expected.c_str(), expected.size() + 1) == 0,
                   detail + ": gave " + Quote(dst.Data(), expected.size() + 1));
    }
}

// The kept text of a fixed-width field: leading white space skipped,
// trailing white space and NUL dropped.
std::string Trimmed(const std::string &field) {
    size_t first = 0;
    while (first < field.size() && IsWhite(field[first])) {
        ++first;
    }
    size_t end = field.size();
    while (end > first && (IsWhite(field[end - 1]) || field[end - 1] == '\0')) {
        --end;
    }
    return field.substr(first, end - first);
}

void CheckTrim(uint32_t size, const std::string &field) {
    std::string kept = Trimmed(field);
    bool fits = uint64_t{kept.size()} + 1 <= size;
    std::string detail = "trim copy of " + Quote(field) + " into " + std::to_string(size);

    // The field on the heap at exactly its width: the copy reads no further.
    std::unique_ptr<char[]> source(new char[field.size() + 1]);
    memcpy(source.get(), field.data(), field.size());
    GuardedBuffer dst(size);
    bool ok =
        CliStrCpyAndTrim(dst.Data(), dst.Size(), source.get(), static_cast<uint32_t>(field.size()));

    FUZZ_CHECK(ok == (size != 0 && (kept.empty() || fits)), detail);
    FUZZ_CHECK(dst.Intact(), detail + ": wrote past the destination");
    if (size == 0) {
        FUZZ_CHECK(dst.Untouched(), detail);
        return;
    }
    // The text and its terminator, or the empty text when it did not fit;
    // the bytes behind them stay as they were.
    size_t written = ok ? kept.size() + 1 : 1;
    std::string want = ok ? kept + '\0' : std::string(1, '\0');
    FUZZ_CHECK(memcmp(dst.Data(), want.data(), written) == 0,
               detail + ": gave " + Quote(dst.Data(), written));
    for (size_t i = written; i < size; ++i) {
        FUZZ_CHECK(static_cast<uint8_t>(dst.Data()[i]) == GuardedBuffer::kPattern,
                   detail + ": wrote behind the terminator");
    }
}

// Trimming a buffer into itself: the source lies `distance` bytes behind
// (or, with `backwards`, in front of) the destination in one block.
void CheckTrimInPlace(uint32_t size, uint32_t distance, bool backwards, const std::string &field) {
    std::string kept = Trimmed(field);
    size_t span = distance + (field.size() > size ? field.size() : size);
    std::unique_ptr<char[]> block(new char[span]);
    memset(block.get(), 0x5A, span);
    char *src = block.get() + (backwards ? 0 : distance);
    char *dst = block.get() + (backwards ? distance : 0);
    memcpy(src, field.data(), field.size());

    bool ok = CliStrCpyAndTrim(dst, size, src, static_cast<uint32_t>(field.size()));
    std::string detail = "trim of " + Quote(field) + " into itself, size " + std::to_string(size) +
                         ", distance " + std::to_string(distance);
    bool fits = uint64_t{kept.size()} + 1 <= size;
    FUZZ_CHECK(ok == (size != 0 && (kept.empty() || fits)), detail);
    if (ok) {
        FUZZ_CHECK(memcmp(dst, kept.c_str(), kept.size() + 1) == 0,
                   detail + ": gave " + Quote(dst, kept.size() + 1));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::Reader in(data, size);
    uint8_t mode = in.Byte();
    uint32_t dstSize = in.Byte();
    std::string source = in.Rest();
    if ((mode & 1) == 0) {
        CheckEscape(dstSize, source);
    } else if ((mode & 2) == 0) {
        CheckTrim(dstSize, source);
    } else {
        CheckTrimInPlace(dstSize, (mode >> 2) & 0xF, (mode & 0x40) != 0, source);
    }
    return 0;
}
