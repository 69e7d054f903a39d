// Pumps of their own: every published instance is served at once, each by
// a thread that connects, runs the event pump and closes, as the callback
// does for one (ServeInstance), while the main thread keeps the run loop,
// the notifications, the signals, the watchdog and the status line. An
// instance's trouble stays its own: one that hangs in a call, fails or
// unloads leaves the others' pumps untouched.
//
// Text of different instances meets only at line ends: a pump's text waits
// in its own buffer for its line end before it is handed to the writer (a
// line that grows past kMostPending without one is handed over in pieces),
// and what it leaves unfinished is handed over when it ends. The writer is
// the one place where their text meets, in the order it was handed over.
#include <signal.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "lib/cli/osx/ossys.h"
#include "svc/clt.h"
#include "svc/main_threads.h"
#include "svc/main_writer.h"

namespace {

constexpr size_t kMostPending = 64 * 1024;

struct PumpThread {
    CltPump pump{};
    std::string pending; // text before its line end
    std::thread thread;
    std::atomic<bool> finished{false};
    // The thread's run loop, retained: a stop of it cuts short a call that
    // hangs (the platform watches the calling thread's loop).
    std::atomic<CFRunLoopRef> loop{nullptr};
    io_service_t service = 0;

    ~PumpThread() {
        if (CFRunLoopRef held = loop.load()) {
            CFRelease(held);
        }
        if (pump.condCreated) {
            pthread_cond_destroy(&pump.waitCond);
        }
        if (pump.mutexCreated) {
            pthread_mutex_destroy(&pump.waitMutex);
        }
    }
};

thread_local PumpThread *tPump = nullptr;

} // namespace

struct CltPumps {
    std::mutex lock;
    std::list<std::unique_ptr<PumpThread>> threads;
    uint32_t logUsers = 0; // the callback and the pumps that hold the log file open
};

namespace {

void HandOver(CltGlobals *clt, std::string &pending, size_t length) {
    WriterPut(clt, pending.data(), static_cast<uint32_t>(length));
    pending.erase(0, length);
}

void PumpMain(CltGlobals *clt, PumpThread *self) {
    tPump = self;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    if (loop != nullptr) {
        CFRetain(loop);
        self->loop.store(loop);
    }
    if (clt->stopRequested.load()) {
        IOObjectRelease(self->service);
    } else {
        ServeInstance(clt, self->service);
        if (!clt->stopRequested.load()) {
            LogStr("Waiting for driver to load....\n");
        }
    }
    if (!self->pending.empty()) {
        HandOver(clt, self->pending, self->pending.size());
    }
    if (clt->logHandle != nullptr) {
        LogRelease(clt);
    }
    // The run loop's descriptors go with the thread, not at its reaping.
    CFRunLoopRef held = nullptr;
    {
        std::lock_guard lock(clt->pumps->lock);
        held = self->loop.exchange(nullptr);
    }
    if (held != nullptr) {
        CFRelease(held);
    }
    tPump = nullptr;
    self->finished.store(true);
}

} // namespace

CltPump &CurrentPump(CltGlobals *clt) {
    return tPump != nullptr ? tPump->pump : clt->pump;
}

bool PumpsEnable(CltGlobals *clt) {
    if (clt->writer == nullptr) {
        return false; // their text could meet nowhere
    }
    clt->pumps = new (std::nothrow) CltPumps;
    return clt->pumps != nullptr;
}

void LogUse(CltGlobals *clt) {
    std::lock_guard lock(clt->pumps->lock);
    if (clt->pumps->logUsers++ == 0) {
        WriterCommand(clt, CltWriterCommand::kOpen);
    }
}

void LogRelease(CltGlobals *clt) {
    std::lock_guard lock(clt->pumps->lock);
    if (--clt->pumps->logUsers == 0) {
        WriterCommand(clt, CltWriterCommand::kClose);
    }
}

bool StartPump(CltGlobals *clt, io_service_t service) {
    if (clt->pumps == nullptr) {
        return false;
    }
    ReapPumps(clt);
    auto self = std::make_unique<PumpThread>();
    self->service = service;
    CltPump &pump = self->pump;
    if (gOsSys.pthread_mutex_init(&pump.waitMutex, nullptr) != 0) {
        return false;
    }
    pump.mutexCreated = true;
    if (CltWaitCondInit(&pump.waitCond) != 0) {
        return false;
    }
    pump.condCreated = true;
    if (clt->logHandle != nullptr) {
        LogUse(clt);
    }
    bool started = false;
    {
        std::lock_guard lock(clt->pumps->lock);
        started = StartQuietThread(&self->thread, PumpMain, clt, self.get());
        if (started) {
            clt->pumps->threads.push_back(std::move(self));
        }
    }
    if (!started && clt->logHandle != nullptr) {
        LogRelease(clt);
    }
    return started;
}

void ReapPumps(CltGlobals *clt) {
    if (clt->pumps == nullptr) {
        return;
    }
    std::list<std::unique_ptr<PumpThread>> ended;
    {
        std::lock_guard lock(clt->pumps->lock);
        auto &threads = clt->pumps->threads;
        for (auto it = threads.begin(); it != threads.end();) {
            auto next = std::next(it);
            if ((*it)->finished.load()) {
                ended.splice(ended.end(), threads, it);
            }
            it = next;
        }
    }
    for (auto &ended_pump : ended) {
        ended_pump->thread.join();
    }
}

void StopPumps(CltGlobals *clt) {
    if (clt->pumps == nullptr) {
        return;
    }
    std::list<std::unique_ptr<PumpThread>> all;
    {
        std::lock_guard lock(clt->pumps->lock);
        for (auto &self : clt->pumps->threads) {
            if (CFRunLoopRef loop = self->loop.load()) {
                CFRunLoopStop(loop);
            }
            pthread_mutex_lock(&self->pump.waitMutex);
            pthread_cond_broadcast(&self->pump.waitCond);
            pthread_mutex_unlock(&self->pump.waitMutex);
        }
        all.splice(all.end(), clt->pumps->threads);
    }
    for (auto &self : all) {
        self->thread.join();
    }
}

void PumpsFree(CltGlobals *clt) {
    StopPumps(clt);
    delete clt->pumps;
    clt->pumps = nullptr;
}

bool PumpText(CltGlobals *clt, const char *text, uint32_t length) {
    PumpThread *self = tPump;
    if (self == nullptr) {
        return false;
    }
    if (self->pump.serving.load(std::memory_order_relaxed)) {
        self->pump.writtenBytes.fetch_add(length, std::memory_order_relaxed);
    }
    std::string &pending = self->pending;
    pending.append(text, length);
    size_t end = pending.rfind('\n');
    if (end != std::string::npos) {
        HandOver(clt, pending, end + 1);
    }
    while (pending.size() >= kMostPending) {
        HandOver(clt, pending, kMostPending);
    }
    return true;
}

void ForEachServing(CltGlobals *clt, void (*fn)(const CltPump &pump, void *context),
                    void *context) {
    if (clt->pump.serving.load()) {
        fn(clt->pump, context);
    }
    if (clt->pumps == nullptr) {
        return;
    }
    std::lock_guard lock(clt->pumps->lock);
    for (auto &self : clt->pumps->threads) {
        if (self->pump.serving.load()) {
            fn(self->pump, context);
        }
    }
}
