// Re-delivery of a driver that is still published after its open or a call
// on its connection failed: it waits, doubling from the first back-off to
// the most, and is then queued again on the iterator of every first-publish
// notification of its class. The wait is kept on the monotonic clock; the
// port sources run it (platform_registry.cpp). Unpublishing the instance
// forgets it with its wait.
#include <algorithm>

#include "lib/platform/bus_frames.h"
#include "lib/platform/platform_state.h"

namespace trelvox::platform::detail {
namespace {

int64_t BackOffMs(const RegistryState &state, uint32_t failures) {
    int64_t wait = state.firstBackOffMs;
    for (uint32_t i = 1; i < failures && wait < state.mostBackOffMs; ++i) {
        wait *= 2;
    }
    return std::min<int64_t>(wait, state.mostBackOffMs);
}

void Schedule(RegistryState &state, InstanceId id) {
    auto it = state.instances.find(id);
    if (it == state.instances.end()) {
        return; // unpublished: nothing to come back to
    }
    Published &published = it->second;
    ++published.failures;
    int64_t at = bus::MonotonicMs() + BackOffMs(state, published.failures);
    if (published.redeliverAtMs < 0 || at < published.redeliverAtMs) {
        published.redeliverAtMs = at;
    }
    // A loop waiting without a time-out must learn of the new one.
    for (auto &[iterator, note] : state.notifications) {
        if (note.port != nullptr && note.className == published.className) {
            WakePort(note.port);
        }
    }
}

} // namespace

void NoteOpenFailed(RegistryState &state, InstanceId instance) {
    Schedule(state, instance);
}

void NoteClosed(RegistryState &state, const Connection &connection) {
    auto it = state.instances.find(connection.instance);
    if (it != state.instances.end() && connection.served) {
        it->second.failures = 0;
    }
    if (connection.failed) {
        Schedule(state, connection.instance);
    }
}

int64_t NextRedeliveryMs(const RegistryState &state) {
    int64_t next = -1;
    for (const auto &[id, published] : state.instances) {
        int64_t at = published.redeliverAtMs;
        if (at >= 0 && (next < 0 || at < next)) {
            next = at;
        }
    }
    return next;
}

void RedeliverDue(RegistryState &state, int64_t nowMs) {
    for (auto &[id, published] : state.instances) {
        if (published.redeliverAtMs < 0 || published.redeliverAtMs > nowMs) {
            continue;
        }
        published.redeliverAtMs = -1;
        for (auto &[iterator, note] : state.notifications) {
            if (note.port == nullptr || note.className != published.className ||
                std::find(note.pending.begin(), note.pending.end(), id) != note.pending.end()) {
                continue;
            }
            note.pending.push_back(id);
            WakePort(note.port);
        }
    }
}

} // namespace trelvox::platform::detail

namespace trelvox::platform {

void SetRedeliveryBackOff(uint32_t firstMs, uint32_t mostMs) {
    detail::RegistryState &state = detail::State();
    std::lock_guard lock(state.mutex);
    state.firstBackOffMs = firstMs == 0 ? 1 : firstMs;
    state.mostBackOffMs = std::max(mostMs, state.firstBackOffMs);
}

} // namespace trelvox::platform
