// Internal to the hex renderers: one rendering of each layout, written to a
// sink element by element, so that the buffer and the console forms produce
// the same text.
#pragma once

#include <cstdint>

namespace clihex {

class Sink {
public:
    // Appends one element. A fixed element (blanks, brackets, "0x", line
    // ends) goes in whole or not at all; a formatted one (a number, a
    // character) may be cut short. Returns false when it did not fit whole.
    virtual bool Put(const char *text, uint32_t length, bool fixed) = 0;

protected:
    ~Sink() = default;
};

bool RenderHexStr(Sink &sink, const void *data, uint32_t length, char separator);
bool RenderHexStr2(Sink &sink, const void *data, uint32_t length, char separator,
                   uint8_t bytesPerLine, uint8_t indent, uint32_t flags);
bool RenderHexDump(Sink &sink, const void *data, uint32_t length, uint8_t unitsPerLine,
                   uint8_t indent, uint32_t flags);

} // namespace clihex
