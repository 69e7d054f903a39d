// The notification callback and the event pump: one driver connection at a
// time, its event text written out with the time tokens in local time.
#include <pthread.h>
#include <sys/time.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"

namespace {

constexpr char kTimeFormat[] = "%02d/%02d/%02d %02d:%02d:%02d  ";
constexpr uint32_t kTimeBufferSize = 64;
// A time token: '{', exactly 8 characters, '}'.
constexpr int kTokenDigits = 8;
constexpr long kNanosPerSecond = 1000000000L;

// The wait in milliseconds before the next request while the driver is
// idle, from the nominal time already waited since it last had text.
int32_t BackOffMs(int32_t idleMs) {
    if (idleMs < 100) {
        return 1;
    }
    if (idleMs < 250) {
        return 10;
    }
    if (idleMs < 500) {
        return 25;
    }
    return 50;
}

bool IsTimeToken(const char *brace) {
    for (int i = 1; i <= kTokenDigits; ++i) {
        if (brace[i] == '\0') {
            return false;
        }
    }
    return brace[kTokenDigits + 1] == '}';
}

void LogTime(unsigned long seconds) {
    time_t when = static_cast<time_t>(seconds);
    struct tm local;
    if (localtime_r(&when, &local) == nullptr) {
        return;
    }
    char stamp[kTimeBufferSize];
    snprintf(stamp, sizeof stamp, kTimeFormat, local.tm_mon + 1, local.tm_mday, local.tm_year % 100,
             local.tm_hour, local.tm_min, local.tm_sec);
    LogStr("%s", stamp);
}

// Sleeps until the absolute wall-clock deadline. Nothing signals the
// condition, so a return before the deadline is spurious and the wait goes on.
void WaitUntil(CltGlobals *clt, const timespec &deadline) {
    pthread_mutex_lock(&clt->waitMutex);
    while (pthread_cond_timedwait(&clt->waitCond, &clt->waitMutex, &deadline) == 0) {
    }
    pthread_mutex_unlock(&clt->waitMutex);
}

} // namespace

void LogEventText(const char *text) {
    const char *p = text;
    for (;;) {
        size_t count = strcspn(p, "{");
        if (count > 0) {
            LogStr("%.*s", static_cast<int>(count), p);
            p += count;
        }
        if (*p == '\0') {
            return;
        }
        if (!IsTimeToken(p)) {
            ++p; // a brace that starts no token is dropped
            continue;
        }
        char *end = nullptr;
        unsigned long seconds = strtoul(p + 1, &end, 16);
        p = end;
        if (*p == '}') {
            ++p;
        }
        LogTime(seconds);
    }
}

void LogEvents(io_connect_t connection) {
    CltGlobals *clt = Clt();
    char text[kCltEventTextSize + 1];
    while (!clt->stopRequested.load()) {
        size_t replySize = sizeof clt->eventReply;
        if (IOConnectCallStructMethod(connection, kCltMethodEventLog, clt->eventRequest,
                                      sizeof clt->eventRequest, &clt->eventReply,
                                      &replySize) != KERN_SUCCESS) {
            LogStr("\nCould not retrieve log data. ");
            return;
        }
        const CltEventReply &reply = clt->eventReply;
        if (reply.lostBytes != 0) {
            LogStr("...Lost %d bytes...", reply.lostBytes);
        }
        uint32_t length = std::min(reply.textLen, kCltEventTextSize);
        memcpy(text, reply.eventText, length);
        text[length] = '\0';
        LogEventText(text);

        if (reply.waitFlag == 0) {
            clt->idleMs = 0;
            continue;
        }
        timeval now;
        if (gettimeofday(&now, nullptr) != 0) {
            continue;
        }
        int32_t waitMs = BackOffMs(clt->idleMs);
        timespec deadline;
        deadline.tv_sec = now.tv_sec;
        deadline.tv_nsec = waitMs * 1000000L + now.tv_usec * 1000L;
        if (deadline.tv_nsec >= kNanosPerSecond) {
            deadline.tv_nsec -= kNanosPerSecond;
            deadline.tv_sec += 1;
        }
        WaitUntil(clt, deadline);
        // Counts nominal waits; saturates instead of overflowing.
        clt->idleMs = clt->idleMs > INT32_MAX - waitMs ? INT32_MAX : clt->idleMs + waitMs;
    }
}

void NotificationCallback(void *, io_iterator_t iterator) {
    CltGlobals *clt = Clt();
    if (clt->logHandle != nullptr) {
        if (CliLogOpen(clt->logHandle)) {
            clt->logOpenFailReported = false;
        } else if (!clt->logOpenFailReported) {
            SysLog(LOG_WARNING, "Failed to open log file");
            clt->logOpenFailReported = true;
        }
    }
    while (io_service_t service = IOIteratorNext(iterator)) {
        if (clt->stopRequested.load()) {
            IOObjectRelease(service);
            IOObjectRelease(iterator);
            break;
        }
        LogStr("Establishing driver connection....");
        io_connect_t connection = 0;
        kern_return_t opened = IOServiceOpen(service, mach_task_self(), 0, &connection);
        IOObjectRelease(service);
        if (opened != KERN_SUCCESS) {
            LogStr("Failed to establish a driver connection\n");
            continue;
        }
        if (IOConnectCallScalarMethod(connection, kCltMethodOpen, nullptr, 0, nullptr, nullptr) !=
            KERN_SUCCESS) {
            LogStr("Failed to open user client\n");
            IOServiceClose(connection);
            continue;
        }
        LogStr("driver connection established.\n\n");
        LogEvents(connection);
        kern_return_t closed =
            IOConnectCallScalarMethod(connection, kCltMethodClose, nullptr, 0, nullptr, nullptr);
        kern_return_t released = IOServiceClose(connection);
        if (closed != KERN_SUCCESS || released != KERN_SUCCESS) {
            LogStr("Closing driver connection failed.\n");
        }
    }
    if (!clt->stopRequested.load()) {
        LogStr("Waiting for driver to load....\n");
    }
    if (clt->logHandle != nullptr) {
        CliLogClose(clt->logHandle);
    }
}
