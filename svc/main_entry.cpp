// The service's start-up, run and tear-down, and its signal callback.
#include <fcntl.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <new>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"
#include "svc/main_writer.h"

namespace {

constexpr char kLogDir[] = "/var/quenlab/log/";
constexpr char kLogName[] = "Trelvox";
constexpr char kLogExt[] = ".log";
constexpr uint32_t kLogCount = 5;
constexpr uint32_t kLogSizeMiB = 50;

// Portable signal indexes: the service stops on the first three; a hang-up
// reopens the log file in service mode and stops the service otherwise; a
// broken pipe is ignored in service mode.
constexpr uint32_t kSignalInt = 0;
constexpr uint32_t kSignalTerm = 1;
constexpr uint32_t kSignalAbort = 2;
// An abort that has not ended the process by then (its main thread stuck
// in a way nothing foresaw) ends it by the alarm's default action.
constexpr unsigned kAbortDeadlineSeconds = 2;
constexpr uint32_t kSignalQuit = 3;
constexpr uint32_t kSignalHangUp = 5;
constexpr uint32_t kSignalPipe = 6;
constexpr uint32_t kSignalFileSize = 7;
// A line may go on this far past the log's size limit before the file is
// rotated anyway (a driver that sends no line end).
constexpr uint32_t kLogMaxOverrun = 64 * 1024;

// A descriptor 0, 1 or 2 that the process was started without would be taken
// by the next file the process opens (the driver bus's watch, a driver
// connection, the log file), and text meant for standard output would land
// there. Each missing one is opened on /dev/null before anything else.
void KeepStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int opened = open("/dev/null", O_RDWR);
        if (opened > fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

[[noreturn]] void FailStart(const char *message) {
    SysLog(LOG_ERR, "%s", message);
    CliExit(1);
}

// Standard error too in service mode: the failure may be one of
// descriptors, which leaves the system log unreachable (under systemd,
// standard error goes to the journal all the same).
void ReportRunLoopFailure(const CltGlobals *clt, int error) {
    const char *reason = strerror(error != 0 ? error : EIO);
    if (clt->serviceMode) {
        SysLog(LOG_ERR, "Waiting for drivers failed (%s)", reason);
    }
    CliPrintError("Waiting for drivers failed (%s)", reason);
}

// While the service waits for drivers, a timer of the run loop pings the
// watchdog and watches the log's writer (the pump does so itself while it
// runs): a run loop that stops turning stops the pings.
constexpr uint64_t kTickEveryMs = 1000;

void TickFired(CFRunLoopTimerRef, void *) {
    CltGlobals *clt = Clt();
    // The timer's turn is the ping's when pings are due this often.
    ServiceTick(clt, clt->notify.pingEveryMs != 0 && clt->notify.pingEveryMs <= kTickEveryMs);
    ReapPumps(clt);
}

CFRunLoopTimerRef StartTickTimer(CltGlobals *clt, CFRunLoopRef loop) {
    uint64_t everyMs = kTickEveryMs;
    if (clt->notify.pingEveryMs != 0 && clt->notify.pingEveryMs < everyMs) {
        everyMs = clt->notify.pingEveryMs;
    }
    CFTimeInterval every = static_cast<double>(everyMs) / 1000.0;
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + every, every, 0, 0, TickFired, nullptr);
    if (timer != nullptr) {
        CFRunLoopAddTimer(loop, timer, kCFRunLoopDefaultMode);
    }
    return timer;
}

void HandleOptions(CltGlobals *clt) {
    for (uint32_t i = 0; i < gCli->optCount; ++i) {
        CliOptSlot *slot = &gCli->optSlots[i];
        CliOptNoMultiple(slot);
        if (slot->letter == 's') {
            clt->serviceMode = true; // an argument to -s is ignored
        } else {
            CliOptInvalid(slot);
        }
    }
}

} // namespace

void CltGlobalsInit() {
    CltGlobals *clt = new (gClt) CltGlobals();
    clt->exitStatus = 1; // until a clean stop says otherwise
}

int CltWaitCondInit(pthread_cond_t *cond) {
    pthread_condattr_t attributes;
    int error = pthread_condattr_init(&attributes);
    if (error != 0) {
        return error;
    }
    error = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    if (error == 0) {
        error = gOsSys.pthread_cond_init(cond, &attributes);
    }
    pthread_condattr_destroy(&attributes);
    return error;
}

void RequestStop(CltGlobals *clt) {
    clt->stopRequested.store(true);
    CFRunLoopRef loop = clt->runLoop.load();
    if (loop != nullptr) {
        CFRunLoopStop(loop);
    }
}

void HandleSignal(uint32_t index) {
    if (index != kSignalInt && index != kSignalTerm && index != kSignalQuit &&
        index != kSignalHangUp && index != kSignalAbort) {
        return;
    }
    CltGlobals *clt = Clt();
    if (index == kSignalAbort) {
        // Routed here only while a writer runs (otherwise the runtime ends
        // the process itself): the text the writer holds is not thrown
        // away; the service stops in order, with status 1.
        if (clt == nullptr || clt->writer == nullptr) {
            return;
        }
        clt->abortRequested.store(true);
        alarm(kAbortDeadlineSeconds);
        RequestStop(clt);
        return;
    }
    if (clt == nullptr) {
        return;
    }
    if (index == kSignalHangUp && clt->serviceMode) {
        clt->reopenRequested.store(true);
        return;
    }
    RequestStop(clt);
}

