// Link-time wrappers for the service's test programs (linked with
// -Wl,--wrap=openlog,--wrap=vsyslog,--wrap=closelog,--wrap=pthread_mutex_init,
// --wrap=pthread_cond_init). The service's code stays as it is: its calls
// to the system log are recorded here instead of reaching the machine's log,
// and the initialisation of a mutex or condition can be made to fail.
#pragma once

#include <pthread.h>

#include <string>
#include <vector>

namespace testsupport {

// One system-log message with the connection it was sent on.
struct SysLogRecord {
    std::string ident; // identity given to openlog
    int option = -1;   // openlog's option, -1 when openlog was not called
    int facility = -1;
    int priority = -1;
    std::string text;
    bool closedAfter = false; // closelog followed before the next message
};

// Messages recorded in this process, oldest first.
std::vector<SysLogRecord> SysLogRecords();
void ClearSysLogRecords();
// "<priority>|<ident>|<option>|<facility>|<text>|<closed 0/1>" per message,
// the form in which a child also reports each message on its side channel.
std::string FormatSysLog(const SysLogRecord &record);

// The next pthread_mutex_init / pthread_cond_init made by the linked code
// fails with ENOMEM (for a child process that starts the service).
void FailNextMutexInit();
void FailNextCondInit();

} // namespace testsupport
