// The log's writer thread and its queue (see main_writer.h). The writer's
// lock is never held while the disk or standard output is touched, nor
// while the system log or systemd is told anything: a producer, the stall
// watch and a stop take it only for moments, whatever the disk does.
#include "svc/main_writer.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "svc/clt.h"
#include "svc/main_threads.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A batch is gathered this long when text keeps coming: at most this many
// writes a second, however many lines.
constexpr uint64_t kLingerMs = 20;
// A batch is written at once when it reaches this, and never grows past it
// (one write of the log file).
constexpr size_t kBatchBytes = 1 << 20;
// What is written is made durable this long after the last sync at most.
constexpr uint64_t kSyncEveryMs = 1000;
// The single-instance lock is checked this often.
constexpr uint64_t kLockCheckEveryMs = 1000;
// The writer looks at its hang-ups and retries at least this often.
constexpr uint64_t kIdleWakeMs = 1000;
// A stop gives the writer this long to write what waits.
constexpr uint64_t kStopGraceMs = 500;
// Application mode, queue full: the caller looks at the stop this often.
constexpr uint64_t kRoomWaitMs = 50;
// The smallest bound TRELVOX_LOG_QUEUE_KIB may set.
constexpr uint64_t kMinBoundBytes = 64 << 10;

struct Chunk {
    bool isCommand = false;
    CltWriterCommand command = CltWriterCommand::kOpen;
    std::string text;
};

uint64_t QueueBound() {
    const char *kib = getenv("TRELVOX_LOG_QUEUE_KIB");
    if (kib == nullptr || *kib == '\0') {
        return kCltQueueDefaultBytes;
    }
    char *end = nullptr;
    unsigned long long value = strtoull(kib, &end, 10);
    if (*end != '\0' || value == 0 || value > (4ull << 20)) {
        return kCltQueueDefaultBytes;
    }
    return std::max<uint64_t>(value << 10, kMinBoundBytes);
}

} // namespace

struct CltWriter {
    std::mutex mutex;
    std::condition_variable wake;  // the writer waits for work
    std::condition_variable moved; // callers wait for room, a stop for the end
    std::deque<Chunk> queue;
    uint64_t queued = 0; // text bytes in the queue
    uint64_t bound = kCltQueueDefaultBytes;
    // The text being written now; a stop that gives up on the writer sends
    // it to standard output too (it may reach the file as well).
    std::string inFlight;
    uint64_t busySinceMs = 0; // a disk step under way since; 0: none
    uint64_t lastWriteMs = 0;
    bool syncPending = false;
    uint64_t lastSyncMs = 0;
    bool stopping = false;
    bool done = false;      // the thread has ended (joined once the stop sees it)
    bool abandoned = false; // left behind in the kernel by a stop
    // The stall: said once, and said when it ends.
    bool stallReported = false;
    uint64_t stallSinceMs = 0;
    // When the stall watch looks next; read without the lock, so that a
    // pump's cycle that finds nothing due costs one load.
    std::atomic<uint64_t> nextWatchMs{0};
    // The queue full: text went to standard output; said once, and said
    // again when the queue has half its room back.
    bool fullReported = false;
    uint64_t overflowBytes = 0;
    std::thread thread;
};

