// The run loop: one per thread, waiting with poll on its sources'
// descriptors and on a wake-up pipe. CFRunLoopStop only sets an atomic flag
// and writes one byte to the pipe, so a signal handler may call it; a stop
// that arrives while the loop is not running is kept for the next run.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_objects.h"
#include "lib/platform/platform_state.h"

using trelvox::platform::detail::CfObject;

const CFStringRef kCFRunLoopDefaultMode = reinterpret_cast<CFStringRef>("kCFRunLoopDefaultMode");

struct __CFRunLoop : CfObject {
    ~__CFRunLoop() override {
        for (CFRunLoopSourceRef source : sources) {
            trelvox::platform::detail::Release(source);
        }
        if (wakeRead >= 0) {
            close(wakeRead);
        }
        if (wakeWrite >= 0) {
            close(wakeWrite);
        }
    }

    int wakeRead = -1;
    int wakeWrite = -1;
    std::atomic<bool> stopPending{false};
    // Retained; touched only on the loop's own thread.
    std::vector<CFRunLoopSourceRef> sources;
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
        auto *loop = new __CFRunLoop;
        loop->wakeRead = fds[0];
        loop->wakeWrite = fds[1];
        tLoop.loop = loop;
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

void CFRunLoopRun() {
    __CFRunLoop *rl = CFRunLoopGetCurrent();
    if (rl == nullptr) {
        return;
    }
    std::vector<CFRunLoopSourceRef> snapshot;
    std::vector<pollfd> fds;
    std::vector<CFRunLoopSourceRef> owners;
    std::vector<int> sourceFds;
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
        int ready = poll(fds.data(), fds.size(), -1);
        if (ready < 0 && errno != EINTR) {
            for (CFRunLoopSourceRef source : snapshot) {
                Release(source);
            }
            break;
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
        for (CFRunLoopSourceRef source : snapshot) {
            Release(source);
        }
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
