// The log file's life in service mode: opened when a callback starts and
// closed when it ends, opened again on a hang-up, tried again at its path
// while it is closed in the middle of a callback, and every trouble it
// meets reported to the system log once when it starts and once when it
// ends. Text the log file does not take goes to standard output.
#include <sys/statvfs.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"
#include "svc/main_writer.h"

namespace {

// A closed log file is tried again at its path at most this often (and at
// every hang-up) while a driver is served.
constexpr uint64_t kRetryEveryMs = 1000;

bool LogIsOpen(const CltGlobals *clt) {
    return clt->logHandle != nullptr && CliLogIsOpen(clt->logHandle);
}

// The log file is open: an outage that was reported has ended.
void Opened(CltGlobals *clt) {
    if (clt->logOpenFailReported) {
        clt->logOpenFailReported = false;
        SysLog(LOG_INFO, "Log file reopened");
    }
    PublishLogState(clt);
}

// A trouble that sends the text to standard output: said once, until it
// ends.
void ReportOnce(CltGlobals *clt, bool *reported, const char *what, int error) {
    clt->logError = error;
    if (!*reported) {
        *reported = true;
        SysLog(LOG_WARNING, "%s (%s); text goes to standard output", what, strerror(error));
    }
    PublishLogState(clt);
}

// Under a service manager, a log directory whose nearest existing ancestor
// is read-only cannot come back for this process: its sandbox made the
// writable directory a mount of its own, which a directory deleted and made
// again outside no longer reaches. The service then ends with status 1, so
// that the manager starts it again into a sandbox that does reach it.
void EndIfNeverWritable(CltGlobals *clt, int error) {
    if ((error != ENOENT && error != EROFS) || !clt->serviceMode || !clt->notify.enabled ||
        clt->restartWanted.load()) {
        return;
    }
    char dir[kCltPathSize];
    snprintf(dir, sizeof dir, "%s", clt->logHandle->dirName);
    struct statvfs fs;
    for (;;) {
        size_t length = strlen(dir);
        while (length > 1 && dir[length - 1] == '/') {
            dir[--length] = '\0';
        }
        if (statvfs(dir, &fs) == 0 || length <= 1) {
            break;
        }
        char *slash = strrchr(dir, '/');
        if (slash == nullptr) {
            return;
        }
        slash[slash == dir ? 1 : 0] = '\0';
    }
    if ((fs.f_flag & ST_RDONLY) == 0) {
        return;
    }
    clt->restartWanted.store(true);
    SysLog(LOG_ERR,
           "The log directory %s cannot be made again here (%s, on a read-only file system); "
           "the service ends so that it is started again",
           clt->logHandle->dirName, strerror(error));
    RequestStop(clt);
}

void TryPath(CltGlobals *clt) {
    clt->logRetryAtMs = CltNowMs() + kRetryEveryMs;
    if (CliLogOpen(clt->logHandle)) {
        Opened(clt);
    } else {
        clt->logError = errno;
        PublishLogState(clt);
        EndIfNeverWritable(clt, clt->logError);
    }
}

} // namespace

void PublishLogState(CltGlobals *clt) {
    CltLogState now{};
    now.closed = clt->logHandle != nullptr && clt->logWanted && !LogIsOpen(clt);
    now.refusing = !now.closed && clt->logWriteFailReported;
    now.error = now.closed || now.refusing ? clt->logError : 0;
    std::lock_guard lock(clt->reportLock);
    if (now.closed != clt->logState.closed || now.refusing != clt->logState.refusing ||
        now.error != clt->logState.error) {
        clt->logState = now;
        NotifyChanged(clt);
    }
}

void ReportLogOpenFailure(CltGlobals *clt) {
    clt->logError = errno;
    if (!clt->logOpenFailReported) {
        SysLog(LOG_WARNING, "Failed to open log file (%s)", strerror(clt->logError));
        clt->logOpenFailReported = true;
    }
    PublishLogState(clt);
    EndIfNeverWritable(clt, clt->logError);
}

void OpenLogForCallback(CltGlobals *clt) {
    if (clt->logHandle == nullptr) {
        return;
    }
    if (clt->pumps != nullptr) {
        LogUse(clt);
    } else if (clt->writer != nullptr) {
        WriterCommand(clt, CltWriterCommand::kOpen);
    } else {
        LogFileOpenNow(clt);
    }
}

