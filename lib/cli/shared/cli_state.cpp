// The runtime's state record, its creation and the one exit sequence.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"
#include "lib/cli/shared/cliterm.h"

CliGlobals *gCli = nullptr;
void *gClt = nullptr;

const char *const gCliProductBanner = "Trelvox Logging Service";
const char *const gCliVersionText = "(Mar 10 2020)";

namespace {
constexpr uint32_t kMessageSize = 128;
constexpr char kAllocFailed[] = "Memory allocation failed.";
} // namespace

bool CliInit() {
    auto *cli = static_cast<CliGlobals *>(CliMemAlloc(sizeof(CliGlobals)));
    if (cli == nullptr) {
        CliPrintErrorExit(1, kAllocFailed);
    }
    gCli = cli;
    void *clt = CliMemAlloc(CltGlobalsSize());
    if (clt == nullptr) {
        CliPrintErrorExit(1, kAllocFailed);
    }
    gClt = clt;
    return true;
}

void CliExit(int32_t status) {
    CltExit();
    // Empty the pointers before freeing so that a signal arriving in between
    // never finds a pointer to freed memory.
    CliGlobals *cli = gCli;
    void *clt = gClt;
    gCli = nullptr;
    gClt = nullptr;
    CliMemFree(cli);
    CliMemFree(clt);
    CliTermExit(status);
}

void CliTermExit(int32_t status) {
    exit(status);
}

void CliTermExitFromSignal(int32_t status) {
    _exit(status);
}

namespace {

// Formats into a message buffer (cut to 127 characters) and appends a line
// end when it fits.
void FormatErrorLine(char (&buffer)[kMessageSize], const char *format, va_list args) {
    vsnprintf(buffer, sizeof buffer, format, args);
    CliStrCat(buffer, sizeof buffer, "\n");
}

} // namespace

void CliPrintErrorExit(int32_t status, const char *format, ...) {
    char buffer[kMessageSize];
    va_list args;
    va_start(args, format);
    FormatErrorLine(buffer, format, args);
    va_end(args);
    CliTermDispError(buffer, sizeof buffer);
    CliExit(status);
}

void CliPrintErrorCli(int32_t status, const char *format, ...) {
    va_list args;
    va_start(args, format);
    CliTermDispCliError(format, args);
    va_end(args);
    CliExit(status);
}

void CliTermDispCliError(const char *format, va_list args) {
    CltPrintOptions(stdout);
    char buffer[kMessageSize];
    FormatErrorLine(buffer, format, args);
    CliTermDispError(buffer, sizeof buffer);
}

void *CliMemAllocReqd(uint64_t size) {
    void *block = CliMemAlloc(size);
    if (block == nullptr) {
        CliPrintErrorExit(1, kAllocFailed);
    }
    return block;
}

FILE *CliFOpenReqd(const char *path, const char *mode) {
    if (path == nullptr) {
        return nullptr;
    }
    FILE *stream = CliFOpen(path, mode);
    if (stream == nullptr) {
        CliPrintErrorExit(1, "File '%s' could not be opened.", path);
    }
    return stream;
}

namespace {

bool IsOn(uint8_t level) {
    return level == kCliVerbosityVerbose || level == kCliVerbosityDebug;
}

uint8_t Level() {
    return gCli == nullptr ? 0 : static_cast<uint8_t>(gCli->verbosity);
}

} // namespace

bool CliVerbositySet(uint8_t level) {
    if (gCli == nullptr || Level() == kCliVerbosityDisabled || !IsOn(level)) {
        return false;
    }
    gCli->verbosity = static_cast<int8_t>(level);
    return true;
}

bool CliVerbositySetDebug() {
    return CliVerbositySet(kCliVerbosityDebug);
}

bool CliVerbosityEnabled(uint8_t level) {
    return IsOn(Level()) && IsOn(level) && Level() >= level;
}

void CliOptVerbosityDis() {
    if (gCli != nullptr) {
        gCli->verbosity = static_cast<int8_t>(kCliVerbosityDisabled);
    }
}

int32_t CliSprintVersion(char *buffer, uint32_t size) {
    return snprintf(buffer, size, "%s", gCliVersionText);
}

void CliSprintBanner(char *buffer, uint32_t size) {
    if (!CliStrCpy(buffer, size, gCliProductBanner) || !CliStrCat(buffer, size, " ")) {
        return;
    }
    uint32_t len = CliStrLen(buffer);
    CliSprintVersion(buffer + len, size - len);
}
