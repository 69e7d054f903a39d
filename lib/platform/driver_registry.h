// The stand-in's driver registry: published driver instances, each with a
// class name and a user client that answers method calls. Tests publish
// in-process instances here (and reach the stand-in's controls through
// lib/platform/platform_testing.h); the driver bus publishes out-of-process
// ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "lib/platform/iokit.h"

namespace trelvox::platform {

// One open connection to a driver instance's user client. An in-process
// user client may read and write the caller's memory at the addresses it is
// given, as a kernel driver would.
class UserClient {
public:
    virtual ~UserClient() = default;
    virtual kern_return_t CallScalar(uint32_t selector, const uint64_t *input, uint32_t inputCnt,
                                     uint64_t *output, uint32_t *outputCnt) = 0;
    virtual kern_return_t CallStruct(uint32_t selector, const void *input, size_t inputSize,
                                     void *output, size_t *outputSize) = 0;
    // Called by IOServiceClose; its result is IOServiceClose's result.
    virtual kern_return_t Close() { return KERN_SUCCESS; }
};

// A published driver instance.
class DriverInstance {
public:
    virtual ~DriverInstance() = default;
    virtual std::string ClassName() const = 0;
    // The name IORegistryEntryGetName gives: the class name unless the
    // instance has one of its own. Asked once, when it is published.
    virtual std::string Name() const { return ClassName(); }
    // IOServiceOpen: a user client for a new connection, or a failure code.
    virtual kern_return_t Open(uint32_t type, std::unique_ptr<UserClient> *client) = 0;
};

using InstanceId = uint64_t;

// The waits before a driver whose open or call failed is delivered again
// (iokit.h, IOServiceAddMatchingNotification).
inline constexpr uint32_t kRedeliveryFirstMs = 1000;
inline constexpr uint32_t kRedeliveryMostMs = 30000;

// Publishes an instance: every first-publish notification of its class
// delivers it once, and again after a failed open or call (iokit.h). Safe to
// call before or while the run loop runs, from any thread. Returns an id for
// UnpublishInstance, which also ends any re-delivery.
InstanceId PublishInstance(std::shared_ptr<DriverInstance> instance);
void UnpublishInstance(InstanceId id);

// A descriptor that every notification port's run-loop source also waits on,
// and the work to run on the run loop's thread when it is readable (before
// pending publications are delivered). The driver bus uses it for its watch
// of the driver directory. Returns an id for RemovePortWatch.
uint64_t AddPortWatch(int fd, std::function<void()> onReadable);
void RemovePortWatch(uint64_t id);

// Work that a notification port's run-loop source runs once, on the run
// loop's thread, when dueMs (bus::MonotonicMs) has come (before pending
// publications are delivered). The driver bus retries its watch with it.
// Returns an id for RemovePortTimer.
uint64_t AddPortTimer(int64_t dueMs, std::function<void()> onDue);
void RemovePortTimer(uint64_t id);

} // namespace trelvox::platform
