// The stand-in's process-wide registry state: published instances with
// their re-delivery, notifications and their iterators, service objects,
// open connections, port watches and timers. Shared by the registry, the
// re-delivery and the connection code; every member is guarded by `mutex`.
// Not for callers of iokit.h.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "lib/platform/bus_frames.h"
#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_testing.h"

struct IONotificationPort;

namespace trelvox::platform::detail {

struct Published {
    std::shared_ptr<DriverInstance> instance;
    std::string className;
    std::string name; // IORegistryEntryGetName's
    // Failures since a connection last ended on a successful call; each
    // doubles the wait before the instance is delivered again.
    uint32_t failures = 0;
    int64_t redeliverAtMs = -1; // bus::MonotonicMs; -1: none waiting
};

// One first-publish notification; its iterator's id is the map key.
struct Notification {
    IONotificationPort *port = nullptr; // null once the port is destroyed
    std::string className;
    IOServiceMatchingCallback callback = nullptr;
    void *refCon = nullptr;
    std::deque<InstanceId> pending; // published, not yet taken by IOIteratorNext
    bool armed = false;             // the iterator was drained since the last delivery
};

struct PortWatch {
    int fd;
    std::function<void()> onReadable;
};

struct PortTimer {
    int64_t dueMs; // bus::MonotonicMs
    std::function<void()> onDue;
};

// A service object that IOIteratorNext handed out.
struct ServiceObject {
    InstanceId instance;
    std::string name;
};

// An open connection, with what its calls gave so far.
struct Connection {
    std::shared_ptr<UserClient> client;
    InstanceId instance = 0;
    bool failed = false; // a call failed (one a stop cut short does not count)
    // A structure-method call succeeded: the driver answered what it is
    // asked for (its event text or an idle reply). Only that ends a streak
    // of failures; an open or a close that succeeds says nothing.
    bool served = false;
};

struct RegistryState {
    std::mutex mutex;
    InstanceId nextInstance = 1;
    io_object_t nextObject = 0x1000;
    std::map<InstanceId, Published> instances; // in publication order
    std::map<io_iterator_t, Notification> notifications;
    std::map<io_service_t, ServiceObject> services;
    std::map<io_connect_t, Connection> connections;
    std::set<IONotificationPort *> ports;
    std::map<uint64_t, PortWatch> watches;
    uint64_t nextWatch = 1;
    std::map<uint64_t, PortTimer> timers;
    uint64_t nextTimer = 1;
    uint32_t firstBackOffMs = kRedeliveryFirstMs;
    uint32_t mostBackOffMs = kRedeliveryMostMs;
};

RegistryState &State();
// A fresh object id; the caller holds the mutex. Never 0.
io_object_t NewObjectId(RegistryState &state);
// Makes the port's run loop wait again, to take up new work or a new due
// time; the caller holds the mutex.
void WakePort(IONotificationPort *port);

// Re-delivery (platform_redelivery.cpp); the caller holds the mutex.
// A failed open of the instance, or a close of a connection to it.
void NoteOpenFailed(RegistryState &state, InstanceId instance);
void NoteClosed(RegistryState &state, const Connection &connection);
// The earliest re-delivery waiting, -1 if none.
int64_t NextRedeliveryMs(const RegistryState &state);
// Queues every instance whose wait has ended on the iterators of its class.
void RedeliverDue(RegistryState &state, int64_t nowMs);
// Tells the unpublished sink (platform_messages.h) of an instance gone.
void TellUnpublished(const char *name);
// Forgets the calling thread's run-loop sources and kept stop.
void ResetCurrentRunLoop();
// A watch on the calling thread's run loop: a CFRunLoopStop of that loop
// (the service's stop, from its signal handler) cuts short a driver call
// made on the thread once graceMs have passed. Empty when the thread has no
// run loop.
bus::StopWatch CurrentRunLoopStopWatch(int64_t graceMs);

} // namespace trelvox::platform::detail
