// The service's ways of speaking: LogStr formats a message and hands it to
// LogText, which alone decides between the log file and standard output
// (the event pump gives it its runs of text and time stamps directly);
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

// The bytes on standard output, after what stdio holds for it, so that they
// keep their place among everything else printed there; not in service mode
// once standard output has gone away. A stream without a descriptor (stdout
// replaced by a memory stream) gets them through stdio.
void ToStdout(CltGlobals *clt, const char *bytes, uint32_t length) {
    if (clt != nullptr && clt->stdoutGone) {
        return;
    }
    fflush(stdout);
    int fd = fileno(stdout);
    if (fd < 0) {
        fwrite(bytes, 1, length, stdout);
        fflush(stdout);
        return;
    }
    if (!WriteAll(fd, bytes, length)) {
        StdoutFailed(clt, errno);
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

// The one place where the service's text chooses its way: the open log file
// takes it in one CliLogWrite; without one, for an empty text, or when that
// write or the length check after it fails, standard output takes it.
void LogText(CltGlobals *clt, const char *text, uint32_t length) {
    ReopenLogIfRequested(clt);
    if (LogIsOpen(clt) && CliLogWrite(clt->logHandle, text, length)) {
        return;
    }
    ToStdout(clt, text, length);
}

// Formats the message and hands it on whole: in the record's line buffer
// when it fits, otherwise in a block of its own.
void LogStr(const char *format, ...) {
    CltGlobals *clt = Clt();
    char spare[kCltLineSize]; // before CliInit or after the exit sequence
    char *line = clt != nullptr ? clt->logLine : spare;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(line, kCltLineSize, format, args);
    if (length >= 0 && static_cast<uint32_t>(length) < kCltLineSize) {
        LogText(clt, line, static_cast<uint32_t>(length));
    } else if (length >= 0) {
        auto *block = static_cast<char *>(CliMemAlloc(static_cast<uint64_t>(length) + 1));
        if (block != nullptr) {
            vsnprintf(block, static_cast<size_t>(length) + 1, format, again);
            LogText(clt, block, static_cast<uint32_t>(length));
            CliMemFree(block);
        } else {
            // No memory for the whole message: what the line holds.
            LogText(clt, line, kCltLineSize - 1);
        }
    }
    va_end(again);
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
