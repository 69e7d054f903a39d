// The service's ways of speaking: LogStr formats a message and hands it to
// LogText, which alone decides between the log file and standard output
// (the event pump gives it its runs of text and time stamps directly).
//
// Standard output may be a pipe whose reader is slow or has stopped, a
// non-blocking descriptor, or a full disk. A write never waits past a stop:
// the service waits for standard output to take more in short slices,
// watching the stop flag, and writes at most what a pipe takes without
// blocking. What it does not take is counted, an error is reported once
// when it starts and once when it ends, and the count is told at the stop.
#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <chrono>
#include <mutex>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"
#include "svc/main_writer.h"

namespace {

// A stop is noticed within this while standard output takes nothing.
constexpr int kWaitSliceMs = 50;
// After a stop, the standard-output lock is tried this many times, a tenth
// of a wait slice apart (200 ms in all), before its text counts as lost.
constexpr int kStopLockTries = 40;
// What a pipe found writable takes without blocking.
constexpr uint32_t kMostAtOnce = PIPE_BUF;

bool LogIsOpen(const CltGlobals *clt) {
    return clt != nullptr && clt->logHandle != nullptr && CliLogIsOpen(clt->logHandle);
}

bool StopRequested(const CltGlobals *clt) {
    return clt != nullptr && clt->stopRequested.load();
}

// Whether a write to fd may block: not for a regular file or a device that
// is no terminal (/dev/null). Asked of the system once every so many writes
// per descriptor (in case another file took its number), so that writing
// to a file costs one system call.
bool MayBlock(int fd) {
    constexpr uint32_t kAskEvery = 1024;
    static int knownFd = -1;
    static bool knownMayBlock = true;
    static uint32_t writesSince = 0;
    if (fd != knownFd || ++writesSince >= kAskEvery) {
        struct stat st;
        knownMayBlock = fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) ||
                                                 (S_ISCHR(st.st_mode) && !isatty(fd)));
        knownFd = fd;
        writesSince = 0;
    }
    return knownMayBlock;
}

// Waits until fd takes bytes; false when a stop came first (or came before:
// then the descriptor is only asked, not waited for).
bool AwaitWritable(const CltGlobals *clt, int fd) {
    if (!StopRequested(clt) && !MayBlock(fd)) {
        return true;
    }
    for (;;) {
        bool stopping = StopRequested(clt);
        pollfd entry{fd, POLLOUT, 0};
        int ready = poll(&entry, 1, stopping ? 0 : kWaitSliceMs);
        if (ready > 0) {
            return true; // writable, or an error that the write will tell
        }
        if (ready < 0 && errno != EINTR) {
            return true;
        }
        if (stopping) {
            return false;
        }
    }
}

// Writes the bytes to fd as far as it takes them before a stop; returns how
// many it wrote and leaves in *error what stopped it (0: nothing did;
// ECANCELED: the stop).
uint32_t WriteBeforeStop(const CltGlobals *clt, int fd, const char *bytes, uint32_t length,
                         int *error) {
    *error = 0;
    uint32_t done = 0;
    while (done < length) {
        if (!AwaitWritable(clt, fd)) {
            *error = ECANCELED;
            break;
        }
        uint32_t chunk = length - done < kMostAtOnce ? length - done : kMostAtOnce;
        ssize_t n = gOsSys.write(fd, bytes + done, chunk);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            *error = n == 0 ? EIO : errno;
            break;
        }
    }
    return done;
}

// A line for standard error in the runtime's form ("PREFIX: text"), written
// as standard output is: never past a stop.
void SayOnStderr(const CltGlobals *clt, const char *format, ...) CLI_PRINTF(2, 3);
void SayOnStderr(const CltGlobals *clt, const char *format, ...) {
    char line[256];
    int at = snprintf(line, sizeof line, "%s", gCli != nullptr ? gCli->errPrefix : "");
    va_list args;
    va_start(args, format);
    vsnprintf(line + at, sizeof line - static_cast<size_t>(at) - 1, format, args);
    va_end(args);
    size_t length = strlen(line);
    line[length++] = '\n';
    int error = 0;
    fflush(stderr);
    WriteBeforeStop(clt, STDERR_FILENO, line, static_cast<uint32_t>(length), &error);
}

// Standard output failed with an error other than a stop. EPIPE means its
// reader has closed it: in service mode (SIGPIPE ignored) the journal's
// stream went away, which must not end the service nor keep it trying; in
// application mode (a reader that left, with SIGPIPE ignored by whoever
// started the service) the service stops, as on SIGTERM. Any other error
// (a full disk, EIO, a file too large) is reported once until a write works
// again, and application mode then ends with status 1.
void StdoutFailed(CltGlobals *clt, int error) {
    if (error == EPIPE) {
        if (!clt->serviceMode) {
            RequestStop(clt);
        } else if (!clt->stdoutGone) {
            clt->stdoutGone = true;
            SysLog(LOG_WARNING, "Standard output has gone away");
            NotifyChanged(clt);
        }
        return;
    }
    clt->stdoutFailed = true;
    clt->stdoutError = error;
    if (clt->stdoutFailReported) {
        return;
    }
    clt->stdoutFailReported = true;
    NotifyChanged(clt);
    if (clt->serviceMode) {
        SysLog(LOG_WARNING, "Cannot write to standard output (%s); its text is lost",
               strerror(error));
    } else {
        SayOnStderr(clt, "Cannot write to standard output (%s); its text is lost", strerror(error));
    }
}

