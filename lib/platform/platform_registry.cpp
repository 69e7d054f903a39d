// The driver registry and first-publish notifications. Every publication is
// queued on the iterator of each notification of its class and wakes the
// notification's port; the port's run-loop source calls a notification's
// callback only while it is armed, that is after its iterator has been
// drained, and disarms it until the next drain. The port sources also run
// the port watches and timers and the re-delivery of failed drivers.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "lib/platform/driver_bus.h"
#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_objects.h"
#include "lib/platform/platform_state.h"

namespace trelvox::platform::detail {
namespace {

PlatformFaults gFaults;

} // namespace

RegistryState &State() {
    // Never destroyed: the service may still call in while the process exits.
    static RegistryState *state = new RegistryState;
    return *state;
}

io_object_t NewObjectId(RegistryState &state) {
    io_object_t id = state.nextObject++;
    if (id == 0) {
        id = state.nextObject++;
    }
    return id;
}

} // namespace trelvox::platform::detail

using namespace trelvox::platform;
using namespace trelvox::platform::detail;

namespace {

struct PortSource;

} // namespace

struct IONotificationPort {
    int wakeRead = -1;
    int wakeWrite = -1;
    PortSource *source = nullptr;
};

void trelvox::platform::detail::WakePort(IONotificationPort *port) {
    char byte = 1;
    ssize_t ignored = write(port->wakeWrite, &byte, 1);
    (void)ignored;
}

namespace {

void DrainPort(int fd) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

// Calls, one at a time, the callback of every armed notification of the
// port that has publications waiting. Each is disarmed before its call, so
// it runs at most once here, and again only after its iterator is drained.
void DeliverPending(IONotificationPort *port) {
    RegistryState &state = State();
    for (;;) {
        IOServiceMatchingCallback callback = nullptr;
        void *refCon = nullptr;
        io_iterator_t iterator = 0;
        {
            std::lock_guard lock(state.mutex);
            for (auto &[id, note] : state.notifications) {
                if (note.port == port && note.armed && !note.pending.empty()) {
                    note.armed = false;
                    callback = note.callback;
                    refCon = note.refCon;
                    iterator = id;
                    break;
                }
            }
        }
        if (iterator == 0) {
            return;
        }
        callback(refCon, iterator);
    }
}

struct PortSource : __CFRunLoopSource {
    // Guarded by the registry mutex; null once the port is destroyed.
    IONotificationPort *port = nullptr;

    void Descriptors(std::vector<int> *fds) override {
        RegistryState &state = State();
        std::lock_guard lock(state.mutex);
        if (port == nullptr) {
            return;
        }
        fds->push_back(port->wakeRead);
        for (const auto &[id, watch] : state.watches) {
            fds->push_back(watch.fd);
        }
    }

    void Perform(int fd) override {
        RegistryState &state = State();
        IONotificationPort *current = nullptr;
        std::function<void()> onReadable;
        {
            std::lock_guard lock(state.mutex);
            current = port;
            if (current == nullptr) {
                return;
            }
            if (fd == current->wakeRead) {
                DrainPort(fd);
            } else {
                for (const auto &[id, watch] : state.watches) {
                    if (watch.fd == fd) {
                        onReadable = watch.onReadable;
                        break;
                    }
                }
            }
        }
        if (onReadable) {
            onReadable();
        }
        DeliverPending(current);
    }

    int64_t DueMs() override {
        RegistryState &state = State();
        std::lock_guard lock(state.mutex);
        if (port == nullptr) {
            return -1;
        }
        int64_t due = NextRedeliveryMs(state);
        for (const auto &[id, timer] : state.timers) {
            if (due < 0 || timer.dueMs < due) {
                due = timer.dueMs;
            }
        }
        return due;
    }

