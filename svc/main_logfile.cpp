// The log file's life in service mode: opened when a callback starts and
// closed when it ends, opened again on a hang-up, tried again at its path
// while it is closed in the middle of a callback, and every trouble it
// meets reported to the system log once when it starts and once when it
// ends. Text the log file does not take goes to standard output.
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"

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
        NotifyChanged(clt);
    }
}

// A trouble that sends the text to standard output: said once, until it
// ends.
void ReportOnce(CltGlobals *clt, bool *reported, const char *what, int error) {
    clt->logError = error;
    if (!*reported) {
        *reported = true;
        SysLog(LOG_WARNING, "%s (%s); text goes to standard output", what, strerror(error));
        NotifyChanged(clt);
    }
}

void TryPath(CltGlobals *clt) {
    clt->logRetryAtMs = CltNowMs() + kRetryEveryMs;
    if (CliLogOpen(clt->logHandle)) {
        Opened(clt);
    }
}

} // namespace

void ReportLogOpenFailure(CltGlobals *clt) {
    clt->logError = errno;
    if (!clt->logOpenFailReported) {
        SysLog(LOG_WARNING, "Failed to open log file");
        clt->logOpenFailReported = true;
        NotifyChanged(clt);
    }
}

void OpenLogForCallback(CltGlobals *clt) {
    if (clt->logHandle == nullptr) {
        return;
    }
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

void CloseLogAfterCallback(CltGlobals *clt) {
    clt->logWanted = false;
    if (clt->logHandle != nullptr) {
        CliLogClose(clt->logHandle);
    }
}

void ReopenLogIfRequested(CltGlobals *clt) {
    if (clt == nullptr || clt->logHandle == nullptr) {
        return;
    }
    bool hangUp = clt->reopenRequested.load(std::memory_order_relaxed) &&
                  clt->reopenRequested.exchange(false);
    if (hangUp && LogIsOpen(clt)) {
        // A reload, as systemd sees it: announced, and ready again after.
        NotifyReloading(clt);
        clt->logRetryAtMs = CltNowMs() + kRetryEveryMs;
        if (CliLogReopen(clt->logHandle)) {
            clt->logOpenFailReported = false;
            SysLog(LOG_INFO, "Log file reopened");
        } else {
            ReportLogOpenFailure(clt);
        }
        NotifyReady(clt);
        return;
    }
    // Between callbacks the log file is closed on purpose.
    if (clt->logWanted && !LogIsOpen(clt) && (hangUp || CltNowMs() >= clt->logRetryAtMs)) {
        TryPath(clt);
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
    } else if (result.error != 0) {
        ReportOnce(clt, &clt->logWriteFailReported, "Cannot write the log file", result.error);
    } else if (clt->logWriteFailReported) {
        clt->logWriteFailReported = false;
        SysLog(LOG_INFO, "Log file is written again");
        NotifyChanged(clt);
    }
    return result.placed;
}
