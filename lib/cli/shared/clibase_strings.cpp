// Bounded copy and append, trimming, escapes, removal and search.
#include <cstring>
#include <strings.h>

#include "lib/cli/shared/clibase.h"

uint32_t CliStrLen(const char *str) {
    return str == nullptr ? 0 : static_cast<uint32_t>(strlen(str));
}

uint32_t CliStrSize(const char *str) {
    return str == nullptr ? 0 : CliStrLen(str) + 1;
}

bool CliStrCpy(char *dst, uint32_t dstSize, const char *src) {
    // 64-bit arithmetic: a source of 4 GiB must not wrap into "fits".
    uint64_t need = src == nullptr ? 0 : uint64_t{CliStrLen(src)} + 1;
    if (need > dstSize) {
        return false;
    }
    if (src != nullptr) {
        memcpy(dst, src, need);
    } else {
        need = 0;
    }
    memset(dst + need, 0, dstSize - need);
    return true;
}

bool CliStrCat(char *dst, uint32_t dstSize, const char *src) {
    uint64_t dstLen = CliStrLen(dst);
    uint64_t srcLen = CliStrLen(src);
    if (dstLen + 1 + srcLen > dstSize) {
        return false;
    }
    if (src != nullptr) {
        memcpy(dst + dstLen, src, srcLen + 1);
    }
    return true;
}

bool CliChCat(char *dst, uint32_t dstSize, char ch) {
    uint64_t dstLen = CliStrLen(dst);
    if (ch == '\0') {
        return dstLen + 1 <= dstSize;
    }
    if (dstLen + 2 > dstSize) {
        return false;
    }
    dst[dstLen] = ch;
    dst[dstLen + 1] = '\0';
    return true;
}

bool CliStrCpyAndTrim(char *dst, uint32_t dstSize, const void *src, uint32_t srcLen) {
    if (dstSize == 0 || dst == nullptr || src == nullptr) {
        return false;
    }
    const char *bytes = static_cast<const char *>(src);
    uint32_t first = 0;
    while (first < srcLen && CliChIsWhite(bytes[first])) {
        ++first;
    }
    uint32_t end = srcLen;
    while (end > first && (CliChIsWhite(bytes[end - 1]) || bytes[end - 1] == '\0')) {
        --end;
    }
    uint32_t keep = end - first;
    // The source may overlap the destination: decide before writing.
    if (keep == 0) {
        dst[0] = '\0';
        return true;
    }
    if (uint64_t{keep} + 1 > dstSize) {
        dst[0] = '\0';
        return false;
    }
    memmove(dst, bytes + first, keep);
    dst[keep] = '\0';
    return true;
}

namespace {

// The byte an escape letter stands for, or -1 for an invalid escape.
int EscapedByte(char letter) {
    switch (letter) {
    case 'a':
        return 0x07;
    case 'b':
        return 0x08;
    case 'f':
        return 0x0C;
    case 'n':
        return 0x0A;
    case 'r':
        return 0x0D;
    case 't':
        return 0x09;
    case 'v':
        return 0x0B;
    case '"':
        return 0x22;
    case '\'':
        return 0x27;
    case '?':
        return 0x3F;
    case '\\':
        return 0x5C;
    default:
        return -1;
    }
}

} // namespace

bool CliStrCpyAndEsc(char *dst, uint32_t dstSize, const char *src) {
    if (dstSize == 0 || dst == nullptr || src == nullptr) {
        return false;
    }
    dst[0] = '\0';
    uint32_t out = 0;
    for (;;) {
        char ch = *src++;
        if (ch == '\\') {
            int byte = EscapedByte(*src++);
            if (byte < 0) {
                return false;
            }
            ch = static_cast<char>(byte);
        }
        if (out >= dstSize) {
            return false;
        }
        dst[out++] = ch;
        if (ch == '\0') { // no escape produces NUL: this is the terminator
            return true;
        }
    }
}

char *CliStrTrim(char *str) {
    size_t lead = 0;
    while (CliChIsWhite(str[lead])) {
        ++lead;
    }
    size_t len = strlen(str + lead);
    if (lead > 0) {
        memmove(str, str + lead, len + 1);
    }
    while (len > 0 && CliChIsWhite(str[len - 1])) {
        str[--len] = '\0';
    }
    return str + len;
}

void CliStrRmvChar(char *str, char ch) {
    if (ch == '\0') {
        return;
    }
    char *out = str;
    for (const char *in = str; *in != '\0'; ++in) {
        if (*in != ch) {
            *out++ = *in;
        }
    }
    *out = '\0';
}

namespace {

using Compare = int (*)(const char *, const char *, size_t);

char *SearchForward(const char *str, const char *needle, Compare cmp) {
    const char *pat = needle == nullptr ? "" : needle;
    size_t n = strlen(pat);
    for (const char *p = str; *p != '\0'; ++p) {
        if (cmp(p, pat, n) == 0) {
            return const_cast<char *>(p);
        }
    }
    return nullptr;
}

char *SearchReverse(const char *str, const char *needle, Compare cmp) {
    const char *pat = needle == nullptr ? "" : needle;
    size_t n = strlen(pat);
    for (const char *p = str + strlen(str);; --p) {
        if (cmp(p, pat, n) == 0) {
            return const_cast<char *>(p);
        }
        if (p == str) {
            return nullptr;
        }
    }
}

} // namespace

char *CliStrSearchCs(const char *str, const char *needle) {
    return SearchForward(str, needle, strncmp);
}
char *CliStrSearchCi(const char *str, const char *needle) {
    return SearchForward(str, needle, strncasecmp);
}
char *CliStrSearchReverseCs(const char *str, const char *needle) {
    return SearchReverse(str, needle, strncmp);
}
char *CliStrSearchReverseCi(const char *str, const char *needle) {
    return SearchReverse(str, needle, strncasecmp);
}
