#include "tests/support/sys_faults.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <type_traits>

#include "tests/support/child_process.h"

namespace testsupport {
namespace {

static_assert(sizeof(OsSysTable) == kSysEntryCount * sizeof(void (*)()),
              "every entry of the seam is listed in TRELVOX_SYS_ENTRIES");

// One entry's count and failure. Atomic: the seam is called from any thread
// and, for write, from signal handlers.
struct EntryState {
    std::atomic<uint32_t> calls{0};
    std::atomic<uint32_t> failAt{0}; // 0: never
    std::atomic<bool> fromThenOn{false};
    std::atomic<int> error{0};
};

EntryState gEntries[kSysEntryCount];
std::atomic<uint32_t> gFailures{0};
uint32_t gDepth = 0; // controllers alive

// The error the entry's call now being made must fail with, or 0.
int Take(Sys entry) {
    EntryState &state = gEntries[static_cast<uint32_t>(entry)];
    uint32_t n = state.calls.fetch_add(1) + 1;
    uint32_t at = state.failAt.load();
    if (at == 0 || n < at || (n > at && !state.fromThenOn.load())) {
        return 0;
    }
    gFailures.fetch_add(1);
    return state.error.load();
}

// The hook installed for an entry: counts, fails as told, or passes the
// call to the real one.
template <Sys kEntry, auto kMember> struct Hook;

template <Sys kEntry, typename R, typename... A, R (*OsSysTable::*kMember)(A...)>
struct Hook<kEntry, kMember> {
    static R Call(A... args) {
        if (int error = Take(kEntry); error != 0) {
            if constexpr (kEntry == Sys::pthread_mutex_init || kEntry == Sys::pthread_cond_init ||
                          kEntry == Sys::syslog_send) {
                return error;
            } else if constexpr (std::is_void_v<R>) {
                return;
            } else {
                errno = error;
                if constexpr (std::is_pointer_v<R>) {
                    return nullptr;
                } else {
                    return static_cast<R>(-1);
                }
            }
        }
        return (gOsSysReal.*kMember)(args...);
    }
};

// The system log, recorded instead of sent.
std::mutex gLogLock;
std::vector<SysLogRecord> gRecords;

int RecordSysLog(const char *ident, int facility, int priority, const char *text) {
    if (int error = Take(Sys::syslog_send); error != 0) {
        return error;
    }
    SysLogRecord record{ident != nullptr ? ident : "(null)", facility, priority,
                        text != nullptr ? text : "(null)"};
    {
        std::lock_guard lock(gLogLock);
        gRecords.push_back(record);
    }
    SideChannelWrite("syslog " + FormatSysLog(record) + "\n");
    return 0;
}

constexpr const char *kNames[] = {
#define TRELVOX_SYS_NAME(name) #name,
    TRELVOX_SYS_ENTRIES(TRELVOX_SYS_NAME)
#undef TRELVOX_SYS_NAME
};

} // namespace

const char *SysName(Sys entry) {
    return kNames[static_cast<uint32_t>(entry)];
}

SysFaults::SysFaults() {
    ++gDepth;
    ResetAll();
#define TRELVOX_SYS_INSTALL(name) gOsSys.name = Hook<Sys::name, &OsSysTable::name>::Call;
    TRELVOX_SYS_ENTRIES(TRELVOX_SYS_INSTALL)
#undef TRELVOX_SYS_INSTALL
    gOsSys.syslog_send = RecordSysLog;
}

SysFaults::~SysFaults() {
    ResetAll();
    if (--gDepth == 0) {
        gOsSys = gOsSysReal;
    }
}

void SysFaults::FailNth(Sys entry, uint32_t n, int error) {
    EntryState &state = gEntries[static_cast<uint32_t>(entry)];
    state.failAt = 0;
    state.error = error;
    state.fromThenOn = false;
    state.failAt = n;
}

void SysFaults::FailFrom(Sys entry, uint32_t n, int error) {
    FailNth(entry, 0, error);
    EntryState &state = gEntries[static_cast<uint32_t>(entry)];
    state.fromThenOn = true;
    state.failAt = n;
}

void SysFaults::Reset(Sys entry) {
    EntryState &state = gEntries[static_cast<uint32_t>(entry)];
    state.failAt = 0;
    state.fromThenOn = false;
    state.error = 0;
    state.calls = 0;
}

void SysFaults::ResetAll() {
    for (uint32_t i = 0; i < kSysEntryCount; ++i) {
        Reset(static_cast<Sys>(i));
    }
    gFailures = 0;
}

uint32_t SysFaults::Calls(Sys entry) const {
    return gEntries[static_cast<uint32_t>(entry)].calls.load();
}

uint32_t SysFaults::Failures() const {
    return gFailures.load();
}

std::vector<SysLogRecord> SysLogRecords() {
    std::lock_guard lock(gLogLock);
    return gRecords;
}

void ClearSysLogRecords() {
    std::lock_guard lock(gLogLock);
    gRecords.clear();
}

std::string FormatSysLog(const SysLogRecord &r) {
    return std::to_string(r.priority) + "|" + r.ident + "|" + std::to_string(r.facility) + "|" +
           r.text;
}

} // namespace testsupport
