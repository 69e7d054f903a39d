// What the service tells systemd, so that `systemctl status` says what it
// does: READY=1 once it is registered for drivers, a status line an
// operator can act on (waiting, logging an instance, and every trouble of
// the outputs and the drivers), RELOADING=1 and READY=1 around a reload,
// STOPPING=1, and the watchdog's ping from the loops that do the work, so
// that a service that stalls is restarted. Nothing is sent, and nothing is
// composed, without a notification socket.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lib/cli/osx/osnotify.h"
#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"
#include "svc/main_writer.h"

namespace {

// The counters of the status line go out at most this often.
constexpr uint64_t kStatusEveryMs = 5000;

// Appends to the text at *at, never past size.
void Add(char *text, size_t size, size_t *at, const char *format, ...) CLI_PRINTF(4, 5);
void Add(char *text, size_t size, size_t *at, const char *format, ...) {
    if (*at >= size - 1) {
        return;
    }
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text + *at, size - *at, format, args);
    va_end(args);
    if (n > 0) {
        *at = std::min(size - 1, *at + static_cast<size_t>(n));
    }
}

// The troubles of the status line, each whole or not at all: a line too
// long for systemd drops the last ones and says how many.
struct Troubles {
    char *text;
    size_t size;
    size_t at;
    uint32_t dropped;
};

void AddTrouble(Troubles *troubles, const char *format, ...) CLI_PRINTF(2, 3);
void AddTrouble(Troubles *troubles, const char *format, ...) {
    char one[kCltStatusSize];
    va_list args;
    va_start(args, format);
    vsnprintf(one, sizeof one, format, args);
    va_end(args);
    // Room for "; N more troubles" after it.
    constexpr size_t kNoteRoom = 24;
    if (troubles->dropped == 0 && troubles->at + strlen(one) + kNoteRoom < troubles->size) {
        Add(troubles->text, troubles->size, &troubles->at, "%s", one);
    } else {
        ++troubles->dropped;
    }
}

struct Line {
    char *text;
    size_t size;
    size_t at;
    uint32_t serving;
    uint32_t left; // instances that did not fit
};

// "NAME since TIME: N bytes written, M bytes lost by the driver", after
// "Logging " for the first instance and ", " for the others.
void AddServing(const CltPump &pump, void *context) {
    auto *line = static_cast<Line *>(context);
    char since[32] = "";
    struct tm local;
    if (localtime_r(&pump.since, &local) != nullptr) {
        strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &local);
    }
    char one[kCltNameSize + 128];
    snprintf(one, sizeof one, "%s%s since %s: %llu bytes written, %llu bytes lost by the driver",
             line->serving == 0 ? "Logging " : ", ", pump.name, since,
             static_cast<unsigned long long>(pump.writtenBytes.load()),
             static_cast<unsigned long long>(pump.lostBytes.load()));
    // Whole or not at all, with room left for the troubles.
    if (line->serving == 0 || (line->left == 0 && line->at + strlen(one) < line->size / 2)) {
        Add(line->text, line->size, &line->at, "%s", one);
    } else {
        ++line->left;
    }
    ++line->serving;
}

// The status line: what the service does, then each trouble it is in.
void Compose(CltGlobals *clt, char *text, size_t size) {
    size_t at = 0;
    text[0] = '\0';
    const CltDriverState &driver = clt->driver;
    if (clt->notify.stopping) {
        Add(text, size, &at, "Stopping");
    } else {
        Line line{text, size, 0, 0, 0};
        ForEachServing(clt, AddServing, &line);
        at = line.at;
        if (line.left != 0) {
            Add(text, size, &at, ", and %u more", line.left);
        }
        if (line.serving == 0) {
            Add(text, size, &at, "Waiting for a driver");
        }
    }
    Troubles troubles{text, size, at, 0};
    const CltLogState &log = clt->logState;
    if (log.closed) {
        AddTrouble(&troubles, "; log file closed (%s), text going to standard output",
                   strerror(log.error != 0 ? log.error : EIO));
    } else if (log.refusing) {
        AddTrouble(&troubles, "; log file not taking text (%s), text going to standard output",
                   strerror(log.error != 0 ? log.error : EIO));
    }
    uint64_t stalledMs = 0;
    uint64_t waiting = 0;
    if (WriterStalled(clt, &stalledMs, &waiting)) {
        AddTrouble(&troubles, "; log file stalled for %llu s, %llu bytes waiting",
                   static_cast<unsigned long long>(stalledMs / 1000),
                   static_cast<unsigned long long>(waiting));
    }
    if (clt->stdoutGone) {
        AddTrouble(&troubles, "; standard output gone");
    } else if (clt->stdoutFailReported) {
        AddTrouble(&troubles, "; standard output failing (%s)", strerror(clt->stdoutError));
    }
    if (clt->sysLogDropped != 0) {
        AddTrouble(&troubles, "; system log not taking messages (%u dropped)", clt->sysLogDropped);
    }
    if (driver.platformProblem[0] != '\0') {
        AddTrouble(&troubles, "; %s", driver.platformProblem);
    }
    for (uint32_t i = 0; i < kCltMostFailing; ++i) {
        if (driver.failing[i][0] != '\0') {
            AddTrouble(&troubles, "; driver %s failed (%s), tried again while it is published",
                       driver.failing[i], driver.failure[i]);
        }
    }
    at = troubles.at;
    if (troubles.dropped != 0) {
        Add(text, size, &at, "; %u more trouble%s", troubles.dropped,
            troubles.dropped == 1 ? "" : "s");
    }
}

