// The printing family: format into a 128-byte message buffer, filter by
// verbosity, and hand the text to a line writer.
#include <cstdarg>
#include <cstdio>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cliterm.h"

const char *const gBlankLine = "\r                                        "
                               "                                       \r";

namespace {

constexpr uint32_t kMessageSize = 128;
using LineWriter = void (*)(char *, uint32_t);

void Display(LineWriter writer, bool lineEnd, const char *format, va_list args) {
    char buffer[kMessageSize];
    vsnprintf(buffer, sizeof buffer, format, args);
    if (lineEnd) {
        CliStrCat(buffer, sizeof buffer, "\n");
    }
    writer(buffer, sizeof buffer);
}

bool DebugOn() {
    return gCli != nullptr && static_cast<uint8_t>(gCli->verbosity) == kCliVerbosityDebug;
}

} // namespace

#define CLI_DISPLAY(writer, lineEnd, format)                                                       \
    do {                                                                                           \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        Display(writer, lineEnd, format, args);                                                    \
        va_end(args);                                                                              \
    } while (0)

void CliPrint(const char *format, ...) {
    CLI_DISPLAY(CliTermDispMsg, true, format);
}
void CliPrint2(const char *format, ...) {
    CLI_DISPLAY(CliTermDispMsg, false, format);
}
void CliPrintError(const char *format, ...) {
    CLI_DISPLAY(CliTermDispError, true, format);
}
void CliPrintError2(const char *format, ...) {
    CLI_DISPLAY(CliTermDispError, false, format);
}

void CliPrintVerboseV(uint8_t level, const char *format, va_list args) {
    if (CliVerbosityEnabled(level)) {
        Display(CliTermDispVerbose, true, format, args);
    }
}

void CliPrintVerbose2V(uint8_t level, const char *format, va_list args) {
    if (CliVerbosityEnabled(level)) {
        Display(CliTermDispVerbose, false, format, args);
    }
}

void CliPrintVerbose(uint8_t level, const char *format, ...) {
    if (CliVerbosityEnabled(level)) {
        CLI_DISPLAY(CliTermDispVerbose, true, format);
    }
}

void CliPrintVerbose2(uint8_t level, const char *format, ...) {
    if (CliVerbosityEnabled(level)) {
        CLI_DISPLAY(CliTermDispVerbose, false, format);
    }
}

void CliDbgPrint(const char *format, ...) {
    if (DebugOn()) {
        CLI_DISPLAY(CliTermDispVerbose, true, format);
    }
}

void CliDbgPrint2(const char *format, ...) {
    if (DebugOn()) {
        CLI_DISPLAY(CliTermDispVerbose, false, format);
    }
}

void CliPrintSectionHdr(char ch, uint8_t count, const char *format, ...) {
    auto rule = [&] {
        for (uint8_t i = 0; i < count; ++i) {
            putchar(ch);
        }
        putchar('\n');
    };
    if (count != 0) {
        rule();
    } else {
        putchar('\n');
    }
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    if (count != 0) {
        rule();
    } else {
        putchar('\n');
    }
}

void CliPrintErrorFunc(const char *name) {
    CliPrintError("Update function %s", name);
    CliExit(1);
}