namespace {

CltWriter *Writer(const CltGlobals *clt) {
    return clt != nullptr ? clt->writer : nullptr;
}

void Step(CltGlobals *clt, Chunk &chunk) {
    if (!chunk.isCommand) {
        DeliverText(clt, chunk.text.data(), static_cast<uint32_t>(chunk.text.size()));
    } else if (chunk.command == CltWriterCommand::kOpen) {
        LogFileOpenNow(clt);
    } else {
        LogFileCloseNow(clt);
    }
}

// After a disk step: a stall that was said has ended.
void StallEnded(CltGlobals *clt, CltWriter *w, std::unique_lock<std::mutex> &lock) {
    if (!w->stallReported) {
        return;
    }
    w->stallReported = false;
    uint64_t lasted = CltNowMs() - w->stallSinceMs;
    uint64_t late = w->queued + w->inFlight.size();
    lock.unlock();
    SysLog(LOG_INFO, "Log file %s takes text again after %llu.%llu s; %llu bytes were written late",
           clt->logPath, static_cast<unsigned long long>(lasted / 1000),
           static_cast<unsigned long long>(lasted % 1000 / 100),
           static_cast<unsigned long long>(late));
    NotifyChanged(clt);
    lock.lock();
}

// Runs one disk step with the lock let go; busySinceMs tells the stall
// watch that it is under way.
template <typename Work>
void DiskStep(CltGlobals *clt, CltWriter *w, std::unique_lock<std::mutex> &lock, Work work) {
    w->busySinceMs = CltNowMs();
    if (w->busySinceMs == 0) {
        w->busySinceMs = 1;
    }
    lock.unlock();
    work();
    lock.lock();
    w->busySinceMs = 0;
    StallEnded(clt, w, lock);
}

void SyncIfDue(CltGlobals *clt, CltWriter *w, std::unique_lock<std::mutex> &lock) {
    if (!w->syncPending || CltNowMs() - w->lastSyncMs < kSyncEveryMs) {
        return;
    }
    w->syncPending = false;
    DiskStep(clt, w, lock, [clt] { LogFileSyncNow(clt); });
    w->lastSyncMs = CltNowMs();
}

// How long the writer may wait for more work before it must act by itself.
milliseconds IdleWait(const CltWriter *w) {
    uint64_t wait = kIdleWakeMs;
    if (w->syncPending) {
        uint64_t since = CltNowMs() - w->lastSyncMs;
        wait = since >= kSyncEveryMs ? 0 : std::min(wait, kSyncEveryMs - since);
    }
    return milliseconds(wait);
}

// The queue full has half its room back: said once, with what went to
// standard output meanwhile.
void RoomAgain(CltGlobals *clt, CltWriter *w, std::unique_lock<std::mutex> &lock) {
    if (!w->fullReported || w->queued > w->bound / 2) {
        return;
    }
    w->fullReported = false;
    uint64_t overflowed = w->overflowBytes;
    w->overflowBytes = 0;
    lock.unlock();
    SysLog(LOG_INFO,
           "Memory for the log file takes text again; %llu bytes went to standard output "
           "meanwhile",
           static_cast<unsigned long long>(overflowed));
    NotifyChanged(clt);
    lock.lock();
}

void Run(CltGlobals *clt, CltWriter *w) {
    uint64_t nextLockCheckMs = 0;
    std::unique_lock lock(w->mutex);
    for (;;) {
        // Once a second: the lock's checks touch the log directory, which is
        // this thread's to touch.
        if (CltNowMs() >= nextLockCheckMs) {
            nextLockCheckMs = CltNowMs() + kLockCheckEveryMs;
            DiskStep(clt, w, lock, [clt] { KeepServiceLock(clt); });
        }
        if (clt->reopenRequested.load(std::memory_order_relaxed)) {
            DiskStep(clt, w, lock, [clt] { LogFileServeHangUp(clt); });
            continue;
        }
        if (w->queue.empty()) {
            if (w->stopping) {
                break;
            }
            SyncIfDue(clt, w, lock);
            if (!w->queue.empty() || w->stopping) {
                continue;
            }
            w->wake.wait_for(lock, IdleWait(w));
            if (w->queue.empty() && !w->stopping) {
                DiskStep(clt, w, lock, [clt] { LogFileRetryNow(clt); });
            }
            continue;
        }
        // Text that keeps coming is gathered into one write: after a write,
        // the next waits out the rest of the linger, unless a batch fills,
        // a command or a hang-up comes, or the service stops.
        uint64_t sinceWrite = CltNowMs() - w->lastWriteMs;
        auto gathering = [clt, w] {
            const Chunk &front = w->queue.front();
            return !w->stopping && !front.isCommand && front.text.size() < kBatchBytes &&
                   w->queue.size() == 1 && !clt->reopenRequested.load(std::memory_order_relaxed);
        };
        if (sinceWrite < kLingerMs && gathering()) {
            w->wake.wait_for(lock, milliseconds(kLingerMs - sinceWrite),
                             [&gathering] { return !gathering(); });
        }
        Chunk chunk = std::move(w->queue.front());
        w->queue.pop_front();
        if (!chunk.isCommand) {
            w->queued -= chunk.text.size();
            w->inFlight = std::move(chunk.text);
            chunk.text.clear();
        }
        w->moved.notify_all();
        DiskStep(clt, w, lock, [&] {
            if (chunk.isCommand) {
                Step(clt, chunk);
            } else {
                DeliverText(clt, w->inFlight.data(), static_cast<uint32_t>(w->inFlight.size()));
            }
        });
        if (!chunk.isCommand) {
            w->lastWriteMs = CltNowMs();
            w->inFlight.clear();
            w->syncPending = true;
            RoomAgain(clt, w, lock);
        }
        SyncIfDue(clt, w, lock);
    }
    lock.unlock();
    LogFileSyncNow(clt);
    LogFileCloseNow(clt);
    lock.lock();
    w->done = true;
    w->moved.notify_all();
}

// Appends to the queue; the caller holds the lock.
void Append(CltWriter *w, const char *text, uint32_t length) {
    if (w->queue.empty() || w->queue.back().isCommand ||
        w->queue.back().text.size() + length > kBatchBytes) {
        w->queue.emplace_back();
    }
    w->queue.back().text.append(text, length);
    w->queued += length;
    w->wake.notify_one();
}

// Service mode: the text does not fit; it goes to standard output, and the
// first of a streak says so.
void Overflow(CltGlobals *clt, CltWriter *w, std::unique_lock<std::mutex> &lock, const char *text,
              uint32_t length) {
    bool first = !w->fullReported;
    w->fullReported = true;
    w->overflowBytes += length;
    uint64_t bound = w->bound;
    lock.unlock();
    if (first) {
        SysLog(LOG_WARNING,
               "Memory for the log file is full (%llu bytes); text goes to standard output",
               static_cast<unsigned long long>(bound));
        NotifyChanged(clt);
    }
    ToStdoutLocked(clt, text, length);
}

} // namespace

