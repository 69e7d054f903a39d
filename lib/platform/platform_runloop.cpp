// The run loop: one per thread, waiting with poll on its sources' descriptors
// and on a wake-up pipe, until the earliest of its timers and of its
// sources' due times, or without a time-out when there is none (an idle loop
// never wakes on its own). CFRunLoopStop only sets an atomic flag and writes
// one byte to the pipe, so a signal handler may call it; a stop that arrives
// while the loop is not running is kept for the next run.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_objects.h"
#include "lib/platform/platform_state.h"
#include "lib/platform/platform_timers.h"

using trelvox::platform::detail::CfObject;

const CFStringRef kCFRunLoopDefaultMode = reinterpret_cast<CFStringRef>("kCFRunLoopDefaultMode");

struct __CFRunLoop : CfObject {
    __CFRunLoop(int readFd, int writeFd) : wakeRead(readFd), wakeWrite(writeFd), timers(writeFd) {}
    ~__CFRunLoop() override {
        for (CFRunLoopSourceRef source : sources) {
            trelvox::platform::detail::Release(source);
        }
        close(wakeRead);
        close(wakeWrite);
    }

    const int wakeRead;
    const int wakeWrite;
    std::atomic<bool> stopPending{false};
    // Retained; touched only on the loop's own thread.
    std::vector<CFRunLoopSourceRef> sources;
    trelvox::platform::detail::LoopTimers timers;
};

static_assert(std::atomic<bool>::is_always_lock_free, "CFRunLoopStop must be async-signal-safe");

namespace trelvox::platform::detail {

void Retain(CfObject *object) {
    object->refs.fetch_add(1, std::memory_order_relaxed);
}

void Release(CfObject *object) {
    if (object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete object;
    }
}

namespace {

// The thread's own reference to its run loop, dropped when the thread ends.
struct LoopHolder {
    ~LoopHolder() {
        if (loop != nullptr) {
            Release(loop);
        }
    }
    __CFRunLoop *loop = nullptr;
};

thread_local LoopHolder tLoop;

void DrainPipe(int fd) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

} // namespace

// Forgets the calling thread's sources and any stop kept for its next run.
void ResetCurrentRunLoop() {
    __CFRunLoop *loop = tLoop.loop;
    if (loop == nullptr) {
        return;
    }
    for (CFRunLoopSourceRef source : loop->sources) {
        Release(source);
    }
    loop->sources.clear();
    loop->timers.Clear();
    loop->stopPending.store(false);
    DrainPipe(loop->wakeRead);
}

bus::StopWatch CurrentRunLoopStopWatch(int64_t graceMs) {
    bus::StopWatch watch;
    if (__CFRunLoop *loop = tLoop.loop) {
        watch.wakeFd = loop->wakeRead;
        watch.stopPending = &loop->stopPending;
        watch.graceMs = graceMs;
    }
    return watch;
}

} // namespace trelvox::platform::detail

using namespace trelvox::platform::detail;

CFRunLoopRef CFRunLoopGetCurrent() {
    if (trelvox::platform::Faults().failCurrentRunLoop) {
        return nullptr;
    }
    if (tLoop.loop == nullptr) {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
            return nullptr;
        }
        tLoop.loop = new __CFRunLoop(fds[0], fds[1]);
    }
    return tLoop.loop;
}

// The stand-in has one mode: every source runs in every run.
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef) {
    if (rl == nullptr || source == nullptr) {
        return;
    }
    if (std::find(rl->sources.begin(), rl->sources.end(), source) != rl->sources.end()) {
        return;
    }
    Retain(source);
    rl->sources.push_back(source);
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef) {
    if (rl == nullptr || source == nullptr) {
        return;
    }
    auto it = std::find(rl->sources.begin(), rl->sources.end(), source);
    if (it != rl->sources.end()) {
        rl->sources.erase(it);
        Release(source);
    }
}

namespace {

// The poll time-out until the earliest of the loop's timers and its
// sources' due times, in whole milliseconds rounded up so that nothing is
// found still early; -1 when nothing is due.
int WaitMs(__CFRunLoop *rl, const std::vector<CFRunLoopSourceRef> &sources) {
    int64_t next = rl->timers.NextDeadlineNs();
    for (CFRunLoopSourceRef source : sources) {
        int64_t due = source->DueMs();
        if (due >= 0 && (next < 0 || due * 1000000 < next)) {
            next = due * 1000000;
        }
    }
    if (next < 0) {
        return -1;
    }
    int64_t left = (next - MonotonicNs() + 999999) / 1000000;
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

// Runs the timers and sources' work that has come due.
void PerformDue(__CFRunLoop *rl, const std::vector<CFRunLoopSourceRef> &sources) {
    rl->timers.FireDue(MonotonicNs());
    for (CFRunLoopSourceRef source : sources) {
        int64_t due = source->DueMs();
        if (due >= 0 && due <= trelvox::platform::bus::MonotonicMs()) {
            source->PerformDue();
        }
    }
}

} // namespace

void CFRunLoopRun() {
    __CFRunLoop *rl = CFRunLoopGetCurrent();
    if (rl == nullptr) {
        return;
    }
    std::vector<CFRunLoopSourceRef> snapshot;
    std::vector<pollfd> fds;
    std::vector<CFRunLoopSourceRef> owners;
    std::vector<int> sourceFds;
    auto releaseSnapshot = [&] {
        for (CFRunLoopSourceRef source : snapshot) {
            Release(source);
        }
    };
    while (!rl->stopPending.exchange(false)) {
        // A source may remove itself or others while it performs: work on a
        // retained copy of the list.
        snapshot = rl->sources;
        for (CFRunLoopSourceRef source : snapshot) {
            Retain(source);
        }
        fds.assign(1, pollfd{rl->wakeRead, POLLIN, 0});
        owners.assign(1, nullptr);
        for (CFRunLoopSourceRef source : snapshot) {
            sourceFds.clear();
            source->Descriptors(&sourceFds);
            for (int fd : sourceFds) {
                fds.push_back(pollfd{fd, POLLIN, 0});
                owners.push_back(source);
            }
        }
        int ready = poll(fds.data(), fds.size(), WaitMs(rl, snapshot));
        if (ready < 0 && errno != EINTR) {
            int error = errno;
            releaseSnapshot();
            errno = error; // for the caller to report
            return;
        }
        if (ready > 0) {
            if (fds[0].revents != 0) {
                DrainPipe(rl->wakeRead);
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents != 0) {
                    owners[i]->Perform(fds[i].fd);
                }
            }
        }
        PerformDue(rl, snapshot);
        releaseSnapshot();
    }
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef) {
    if (rl != nullptr && timer != nullptr) {
        rl->timers.Add(timer);
    }
}

void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef) {
    if (rl != nullptr && timer != nullptr) {
        rl->timers.Remove(timer);
    }
}

void CFRunLoopStop(CFRunLoopRef rl) {
    if (rl == nullptr) {
        return;
    }
    int savedErrno = errno;
    rl->stopPending.store(true);
    char byte = 1;
    // A full pipe already wakes the loop; nothing else can go wrong here
    // that the flag does not cover.
    ssize_t ignored = write(rl->wakeWrite, &byte, 1);
    (void)ignored;
    errno = savedErrno;
}

CFTypeRef CFRetain(CFTypeRef cf) {
    if (cf != nullptr) {
        Retain(static_cast<CfObject *>(const_cast<void *>(cf)));
    }
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (cf != nullptr) {
        Release(static_cast<CfObject *>(const_cast<void *>(cf)));
    }
}
