// The drivers' ups and downs as the operator hears of them. A published
// driver that fails (its connection, its open, a call) is delivered again by
// the platform, backing off, for as long as it stays published; in service
// mode the system log says once per outage why it failed, and once that it
// is served again. A driver that went away (unloaded) is no outage. The
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

void Copy(char *to, const char *from) {
    snprintf(to, kCltNameSize, "%s", from);
}

void PlatformMessage(bool problem, const char *text) {
    if (CltGlobals *clt = Clt()) {
        std::lock_guard lock(clt->reportLock);
        SysLog(problem ? LOG_WARNING : LOG_INFO, "%s", text);
        Copy(clt->driver.platformProblem, problem ? text : "");
        NotifyChanged(clt);
    }
}

} // namespace

void DriverServing(CltGlobals *clt, const char *name) {
    std::lock_guard lock(clt->reportLock);
    CltDriverState &driver = clt->driver;
    Copy(driver.serving, name);
    driver.servingSince = time(nullptr);
    driver.writtenBytes = 0;
    driver.lostBytes = 0;
    NotifyChanged(clt);
}

void DriverAnswered(CltGlobals *clt) {
    std::lock_guard lock(clt->reportLock);
    CltDriverState &driver = clt->driver;
    if (driver.failing[0] == '\0') {
        return;
    }
    if (clt->serviceMode) {
        SysLog(LOG_INFO, "Driver %s is served again", driver.failing);
    }
    driver.failing[0] = '\0';
    NotifyChanged(clt);
}

void DriverFailed(CltGlobals *clt, const char *name, kern_return_t result) {
    // A driver that unloaded, or a failure while the service stops, is no
    // outage to report.
    if (result == kIOReturnNoDevice || clt->stopRequested.load()) {
        return;
    }
    std::lock_guard lock(clt->reportLock);
    CltDriverState &driver = clt->driver;
    bool reported = strcmp(driver.failing, name) == 0;
    Copy(driver.failing, name);
    Copy(driver.failure, mach_error_string(result));
    if (!reported && clt->serviceMode) {
        SysLog(LOG_WARNING, "Driver %s failed (%s); it is tried again while it is published", name,
               driver.failure);
    }
    NotifyChanged(clt);
}

void DriverDone(CltGlobals *clt) {
    std::lock_guard lock(clt->reportLock);
    clt->driver.serving[0] = '\0';
    NotifyChanged(clt);
}

void ReportPlatformMessages(CltGlobals *clt) {
    if (clt->serviceMode) {
        trelvox::platform::SetPlatformMessageSink(PlatformMessage);
    }
}
