// A scripted driver instance for in-process tests: published in the
// platform stand-in's registry, it answers scalar methods 0 (open) and 1
// (close) and structure method 6 (event log) from a queue of prepared
// replies or failure codes, and records every call it receives.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "lib/platform/driver_registry.h"
#include "lib/driver/controller_interface.h"

namespace testsupport {

struct DriverCall {
    enum class Kind { kScalar, kStruct };
    Kind kind;
    uint32_t selector;
    size_t inputSize;           // scalar: number of values; struct: bytes
    size_t outputSize;          // capacity offered: values or bytes
    std::vector<uint8_t> input; // the structure input bytes
    std::chrono::steady_clock::time_point when;
};

// Builds a reply record; text longer than the record is cut, textLen is
// the text's length unless given.
CltEventReply MakeReply(std::string_view text, uint32_t waitFlag = 0, int32_t lostBytes = 0);

class ScriptedDriver : public trelvox::platform::DriverInstance,
                       public std::enable_shared_from_this<ScriptedDriver> {
public:
    explicit ScriptedDriver(std::string className = "TrelvoxController");

    std::string ClassName() const override;
    kern_return_t Open(uint32_t type,
                       std::unique_ptr<trelvox::platform::UserClient> *client) override;

    // The script; every setter may be called at any time from any thread.
    void SetOpenResult(kern_return_t result);                      // IOServiceOpen
    void SetScalarResult(uint32_t selector, kern_return_t result); // methods 0 and 1
    void SetCloseResult(kern_return_t result);                     // IOServiceClose
    void QueueReply(const CltEventReply &reply);                   // method 6
    void QueueText(std::string_view text, uint32_t waitFlag = 0, int32_t lostBytes = 0);
    void QueueFailure(kern_return_t result);
    // Method 6 once the queue is empty: fail with this code (the default is
    // kIOReturnNotResponding, as for a driver that has gone away) ...
    void SetExhaustedResult(kern_return_t result);
    // ... or answer with an idle reply (no text, waitFlag 1) for ever.
    void SetIdleWhenExhausted();
    // Runs for every method call after it is recorded and before it is
    // answered; index counts the instance's calls from 0.
    void SetOnCall(std::function<void(const DriverCall &call, size_t index)> hook);

    // What the instance saw.
    std::vector<DriverCall> Calls() const;
    std::vector<uint32_t> Selectors() const;
    uint32_t OpenCount() const;  // IOServiceOpen attempts
    uint32_t CloseCount() const; // IOServiceClose calls
    uint32_t LastOpenType() const;
    size_t RepliesLeft() const;

private:
    friend class ScriptedClient;

    struct Step {
        bool fail;
        kern_return_t result;
        CltEventReply reply;
    };

    kern_return_t Scalar(uint32_t selector, uint32_t inputCnt, uint32_t outputCnt);
    kern_return_t Struct(uint32_t selector, const void *input, size_t inputSize, void *output,
                         size_t *outputSize);
    kern_return_t Closed();
    size_t Record(DriverCall call);

    std::string className_;
    mutable std::mutex mutex_;
    kern_return_t openResult_ = KERN_SUCCESS;
    kern_return_t scalarResults_[2] = {KERN_SUCCESS, KERN_SUCCESS};
    kern_return_t closeResult_ = KERN_SUCCESS;
    std::deque<Step> steps_;
    bool idleWhenExhausted_ = false;
    kern_return_t exhaustedResult_;
    std::function<void(const DriverCall &, size_t)> onCall_;
    std::vector<DriverCall> calls_;
    uint32_t openCount_ = 0;
    uint32_t closeCount_ = 0;
    uint32_t lastOpenType_ = 0;
};

} // namespace testsupport
