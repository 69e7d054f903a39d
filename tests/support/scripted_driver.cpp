#include "tests/support/scripted_driver.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

using trelvox::platform::UserClient;

CltEventReply MakeReply(std::string_view text, uint32_t waitFlag, int32_t lostBytes) {
    CltEventReply reply{};
    size_t n = std::min(text.size(), sizeof reply.eventText);
    memcpy(reply.eventText, text.data(), n);
    reply.lostBytes = lostBytes;
    reply.textLen = static_cast<uint32_t>(n);
    reply.waitFlag = waitFlag;
    return reply;
}

// One open connection; it forwards to its instance's script.
class ScriptedClient : public UserClient {
public:
    explicit ScriptedClient(std::shared_ptr<ScriptedDriver> driver) : driver_(std::move(driver)) {}

    kern_return_t CallScalar(uint32_t selector, const uint64_t *, uint32_t inputCnt, uint64_t *,
                             uint32_t *outputCnt) override {
        return driver_->Scalar(selector, inputCnt, outputCnt == nullptr ? 0 : *outputCnt);
    }
    kern_return_t CallStruct(uint32_t selector, const void *input, size_t inputSize, void *output,
                             size_t *outputSize) override {
        return driver_->Struct(selector, input, inputSize, output, outputSize);
    }
    kern_return_t Close() override { return driver_->Closed(); }

private:
    std::shared_ptr<ScriptedDriver> driver_;
};

ScriptedDriver::ScriptedDriver(std::string className)
    : className_(std::move(className)), exhaustedResult_(kIOReturnNotResponding) {}

std::string ScriptedDriver::ClassName() const {
    return className_;
}

kern_return_t ScriptedDriver::Open(uint32_t type, std::unique_ptr<UserClient> *client) {
    std::lock_guard lock(mutex_);
    ++openCount_;
    lastOpenType_ = type;
    if (openResult_ != KERN_SUCCESS) {
        return openResult_;
    }
    *client = std::make_unique<ScriptedClient>(shared_from_this());
    return KERN_SUCCESS;
}

void ScriptedDriver::SetOpenResult(kern_return_t result) {
    std::lock_guard lock(mutex_);
    openResult_ = result;
}

void ScriptedDriver::SetScalarResult(uint32_t selector, kern_return_t result) {
    std::lock_guard lock(mutex_);
    if (selector < 2) {
        scalarResults_[selector] = result;
    }
}

void ScriptedDriver::SetCloseResult(kern_return_t result) {
    std::lock_guard lock(mutex_);
    closeResult_ = result;
}

void ScriptedDriver::QueueReply(const CltEventReply &reply) {
    std::lock_guard lock(mutex_);
    steps_.push_back(Step{false, KERN_SUCCESS, reply});
}

void ScriptedDriver::QueueText(std::string_view text, uint32_t waitFlag, int32_t lostBytes) {
    QueueReply(MakeReply(text, waitFlag, lostBytes));
}

void ScriptedDriver::QueueFailure(kern_return_t result) {
    std::lock_guard lock(mutex_);
    steps_.push_back(Step{true, result, CltEventReply{}});
}

void ScriptedDriver::SetExhaustedResult(kern_return_t result) {
    std::lock_guard lock(mutex_);
    idleWhenExhausted_ = false;
    exhaustedResult_ = result;
}

void ScriptedDriver::SetIdleWhenExhausted() {
    std::lock_guard lock(mutex_);
    idleWhenExhausted_ = true;
}

void ScriptedDriver::SetOnCall(std::function<void(const DriverCall &, size_t)> hook) {
    std::lock_guard lock(mutex_);
    onCall_ = std::move(hook);
}

std::vector<DriverCall> ScriptedDriver::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<uint32_t> ScriptedDriver::Selectors() const {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> selectors;
    for (const DriverCall &call : calls_) {
        selectors.push_back(call.selector);
    }
    return selectors;
}

uint32_t ScriptedDriver::OpenCount() const {
    std::lock_guard lock(mutex_);
    return openCount_;
}

uint32_t ScriptedDriver::CloseCount() const {
    std::lock_guard lock(mutex_);
    return closeCount_;
}

uint32_t ScriptedDriver::LastOpenType() const {
    std::lock_guard lock(mutex_);
    return lastOpenType_;
}

size_t ScriptedDriver::RepliesLeft() const {
    std::lock_guard lock(mutex_);
    return steps_.size();
}

size_t ScriptedDriver::Record(DriverCall call) {
    std::function<void(const DriverCall &, size_t)> hook;
    size_t index;
    {
        std::lock_guard lock(mutex_);
        call.when = std::chrono::steady_clock::now();
        index = calls_.size();
        calls_.push_back(call);
        hook = onCall_;
    }
    if (hook) {
        hook(call, index);
    }
    return index;
}

kern_return_t ScriptedDriver::Scalar(uint32_t selector, uint32_t inputCnt, uint32_t outputCnt) {
    Record(DriverCall{DriverCall::Kind::kScalar, selector, inputCnt, outputCnt, {}, {}});
    std::lock_guard lock(mutex_);
    return selector < 2 ? scalarResults_[selector] : kIOReturnUnsupported;
}

kern_return_t ScriptedDriver::Struct(uint32_t selector, const void *input, size_t inputSize,
                                     void *output, size_t *outputSize) {
    DriverCall call{DriverCall::Kind::kStruct,
                    selector,
                    inputSize,
                    outputSize == nullptr ? 0 : *outputSize,
                    {},
                    {}};
    if (input != nullptr) {
        const auto *bytes = static_cast<const uint8_t *>(input);
        call.input.assign(bytes, bytes + inputSize);
    }
    Record(std::move(call));
    std::lock_guard lock(mutex_);
    if (selector != kDriverMethodEventLog) {
        return kIOReturnUnsupported;
    }
    Step step{false, KERN_SUCCESS, CltEventReply{}};
    if (!steps_.empty()) {
        step = steps_.front();
        steps_.pop_front();
    } else if (idleWhenExhausted_) {
        step.reply.waitFlag = 1;
    } else {
        return exhaustedResult_;
    }
    if (step.fail) {
        return step.result;
    }
    if (output == nullptr || outputSize == nullptr) {
        return kIOReturnBadArgument;
    }
    size_t n = std::min(*outputSize, sizeof step.reply);
    memcpy(output, &step.reply, n);
    *outputSize = n;
    return KERN_SUCCESS;
}

kern_return_t ScriptedDriver::Closed() {
    std::lock_guard lock(mutex_);
    ++closeCount_;
    return closeResult_;
}

} // namespace testsupport