// Sends the lines (each "NAME=value") joined, with the status line when it
// says something new.
void Send(CltGlobals *clt, const char *lines, bool withStatus) {
    char message[kCltStatusSize + 64];
    size_t at = 0;
    message[0] = '\0';
    Add(message, sizeof message, &at, "%s", lines);
    if (withStatus) {
        char status[kCltStatusSize];
        Compose(clt, status, sizeof status);
        clt->notify.statusAtMs = CltNowMs();
        if (strcmp(status, clt->notify.status) != 0) {
            memcpy(clt->notify.status, status, sizeof status);
            Add(message, sizeof message, &at, "%sSTATUS=%s", at != 0 ? "\n" : "", status);
        }
    }
    if (at != 0) {
        OsNotifySend(message);
    }
}

} // namespace

void NotifyStart(CltGlobals *clt) {
    std::lock_guard lock(clt->reportLock);
    CltNotify &notify = clt->notify;
    notify.enabled = OsNotifyAvailable();
    if (!notify.enabled) {
        return;
    }
    // Pinged three times a period: twice at the least, with room to spare;
    // however short the period, as often as the clock can tell.
    uint64_t period = OsNotifyWatchdogUsec();
    notify.pingEveryMs = period == 0 ? 0 : std::max<uint64_t>(1, period / 1000 / 3);
    notify.pingedAtMs = CltNowMs();
    notify.statusAtMs = notify.pingedAtMs;
}

void NotifyReady(CltGlobals *clt) {
    std::lock_guard lock(clt->reportLock);
    if (clt->notify.enabled && !clt->notify.ready) {
        clt->notify.ready = true;
        Send(clt, "READY=1", true);
    }
}

void NotifyReloading(CltGlobals *clt) {
    std::lock_guard lock(clt->reportLock);
    if (!clt->notify.enabled) {
        return;
    }
    // The time stamp lets a service manager that waits for the reload match
    // this message to its own request.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char lines[64];
    snprintf(lines, sizeof lines, "RELOADING=1\nMONOTONIC_USEC=%llu",
             static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                 static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
    clt->notify.ready = false;
    Send(clt, lines, false);
}

void NotifyStopping(CltGlobals *clt) {
    std::lock_guard lock(clt->reportLock);
    if (clt->notify.enabled && !clt->notify.stopping) {
        clt->notify.stopping = true;
        Send(clt, "STOPPING=1", true);
    }
}

void NotifyChanged(CltGlobals *clt) {
    std::lock_guard lock(clt->reportLock);
    if (clt->notify.enabled) {
        Send(clt, "", true);
    }
}

void NotifyTick(CltGlobals *clt, bool pingNow) {
    CltNotify &notify = clt->notify;
    if (!notify.enabled) {
        return;
    }
    std::lock_guard lock(clt->reportLock);
    uint64_t now = CltNowMs();
    bool ping =
        notify.pingEveryMs != 0 && (pingNow || now - notify.pingedAtMs >= notify.pingEveryMs);
    bool status = now - notify.statusAtMs >= kStatusEveryMs;
    if (!ping && !status) {
        return;
    }
    if (ping) {
        notify.pingedAtMs = now;
    }
    Send(clt, ping ? "WATCHDOG=1" : "", status);
}

void ServiceTick(CltGlobals *clt, bool pingNow) {
    // The lock's checks touch the log directory: the writer makes them
    // when there is one.
    if (clt->writer == nullptr) {
        KeepServiceLock(clt);
    }
    WriterWatch(clt);
    NotifyTick(clt, pingNow);
}
