// The service's tool hooks, called back by the runtime, and its list of
// supported I/O-control classes.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/clifile.h"
#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"
#include "svc/main_writer.h"

namespace {

constexpr char kOptionsText[] = "\nOptions:\n\n"
                                " -h                Display extended help.\n"
                                " -s                Run as service, defaults to app.\n"
                                " -v                Display non-error messages.\n\n";
static_assert(sizeof(kOptionsText) - 1 == 153);

constexpr int32_t kIoctlClassSupported = 3;

} // namespace

const int32_t gCltIoctlSupp[] = {kIoctlClassSupported, 10};

// Destroys exactly what the record says exists; a second call finds nothing
// left. It neither stops the run loop nor releases the iterator.
void CltExit() {
    CltGlobals *clt = Clt();
    if (clt == nullptr) {
        return;
    }
    PumpsFree(clt);
    if (WriterStop(clt)) {
        // A writer caught in the kernel still uses the log file and this
        // record: the process ends here, without tearing them down.
        fflush(nullptr);
        _exit(clt->exitStatus);
    }
    WriterFree(clt);
    CliLogFree(&clt->logHandle);
    CliFileClose(clt->lockHandle);
    clt->lockHandle = nullptr;
    if (clt->notifyPort != nullptr) {
        IONotificationPortDestroy(clt->notifyPort);
        clt->notifyPort = nullptr;
    }
    if (clt->pump.condCreated) {
        pthread_cond_destroy(&clt->pump.waitCond);
        clt->pump.condCreated = false;
    }
    if (clt->pump.mutexCreated) {
        pthread_mutex_destroy(&clt->pump.waitMutex);
        clt->pump.mutexCreated = false;
    }
}

void CltPrintOptions(FILE *stream) {
    fwrite(kOptionsText, 1, sizeof(kOptionsText) - 1, stream);
}

void CltPrintDescription() {
    puts("Service to log driver events.");
}

void CltPrintExamples() {}

uint32_t CltIoctlPayloadSize(int32_t ioctlClass) {
    if (ioctlClass == kIoctlClassSupported) {
        return 0;
    }
    CliPrintErrorFunc("CltIoctlPayloadSize");
}

uint32_t CltGlobalsSize() {
    return sizeof(CltGlobals);
}
