// The service's messages to the system log. A receiver that stops reading
// (the journal or a syslog daemon stuck or restarting) must never hold the
// service up: each message is sent without waiting, one the receiver
// refuses is dropped and counted, and once messages get through again a
// message of its own says how many were dropped.
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "lib/cli/osx/ossys.h"
#include "svc/clt.h"

namespace {

// Sends one message; false when the receiver refused it.
bool Send(int priority, const char *text) {
    const char *ident = gCli != nullptr ? gCli->progName : "";
    return gOsSys.syslog_send(ident, LOG_DAEMON, priority, text) == 0;
}

} // namespace

void SysLog(int priority, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);

    CltGlobals *clt = Clt();
    std::unique_lock<std::recursive_mutex> lock;
    if (clt != nullptr) {
        lock = std::unique_lock(clt->reportLock);
    }
    if (clt != nullptr && clt->sysLogDropped != 0) {
        char note[128];
        snprintf(note, sizeof note,
                 "%u messages to the system log were dropped while it did not take them",
                 static_cast<unsigned>(clt->sysLogDropped));
        if (!Send(LOG_WARNING, note)) {
            ++clt->sysLogDropped; // still refusing: this one goes the same way
            NotifyChanged(clt);
            return;
        }
        clt->sysLogDropped = 0;
        NotifyChanged(clt);
    }
    if (!Send(priority, text) && clt != nullptr) {
        ++clt->sysLogDropped;
        NotifyChanged(clt);
    }
}
