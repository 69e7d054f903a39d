// Zero-filled heap blocks and formatted allocation.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/clibase.h"

void *CliMemAlloc(uint64_t size) {
    if (size == 0 || size > SIZE_MAX) {
        return nullptr;
    }
    return gOsSys.calloc(1, static_cast<size_t>(size));
}

void CliMemFree(void *block) {
    free(block);
}

void CliStrFree(char *str) {
    free(str);
}

char *CliStrDup(const char *str) {
    if (str == nullptr) {
        return nullptr;
    }
    uint64_t size = uint64_t{strlen(str)} + 1;
    char *copy = static_cast<char *>(CliMemAlloc(size));
    if (copy != nullptr) {
        memcpy(copy, str, size);
    }
    return copy;
}

namespace {
// A formatting error that persists would otherwise grow the buffer by 32
// bytes per attempt until the size wraps; give up long before that.
constexpr int kMaxFormatErrorRetries = 64;
} // namespace

char *CliStrAlloc(const char *format, ...) {
    if (format == nullptr) {
        return nullptr;
    }
    uint32_t size = 32;
    int errorRetries = 0;
    while (size != 0) {
        char *buffer = static_cast<char *>(CliMemAlloc(size));
        if (buffer == nullptr) {
            return nullptr;
        }
        va_list args;
        va_start(args, format);
        int len = vsnprintf(buffer, size, format, args);
        va_end(args);
        if (len < 0) {
            CliMemFree(buffer);
            if (++errorRetries > kMaxFormatErrorRetries) {
                return nullptr;
            }
            size += 32;
            continue;
        }
        if (static_cast<uint64_t>(len) < size) {
            return buffer;
        }
        CliMemFree(buffer);
        size = static_cast<uint32_t>(len) + 1; // wraps to 0 only for a 4 GiB text
    }
    return nullptr;
}

uint64_t CliMemGrow(void **block, uint64_t oldSize, uint64_t newSize) {
    if (block == nullptr || newSize == 0 || newSize < oldSize) {
        return 0;
    }
    void *grown = CliMemAlloc(newSize);
    if (grown == nullptr) {
        return 0;
    }
    if (*block != nullptr && oldSize != 0) {
        memcpy(grown, *block, static_cast<size_t>(oldSize));
    }
    CliMemFree(*block);
    *block = grown;
    return newSize;
}
