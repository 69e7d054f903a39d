// Hex strings and hex dumps printed to the console, element by element
// through CliPrint2, with exactly the text of the buffer renderers.
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/clibase_hexrender.h"

namespace {

class ConsoleSink final : public clihex::Sink {
public:
    bool Put(const char *text, uint32_t length, bool fixed) override {
        (void)length;
        (void)fixed;
        CliPrint2("%s", text);
        return true;
    }
};

} // namespace

void CliPrintHexStr(const void *data, uint32_t length, char separator) {
    ConsoleSink sink;
    clihex::RenderHexStr(sink, data, length, separator);
}

void CliPrintHexStr2(const void *data, uint32_t length, char separator, uint8_t bytesPerLine,
                     uint8_t indent, uint32_t flags) {
    ConsoleSink sink;
    clihex::RenderHexStr2(sink, data, length, separator, bytesPerLine, indent, flags);
}

void CliPrintHexDump2(const void *data, uint32_t length, uint8_t unitsPerLine, uint8_t indent,
                      uint32_t flags) {
    ConsoleSink sink;
    clihex::RenderHexDump(sink, data, length, unitsPerLine, indent, flags);
}

void CliPrintHexDump(const void *data, uint32_t length, uint8_t unitsPerLine, uint32_t flags) {
    CliPrintHexDump2(data, length, unitsPerLine, 0, flags);
}
