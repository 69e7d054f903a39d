// The service: its state record and the routines of the entry, the
// notification callback, the event pump and the output (svc/main_*.cpp),
// beside the tool hooks (svc/clt.cpp). The driver's interface, the event-log
// reply included, is lib/driver/controller_interface.h.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "lib/cli/osx/osbase.h"
#include "lib/cli/osx/osfile.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"
#include "lib/driver/controller_interface.h"
#include "lib/platform/iokit.h"

struct CliLogFile;
struct CltWriter;

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
inline constexpr uint32_t kCltStatusSize = 2048;
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

// One pump: the state of serving one driver instance. The service's record
// holds the one that runs on the main thread (the callback's own); each
// instance served beside the others has one of its own (main_pumps.cpp).
struct CltPump {
    uint8_t eventRequest[kCltEventRequestSize]; // method 6 input; always zero
    CltEventReply eventReply;
    pthread_cond_t waitCond; // the timed wait (monotonic); a stop signals it
    pthread_mutex_t waitMutex;
    int32_t idleMs; // sum of nominal waits since the last busy reply
    bool condCreated;
    bool mutexCreated;
    CltTimeStamp lastStamp; // the last time stamp written
    // The instance served, for the status line and the system log.
    char name[kCltNameSize];
    time_t since;                       // wall clock, for people
    std::atomic<bool> serving;          // its user client is open
    std::atomic<uint64_t> writtenBytes; // its text written out (stamps included)
    std::atomic<uint64_t> lostBytes;    // bytes it reported lost
};

// Published driver instances that failed and are tried again, each said
// once per outage; and the platform's last problem.
inline constexpr uint32_t kCltMostFailing = 8;
inline constexpr uint32_t kCltReasonSize = 256;
struct CltDriverState {
    char failing[kCltMostFailing][kCltNameSize];   // empty entries are free
    char failure[kCltMostFailing][kCltReasonSize]; // why each failed
    char platformProblem[kCltReasonSize]; // the platform's last problem (the watch); empty: none
};

// What the status line says of the log file, published by whoever writes
// it (the writer thread) under the report lock.
struct CltLogState {
    bool closed;   // it belongs open (a driver is served) and is not
    bool refusing; // open, and refusing text (a full disk)
    int error;     // why, now
};

// The service's state record behind gClt. CliInit allocates it zero-filled
// (CltGlobalsSize bytes) and CltGlobalsInit starts its life in that block.
struct CltGlobals {
    CltPump pump; // the main thread's pump
    IONotificationPortRef notifyPort;
    // Set by HandleSignal in signal context, never cleared; read without a
    // lock. A lock-free one-byte atomic, so that this is well defined.
    std::atomic<bool> stopRequested;
    bool serviceMode;
    bool logOpenFailReported;
    // The main run loop while the service runs; read by HandleSignal.
    std::atomic<CFRunLoopRef> runLoop;
    char logPath[kCltPathSize];
    CliLogFile *logHandle; // the rotating log; null in application mode
    uint32_t logCount;
    uint32_t logSizeMiB;
    // Set by HandleSignal on a hang-up in service mode: the open log file is
    // closed and opened again at its path before the next item.
    std::atomic<bool> reopenRequested;
    // Set by HandleSignal on SIGABRT while a writer runs: the stop that
    // follows ends with status 1 and says nothing of stopping.
    std::atomic<bool> abortRequested;
    // Set when the service stops so that its service manager starts it again
    // (a log directory it can never write again in its sandbox): status 1.
    std::atomic<bool> restartWanted;
    // Service mode: standard output has gone away (its reader closed it);
    // text that cannot go to the log file is no longer offered to it.
    std::atomic<bool> stdoutGone;

    // What the outputs have been through. Each trouble is reported once when
    // it starts and once when it ends (main_logfile.cpp, main_output.cpp).
    bool logWanted;                        // a callback runs: the log file belongs open
    uint64_t logRetryAtMs;                 // coarse monotonic time of the next try at its path
    bool logWriteFailReported;             // the open log file refuses text (a full disk)
    std::atomic<bool> stdoutFailReported;  // standard output fails with an error
    bool stdoutFailed;                     // it failed at least once (application mode: status 1)
    std::atomic<uint64_t> stdoutLostBytes; // text that standard output did not take
    uint32_t sysLogDropped;                // system-log messages refused since the last got through
    OsFile *lockHandle;                    // service mode: the lock that keeps a second copy out
    int logError;                          // why the log file closed or refuses text
    std::atomic<int> stdoutError;          // why standard output fails
    CltDriverState driver;
    CltNotify notify;

