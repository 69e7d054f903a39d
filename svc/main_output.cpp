// The service's ways of speaking: LogStr for progress messages and anything
// formatted, LogText for the event pump's runs of text and time stamps,
// SysLog for the system log.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "lib/cli/osx/ossys.h"
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
// or an interrupted one; gives up at the first error, with errno set.
bool WriteAll(int fd, const char *bytes, uint32_t length) {
    while (length > 0) {
        ssize_t n = gOsSys.write(fd, bytes, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        length -= static_cast<uint32_t>(n);
    }
    return true;
}

bool LogIsOpen(const CltGlobals *clt) {
    return clt != nullptr && clt->logHandle != nullptr && CliLogIsOpen(clt->logHandle);
}

// Standard output may take text: not in service mode once it has gone away.
bool StdoutTakesText(const CltGlobals *clt) {
    return clt == nullptr || !clt->stdoutGone;
}

// A write to standard output failed. EPIPE means its reader has closed it:
// in service mode (SIGPIPE ignored) the journal's stream went away, which
// must not end the service nor keep it trying; the system log hears of it
// once. In application mode (a reader that left, with SIGPIPE ignored by
// whoever started the service) the service stops, as on SIGTERM.
void StdoutFailed(CltGlobals *clt, int error) {
    if (clt == nullptr || error != EPIPE) {
        return;
    }
    if (!clt->serviceMode) {
        RequestStop(clt);
        return;
    }
    if (!clt->stdoutGone) {
        clt->stdoutGone = true;
        SysLog(LOG_WARNING, "Standard output has gone away");
    }
}

} // namespace

void ReportLogOpenFailure(CltGlobals *clt) {
    if (!clt->logOpenFailReported) {
        SysLog(LOG_WARNING, "Failed to open log file");
        clt->logOpenFailReported = true;
    }
}

void ReopenLogIfRequested(CltGlobals *clt) {
    if (clt == nullptr || !clt->reopenRequested.load(std::memory_order_relaxed) ||
        !clt->reopenRequested.exchange(false)) {
        return;
    }
    // A closed log file is opened at its path anyway when a driver comes.
    if (!LogIsOpen(clt)) {
        return;
    }
    if (CliLogReopen(clt->logHandle)) {
        clt->logOpenFailReported = false;
        SysLog(LOG_INFO, "Log file reopened");
    } else {
        ReportLogOpenFailure(clt);
    }
}

void LogText(const char *text, uint32_t length) {
    CltGlobals *clt = Clt();
    ReopenLogIfRequested(clt);
    if (LogIsOpen(clt) && CliLogWrite(clt->logHandle, text, length)) {
        return;
    }
    if (!StdoutTakesText(clt)) {
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
    if (!WriteAll(fd, text, length)) {
        StdoutFailed(clt, errno);
    }
}

void LogStr(const char *format, ...) {
    va_list args;
    va_start(args, format);
    CltGlobals *clt = Clt();
    ReopenLogIfRequested(clt);
    bool written = false;
    if (LogIsOpen(clt)) {
        va_list forLog;
        va_copy(forLog, args);
        written = WriteToLog(clt, format, forLog);
        va_end(forLog);
    }
    // No log file, an empty message, or a failed write or rotation: the
    // message goes to standard output, whole.
    if (!written && StdoutTakesText(clt)) {
        // The error of the first call that fails: vfprintf itself writes
        // when the message fills stdio's buffer.
        int error = vfprintf(stdout, format, args) < 0 ? errno : 0;
        if (fflush(stdout) == EOF && error == 0) {
            error = errno;
        }
        if (error != 0) {
            clearerr(stdout);
            StdoutFailed(clt, error);
        }
    }
    va_end(args);
}

void SysLog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    gOsSys.openlog(gCli != nullptr ? gCli->progName : "", LOG_CONS, LOG_DAEMON);
    gOsSys.vsyslog(priority, format, args);
    gOsSys.closelog();
    va_end(args);
}