    void PerformDue() override {
        RegistryState &state = State();
        IONotificationPort *current = nullptr;
        std::vector<std::function<void()>> due;
        {
            std::lock_guard lock(state.mutex);
            current = port;
            if (current == nullptr) {
                return;
            }
            int64_t now = bus::MonotonicMs();
            RedeliverDue(state, now);
            for (auto it = state.timers.begin(); it != state.timers.end();) {
                if (it->second.dueMs <= now) {
                    due.push_back(std::move(it->second.onDue));
                    it = state.timers.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const std::function<void()> &onDue : due) {
            onDue();
        }
        DeliverPending(current);
    }
};

} // namespace

const mach_port_t kIOMasterPortDefault = 0;

mach_port_t mach_task_self() {
    return 0x103;
}

IONotificationPortRef IONotificationPortCreate(mach_port_t) {
    if (Faults().failPortCreate) {
        return nullptr;
    }
    StartDriverBus(); // out-of-process instances: present ones now, later ones on the run loop
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return nullptr;
    }
    auto *port = new IONotificationPort;
    port->wakeRead = fds[0];
    port->wakeWrite = fds[1];
    port->source = new PortSource;
    std::lock_guard lock(State().mutex);
    port->source->port = port;
    State().ports.insert(port);
    return port;
}

void IONotificationPortDestroy(IONotificationPortRef notify) {
    if (notify == nullptr) {
        return;
    }
    RegistryState &state = State();
    {
        std::lock_guard lock(state.mutex);
        for (auto &[id, note] : state.notifications) {
            if (note.port == notify) {
                note.port = nullptr;
            }
        }
        notify->source->port = nullptr;
        state.ports.erase(notify);
        close(notify->wakeRead);
        close(notify->wakeWrite);
    }
    // A run loop may still hold the source; it stays inert until released.
    Release(notify->source);
    delete notify;
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify) {
    if (notify == nullptr || Faults().failRunLoopSource) {
        return nullptr;
    }
    return notify->source;
}

CFMutableDictionaryRef IOServiceMatching(const char *name) {
    if (name == nullptr || Faults().failMatching) {
        return nullptr;
    }
    auto *matching = new __CFDictionary;
    matching->className = name;
    return matching;
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const io_name_t notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void *refCon,
                                               io_iterator_t *notification) {
    // The dictionary is taken over whatever the outcome.
    std::string className = matching != nullptr ? matching->className : std::string();
    if (matching != nullptr) {
        Release(const_cast<__CFDictionary *>(matching));
    }
    if (notifyPort == nullptr || matching == nullptr || callback == nullptr ||
        notification == nullptr || notificationType == nullptr) {
        return kIOReturnBadArgument;
    }
    if (strcmp(notificationType, kIOFirstPublishNotification) != 0) {
        return kIOReturnUnsupported;
    }
    if (Faults().failAddNotification) {
        return kIOReturnError;
    }
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    Notification note;
    note.port = notifyPort;
    note.className = className;
    note.callback = callback;
    note.refCon = refCon;
    for (const auto &[id, published] : state.instances) {
        if (published.className == className) {
            note.pending.push_back(id);
        }
    }
    io_iterator_t iterator = NewObjectId(state);
    state.notifications.emplace(iterator, std::move(note));
    *notification = iterator;
    return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.notifications.find(iterator);
    if (it == state.notifications.end()) {
        return 0;
    }
    Notification &note = it->second;
    if (note.pending.empty()) {
        note.armed = true;
        return 0;
    }
    InstanceId instance = note.pending.front();
    note.pending.pop_front();
    io_service_t service = NewObjectId(state);
    // Pending instances are published: unpublishing takes them out.
    state.services.emplace(service, ServiceObject{instance, state.instances[instance].name});
    return service;
}

kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name) {
    if (name == nullptr) {
        return kIOReturnBadArgument;
    }
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.services.find(entry);
    if (it == state.services.end()) {
        return kIOReturnBadArgument;
    }
    snprintf(name, sizeof(io_name_t), "%s", it->second.name.c_str());
    return KERN_SUCCESS;
}

kern_return_t IOObjectRelease(io_object_t object) {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    if (state.services.erase(object) != 0 || state.notifications.erase(object) != 0) {
        return KERN_SUCCESS;
    }
    return kIOReturnBadArgument;
}

namespace trelvox::platform {

InstanceId PublishInstance(std::shared_ptr<DriverInstance> instance) {
    std::string className = instance->ClassName();
    std::string name = instance->Name();
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    InstanceId id = state.nextInstance++;
    Published published;
    published.instance = std::move(instance);
    published.className = className;
    published.name = std::move(name);
    state.instances.emplace(id, std::move(published));
    for (auto &[iterator, note] : state.notifications) {
        if (note.port != nullptr && note.className == className) {
            note.pending.push_back(id);
            WakePort(note.port);
        }
    }
    return id;
}

void UnpublishInstance(InstanceId id) {
    std::shared_ptr<DriverInstance> gone;
    std::string name;
    {
        RegistryState &state = State();
        std::lock_guard lock(state.mutex);
        auto it = state.instances.find(id);
        if (it == state.instances.end()) {
            return;
        }
        gone = std::move(it->second.instance);
        name = std::move(it->second.name);
        state.instances.erase(it);
        for (auto &[iterator, note] : state.notifications) {
            note.pending.erase(std::remove(note.pending.begin(), note.pending.end(), id),
                               note.pending.end());
        }
    }
    detail::TellUnpublished(name.c_str());
}

uint64_t AddPortWatch(int fd, std::function<void()> onReadable) {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    uint64_t id = state.nextWatch++;
    state.watches.emplace(id, PortWatch{fd, std::move(onReadable)});
    return id;
}

void RemovePortWatch(uint64_t id) {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    state.watches.erase(id);
}

uint64_t AddPortTimer(int64_t dueMs, std::function<void()> onDue) {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    uint64_t id = state.nextTimer++;
    state.timers.emplace(id, PortTimer{dueMs, std::move(onDue)});
    // A loop waiting without a time-out must learn of the new one.
    for (IONotificationPort *port : state.ports) {
        WakePort(port);
    }
    return id;
}

void RemovePortTimer(uint64_t id) {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    state.timers.erase(id);
}

PlatformCounts Counts() {
    RegistryState &state = State();
    std::lock_guard lock(state.mutex);
    PlatformCounts counts;
    counts.instances = static_cast<uint32_t>(state.instances.size());
    counts.notifications = static_cast<uint32_t>(state.notifications.size());
    counts.serviceObjects = static_cast<uint32_t>(state.services.size());
    counts.connections = static_cast<uint32_t>(state.connections.size());
    return counts;
}

PlatformFaults &Faults() {
    return gFaults;
}

void ResetPlatform() {
    RegistryState &state = State();
    // Instances and user clients are destroyed after the lock is dropped, so
    // that their destructors may call back in.
    std::map<InstanceId, Published> instances;
    std::map<io_connect_t, Connection> connections;
    std::map<uint64_t, PortTimer> timers;
    {
        std::lock_guard lock(state.mutex);
        instances.swap(state.instances);
        connections.swap(state.connections);
        timers.swap(state.timers);
        state.notifications.clear();
        state.services.clear();
        state.watches.clear();
        state.firstBackOffMs = kRedeliveryFirstMs;
        state.mostBackOffMs = kRedeliveryMostMs;
    }
    gFaults = PlatformFaults{};
    ResetCurrentRunLoop();
}

} // namespace trelvox::platform