void CloseLogAfterCallback(CltGlobals *clt) {
    if (clt->logHandle == nullptr) {
        return;
    }
    if (clt->pumps != nullptr) {
        LogRelease(clt);
    } else if (clt->writer != nullptr) {
        WriterCommand(clt, CltWriterCommand::kClose);
    } else {
        LogFileCloseNow(clt);
    }
}

void ReopenLogIfRequested(CltGlobals *clt) {
    if (clt == nullptr || clt->logHandle == nullptr) {
        return;
    }
    if (clt->writer == nullptr) {
        LogFileServeHangUp(clt);
    } else if (clt->reopenRequested.load(std::memory_order_relaxed)) {
        WriterWake(clt);
    }
}

void LogFileOpenNow(CltGlobals *clt) {
    KeepServiceLock(clt); // the log directory is ours before it is written
    clt->logWanted = true;
    // This open is at the log's path: it serves a pending hang-up too.
    clt->reopenRequested.store(false);
    clt->logRetryAtMs = CltNowMs() + kRetryEveryMs;
    if (CliLogOpen(clt->logHandle)) {
        Opened(clt);
    } else {
        ReportLogOpenFailure(clt);
    }
}

void LogFileCloseNow(CltGlobals *clt) {
    clt->logWanted = false;
    if (clt->logHandle != nullptr) {
        CliLogClose(clt->logHandle);
    }
    PublishLogState(clt);
}

void LogFileServeHangUp(CltGlobals *clt) {
    if (clt == nullptr || clt->logHandle == nullptr) {
        return;
    }
    bool hangUp = clt->reopenRequested.load(std::memory_order_relaxed) &&
                  clt->reopenRequested.exchange(false);
    if (!hangUp) {
        LogFileRetryNow(clt);
        return;
    }
    // A reload, as systemd sees it: announced, and ready again after,
    // whether the log file is open, closed by a trouble or closed between
    // drivers.
    NotifyReloading(clt);
    clt->logRetryAtMs = CltNowMs() + kRetryEveryMs;
    if (LogIsOpen(clt)) {
        if (CliLogReopen(clt->logHandle)) {
            clt->logOpenFailReported = false;
            SysLog(LOG_INFO, "Log file reopened");
            PublishLogState(clt);
        } else {
            ReportLogOpenFailure(clt);
        }
    } else if (clt->logWanted) {
        TryPath(clt);
    }
    NotifyReady(clt);
}

void LogFileRetryNow(CltGlobals *clt) {
    // Between callbacks the log file is closed on purpose.
    if (clt->logHandle != nullptr && clt->logWanted && !LogIsOpen(clt) &&
        CltNowMs() >= clt->logRetryAtMs) {
        TryPath(clt);
    }
}

void LogFileSyncNow(CltGlobals *clt) {
    if (LogIsOpen(clt)) {
        CliLogSync(clt->logHandle);
    }
}

uint32_t WriteToLogFile(CltGlobals *clt, const char *text, uint32_t length) {
    CliLogWriteResult result;
    if (CliLogWriteSome(clt->logHandle, text, length, &result) && !result.fileFull &&
        !clt->logWriteFailReported) {
        return length; // all placed, nothing to report
    }
    if (result.fileFull) {
        SysLog(LOG_WARNING, "Log file is full (%s); it was rotated", strerror(EFBIG));
    }
    if (!LogIsOpen(clt)) {
        // A rotation failed, or the path no longer opens: tried again soon.
        clt->logRetryAtMs = CltNowMs() + kRetryEveryMs;
        ReportOnce(clt, &clt->logOpenFailReported, "Log file closed", result.error);
        EndIfNeverWritable(clt, result.error);
    } else if (result.error != 0) {
        ReportOnce(clt, &clt->logWriteFailReported, "Cannot write the log file", result.error);
    } else if (clt->logWriteFailReported) {
        clt->logWriteFailReported = false;
        SysLog(LOG_INFO, "Log file is written again");
        PublishLogState(clt);
    }
    return result.placed;
}
