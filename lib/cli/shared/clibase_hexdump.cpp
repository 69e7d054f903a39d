// Hex strings and hex dumps rendered into caller buffers.
#include <cstdio>
#include <cstring>

#include "lib/cli/shared/clibase.h"
#include "lib/cli/shared/clibase_hexrender.h"

namespace clihex {
namespace {

const uint8_t *Bytes(const void *data) {
    return static_cast<const uint8_t *>(data);
}

char Shown(uint8_t byte) {
    return byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
}

// Small helpers that turn each element into a Put call.
class Writer {
public:
    explicit Writer(Sink &sink) : sink_(sink) {}

    bool Fixed(const char *text) { return sink_.Put(text, Len(text), true); }

    bool Number(const char *format, uint32_t value) {
        char text[16];
        int length = snprintf(text, sizeof text, format, value);
        return sink_.Put(text, static_cast<uint32_t>(length), false);
    }

    bool Char(char ch) {
        char text[2] = {ch, '\0'};
        return sink_.Put(text, 1, false);
    }

    bool Spaces(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            if (!Fixed(" ")) {
                return false;
            }
        }
        return true;
    }

private:
    static uint32_t Len(const char *text) { return static_cast<uint32_t>(strlen(text)); }
    Sink &sink_;
};

uint32_t LoadUnit(const uint8_t *at, uint32_t unitSize) {
    if (unitSize == 4) {
        uint32_t value;
        memcpy(&value, at, sizeof value);
        return value;
    }
    if (unitSize == 2) {
        uint16_t value;
        memcpy(&value, at, sizeof value);
        return value;
    }
    return *at;
}

} // namespace

bool RenderHexStr(Sink &sink, const void *data, uint32_t length, char separator) {
    Writer out(sink);
    const uint8_t *bytes = Bytes(data);
    for (uint32_t i = 0; i < length; ++i) {
        if (i != 0 && separator != '\0' && !out.Char(separator)) {
            return false;
        }
        if (!out.Number("%02X", bytes[i])) {
            return false;
        }
    }
    return true;
}

bool RenderHexStr2(Sink &sink, const void *data, uint32_t length, char separator,
                   uint8_t bytesPerLine, uint8_t indent, uint32_t flags) {
    if (length == 0) {
        return true;
    }
    if (bytesPerLine == 0) {
        return false; // no line could ever take a byte
    }
    Writer out(sink);
    const uint8_t *bytes = Bytes(data);
    uint32_t next = 0;
    bool firstLine = true;
    while (next < length) {
        if (!(firstLine && (flags & kCliHexStrNoFirstIndent)) && !out.Spaces(indent)) {
            return false;
        }
        firstLine = false;
        uint32_t end = length - next < bytesPerLine ? length : next + bytesPerLine;
        for (uint32_t i = next; i < end; ++i) {
            if (i != next && separator != '\0' && !out.Char(separator)) {
                return false;
            }
            bool fits = (flags & kCliHexStrChars) ? out.Char(Shown(bytes[i]))
                                                  : out.Number("%02X", bytes[i]);
            if (!fits) {
                return false;
            }
        }
        next = end;
        if (!out.Fixed("\n")) {
            return false;
        }
    }
    return true;
}

bool RenderHexDump(Sink &sink, const void *data, uint32_t length, uint8_t unitsPerLine,
                   uint8_t indent, uint32_t flags) {
    uint32_t unitSize = (flags & kCliHexDumpDwords) ? 4 : (flags & kCliHexDumpWords) ? 2 : 1;
    const char *unitFormat = unitSize == 4 ? "%08X" : unitSize == 2 ? "%04X" : "%02X";
    // A trailing partial unit is not shown.
    uint32_t unitCount = length / unitSize;
    length = unitCount * unitSize;
    if (unitCount == 0) {
        return true;
    }
    if (unitsPerLine == 0) {
        return false; // no line could ever take a unit
    }
    const char *offsetFormat = length <= 0xFF ? "%02X" : length <= 0xFFFF ? "%04X" : "%08X";
    // Blank units on the last line keep the columns aligned: two spaces per
    // byte of the unit, two more for the "0x".
    uint32_t blankPairs = unitSize + ((flags & kCliHexDumpUnitPrefix) ? 1 : 0);

    Writer out(sink);
    const uint8_t *bytes = Bytes(data);
    uint32_t unit = 0;
    bool firstLine = true;
    while (unit < unitCount) {
        if (!(firstLine && (flags & kCliHexDumpNoFirstIndent)) && !out.Spaces(indent)) {
            return false;
        }
        firstLine = false;
        const uint8_t *lineStart = bytes + uint64_t{unit} * unitSize;

        if (flags & kCliHexDumpAddress) {
            uint64_t address = reinterpret_cast<uintptr_t>(lineStart);
            if (!out.Fixed("[") || ((flags & kCliHexDumpAddrPrefix) && !out.Fixed("0x")) ||
                !out.Number("%08X:", static_cast<uint32_t>(address >> 32)) ||
                !out.Number("%08X]  ", static_cast<uint32_t>(address))) {
                return false;
            }
        }
        if (flags & kCliHexDumpOffset) {
            if (!out.Fixed("[") || ((flags & kCliHexDumpOffsetPrefix) && !out.Fixed("0x")) ||
                !out.Number(offsetFormat, unit * unitSize) || !out.Fixed("]  ")) {
                return false;
            }
        }

        uint32_t lineFirstUnit = unit;
        for (uint32_t position = 0; position < unitsPerLine; ++position) {
            if (position != 0 && !(flags & kCliHexDumpPacked) && !out.Fixed(" ")) {
                return false;
            }
            if (unit < unitCount) {
                if (((flags & kCliHexDumpUnitPrefix) && !out.Fixed("0x")) ||
                    !out.Number(unitFormat,
                                LoadUnit(bytes + uint64_t{unit} * unitSize, unitSize))) {
                    return false;
                }
                ++unit;
            } else {
                for (uint32_t pair = 0; pair < blankPairs; ++pair) {
                    if (!out.Fixed("  ")) {
                        return false;
                    }
                }
            }
        }

        if (flags & kCliHexDumpChars) {
            if (!out.Fixed("  ")) {
                return false;
            }
            uint32_t lineBytes = (unit - lineFirstUnit) * unitSize;
            for (uint32_t i = 0; i < lineBytes; ++i) {
                if (!out.Char(Shown(lineStart[i]))) {
                    return false;
                }
            }
        }
        if (!out.Fixed("\n")) {
            return false;
        }
    }
    return true;
}

} // namespace clihex

