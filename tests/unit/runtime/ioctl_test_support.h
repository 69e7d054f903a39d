// Shared pieces of the I/O-control tests: declaring the tool's classes, a
// fake adapter driver published in-process that plays the user client as a
// kernel driver would (it reaches the caller's payload at the address it is
// given), and byte helpers that encode the wire formats independently of the
// code under test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"
#include "lib/platform/driver_registry.h"
#include "lib/platform/iokit.h"
#include "lib/platform/platform_testing.h"
#include "tests/support/child_process.h"

// Defined by the test tool hooks; gIoctlClasses is the runtime's
// gCltIoctlSupp.
namespace testhooks {
extern int32_t gIoctlClasses[16] __asm__("gCltIoctlSupp");
extern uint32_t gIoctlExtra[10];
extern uint32_t gIoctlClassesAsked;
} // namespace testhooks

namespace ioctltest {

using Bytes = std::vector<uint8_t>;

// Declares the tool's class list (the end marker is added) and the extra
// lengths its payload hook answers; forgets which classes were asked.
inline void DeclareClasses(std::initializer_list<int32_t> classes,
                           const std::map<int, uint32_t> &extra = {}) {
    size_t i = 0;
    for (int32_t c : classes) {
        testhooks::gIoctlClasses[i++] = c;
    }
    testhooks::gIoctlClasses[i] = 10;
    for (uint32_t &x : testhooks::gIoctlExtra) {
        x = 0;
    }
    for (const auto &[c, x] : extra) {
        testhooks::gIoctlExtra[c] = x;
    }
    testhooks::gIoctlClassesAsked = 0;
}

inline void EnsureRuntime() {
    if (gCli == nullptr) {
        CliInit();
        CliStrCpy(gCli->errPrefix, sizeof gCli->errPrefix, "TOOL: ");
    }
}

// Runs body in a child with the runtime started; should body come back, the
// child says "returned" on the side channel.
inline testsupport::ChildResult RunWithRuntime(const std::function<void()> &body) {
    return testsupport::RunInChild([&body] {
        EnsureRuntime();
        body();
        testsupport::SideChannelWrite("returned\n");
    });
}

// Runs body as RunWithRuntime does and expects the fatal "Update function
// <name>".
inline void ExpectRefusal(const std::function<void()> &body, const std::string &name) {
    testsupport::ChildResult r = RunWithRuntime(body);
    EXPECT_EQ(r.err, "TOOL: Update function " + name + "\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.side, "CltExit\n");
}

// Little-endian encoders and decoders written for the tests.
inline void PutLe(Bytes &b, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        b.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}
inline void PutLe(uint8_t *p, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
inline uint64_t GetLe(const uint8_t *p, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}
inline uint64_t GetLe(const Bytes &b, size_t at, int width) {
    EXPECT_LE(at + width, b.size());
    return at + width <= b.size() ? GetLe(b.data() + at, width) : 0;
}

// Compares byte for byte and names the first offset that differs.
inline ::testing::AssertionResult SameBytes(const Bytes &actual, const Bytes &expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "size " << actual.size() << ", expected " << expected.size();
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            return ::testing::AssertionFailure() << "byte +" << i << " is " << int{actual[i]}
                                                 << ", expected " << int{expected[i]};
        }
    }
    return ::testing::AssertionSuccess();
}

// One structure method call as the driver saw it.
struct StructCall {
    uint32_t selector = 0;
    Bytes input;               // the input bytes handed over
    size_t outputCapacity = 0; // the output size offered
    uint64_t address = 0;      // payload address named by the request, 0 for none
    uint32_t length = 0;       // data length named by the request
    Bytes payload;             // the bytes found at the address, at call time
};

// Answers a request: may write the output buffer and the caller's memory at
// the address (null when the request names none). Returns the call result.
using Responder =
    std::function<kern_return_t(const StructCall &call, uint8_t *output, uint8_t *target)>;

struct FakeDriverState {
    std::vector<uint32_t> scalarCalls;
    kern_return_t scalarResult = KERN_SUCCESS;
    std::vector<StructCall> structCalls;
    std::vector<uint32_t> openTypes;
    int closes = 0;
    Responder respond; // default: status word 0, call result 0
};

class FakeUserClient : public trelvox::platform::UserClient {
public:
    explicit FakeUserClient(std::shared_ptr<FakeDriverState> state) : state_(std::move(state)) {}

