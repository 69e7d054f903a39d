// The fault controller of the system-call seam (lib/cli/osx/ossys.h): while
// a SysFaults object lives, every entry of the seam counts its calls and
// passes them to the real call, except the calls it was told to fail. The
// system log is never reached: its messages are recorded here instead, so
// that a test sees what the service sent.
//
//   testsupport::SysFaults faults;
//   faults.FailNth(Sys::rename, 2, EIO);       // the second rename fails
//   faults.FailFrom(Sys::write, 1, ENOSPC);     // every write fails
//
// A failed call returns what the real one returns on failure: -1 (or null)
// with errno set; the wait-primitive initialisers return the error number.
// A failure set on syslog_send drops the message as a receiver that
// refuses it would, with that error number. Making a controller starts every count afresh and
// clears every failure, and so does destroying it (a test may make one for a step, beside its
// fixture's); the real table is back once the last one has gone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/cli/osx/ossys.h"
#include "tests/support/sys_override.h"

namespace testsupport {

// The seam's entries, named as the members of OsSysTable.
#define TRELVOX_SYS_ENTRIES(X)                                                                     \
    X(calloc)                                                                                      \
    X(open)                                                                                        \
    X(close)                                                                                       \
    X(read)                                                                                        \
    X(write)                                                                                       \
    X(lseek)                                                                                       \
    X(fstat)                                                                                       \
    X(stat)                                                                                        \
    X(mkdir)                                                                                       \
    X(rename)                                                                                      \
    X(unlink)                                                                                      \
    X(dup)                                                                                         \
    X(dup2)                                                                                        \
    X(fopen)                                                                                       \
    X(time)                                                                                        \
    X(statx)                                                                                       \
    X(clock_gettime)                                                                               \
    X(syslog_send)                                                                                 \
    X(pthread_mutex_init)                                                                          \
    X(pthread_cond_init)

enum class Sys : uint32_t {
#define TRELVOX_SYS_ENUM(name) name,
    TRELVOX_SYS_ENTRIES(TRELVOX_SYS_ENUM)
#undef TRELVOX_SYS_ENUM
};
#define TRELVOX_SYS_COUNT(name) +1
inline constexpr uint32_t kSysEntryCount = 0 TRELVOX_SYS_ENTRIES(TRELVOX_SYS_COUNT);
#undef TRELVOX_SYS_COUNT
const char *SysName(Sys entry);

class SysFaults {
public:
    SysFaults();
    ~SysFaults();
    SysFaults(const SysFaults &) = delete;
    SysFaults &operator=(const SysFaults &) = delete;

    // The entry's call number n (counting from 1 since the controller was
    // made or the entry last Reset) fails with error: that call alone, or
    // with FailFrom that call and every later one. A new failure replaces
    // the entry's earlier one; n 0 clears it.
    void FailNth(Sys entry, uint32_t n, int error);
    void FailFrom(Sys entry, uint32_t n, int error);
    // Clears the entry's failure and its count.
    void Reset(Sys entry);
    // Clears every failure and every count (the syslog records stay).
    void ResetAll();
    // Calls the entry has had, failed ones included.
    uint32_t Calls(Sys entry) const;
    // Failed calls, all entries together.
    uint32_t Failures() const;
};

// One system-log message the service sent.
struct SysLogRecord {
    std::string ident;
    int facility = -1;
    int priority = -1;
    std::string text;
};

// Messages recorded in this process while a controller lived, oldest first.
std::vector<SysLogRecord> SysLogRecords();
void ClearSysLogRecords();
// "<priority>|<ident>|<facility>|<text>" per message, the form in which a
// child also reports each message on its side channel ("syslog <form>\n").
std::string FormatSysLog(const SysLogRecord &record);

} // namespace testsupport
