// A destination of `size` bytes followed by a guard region, both filled
// with a pattern byte, for proving that a bounded writer never writes past
// the size it is given (and, with UntouchedFrom, where it stopped). The
// whole block is one heap allocation, so a write past the guard is caught
// by the address sanitizer as well. Header-only: the tests and the fuzz
// targets (which build without the test libraries) share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testsupport {

class GuardedBuffer {
public:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kPattern = 0xA5;

    explicit GuardedBuffer(size_t size, uint8_t pattern = kPattern)
        : size_(size), pattern_(pattern), block_(size + kGuard, pattern) {}

    char *Data() { return reinterpret_cast<char *>(block_.data()); }
    uint32_t Size() const { return static_cast<uint32_t>(size_); }
    // Byte i of the destination or of the guard behind it.
    char operator[](size_t i) const { return static_cast<char>(block_.at(i)); }

    // True when no byte from `from` on, guard included, was written.
    bool UntouchedFrom(size_t from) const {
        for (size_t i = from; i < block_.size(); ++i) {
            if (block_[i] != pattern_) {
                return false;
            }
        }
        return true;
    }
    // The guard still holds the pattern.
    bool Intact() const { return UntouchedFrom(size_); }
    // No byte of the destination was written either.
    bool Untouched() const { return UntouchedFrom(0); }
    // The destination's text up to its first NUL; false when there is no
    // terminator inside the destination.
    bool Text(std::string *out) const {
        const void *nul = memchr(block_.data(), 0, size_);
        if (nul == nullptr) {
            return false;
        }
        out->assign(reinterpret_cast<const char *>(block_.data()),
                    static_cast<const uint8_t *>(nul) - block_.data());
        return true;
    }

private:
    size_t size_;
    uint8_t pattern_;
    std::vector<uint8_t> block_;
};

} // namespace testsupport
