// Faults of the test file system: see faults.h.
#include "faults.h"

#include <cerrno>
#include <chrono>
#include <thread>

namespace faultfs {

int Faults::Enter(Op op) {
    int slowMs = 0;
    {
        std::unique_lock lock(mutex_);
        if (armed_ && op == armedOp_) {
            armed_ = false;
            stalled_ = true;
        }
        ++blocked_;
        while (stalled_) {
            released_.wait_for(lock, std::chrono::milliseconds(10));
            if (stalled_ && interrupted_ != nullptr && interrupted_() != 0) {
                --blocked_;
                return -EINTR;
            }
        }
        --blocked_;
        if (dead_) {
            return -EIO;
        }
        if (failure_ != 0) {
            return -failure_;
        }
        switch (op) {
        case Op::kWrite:
            ++writes_;
            slowMs = slowMs_;
            break;
        case Op::kFsync:
            ++fsyncs_;
            break;
        case Op::kFsyncDir:
            ++fsyncDirs_;
            break;
        case Op::kRename:
            ++renames_;
            break;
        default:
            break;
        }
    }
    if (slowMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(slowMs));
    }
    return 0;
}

void Faults::Stall() {
    std::lock_guard lock(mutex_);
    stalled_ = true;
}

void Faults::StallAt(Op op) {
    std::lock_guard lock(mutex_);
    armed_ = true;
    armedOp_ = op;
}

void Faults::Release() {
    std::lock_guard lock(mutex_);
    stalled_ = false;
    armed_ = false;
    released_.notify_all();
}

void Faults::SetSlowMs(int ms) {
    std::lock_guard lock(mutex_);
    slowMs_ = ms;
}

void Faults::SetFailure(int error) {
    std::lock_guard lock(mutex_);
    failure_ = error;
}

void Faults::Die() {
    std::lock_guard lock(mutex_);
    dead_ = true;
    stalled_ = false;
    released_.notify_all();
}

std::string Faults::Stats() {
    std::lock_guard lock(mutex_);
    // An operation counts as blocked only while the stall holds it.
    int blocked = stalled_ ? blocked_ : 0;
    return "writes=" + std::to_string(writes_) + " fsyncs=" + std::to_string(fsyncs_) +
           " fsyncdirs=" + std::to_string(fsyncDirs_) + " renames=" + std::to_string(renames_) +
           " blocked=" + std::to_string(blocked);
}

} // namespace faultfs
