// The service: its state record and the routines of the entry, the
// notification callback, the event pump and the output (svc/main_*.cpp),
// beside the tool hooks (svc/clt.cpp). The driver's interface, the event-log
// reply included, is lib/driver/controller_interface.h.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lib/cli/osx/osbase.h"
#include "lib/cli/osx/osfile.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"
#include "lib/driver/controller_interface.h"
#include "lib/platform/iokit.h"

struct CliLogFile;

inline constexpr uint32_t kCltLineSize = 1024;
inline constexpr uint32_t kCltPathSize = 1024;

// The last time stamp the pump wrote, kept with the token's value, so that a
// token repeating the previous second (a driver logs several lines a second)
// is not converted again. The local time of a second changes only when the
// system's time zone does: the pump asks the C library to look at the zone
// again (tzset, one stat of /etc/localtime) when kCltZoneCheckMs have
// passed, reading the clock where it waits anyway, and after every so many
// conversions while the driver is busy.
inline constexpr uint32_t kCltStampSize = 64;
inline constexpr uint64_t kCltZoneCheckMs = 10000;
struct CltTimeStamp {
    bool valid;       // text holds the conversion of seconds
    uint64_t seconds; // the token's value, as parsed
    uint32_t length;  // bytes of text, terminator excluded
    char text[kCltStampSize];
    uint64_t zoneCheckedAtMs; // monotonic time of the last look at the zone
    uint32_t sinceZoneLook;   // conversions since the clock was last read for it
};

// What systemd is told (svc/main_notify.cpp); all zero, and nothing is sent,
// without a notification socket.
inline constexpr uint32_t kCltStatusSize = 512;
inline constexpr uint32_t kCltNameSize = 128;
struct CltNotify {
    bool enabled;                // a notification socket was given
    bool ready;                  // READY=1 sent (again, after a reload)
    bool stopping;               // STOPPING=1 sent
    uint64_t pingEveryMs;        // the watchdog's ping interval; 0: no watchdog
    uint64_t pingedAtMs;         // coarse monotonic time of the last ping
    uint64_t statusAtMs;         // ... and of the last status line sent
    char status[kCltStatusSize]; // the last status line sent
};

// The driver instance being served and the one being tried again, for the
// status line and the system log.
struct CltDriverState {
    char serving[kCltNameSize]; // the instance served now; empty while waiting
    time_t servingSince;        // wall clock, for people
    uint64_t writtenBytes;      // its text written out (stamps included)
    uint64_t lostBytes;         // bytes it reported lost
    char failing[kCltNameSize]; // a published instance that failed, tried again; empty: none
    char failure[kCltNameSize]; // why it failed
    char platformProblem[kCltNameSize]; // the platform's last problem (the watch); empty: none
};

// The service's state record behind gClt. CliInit allocates it zero-filled
// (CltGlobalsSize bytes) and CltGlobalsInit starts its life in that block.
struct CltGlobals {
    char logLine[kCltLineSize];                 // LogStr's buffer for the log file
    uint8_t eventRequest[kCltEventRequestSize]; // method 6 input; always zero
    CltEventReply eventReply;
    pthread_cond_t waitCond; // the pump's timed wait (monotonic); nothing signals it
    IONotificationPortRef notifyPort;
    int32_t idleMs; // sum of nominal waits since the last busy reply
    pthread_mutex_t waitMutex;
    // Set by HandleSignal in signal context, never cleared; read without a
    // lock. A lock-free one-byte atomic, so that this is well defined.
    std::atomic<bool> stopRequested;
    bool condCreated;
    bool mutexCreated;
    bool serviceMode;
    bool logOpenFailReported;
    // The main run loop while the service runs; read by HandleSignal.
    std::atomic<CFRunLoopRef> runLoop;
    char logPath[kCltPathSize];
    CliLogFile *logHandle; // the rotating log; null in application mode
    uint32_t logCount;
    uint32_t logSizeMiB;
    CltTimeStamp lastStamp; // the pump's last time stamp
    // Set by HandleSignal on a hang-up in service mode: the open log file is
    // closed and opened again at its path before the next item.
    std::atomic<bool> reopenRequested;
    // Service mode: standard output has gone away (its reader closed it);
    // text that cannot go to the log file is no longer offered to it.
    bool stdoutGone;

    // What the outputs have been through. Each trouble is reported once when
    // it starts and once when it ends (main_logfile.cpp, main_output.cpp).
    bool logWanted;            // a callback runs: the log file belongs open
    uint64_t logRetryAtMs;     // coarse monotonic time of the next try at its path
    bool logWriteFailReported; // the open log file refuses text (a full disk)
    bool stdoutFailReported;   // standard output fails with an error
    bool stdoutFailed;         // it failed at least once (application mode: status 1)
    uint64_t stdoutLostBytes;  // text that standard output did not take
    uint32_t sysLogDropped;    // system-log messages refused since the last got through
    OsFile *lockHandle;        // service mode: the lock that keeps a second copy out
    int logError;              // why the log file closed or refuses text
    int stdoutError;           // why standard output fails
    CltDriverState driver;
    CltNotify notify;
};
static_assert(std::atomic<bool>::is_always_lock_free && sizeof(std::atomic<bool>) == 1);
static_assert(std::atomic<CFRunLoopRef>::is_always_lock_free);

