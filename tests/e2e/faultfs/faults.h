// The faults the test file system plays on every operation, as the control
// socket sets them: a stall (each operation waits until released), slow
// writes, a failure with an errno. Counts what passed, for the tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace faultfs {

enum class Op { kOther, kWrite, kFsync, kFsyncDir, kRename, kOpen };

class Faults {
public:
    // Entry of every operation: waits while stalled (or stalls now, when
    // armed for this kind), then returns 0 or the negative errno to fail
    // with. A write takes its delay here, after the stall. A stalled
    // operation whose caller is ended by a fatal signal fails with EINTR,
    // as a stalled disk's killable waits do: `interrupted` tells.
    int Enter(Op op);
    void SetInterrupted(int (*interrupted)()) { interrupted_ = interrupted; }

    void Stall();
    // Stalls from the next operation of that kind on (a rename, say).
    void StallAt(Op op);
    void Release();
    void SetSlowMs(int ms);
    void SetFailure(int error);
    // After a power cut: every operation fails, nothing reaches the disk.
    void Die();

    // "writes=N fsyncs=N fsyncdirs=N renames=N blocked=N"
    std::string Stats();

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool stalled_ = false;
    bool armed_ = false;
    Op armedOp_ = Op::kOther;
    bool dead_ = false;
    int slowMs_ = 0;
    int failure_ = 0;
    uint64_t writes_ = 0;
    uint64_t fsyncs_ = 0;
    uint64_t fsyncDirs_ = 0;
    uint64_t renames_ = 0;
    int blocked_ = 0;
    int (*interrupted_)() = nullptr;
};

} // namespace faultfs
