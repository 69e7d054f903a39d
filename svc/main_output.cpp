// The service's ways of speaking: LogStr for progress messages and anything
// formatted, LogText for the event pump's runs of text and time stamps,
// SysLog for the system log.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"

namespace {

// Formats the message and writes it to the open log file with one
// CliLogWrite. A message that fits the line buffer is formatted there; a
// longer one gets a block of its own, so that it reaches the file whole.
// Returns 1 when the write (and the length check after it) succeeded.
bool WriteToLog(CltGlobals *clt, const char *format, va_list args) {
    va_list again;
    va_copy(again, args);
    bool written = false;
    int length = vsnprintf(clt->logLine, sizeof clt->logLine, format, args);
    if (length >= 0 && static_cast<uint32_t>(length) < sizeof clt->logLine) {
        written = CliLogWrite(clt->logHandle, clt->logLine, CliStrLen(clt->logLine));
    } else if (length >= 0) {
        auto *block = static_cast<char *>(CliMemAlloc(static_cast<uint64_t>(length) + 1));
        if (block != nullptr) {
            vsnprintf(block, static_cast<size_t>(length) + 1, format, again);
            written = CliLogWrite(clt->logHandle, block, CliStrLen(block));
            CliMemFree(block);
        }
    }
    va_end(again);
    return written;
}

// Writes all the bytes to the descriptor, going on after a partial write
// or an interrupted one; gives up at the first error.
void WriteAll(int fd, const char *bytes, uint32_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes += n;
        length -= static_cast<uint32_t>(n);
    }
}

} // namespace

void LogText(const char *text, uint32_t length) {
    CltGlobals *clt = Clt();
    if (clt != nullptr && clt->logHandle != nullptr && CliLogIsOpen(clt->logHandle) &&
        CliLogWrite(clt->logHandle, text, length)) {
        return;
    }
    // As LogStr: standard output when no log file takes the text (an empty
    // text included). What stdio holds goes first, so that the text keeps
    // its place among everything else printed on standard output. A stream
    // without a descriptor (stdout replaced by a memory stream) gets the
    // text through stdio, as LogStr would give it.
    fflush(stdout);
    int fd = fileno(stdout);
    if (fd < 0) {
        fwrite(text, 1, length, stdout);
        fflush(stdout);
        return;
    }
    WriteAll(fd, text, length);
}

void LogStr(const char *format, ...) {
    va_list args;
    va_start(args, format);
    CltGlobals *clt = Clt();
    bool written = false;
    if (clt != nullptr && clt->logHandle != nullptr && CliLogIsOpen(clt->logHandle)) {
        va_list forLog;
        va_copy(forLog, args);
        written = WriteToLog(clt, format, forLog);
        va_end(forLog);
    }
    // No log file, an empty message, or a failed write or rotation: the
    // message goes to standard output, whole.
    if (!written) {
        vfprintf(stdout, format, args);
        fflush(stdout);
    }
    va_end(args);
}

void SysLog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    openlog(gCli != nullptr ? gCli->progName : "", LOG_CONS, LOG_DAEMON);
    vsyslog(priority, format, args);
    closelog();
    va_end(args);
}