void CltMain(int32_t argc, char **argv) {
    KeepStandardDescriptors();
    CliInit();
    CltGlobalsInit();
    CltGlobals *clt = Clt();

    CliSignalInit(kSignalInt, HandleSignal);
    CliSignalInit(kSignalQuit, HandleSignal);
    CliSignalInit(kSignalTerm, HandleSignal);
    // What a hang-up means depends on the mode, known once the options are
    // read; until then it must not end the process.
    CliSignalInit(kSignalHangUp, nullptr);
    CliSignalHook();

    clt->logCount = kLogCount;
    clt->logSizeMiB = kLogSizeMiB;
    CliStrCpy(clt->logPath, sizeof clt->logPath, kLogDir);
    CliStrCat(clt->logPath, sizeof clt->logPath, kLogName);
    CliStrCat(clt->logPath, sizeof clt->logPath, kLogExt);

    if (gOsSys.pthread_mutex_init(&clt->pump.waitMutex, nullptr) != 0) {
        FailStart("Failed to allocate resources\n");
    }
    clt->pump.mutexCreated = true;
    if (CltWaitCondInit(&clt->pump.waitCond) != 0) {
        FailStart("Failed to allocate resources\n");
    }
    clt->pump.condCreated = true;

    CliOptPreProcess(argc, argv);
    HandleOptions(clt);
    CliOptPostProcess();
    if (gCli->optCount == 0 && CliVerbosityEnabled(kCliVerbosityVerbose)) {
        CliExit(0);
    }
    // In service mode standard output is a stream that may go away (the
    // journal restarts); a write to it must fail, not end the service. In
    // application mode a reader that leaves ends the service as it ends
    // other command-line tools.
    CliSignalInit(kSignalHangUp, HandleSignal);
    if (clt->serviceMode) {
        CliSignalInit(kSignalPipe, nullptr);
    }
    // A file that may not grow (a size limit set with ulimit -f) fails the
    // write with EFBIG, which the log file and standard output handle.
    CliSignalInit(kSignalFileSize, nullptr);
    CliSignalHook();
    NotifyStart(clt);

    if (clt->serviceMode) {
        SysLog(LOG_INFO, "Service is starting");
        TakeServiceLock(clt);
        clt->logHandle = CliLogInit(clt->logPath, clt->logSizeMiB << 20, clt->logCount);
        if (clt->logHandle == nullptr) {
            FailStart("Failed to initialize log handle");
        }
        // A collector that reads the log line by line never sees a line cut
        // in two by a rotation.
        CliLogRotateAtLineEnds(clt->logHandle, kLogMaxOverrun);
    }
    // From here on the text goes through the log's writer; without one
    // (no thread to be had) it is written directly, as it always could be.
    if (WriterStart(clt)) {
        CliSignalInit(kSignalAbort, HandleSignal);
        CliSignalHook();
        // Every published instance is then served at once, each by a pump
        // of its own; their text meets in the writer.
        PumpsEnable(clt);
    }
    LogStr("\n\n"); // the log file is not open yet: standard output

    ReportPlatformMessages(clt);
    clt->notifyPort = IONotificationPortCreate(kIOMasterPortDefault);
    if (clt->notifyPort == nullptr) {
        FailStart("Failed to create notification port.");
    }
    CFMutableDictionaryRef matching = IOServiceMatching(kDriverClass);
    if (matching == nullptr) {
        FailStart("Failed to get matching dictionary\n");
    }
    io_iterator_t iterator = 0;
    if (IOServiceAddMatchingNotification(clt->notifyPort, kIOFirstPublishNotification, matching,
                                         NotificationCallback, nullptr,
                                         &iterator) != KERN_SUCCESS) {
        FailStart("Failed to add notification\n");
    }

    // Known to HandleSignal before the first drain: a stop then also cuts
    // short a driver call that does not answer, which the platform does
    // when the calling thread's run loop is stopped.
    clt->runLoop.store(CFRunLoopGetCurrent());
    // The first drain serves what is published already and arms the
    // notification for later publications.
    NotificationCallback(nullptr, iterator);

    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(clt->notifyPort);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    clt->runLoop.store(loop);
    if (source == nullptr || loop == nullptr) {
        LogStr("Failed to create run loop source\n");
        CliExit(1);
    }
    CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
    CFRetain(loop);
    CFRunLoopTimerRef ticker = StartTickTimer(clt, loop);
    // A stop that lands between this check and the wait is kept by the run
    // loop, so the run returns at once.
    if (!clt->stopRequested.load()) {
        NotifyReady(clt);
        CFRunLoopRun();
    }
    // The run loop returns without a stop only when its wait failed (the
    // descriptor limit lowered under the service, say): no driver would be
    // found any more, so the service ends with a failure that a service
    // manager restarts, and says why.
    int runError = clt->stopRequested.load() ? 0 : errno;
    NotifyStopping(clt);

    if (ticker != nullptr) {
        CFRunLoopTimerInvalidate(ticker);
        CFRelease(ticker);
    }
    CFRunLoopRemoveSource(loop, source, kCFRunLoopDefaultMode);
    clt->runLoop.store(nullptr);
    CFRelease(loop);
    if (runError != 0 || !clt->stopRequested.load()) {
        ReportRunLoopFailure(clt, runError);
        CliExit(1);
    }
    // The pumps end (a call that hangs is cut short), then the writer
    // finishes what waits, or gives it to standard output.
    StopPumps(clt);
    WriterStop(clt);
    int32_t status = ReportOutputAtStop(clt);
    if (clt->restartWanted.load()) {
        status = 1;
    }
    if (clt->abortRequested.load()) {
        status = 1; // an abort is a failure, said by the status alone
    } else if (clt->serviceMode) {
        SysLog(LOG_INFO, "Service is stopping");
    }
    clt->exitStatus = status;
    CliExit(status);
}