namespace {

// Appends elements to a caller buffer. The text stays terminated after every
// element; the length is tracked so that long dumps stay linear.
class BufferSink final : public clihex::Sink {
public:
    BufferSink(char *buffer, uint32_t size) : buffer_(buffer), size_(size) {}

    bool Put(const char *text, uint32_t length, bool fixed) override {
        uint64_t room = size_ - used_ - 1; // characters that still fit
        if (length <= room) {
            memcpy(buffer_ + used_, text, length);
            used_ += length;
            buffer_[used_] = '\0';
            return true;
        }
        if (!fixed) {
            memcpy(buffer_ + used_, text, room);
            used_ += static_cast<uint32_t>(room);
            buffer_[used_] = '\0';
        }
        return false;
    }

private:
    char *buffer_;
    uint32_t size_;
    uint32_t used_ = 0;
};

// The free space behind the text already in a buffer, or size 0 when the
// buffer holds no terminator within its size.
uint32_t FreeSpace(char *&buffer, uint32_t size) {
    size_t used = size == 0 ? 0 : strnlen(buffer, size);
    if (used >= size) {
        return 0;
    }
    buffer += used;
    return size - static_cast<uint32_t>(used);
}

} // namespace

bool CliSprintHexStr(char *buffer, uint32_t size, const void *data, uint32_t length,
                     char separator) {
    if (size == 0) {
        return false;
    }
    buffer[0] = '\0';
    BufferSink sink(buffer, size);
    return clihex::RenderHexStr(sink, data, length, separator);
}

bool CliSprintHexStrCat(char *buffer, uint32_t size, const void *data, uint32_t length,
                        char separator) {
    uint32_t space = FreeSpace(buffer, size);
    return CliSprintHexStr(buffer, space, data, length, separator);
}

bool CliSprintHexStr2(char *buffer, uint32_t size, const void *data, uint32_t length,
                      char separator, uint8_t bytesPerLine, uint8_t indent, uint32_t flags) {
    if (size == 0) {
        return false;
    }
    buffer[0] = '\0';
    BufferSink sink(buffer, size);
    return clihex::RenderHexStr2(sink, data, length, separator, bytesPerLine, indent, flags);
}

bool CliSprintHexStr2Cat(char *buffer, uint32_t size, const void *data, uint32_t length,
                         char separator, uint8_t bytesPerLine, uint8_t indent, uint32_t flags) {
    uint32_t space = FreeSpace(buffer, size);
    return CliSprintHexStr2(buffer, space, data, length, separator, bytesPerLine, indent, flags);
}

bool CliSprintHexDump2(char *buffer, uint32_t size, const void *data, uint32_t length,
                       uint8_t unitsPerLine, uint8_t indent, uint32_t flags) {
    if (size == 0) {
        return false;
    }
    buffer[0] = '\0';
    BufferSink sink(buffer, size);
    return clihex::RenderHexDump(sink, data, length, unitsPerLine, indent, flags);
}

bool CliSprintHexDump(char *buffer, uint32_t size, const void *data, uint32_t length,
                      uint8_t unitsPerLine, uint32_t flags) {
    return CliSprintHexDump2(buffer, size, data, length, unitsPerLine, 0, flags);
}

bool CliSprintHexDump2Cat(char *buffer, uint32_t size, const void *data, uint32_t length,
                          uint8_t unitsPerLine, uint8_t indent, uint32_t flags) {
    uint32_t space = FreeSpace(buffer, size);
    return CliSprintHexDump2(buffer, space, data, length, unitsPerLine, indent, flags);
}

bool CliSprintHexDumpCat(char *buffer, uint32_t size, const void *data, uint32_t length,
                         uint8_t unitsPerLine, uint32_t flags) {
    return CliSprintHexDump2Cat(buffer, size, data, length, unitsPerLine, 0, flags);
}
