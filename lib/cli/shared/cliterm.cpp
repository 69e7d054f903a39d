// Line writers and the help display.
#include <cstdio>
#include <cstring>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"
#include "lib/cli/shared/cliterm.h"

namespace {

// Writes the text as lines, each preceded by prefix (may be null). A last
// stretch without a line end is written without one.
void WriteLines(FILE *stream, const char *prefix, char *buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    buffer[size - 1] = '\0';
    char *text = buffer;
    while (*text != '\0') {
        if (prefix != nullptr) {
            fputs(prefix, stream);
        }
        char *newline = strchr(text, '\n');
        if (newline == nullptr) {
            fputs(text, stream);
            return;
        }
        *newline = '\0';
        fputs(text, stream);
        fputc('\n', stream);
        text = newline + 1;
    }
}

} // namespace

void CliTermDispMsg(char *buffer, uint32_t size) {
    WriteLines(stdout, nullptr, buffer, size);
}

void CliTermDispVerbose(char *buffer, uint32_t size) {
    WriteLines(stdout, nullptr, buffer, size);
    CliFFlush(stdout);
}

void CliTermDispError(char *buffer, uint32_t size) {
    WriteLines(stderr, gCli != nullptr ? gCli->errPrefix : nullptr, buffer, size);
}

void CliTermDispCliHelp(uint32_t flags) {
    if (flags & kCliHelpBanner) {
        char banner[128];
        CliSprintBanner(banner, sizeof banner);
        puts("\n");
        printf("%s", banner);
        puts("\n");
    }
    if (flags & kCliHelpDescription) {
        CltPrintDescription();
    }
    if (flags & kCliHelpOptions) {
        CltPrintOptions(stdout);
    }
    if ((flags & kCliHelpExamples) && gCli != nullptr && gCli->progName[0] != '\0') {
        CltPrintExamples();
    }
    CliFFlush(stdout);
}