    // Threads: the log's writer (main_writer.h) owns the log file and the
    // fields above that serve it (logWanted to logError); while it runs,
    // nobody else touches them. The report lock guards what the system
    // log and systemd are told: sysLogDropped, driver, notify and logState
    // (recursive: a report may lead to another). The standard-output lock
    // keeps writes to standard output whole and guards its fields; it is
    // taken before the report lock, never after.
    std::recursive_mutex reportLock;
    std::mutex stdoutLock;
    CltLogState logState;
    CltWriter *writer; // null: text is written by its caller
    // Pumps of their own for the instances (main_pumps.cpp); null: the
    // callback serves them one after another on the main thread.
    struct CltPumps *pumps;
    std::atomic<bool> anyDriverFailing; // an entry of driver.failing is taken
    int32_t exitStatus;                 // the status of an exit that cannot wait for the writer
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
// Index 2 (SIGABRT) is routed here once the writer runs: a stop with
// status 1, ended by an alarm if it takes more than two seconds.
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
// The log file's side of the writer (main_logfile.cpp), run by the writer
// thread, or by the caller when there is none: the callback's open and
// close, a pending hang-up, the retry of a log file that closed, the sync.
void LogFileOpenNow(CltGlobals *clt);
void LogFileCloseNow(CltGlobals *clt);
void LogFileServeHangUp(CltGlobals *clt);
void LogFileRetryNow(CltGlobals *clt);
void LogFileSyncNow(CltGlobals *clt);
// Tells the status line what the log file's state is now.
void PublishLogState(CltGlobals *clt);
// Writes the text where it goes now: the open log file as far as it takes
// it, standard output for the rest (main_output.cpp).
void DeliverText(CltGlobals *clt, const char *text, uint32_t length);
// Standard output, whole, under its lock; after a stop the lock is waited
// for a short while only, and text that cannot be written is counted lost.
void ToStdoutLocked(CltGlobals *clt, const char *text, uint32_t length);
// The loops that do the work call this: the writer's stall watch, the
// watchdog's ping and the status line's counters, when due.
void ServiceTick(CltGlobals *clt, bool pingNow = false);
// At the stop: says how much text standard output did not take, and gives
// the exit status (application mode: 1 when standard output failed).
int32_t ReportOutputAtStop(CltGlobals *clt);
// The drivers' ups and downs (main_drivers.cpp): a connection established
// and closed, a reply after a reported failure, a failure (reported once
// per outage in service mode; a driver that went away is none); and, in
// service mode, the platform's messages sent to the system log.
void DriverServing(CltGlobals *clt, CltPump &pump);
void DriverAnswered(CltGlobals *clt, const char *name);
void DriverFailed(CltGlobals *clt, const char *name, kern_return_t result);
void DriverDone(CltGlobals *clt, CltPump &pump);
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

// The first-publish callback: gives every instance the iterator delivers a
// pump of its own (main_pumps.cpp), or, where it cannot have one, serves
// it here, one after another.
void NotificationCallback(void *refCon, io_iterator_t iterator);
// Serves one delivered instance with the calling thread's pump: connects,
// runs the event pump, closes; releases the service object.
void ServeInstance(CltGlobals *clt, io_service_t service);
// The pump of the calling thread: a pump thread's own, else the record's.
CltPump &CurrentPump(CltGlobals *clt);
// Pumps of their own (main_pumps.cpp). PumpsEnable makes the callback start
// them (needs the writer); StartPump gives the instance a thread, false when
// it cannot have one. ReapPumps joins those that have ended; StopPumps
// wakes every pump after a stop request, cuts short a call that hangs, and
// joins them all. PumpText holds a pump thread's text until its line end.
bool PumpsEnable(CltGlobals *clt);
bool StartPump(CltGlobals *clt, io_service_t service);
void ReapPumps(CltGlobals *clt);
void StopPumps(CltGlobals *clt);
bool PumpText(CltGlobals *clt, const char *text, uint32_t length);
// Stops and joins the pumps and frees their record (the exit sequence).
void PumpsFree(CltGlobals *clt);
// Calls fn(pump, context) for every pump that serves an instance now, the
// record's own first, under the pumps' lock.
void ForEachServing(CltGlobals *clt, void (*fn)(const CltPump &pump, void *context), void *context);
// The log file is wanted while a callback or a pump runs: opened by the
// first user, closed after the last (through the writer, in the order of
// the text).
void LogUse(CltGlobals *clt);
void LogRelease(CltGlobals *clt);
// The event pump for one open user-client connection; returns when a stop is
// requested or a request fails.
void LogEvents(io_connect_t connection);
// Writes one reply's text (NUL-terminated) through LogText, turning valid
// time tokens into local date and time and dropping every other '{'.
void LogEventText(CltGlobals *clt, const char *text);