    kern_return_t CallScalar(uint32_t selector, const uint64_t *, uint32_t inputCnt, uint64_t *,
                             uint32_t *outputCnt) override {
        EXPECT_EQ(inputCnt, 0u);
        EXPECT_TRUE(outputCnt == nullptr || *outputCnt == 0);
        state_->scalarCalls.push_back(selector);
        return state_->scalarResult;
    }

    kern_return_t CallStruct(uint32_t selector, const void *input, size_t inputSize, void *output,
                             size_t *outputSize) override {
        StructCall call;
        call.selector = selector;
        const auto *in = static_cast<const uint8_t *>(input);
        call.input.assign(in, in + inputSize);
        call.outputCapacity = outputSize != nullptr ? *outputSize : 0;
        // Where the request puts its payload: the inline form splits the
        // address in two words for classes 1 and 2, the descriptor form
        // carries it whole.
        if (selector == 5 && inputSize >= 20 && GetLe(in, 4) == 0x10000) {
            call.address = GetLe(in + 12, 4) | GetLe(in + 16, 4) << 32;
            call.length = static_cast<uint32_t>(GetLe(in + 8, 4));
        } else if (selector != 5 && inputSize == 16) {
            call.address = GetLe(in, 8);
            call.length = static_cast<uint32_t>(GetLe(in + 8, 4));
        }
        auto *target = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(call.address));
        if (target != nullptr) {
            call.payload.assign(target, target + call.length);
        }
        state_->structCalls.push_back(call);
        auto *out = static_cast<uint8_t *>(output);
        if (state_->respond) {
            return state_->respond(state_->structCalls.back(), out, target);
        }
        if (out != nullptr && call.outputCapacity >= 4) {
            PutLe(out, 0, 4);
        }
        return KERN_SUCCESS;
    }

    kern_return_t Close() override {
        ++state_->closes;
        return KERN_SUCCESS;
    }

private:
    std::shared_ptr<FakeDriverState> state_;
};

inline constexpr char kFakeClassName[] = "IoctlTestController";

class FakeInstance : public trelvox::platform::DriverInstance {
public:
    explicit FakeInstance(std::shared_ptr<FakeDriverState> state) : state_(std::move(state)) {}
    std::string ClassName() const override { return kFakeClassName; }
    kern_return_t Open(uint32_t type,
                       std::unique_ptr<trelvox::platform::UserClient> *client) override {
        state_->openTypes.push_back(type);
        *client = std::make_unique<FakeUserClient>(state_);
        return KERN_SUCCESS;
    }

private:
    std::shared_ptr<FakeDriverState> state_;
};

// A published fake driver and a connection to it, found and opened the way a
// tool does: matching on the class name, first-publish iterator, type 0.
class FakeDriver {
public:
    FakeDriver() : state(std::make_shared<FakeDriverState>()) {
        trelvox::platform::ResetPlatform();
        trelvox::platform::PublishInstance(std::make_shared<FakeInstance>(state));
    }
    ~FakeDriver() {
        if (port_ != nullptr) {
            IONotificationPortDestroy(port_);
        }
        trelvox::platform::ResetPlatform();
    }
    FakeDriver(const FakeDriver &) = delete;
    FakeDriver &operator=(const FakeDriver &) = delete;

    // Returns the open connection, or 0.
    io_connect_t Connect() {
        port_ = IONotificationPortCreate(kIOMasterPortDefault);
        io_iterator_t iterator = 0;
        if (port_ == nullptr ||
            IOServiceAddMatchingNotification(port_, kIOFirstPublishNotification,
                                             IOServiceMatching(kFakeClassName), NoteArrival,
                                             nullptr, &iterator) != KERN_SUCCESS) {
            return 0;
        }
        io_connect_t connection = 0;
        while (io_service_t service = IOIteratorNext(iterator)) {
            if (connection == 0 &&
                IOServiceOpen(service, mach_task_self(), 0, &connection) != KERN_SUCCESS) {
                connection = 0;
            }
            IOObjectRelease(service);
        }
        return connection;
    }

    std::shared_ptr<FakeDriverState> state;

private:
    static void NoteArrival(void *, io_iterator_t) {}
    IONotificationPortRef port_ = nullptr;
};

// Driver status word answer for every request, with the call result.
inline Responder AnswerStatus(uint32_t status, kern_return_t result = KERN_SUCCESS) {
    return [status, result](const StructCall &, uint8_t *out, uint8_t *) {
        PutLe(out, status, 4);
        return result;
    };
}

} // namespace ioctltest
