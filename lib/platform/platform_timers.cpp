// Run-loop timers. A fire date is read against the wall clock once, when it
// is given, and kept as a deadline on the monotonic clock, so that a step of
// the wall clock (NTP at boot, `date -s`, a resumed virtual machine) neither
// delays nor hastens a timer.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <mutex>

#include "lib/platform/platform_testing.h"
#include "lib/platform/platform_timers.h"

namespace trelvox::platform::detail {
namespace {

// Seconds from 1970-01-01 to 2001-01-01, where CFAbsoluteTime starts.
constexpr double kAbsoluteTimeEpoch = 978307200.0;
// Delays and intervals are held to about 146 years, so that deadline sums
// stay far from overflowing.
constexpr int64_t kLongestNs = int64_t{1} << 62;

std::atomic<int (*)(timespec *)> gWallClock{nullptr};

// Guards every run loop's timer list and every timer's owner.
std::mutex &TimersMutex() {
    static std::mutex *mutex = new std::mutex; // never destroyed: loops end with their threads
    return *mutex;
}

int64_t SecondsToNs(double seconds) {
    if (std::isnan(seconds)) {
        return 0;
    }
    double ns = seconds * 1e9;
    if (ns >= static_cast<double>(kLongestNs)) {
        return kLongestNs;
    }
    if (ns <= -static_cast<double>(kLongestNs)) {
        return -kLongestNs;
    }
    return static_cast<int64_t>(ns);
}

// The monotonic deadline of a fire date given now; a date long past is due
// at once (never below 0, which marks "none" for the run loop).
int64_t DeadlineOf(CFAbsoluteTime fireDate) {
    return std::max<int64_t>(MonotonicNs() + SecondsToNs(fireDate - CFAbsoluteTimeGetCurrent()), 0);
}

} // namespace

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

LoopTimers::~LoopTimers() {
    Clear();
}

void LoopTimers::Clear() {
    std::vector<__CFRunLoopTimer *> left;
    {
        std::lock_guard lock(TimersMutex());
        left.swap(timers_);
        for (__CFRunLoopTimer *timer : left) {
            timer->owner = nullptr;
        }
    }
    for (__CFRunLoopTimer *timer : left) {
        Release(timer);
    }
}

void LoopTimers::Add(__CFRunLoopTimer *timer) {
    std::lock_guard lock(TimersMutex());
    if (!timer->valid.load() || timer->owner != nullptr) {
        return; // an invalid timer never fires; a timer is in one loop at most
    }
    Retain(timer);
    timer->owner = this;
    timers_.push_back(timer);
    WakeIfOtherThread();
}

void LoopTimers::Remove(__CFRunLoopTimer *timer) {
    __CFRunLoopTimer *detached = nullptr;
    {
        std::lock_guard lock(TimersMutex());
        detached = DetachLocked(timer);
    }
    if (detached != nullptr) {
        Release(detached);
    }
}

__CFRunLoopTimer *LoopTimers::DetachLocked(__CFRunLoopTimer *timer) {
    auto it = std::find(timers_.begin(), timers_.end(), timer);
    if (it == timers_.end()) {
        return nullptr;
    }
    timers_.erase(it);
    timer->owner = nullptr;
    return timer;
}

int64_t LoopTimers::NextDeadlineNs() {
    std::lock_guard lock(TimersMutex());
    int64_t next = -1;
    for (__CFRunLoopTimer *timer : timers_) {
        int64_t deadline = timer->deadlineNs.load();
        if (timer->valid.load() && (next < 0 || deadline < next)) {
            next = deadline;
        }
    }
    return next;
}

void LoopTimers::FireDue(int64_t nowNs) {
    // A list of this call's own: a callout may run the loop again inside.
    std::vector<__CFRunLoopTimer *> due;
    {
        std::lock_guard lock(TimersMutex());
        for (__CFRunLoopTimer *timer : timers_) {
            if (timer->valid.load() && timer->deadlineNs.load() <= nowNs) {
                Retain(timer);
                due.push_back(timer);
            }
        }
    }
    // A callout may add, remove, invalidate or re-date any timer; each due
    // one is looked at again before it fires.
    for (__CFRunLoopTimer *timer : due) {
        int64_t deadline = timer->deadlineNs.load();
        if (timer->valid.load() && deadline <= nowNs) {
            uint64_t changes = timer->dateChanges.load();
            if (timer->intervalNs > 0) {
                // The next repeat after now: times missed are skipped.
                int64_t missed = (nowNs - deadline) / timer->intervalNs + 1;
                timer->deadlineNs.compare_exchange_strong(deadline,
                                                          deadline + missed * timer->intervalNs);
            }
            timer->callout(timer, timer->context.info);
            if (timer->intervalNs == 0 && timer->dateChanges.load() == changes) {
                CFRunLoopTimerInvalidate(timer);
            }
        }
        Release(timer);
    }
}

void LoopTimers::WakeIfOtherThread() {
    // The loop's own thread computes its next wait after this anyway; a
    // write there would only cost the idle loop a wake-up.
    if (pthread_equal(pthread_self(), thread_) == 0) {
        char byte = 1;
        ssize_t ignored = write(wakeFd_, &byte, 1);
        (void)ignored;
    }
}

} // namespace trelvox::platform::detail

using namespace trelvox::platform::detail;

__CFRunLoopTimer::~__CFRunLoopTimer() {
    if (context.release != nullptr) {
        context.release(context.info);
    }
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
    timespec now{};
    int (*read)(timespec *) = gWallClock.load();
    if (read != nullptr) {
        read(&now);
    } else {
        clock_gettime(CLOCK_REALTIME, &now);
    }
    return static_cast<double>(now.tv_sec) - kAbsoluteTimeEpoch +
           static_cast<double>(now.tv_nsec) / 1e9;
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags, CFIndex,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext *context) {
    if (callout == nullptr) {
        return nullptr;
    }
    auto *timer = new __CFRunLoopTimer;
    timer->callout = callout;
    if (context != nullptr) {
        timer->context = *context;
        if (context->retain != nullptr) {
            timer->context.info = const_cast<void *>(context->retain(context->info));
        }
    }
    // Sub-nanosecond intervals would repeat without end within one pass.
    timer->intervalNs = interval > 0 ? std::max<int64_t>(SecondsToNs(interval), 1) : 0;
    timer->deadlineNs.store(DeadlineOf(fireDate));
    return timer;
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer) {
    if (timer == nullptr) {
        return;
    }
    timer->valid.store(false);
    __CFRunLoopTimer *detached = nullptr;
    {
        std::lock_guard lock(TimersMutex());
        if (timer->owner != nullptr) {
            detached = timer->owner->DetachLocked(timer);
        }
    }
    if (detached != nullptr) {
        Release(detached);
    }
}

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate) {
    if (timer == nullptr) {
        return;
    }
    timer->deadlineNs.store(DeadlineOf(fireDate));
    timer->dateChanges.fetch_add(1);
    std::lock_guard lock(TimersMutex());
    if (timer->owner != nullptr) {
        timer->owner->WakeIfOtherThread();
    }
}

namespace trelvox::platform {

void SetWallClock(int (*read)(timespec *now)) {
    gWallClock.store(read);
}

} // namespace trelvox::platform
