// Character classes and case conversion, byte-wise in the C locale.
#include <cctype>

#include "lib/cli/shared/clibase.h"

namespace {
inline unsigned char Byte(char ch) {
    return static_cast<unsigned char>(ch);
}
} // namespace

bool CliChIsLower(char ch) {
    return ch >= 'a' && ch <= 'z';
}
bool CliChIsUpper(char ch) {
    return ch >= 'A' && ch <= 'Z';
}
bool CliChIsDigit(char ch) {
    return ch >= '0' && ch <= '9';
}
bool CliChIsHexDigit(char ch) {
    return CliChIsDigit(ch) || (ch >= 'A' && ch <= 'F') || (ch >= 'a' && ch <= 'f');
}
bool CliChIsAlpha(char ch) {
    return CliChIsLower(ch) || CliChIsUpper(ch);
}
bool CliChIsWhite(char ch) {
    return ch == '\t' || ch == '\n' || ch == '\r' || ch == ' ';
}
bool CliChIsPrint(char ch) {
    return Byte(ch) >= 0x20 && Byte(ch) <= 0x7E;
}

bool CliChIsMember(char ch, const char *set) {
    if (ch == '\0' || set == nullptr) {
        return false;
    }
    for (; *set != '\0'; ++set) {
        if (*set == ch) {
            return true;
        }
    }
    return false;
}

char CliChToUpper(char ch) {
    return static_cast<char>(toupper(Byte(ch)));
}
char CliChToLower(char ch) {
    return static_cast<char>(tolower(Byte(ch)));
}

void CliStrToUpper(char *str) {
    for (; *str != '\0'; ++str) {
        *str = CliChToUpper(*str);
    }
}

void CliStrToLower(char *str) {
    for (; *str != '\0'; ++str) {
        *str = CliChToLower(*str);
    }
}