bool WriterStart(CltGlobals *clt) {
    auto *w = new (std::nothrow) CltWriter;
    if (w == nullptr) {
        return false;
    }
    w->bound = QueueBound();
    clt->writer = w;
    if (!StartQuietThread(&w->thread, Run, clt, w)) {
        clt->writer = nullptr;
        delete w;
        return false;
    }
    return true;
}

void WriterPut(CltGlobals *clt, const char *text, uint32_t length) {
    CltWriter *w = Writer(clt);
    std::unique_lock lock(w->mutex);
    while (w->queued + length > w->bound && !w->queue.empty()) {
        if (clt->serviceMode || w->stopping) {
            Overflow(clt, w, lock, text, length);
            return;
        }
        // Application mode: standard output is slow; wait for it as before,
        // but never past a stop.
        if (clt->stopRequested.load()) {
            lock.unlock();
            ToStdoutLocked(clt, text, length);
            return;
        }
        w->moved.wait_for(lock, milliseconds(kRoomWaitMs));
    }
    if (w->done || w->abandoned) {
        // After the stop: directly, unless a writer left behind may still
        // be using the log file.
        bool abandoned = w->abandoned;
        lock.unlock();
        if (abandoned) {
            ToStdoutLocked(clt, text, length);
        } else {
            DeliverText(clt, text, length);
        }
        return;
    }
    Append(w, text, length);
}

