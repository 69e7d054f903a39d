// The drivers' ups and downs as the operator hears of them. A published
// driver that fails (its connection, its open, a call) is delivered again by
// the platform, backing off, for as long as it stays published; in service
// mode the system log says once per outage why it failed, and once that it
// is served again, naming the driver that recovered. A driver that went
// away (unloaded) is no outage, and its trouble ends with it. The
// platform's own messages (the driver directory that cannot be watched, and
// its return) go to the system log in service mode too. The status line
// shows all of it.
#include <syslog.h>

#include <cstring>
#include <ctime>
#include <mutex>

#include "lib/platform/platform_messages.h"
#include "svc/clt.h"

namespace {

template <size_t N> void Copy(char (&to)[N], const char *from) {
    snprintf(to, N, "%s", from);
}

void PlatformMessage(bool problem, const char *text) {
    if (CltGlobals *clt = Clt()) {
        // It may name a path from outside (the driver directory).
        char escaped[kCltReasonSize];
        CliStrEscape(escaped, sizeof escaped, text);
        std::lock_guard lock(clt->reportLock);
        SysLog(problem ? LOG_WARNING : LOG_INFO, "%s", escaped);
        Copy(clt->driver.platformProblem, problem ? escaped : "");
        NotifyChanged(clt);
    }
}

// The entry of a failing driver, or -1.
int Failing(const CltDriverState &driver, const char *name) {
    for (uint32_t i = 0; i < kCltMostFailing; ++i) {
        if (driver.failing[i][0] != '\0' && strcmp(driver.failing[i], name) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool AnyFailing(const CltDriverState &driver) {
    for (const auto &name : driver.failing) {
        if (name[0] != '\0') {
            return true;
        }
    }
    return false;
}

// An instance unpublished: a trouble it had ends with it.
void Unpublished(const char *raw) {
    CltGlobals *clt = Clt();
    if (clt == nullptr) {
        return;
    }
    char name[kCltNameSize];
    CliStrEscape(name, sizeof name, raw);
    std::lock_guard lock(clt->reportLock);
    int at = Failing(clt->driver, name);
    if (at >= 0) {
        clt->driver.failing[at][0] = '\0';
        clt->anyDriverFailing = AnyFailing(clt->driver);
        NotifyChanged(clt);
    }
}

} // namespace

void DriverServing(CltGlobals *clt, CltPump &pump) {
    std::lock_guard lock(clt->reportLock);
    pump.since = time(nullptr);
    pump.writtenBytes = 0;
    pump.lostBytes = 0;
    pump.serving = true;
    NotifyChanged(clt);
}

void DriverAnswered(CltGlobals *clt, const char *name) {
    // Cheap while nothing fails: the common case of every reply.
    if (!clt->anyDriverFailing.load(std::memory_order_relaxed)) {
        return;
    }
    std::lock_guard lock(clt->reportLock);
    CltDriverState &driver = clt->driver;
    int at = Failing(driver, name);
    if (at < 0) {
        return;
    }
    if (clt->serviceMode) {
        SysLog(LOG_INFO, "Driver %s is served again", driver.failing[at]);
    }
    driver.failing[at][0] = '\0';
    clt->anyDriverFailing = AnyFailing(driver);
    NotifyChanged(clt);
}

void DriverFailed(CltGlobals *clt, const char *name, kern_return_t result) {
    if (clt->stopRequested.load()) {
        return; // a failure while the service stops is no outage
    }
    std::lock_guard lock(clt->reportLock);
    CltDriverState &driver = clt->driver;
    int at = Failing(driver, name);
    if (result == kIOReturnNoDevice) {
        // Unloaded: no outage, and its trouble, if it had one, is over.
        if (at >= 0) {
            driver.failing[at][0] = '\0';
            clt->anyDriverFailing = AnyFailing(driver);
            NotifyChanged(clt);
        }
        return;
    }
    bool reported = at >= 0;
    if (!reported) {
        // A free entry; when all are taken the oldest trouble's entry is
        // reused (the system log has said it).
        at = 0;
        for (uint32_t i = 0; i < kCltMostFailing; ++i) {
            if (driver.failing[i][0] == '\0') {
                at = static_cast<int>(i);
                break;
            }
        }
        Copy(driver.failing[at], name);
    }
    Copy(driver.failure[at], mach_error_string(result));
    clt->anyDriverFailing = true;
    if (!reported && clt->serviceMode) {
        SysLog(LOG_WARNING, "Driver %s failed (%s); it is tried again while it is published", name,
               driver.failure[at]);
    }
    NotifyChanged(clt);
}

void DriverDone(CltGlobals *clt, CltPump &pump) {
    std::lock_guard lock(clt->reportLock);
    pump.serving = false;
    NotifyChanged(clt);
}

void ReportPlatformMessages(CltGlobals *clt) {
    if (clt->serviceMode) {
        trelvox::platform::SetPlatformMessageSink(PlatformMessage);
    }
    trelvox::platform::SetUnpublishedSink(Unpublished);
}
