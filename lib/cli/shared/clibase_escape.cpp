// Escaping of text the program did not make itself (a driver's name, a
// reason from outside) before it is printed where a line feed or an escape
// sequence would forge a line of its own.
#include "lib/cli/shared/clibase.h"

namespace {

// The escape of one byte, NUL-terminated, in out (room for 5 bytes): the
// byte itself when it is printable ASCII other than the backslash.
void EscapeOf(unsigned char byte, char out[5]) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char *named = byte == '\\'   ? "\\\\"
                        : byte == '\n' ? "\\n"
                        : byte == '\r' ? "\\r"
                        : byte == '\t' ? "\\t"
                                       : nullptr;
    if (named != nullptr) {
        out[0] = named[0];
        out[1] = named[1];
        out[2] = '\0';
    } else if (byte >= 0x20 && byte < 0x7f) {
        out[0] = static_cast<char>(byte);
        out[1] = '\0';
    } else {
        out[0] = '\\';
        out[1] = 'x';
        out[2] = kHex[byte >> 4];
        out[3] = kHex[byte & 0xf];
        out[4] = '\0';
    }
}

} // namespace

bool CliStrEscape(char *dst, uint32_t size, const char *src) {
    if (size == 0) {
        return false; // not even the terminator fits
    }
    uint32_t used = 0;
    for (const char *p = src; p != nullptr && *p != '\0'; ++p) {
        char escape[5];
        EscapeOf(static_cast<unsigned char>(*p), escape);
        uint32_t length = CliStrLen(escape);
        if (used + length >= size) {
            dst[used] = '\0';
            return false; // never half an escape
        }
        for (uint32_t i = 0; i < length; ++i) {
            dst[used++] = escape[i];
        }
    }
    dst[used] = '\0';
    return true;
}
