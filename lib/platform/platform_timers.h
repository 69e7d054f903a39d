// Run-loop timers inside the stand-in: the timer object and the set of
// timers one run loop holds. Deadlines are kept on the monotonic clock; the
// wall clock is read only to turn a fire date into a delay. Not for callers
// of iokit.h.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "lib/platform/platform_objects.h"

namespace trelvox::platform::detail {

class LoopTimers;

// Nanoseconds of the monotonic clock.
int64_t MonotonicNs();

} // namespace trelvox::platform::detail

struct __CFRunLoopTimer : trelvox::platform::detail::CfObject {
    ~__CFRunLoopTimer() override;

    CFRunLoopTimerCallBack callout = nullptr;
    CFRunLoopTimerContext context{};
    int64_t intervalNs = 0; // 0: fires once
    std::atomic<int64_t> deadlineNs{0};
    // Counts new fire dates, so that a firing can tell whether its callout
    // gave the timer one.
    std::atomic<uint64_t> dateChanges{0};
    std::atomic<bool> valid{true};
    // The run loop's set it is in; guarded by the timers' mutex.
    trelvox::platform::detail::LoopTimers *owner = nullptr;
};

namespace trelvox::platform::detail {

// The timers of one run loop. Timers may be added, removed, invalidated and
// given new dates from any thread; they fire on the loop's own thread.
class LoopTimers {
public:
    // wakeFd: written to wake the loop when another thread changes a timer.
    explicit LoopTimers(int wakeFd) : wakeFd_(wakeFd), thread_(pthread_self()) {}
    ~LoopTimers();
    LoopTimers(const LoopTimers &) = delete;
    LoopTimers &operator=(const LoopTimers &) = delete;

    void Add(__CFRunLoopTimer *timer);
    void Remove(__CFRunLoopTimer *timer);
    // Takes the timer out of the list and returns it for the caller to
    // release once the mutex is unlocked (null when it was not here). The
    // caller holds the timers' mutex.
    __CFRunLoopTimer *DetachLocked(__CFRunLoopTimer *timer);
    // Takes every timer out (tests reset the stand-in).
    void Clear();
    // The earliest deadline of its valid timers (MonotonicNs), -1 if none.
    int64_t NextDeadlineNs();
    // Calls the callout of every timer due by nowNs, once each.
    void FireDue(int64_t nowNs);
    // Lets a waiting loop see a change made by another thread.
    void WakeIfOtherThread();

private:
    int wakeFd_;
    pthread_t thread_;
    std::vector<__CFRunLoopTimer *> timers_; // retained; guarded by the timers' mutex
};

} // namespace trelvox::platform::detail