// The coarse monotonic clock in milliseconds (no system call), by which
// the service spaces its retries, reports and pings; 0 when unreadable.
inline uint64_t CltNowMs() {
    uint64_t ms = 0;
    OsGetCoarseMonotonicMs(&ms);
    return ms;
}

inline CltGlobals *Clt() {
    return static_cast<CltGlobals *>(gClt);
}

// Starts the life of the record in the zero-filled block that CliInit
// stored in gClt (every field zero, no resource created).
void CltGlobalsInit();

// Initialises the pump's condition variable on the monotonic clock, on
// which the pump reckons its deadlines; 0 or an error number.
int CltWaitCondInit(pthread_cond_t *cond);

// Runs the service: start-up, the first drain, the run loop and tear-down.
// Never returns; every path ends in the runtime's exit sequence.
[[noreturn]] void CltMain(int32_t argc, char **argv);

// printf-style: formats one message, whole whatever its length, and hands
// it to LogText with the service's record (none before CliInit: standard
// output).
void LogStr(const char *format, ...) CLI_PRINTF(1, 2);
// The bytes as they are: one CliLogWrite of all of them while the log file
// is open; otherwise (or when that write or the length check after it
// fails) to standard output, after what stdio holds for it, with write()
// when stdout has a descriptor. A pending hang-up is served first. clt may
// be null (no record yet or any more): standard output.
void LogText(CltGlobals *clt, const char *text, uint32_t length);
// printf-style: one message to the system log, identity progName, LOG_CONS,
// LOG_DAEMON, the connection opened and closed around it.
void SysLog(int priority, const char *format, ...) CLI_PRINTF(2, 3);
// The signal callback: stops the service for portable indexes 0 (SIGINT),
// 1 (SIGTERM) and 3 (SIGQUIT); index 5 (SIGHUP) asks for the log file to be
// opened again in service mode and stops the service in application mode.
void HandleSignal(uint32_t index);
// Sets the stop flag and stops the run loop; safe in signal context.
void RequestStop(CltGlobals *clt);
// Serves a pending hang-up: an open log file is closed and opened again at
// its path, and the reopening is reported to the system log. Cheap when
// nothing is pending.
void ReopenLogIfRequested(CltGlobals *clt);
// The log file could not be opened: the system log hears of it once per
// streak of failures.
void ReportLogOpenFailure(CltGlobals *clt);
// The callback's open of the log file at its start, and its close at its
// end; between them a log file that closed is tried again at its path.
void OpenLogForCallback(CltGlobals *clt);
void CloseLogAfterCallback(CltGlobals *clt);
// Writes the bytes into the open log file; returns how many it placed, and
// reports what went wrong (a full file, a full disk, the log closed) or
// right again.
uint32_t WriteToLogFile(CltGlobals *clt, const char *text, uint32_t length);
// At the stop: says how much text standard output did not take, and gives
// the exit status (application mode: 1 when standard output failed).
int32_t ReportOutputAtStop(CltGlobals *clt);
// The drivers' ups and downs (main_drivers.cpp): a connection established
// and closed, a reply after a reported failure, a failure (reported once
// per outage in service mode; a driver that went away is none); and, in
// service mode, the platform's messages sent to the system log.
void DriverServing(CltGlobals *clt, const char *name);
void DriverAnswered(CltGlobals *clt);
void DriverFailed(CltGlobals *clt, const char *name, kern_return_t result);
void DriverDone(CltGlobals *clt);
void ReportPlatformMessages(CltGlobals *clt);

// Notification to systemd; each does nothing without a notification socket.
// NotifyStart reads the socket and the watchdog's period; READY=1 goes out
// once (and again after a reload, which RELOADING=1 announces); STOPPING=1
// when the stop begins. NotifyChanged sends the status line at once when
// what it says has changed; NotifyTick, called from the loops that do the
// work, sends the watchdog's ping and the status line's counters when due
// (pingNow: the run loop's timer, whose turn is the ping's schedule).
void NotifyStart(CltGlobals *clt);
void NotifyReady(CltGlobals *clt);
void NotifyReloading(CltGlobals *clt);
void NotifyStopping(CltGlobals *clt);
void NotifyChanged(CltGlobals *clt);
void NotifyTick(CltGlobals *clt, bool pingNow = false);

// Service mode: takes the lock that keeps a second copy of the service from
// writing the same log; ends the process with status 1 when another holds it.
void TakeServiceLock(CltGlobals *clt);
// Service mode, from any thread, cheap when not due: once a second, takes the
// lock again where its file or the log directory was removed or replaced;
// ends the process with status 1 when another copy holds it now.
void KeepServiceLock(CltGlobals *clt);

// The first-publish callback: serves every instance the iterator delivers,
// one after another.
void NotificationCallback(void *refCon, io_iterator_t iterator);
// The event pump for one open user-client connection; returns when a stop is
// requested or a request fails.
void LogEvents(io_connect_t connection);
// Writes one reply's text (NUL-terminated) through LogText, turning valid
// time tokens into local date and time and dropping every other '{'.
void LogEventText(CltGlobals *clt, const char *text);