void WriterCommand(CltGlobals *clt, CltWriterCommand command) {
    CltWriter *w = Writer(clt);
    std::unique_lock lock(w->mutex);
    Chunk chunk;
    chunk.isCommand = true;
    chunk.command = command;
    if (w->done && !w->abandoned) {
        lock.unlock();
        Step(clt, chunk);
        return;
    }
    if (!w->abandoned) {
        w->queue.push_back(std::move(chunk));
        w->wake.notify_one();
    }
}

void WriterWake(CltGlobals *clt) {
    if (CltWriter *w = Writer(clt)) {
        std::lock_guard lock(w->mutex);
        w->wake.notify_one();
    }
}

void WriterWatch(CltGlobals *clt) {
    CltWriter *w = Writer(clt);
    // Standard output alone (application mode) has troubles of its own.
    if (w == nullptr || clt->logHandle == nullptr) {
        return;
    }
    if (CltNowMs() < w->nextWatchMs.load(std::memory_order_relaxed)) {
        return;
    }
    std::unique_lock lock(w->mutex);
    // Read under the lock: a step that began after an earlier reading would
    // look as if it began in the future.
    uint64_t now = CltNowMs();
    if (now < w->nextWatchMs.load()) {
        return;
    }
    w->nextWatchMs.store(now + 250);
    if (w->stallReported || w->busySinceMs == 0 || now < w->busySinceMs ||
        now - w->busySinceMs < kCltStallReportMs) {
        return;
    }
    w->stallReported = true;
    w->stallSinceMs = w->busySinceMs;
    uint64_t waiting = w->queued + w->inFlight.size();
    lock.unlock();
    SysLog(LOG_WARNING, "Log file %s has taken no text for %llu s; %llu bytes wait in memory",
           clt->logPath, static_cast<unsigned long long>(kCltStallReportMs / 1000),
           static_cast<unsigned long long>(waiting));
    NotifyChanged(clt);
}

bool WriterStalled(CltGlobals *clt, uint64_t *forMs, uint64_t *waiting) {
    CltWriter *w = Writer(clt);
    if (w == nullptr) {
        return false;
    }
    std::lock_guard lock(w->mutex);
    if (!w->stallReported) {
        return false;
    }
    *forMs = CltNowMs() - w->stallSinceMs;
    *waiting = w->queued + w->inFlight.size();
    return true;
}

uint64_t WriterWaitingBytes(CltGlobals *clt) {
    CltWriter *w = Writer(clt);
    if (w == nullptr) {
        return 0;
    }
    std::lock_guard lock(w->mutex);
    return w->queued + w->inFlight.size();
}

bool WriterStop(CltGlobals *clt) {
    CltWriter *w = Writer(clt);
    if (w == nullptr) {
        return false;
    }
    std::unique_lock lock(w->mutex);
    if (w->abandoned) {
        return true;
    }
    if (!w->thread.joinable()) {
        return false;
    }
    w->stopping = true;
    w->wake.notify_one();
    auto giveUp = Clock::now() + milliseconds(kStopGraceMs);
    w->moved.wait_until(lock, giveUp, [w] { return w->done; });
    if (w->done) {
        lock.unlock();
        w->thread.join();
        return false;
    }
    // Caught in the kernel: what it has not written goes to standard output
    // now, the batch it is writing included.
    w->abandoned = true;
    std::string rest = w->inFlight;
    for (const Chunk &chunk : w->queue) {
        rest += chunk.text;
    }
    w->queue.clear();
    w->queued = 0;
    lock.unlock();
    w->thread.detach();
    if (!rest.empty()) {
        ToStdoutLocked(clt, rest.data(), static_cast<uint32_t>(rest.size()));
        if (clt->serviceMode) {
            SysLog(LOG_WARNING,
                   "%llu bytes of text waiting for the log file went to standard output",
                   static_cast<unsigned long long>(rest.size()));
        }
    }
    return true;
}

void WriterFree(CltGlobals *clt) {
    delete clt->writer;
    clt->writer = nullptr;
}
