// Shared pieces of the fuzz targets: a check that stops the process with a
// message (the fuzzer and the corpus replay both see the abort), a reader
// that takes parameters from the front of an input, and the tests' buffer
// followed by a guard region that a bounded writer must leave alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/guarded_buffer.h"

// The entry point of a target; the replay main and libFuzzer call it. A
// target that needs set-up once per process also defines
// extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fuzzsupport {

[[noreturn]] inline void Fail(const char *file, int line, const char *what,
                              const std::string &detail) {
    fprintf(stderr, "%s:%d: check failed: %s\n%s%s", file, line, what, detail.c_str(),
            detail.empty() || detail.back() == '\n' ? "" : "\n");
    fflush(stderr);
    abort();
}

// Shows bytes with C escapes, for the messages of failed checks.
inline std::string Quote(const void *data, size_t size) {
    std::string out = "\"";
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = bytes[i];
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out + "\"";
}
inline std::string Quote(const std::string &text) {
    return Quote(text.data(), text.size());
}

// Takes parameters from the front of an input; past its end every
// parameter reads as 0. The rest is what is left after the parameters.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t Dword() {
        uint32_t low = Word();
        return low | (uint32_t{Word()} << 16);
    }
    // Up to n bytes, fewer at the end of the input.
    std::string Take(size_t n) {
        size_t k = n < size_ - pos_ ? n : size_ - pos_;
        std::string out(reinterpret_cast<const char *>(data_ + pos_), k);
        pos_ += k;
        return out;
    }
    std::string Rest() { return Take(size_ - pos_); }
    size_t Left() const { return size_ - pos_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// A destination followed by a guard region that a bounded writer must leave
// alone (shared with the unit tests).
using testsupport::GuardedBuffer;

} // namespace fuzzsupport

#define FUZZ_CHECK(cond, detail)                                                                   \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            ::fuzzsupport::Fail(__FILE__, __LINE__, #cond, (detail));                              \
        }                                                                                          \
    } while (0)