void StdoutWorks(CltGlobals *clt) {
    if (!clt->stdoutFailReported) {
        return;
    }
    clt->stdoutFailReported = false;
    NotifyChanged(clt);
    if (clt->serviceMode) {
        SysLog(LOG_INFO, "Standard output takes text again");
    } else {
        SayOnStderr(clt, "Standard output takes text again");
    }
}

// The bytes on standard output, after what stdio holds for it, so that they
// keep their place among everything else printed there; not in service mode
// once standard output has gone away. A stream without a descriptor (stdout
// replaced by a memory stream) gets them through stdio.
void ToStdout(CltGlobals *clt, const char *bytes, uint32_t length) {
    if (clt != nullptr && clt->stdoutGone) {
        clt->stdoutLostBytes += length;
        return;
    }
    fflush(stdout);
    int fd = fileno(stdout);
    if (fd < 0) {
        fwrite(bytes, 1, length, stdout);
        fflush(stdout);
        return;
    }
    int error = 0;
    uint32_t written = WriteBeforeStop(clt, fd, bytes, length, &error);
    if (clt == nullptr) {
        return;
    }
    clt->stdoutLostBytes += length - written;
    if (error == 0) {
        StdoutWorks(clt);
    } else if (error != ECANCELED) {
        StdoutFailed(clt, error);
    }
}

} // namespace

void ToStdoutLocked(CltGlobals *clt, const char *text, uint32_t length) {
    if (clt == nullptr) {
        ToStdout(clt, text, length);
        return;
    }
    // After a stop, a writer left behind in the kernel may hold the lock
    // for ever (standard output on the stalled disk): it is waited for a
    // short while only.
    std::unique_lock lock(clt->stdoutLock, std::defer_lock);
    if (StopRequested(clt)) {
        for (int tries = 0; !lock.try_lock(); ++tries) {
            if (tries == kStopLockTries) {
                clt->stdoutLostBytes += length;
                return;
            }
            usleep(kWaitSliceMs * 1000 / 10);
        }
    } else {
        lock.lock();
    }
    ToStdout(clt, text, length);
}

// Where the service's text goes now: the open log file takes what it can;
// the rest (all of it without an open log file) goes to standard output. A
// pending hang-up, or a retry of a log file that closed, is served first.
void DeliverText(CltGlobals *clt, const char *text, uint32_t length) {
    // Cheap when nothing is pending: a hang-up, or a log file that closed
    // while a driver is served.
    if (clt->logHandle != nullptr && (clt->reopenRequested.load(std::memory_order_relaxed) ||
                                      (clt->logWanted && !CliLogIsOpen(clt->logHandle)))) {
        LogFileServeHangUp(clt);
    }
    uint32_t placed = LogIsOpen(clt) ? WriteToLogFile(clt, text, length) : 0;
    if (placed < length) {
        ToStdoutLocked(clt, text + placed, length - placed);
    }
}

// The one place where the service's text chooses its way: to the log's
// writer when it runs, otherwise written here.
void LogText(CltGlobals *clt, const char *text, uint32_t length) {
    if (length == 0) {
        return;
    }
    if (clt == nullptr) {
        ToStdout(clt, text, length);
        return;
    }
    // A pump of its own holds its text until the line ends.
    if (PumpText(clt, text, length)) {
        return;
    }
    if (clt->pump.serving.load(std::memory_order_relaxed)) {
        clt->pump.writtenBytes.fetch_add(length, std::memory_order_relaxed);
    }
    if (clt->writer != nullptr) {
        WriterPut(clt, text, length);
    } else {
        DeliverText(clt, text, length);
    }
}

// Formats the message and hands it on whole: in the record's line buffer
// when it fits, otherwise in a block of its own.
void LogStr(const char *format, ...) {
    CltGlobals *clt = Clt();
    // On the stack: pumps of their own format beside each other.
    char line[kCltLineSize];
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

int32_t ReportOutputAtStop(CltGlobals *clt) {
    if (clt->stdoutLostBytes == 0) {
        return clt->serviceMode || !clt->stdoutFailed ? 0 : 1;
    }
    auto lost = static_cast<unsigned long long>(clt->stdoutLostBytes);
    if (clt->serviceMode) {
        SysLog(LOG_WARNING, "%llu bytes of text could not be written to standard output", lost);
        return 0;
    }
    SayOnStderr(clt, "%llu bytes of text could not be written to standard output", lost);
    return 1;
}
