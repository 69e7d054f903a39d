// The notification callback and the event pump: one driver connection at a
// time, its event text written out with the time tokens in local time.
#include <pthread.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/clilog.h"
#include "svc/clt.h"

namespace {

constexpr char kTimeFormat[] = "%02d/%02d/%02d %02d:%02d:%02d  ";
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

// Stamps converted between two readings of the clock by a busy pump.
constexpr uint32_t kZoneLookEvery = 256;

// A zone changed by the administrator (timedatectl replaces the
// /etc/localtime link) is taken up without a restart: the C library looks
// at the zone again (tzset: one stat) when kCltZoneCheckMs have passed.
void LookAtZoneIfDue(CltPump &pump, uint64_t nowMs) {
    CltTimeStamp &stamp = pump.lastStamp;
    stamp.sinceZoneLook = 0;
    if (nowMs - stamp.zoneCheckedAtMs >= kCltZoneCheckMs) {
        stamp.zoneCheckedAtMs = nowMs;
        tzset();
        stamp.valid = false;
    }
}

bool IsTimeToken(const char *brace) {
    for (int i = 1; i <= kTokenDigits; ++i) {
        if (brace[i] == '\0') {
            return false;
        }
    }
    return brace[kTokenDigits + 1] == '}';
}

// Puts "month/day/year hour:minute:second" and two blanks into the stamp,
// each number in two digits (%02d). The numbers of a token's time always lie
// from 0 to 99 and are written by hand; snprintf takes any other.
bool FormatStamp(const struct tm &local, CltTimeStamp *stamp) {
    const int fields[] = {local.tm_mon + 1, local.tm_mday, local.tm_year % 100,
                          local.tm_hour,    local.tm_min,  local.tm_sec};
    constexpr char kAfter[] = {'/', '/', ' ', ':', ':', ' '};
    char *out = stamp->text;
    for (size_t i = 0; i < std::size(fields); ++i) {
        if (fields[i] < 0 || fields[i] > 99) {
            int n = snprintf(stamp->text, sizeof stamp->text, kTimeFormat, fields[0], fields[1],
                             fields[2], fields[3], fields[4], fields[5]);
            if (n < 0) {
                return false;
            }
            stamp->length = std::min(static_cast<uint32_t>(n), kCltStampSize - 1);
            return true;
        }
        *out++ = static_cast<char>('0' + fields[i] / 10);
        *out++ = static_cast<char>('0' + fields[i] % 10);
        *out++ = kAfter[i];
    }
    *out++ = ' ';
    *out = '\0';
    stamp->length = static_cast<uint32_t>(out - stamp->text);
    return true;
}

// Writes the time stamp of a token's value in local time, converted only
// when the value differs from the last one written (see CltTimeStamp).
void LogTime(CltGlobals *clt, CltPump &pump, uint64_t seconds) {
    CltTimeStamp &stamp = pump.lastStamp;
    if (!stamp.valid || stamp.seconds != seconds) {
        // A busy driver never lets the pump wait, where the zone is looked
        // at (LookAtZoneIfDue): the clock is read every so many seconds
        // converted instead.
        if (++stamp.sinceZoneLook >= kZoneLookEvery) {
            LookAtZoneIfDue(pump, CltNowMs());
        }
        time_t when = static_cast<time_t>(seconds);
        struct tm local;
        stamp.valid = false;
        if (localtime_r(&when, &local) == nullptr || !FormatStamp(local, &stamp)) {
            return;
        }
        stamp.seconds = seconds;
        stamp.valid = true;
    }
    LogText(clt, stamp.text, stamp.length);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The time of the token at the brace, by strtoul's rules for base 16 on
// the product's 64-bit platform; sets *end where parsing stopped. Eight hex
// digits (the usual token) are read here; anything else goes to strtoull,
// whose 64 bits give that platform's result on every CPU: where unsigned
// long is 32 bits wide, strtoul would negate "-FFFFFFF" into 2097 instead
// of 1961. A conservative mend: every build reads a token as the 64-bit
// platform does.
uint64_t TokenTime(const char *brace, const char **end) {
    uint64_t value = 0;
    for (int i = 1; i <= kTokenDigits; ++i) {
        int digit = HexDigit(brace[i]);
        if (digit < 0) {
            char *stop = nullptr;
            value = strtoull(brace + 1, &stop, 16);
            *end = stop;
            return value;
        }
        value = value * 16 + static_cast<uint64_t>(digit);
    }
    *end = brace + 1 + kTokenDigits;
    return value;
}

// Sleeps until the absolute deadline on the monotonic clock (the
// condition's clock, CltWaitCondInit), or until a stop signals the
// condition; any other early return is spurious and the wait goes on.
void WaitUntil(CltGlobals *clt, CltPump &pump, const timespec &deadline) {
    pthread_mutex_lock(&pump.waitMutex);
    while (!clt->stopRequested.load() &&
           pthread_cond_timedwait(&pump.waitCond, &pump.waitMutex, &deadline) == 0) {
    }
    pthread_mutex_unlock(&pump.waitMutex);
}

} // namespace

void LogEventText(CltGlobals *clt, const char *text) {
    CltPump &pump = CurrentPump(clt);
    const char *p = text;
    for (;;) {
        size_t count = strcspn(p, "{");
        if (count > 0) {
            LogText(clt, p, static_cast<uint32_t>(count));
            p += count;
        }
        if (*p == '\0') {
            return;
        }
        if (!IsTimeToken(p)) {
            ++p; // a brace that starts no token is dropped
            continue;
        }
        const char *end = nullptr;
        uint64_t seconds = TokenTime(p, &end);
        p = end;
        if (*p == '}') {
            ++p;
        }
        LogTime(clt, pump, seconds);
    }
}

void LogEvents(io_connect_t connection) {
    CltGlobals *clt = Clt();
    CltPump &pump = CurrentPump(clt);
    char text[kCltEventTextSize + 1];
    // Serving a driver that was there at start: ready before its first line.
    NotifyReady(clt);
    while (!clt->stopRequested.load()) {
        ServiceTick(clt);
        // While the driver is quiet too, a hang-up (or a retry of a log file
        // that closed) is served within one wait.
        ReopenLogIfRequested(clt);
        size_t replySize = sizeof pump.eventReply;
        kern_return_t result =
            IOConnectCallStructMethod(connection, kDriverMethodEventLog, pump.eventRequest,
                                      sizeof pump.eventRequest, &pump.eventReply, &replySize);
        if (result != KERN_SUCCESS || replySize < kCltEventHeaderSize) {
            // A call that a stop cut short (the driver did not answer within
            // the grace the platform gives) is no failure to report.
            if (result != kIOReturnAborted || !clt->stopRequested.load()) {
                LogStr("\nCould not retrieve log data. ");
            }
            // A reply too short for its header is impossible, not the driver's own
            // result.
            DriverFailed(clt, pump.name,
                         result != KERN_SUCCESS ? result : kDriverBusImpossibleReply);
            return;
        }
        DriverAnswered(clt, pump.name);
        const CltEventReply &reply = pump.eventReply;
        if (reply.lostBytes != 0) {
            LogStr("...Lost %d bytes...", reply.lostBytes);
            pump.lostBytes.fetch_add(static_cast<uint32_t>(reply.lostBytes),
                                     std::memory_order_relaxed);
        }
        // Only bytes this reply brought: the rest of the reply area still
        // holds an earlier reply's text.
        uint32_t received = static_cast<uint32_t>(
            std::min<size_t>(replySize - kCltEventHeaderSize, kCltEventTextSize));
        uint32_t length = std::min({reply.textLen, kCltEventTextSize, received});
        memcpy(text, reply.eventText, length);
        text[length] = '\0';
        LogEventText(clt, text);

        // A reply that brings nothing is idle whatever its flag: a driver
        // that answers "ask again" with no text would otherwise be asked
        // without a pause, spinning a core.
        if (reply.waitFlag == 0 && (length != 0 || reply.lostBytes != 0)) {
            pump.idleMs = 0;
            continue;
        }
        // The monotonic clock: a step of the wall clock (a time service at
        // boot, an administrator) never lengthens the wait.
        timespec now;
        if (gOsSys.clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
            continue;
        }
        LookAtZoneIfDue(pump, static_cast<uint64_t>(now.tv_sec) * 1000 +
                                  static_cast<uint64_t>(now.tv_nsec) / 1000000);
        int32_t waitMs = BackOffMs(pump.idleMs);
        timespec deadline;
        deadline.tv_sec = now.tv_sec;
        deadline.tv_nsec = waitMs * 1000000L + now.tv_nsec;
        if (deadline.tv_nsec >= kNanosPerSecond) {
            deadline.tv_nsec -= kNanosPerSecond;
            deadline.tv_sec += 1;
        }
        WaitUntil(clt, pump, deadline);
        // Counts nominal waits; saturates instead of overflowing.
        pump.idleMs = pump.idleMs > INT32_MAX - waitMs ? INT32_MAX : pump.idleMs + waitMs;
    }
}

void ServeInstance(CltGlobals *clt, io_service_t service) {
    CltPump &pump = CurrentPump(clt);
    // A name is input (a driver socket's file name): kept escaped, so that
    // wherever it is printed it is one line of printable text and can
    // forge no notification, no system-log line and no status.
    io_name_t name = "";
    if (IORegistryEntryGetName(service, name) != KERN_SUCCESS) {
        snprintf(name, sizeof name, "%s", kDriverClass);
    }
    CliStrEscape(pump.name, sizeof pump.name, name);
    LogStr("Establishing driver connection....");
    io_connect_t connection = 0;
    kern_return_t opened =
        IOServiceOpen(service, mach_task_self(), kDriverConnectionType, &connection);
    IOObjectRelease(service);
    ServiceTick(clt);
    if (opened != KERN_SUCCESS) {
        LogStr("Failed to establish a driver connection\n");
        DriverFailed(clt, pump.name, opened);
        return;
    }
    kern_return_t userClient =
        IOConnectCallScalarMethod(connection, kDriverMethodOpen, nullptr, 0, nullptr, nullptr);
    ServiceTick(clt);
    if (userClient != KERN_SUCCESS) {
        LogStr("Failed to open user client\n");
        IOServiceClose(connection);
        DriverFailed(clt, pump.name, userClient);
        return;
    }
    LogStr("driver connection established.\n\n");
    DriverServing(clt, pump);
    LogEvents(connection);
    kern_return_t closed =
        IOConnectCallScalarMethod(connection, kDriverMethodClose, nullptr, 0, nullptr, nullptr);
    kern_return_t released = IOServiceClose(connection);
    DriverDone(clt, pump);
    ServiceTick(clt);
    if (closed != KERN_SUCCESS || released != KERN_SUCCESS) {
        LogStr("Closing driver connection failed.\n");
    }
}

void NotificationCallback(void *, io_iterator_t iterator) {
    CltGlobals *clt = Clt();
    OpenLogForCallback(clt);
    bool started = false;
    while (io_service_t service = IOIteratorNext(iterator)) {
        if (clt->stopRequested.load()) {
            IOObjectRelease(service);
            IOObjectRelease(iterator);
            break;
        }
        // Beside the others when pumps of their own can be had; otherwise
        // here, one after another.
        if (StartPump(clt, service)) {
            started = true;
            continue;
        }
        ServeInstance(clt, service);
    }
    // A pump of its own says it waits when it ends; here only when the
    // callback served what it found itself.
    if (!clt->stopRequested.load() && !started) {
        LogStr("Waiting for driver to load....\n");
    }
    CloseLogAfterCallback(clt);
}
