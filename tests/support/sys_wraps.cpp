#include "tests/support/sys_wraps.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "tests/support/child_process.h"

namespace testsupport {
namespace {

std::mutex gLock;
std::vector<SysLogRecord> gRecords;
std::string gIdent;
int gOption = -1;
int gFacility = -1;
bool gOpen = false;
bool gFailMutex = false;
bool gFailCond = false;

} // namespace

std::vector<SysLogRecord> SysLogRecords() {
    std::lock_guard lock(gLock);
    return gRecords;
}

void ClearSysLogRecords() {
    std::lock_guard lock(gLock);
    gRecords.clear();
}

std::string FormatSysLog(const SysLogRecord &r) {
    return std::to_string(r.priority) + "|" + r.ident + "|" + std::to_string(r.option) + "|" +
           std::to_string(r.facility) + "|" + r.text + "|" + (r.closedAfter ? "1" : "0");
}

void FailNextMutexInit() {
    gFailMutex = true;
}

void FailNextCondInit() {
    gFailCond = true;
}

} // namespace testsupport

using namespace testsupport;

extern "C" {

int __real_pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr);
int __real_pthread_cond_init(pthread_cond_t *cond, const pthread_condattr_t *attr);

void __wrap_openlog(const char *ident, int option, int facility) {
    std::lock_guard lock(gLock);
    gIdent = ident != nullptr ? ident : "(null)";
    gOption = option;
    gFacility = facility;
    gOpen = true;
}

void __wrap_vsyslog(int priority, const char *format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    std::lock_guard lock(gLock);
    SysLogRecord record;
    if (gOpen) {
        record.ident = gIdent;
        record.option = gOption;
        record.facility = gFacility;
    }
    record.priority = priority;
    record.text = text;
    gRecords.push_back(record);
}

void __wrap_closelog() {
    std::string line;
    {
        std::lock_guard lock(gLock);
        gOpen = false;
        gOption = gFacility = -1;
        gIdent.clear();
        if (gRecords.empty() || gRecords.back().closedAfter) {
            return;
        }
        gRecords.back().closedAfter = true;
        line = FormatSysLog(gRecords.back());
    }
    SideChannelWrite("syslog " + line + "\n");
}

int __wrap_pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr) {
    if (gFailMutex) {
        gFailMutex = false;
        return ENOMEM;
    }
    return __real_pthread_mutex_init(mutex, attr);
}

int __wrap_pthread_cond_init(pthread_cond_t *cond, const pthread_condattr_t *attr) {
    if (gFailCond) {
        gFailCond = false;
        return ENOMEM;
    }
    return __real_pthread_cond_init(cond, attr);
}

} // extern "C"
