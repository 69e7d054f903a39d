// The service's start-up, run and tear-down, and its signal callback.
#include <pthread.h>
#include <syslog.h>

#include <new>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"

namespace {

constexpr char kLogDir[] = "/var/quenlab/log/";
constexpr char kLogName[] = "Trelvox";
constexpr char kLogExt[] = ".log";
constexpr uint32_t kLogCount = 5;
constexpr uint32_t kLogSizeMiB = 50;
constexpr char kDriverClass[] = "TrelvoxController";

// Portable signal indexes the service stops on.
constexpr uint32_t kSignalInt = 0;
constexpr uint32_t kSignalTerm = 1;
constexpr uint32_t kSignalQuit = 3;

[[noreturn]] void FailStart(const char *message) {
    SysLog(LOG_ERR, "%s", message);
    CliExit(1);
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
    new (gClt) CltGlobals();
}

void HandleSignal(uint32_t index) {
    if (index != kSignalInt && index != kSignalTerm && index != kSignalQuit) {
        return;
    }
    CltGlobals *clt = Clt();
    if (clt == nullptr) {
        return;
    }
    clt->stopRequested.store(true);
    CFRunLoopRef loop = clt->runLoop.load();
    if (loop != nullptr) {
        CFRunLoopStop(loop);
    }
}

void CltMain(int32_t argc, char **argv) {
    CliInit();
    CltGlobalsInit();
    CltGlobals *clt = Clt();

    CliSignalInit(kSignalInt, HandleSignal);
    CliSignalInit(kSignalQuit, HandleSignal);
    CliSignalInit(kSignalTerm, HandleSignal);
    CliSignalHook();

    clt->logCount = kLogCount;
    clt->logSizeMiB = kLogSizeMiB;
    CliStrCpy(clt->logPath, sizeof clt->logPath, kLogDir);
    CliStrCat(clt->logPath, sizeof clt->logPath, kLogName);
    CliStrCat(clt->logPath, sizeof clt->logPath, kLogExt);

    if (pthread_mutex_init(&clt->waitMutex, nullptr) != 0) {
        FailStart("Failed to allocate resources\n");
    }
    clt->mutexCreated = true;
    if (pthread_cond_init(&clt->waitCond, nullptr) != 0) {
        FailStart("Failed to allocate resources\n");
    }
    clt->condCreated = true;

    CliOptPreProcess(argc, argv);
    HandleOptions(clt);
    CliOptPostProcess();
    if (gCli->optCount == 0 && CliVerbosityEnabled(kCliVerbosityVerbose)) {
        CliExit(0);
    }

    if (clt->serviceMode) {
        SysLog(LOG_INFO, "Service is starting");
        clt->logHandle = CliLogInit(clt->logPath, clt->logSizeMiB << 20, clt->logCount);
        if (clt->logHandle == nullptr) {
            FailStart("Failed to initialize log handle");
        }
    }
    LogStr("\n\n"); // the log file is not open yet: standard output

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
    // A stop that lands between this check and the wait is kept by the run
    // loop, so the run returns at once.
    if (!clt->stopRequested.load()) {
        CFRunLoopRun();
    }

    CFRunLoopRemoveSource(loop, source, kCFRunLoopDefaultMode);
    clt->runLoop.store(nullptr);
    CFRelease(loop);
    if (clt->serviceMode) {
        SysLog(LOG_INFO, "Service is stopping");
    }
    CliExit(0);
}
