// Inside the driver bus: the driver instance that a socket in the driver
// directory publishes. Not for callers of iokit.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "lib/platform/driver_registry.h"

namespace trelvox::platform::detail {

// An instance of the class whose user client is served at the socket path.
// Each IOServiceOpen makes a new connection to the socket.
std::shared_ptr<DriverInstance> MakeSocketInstance(std::string path, std::string className);

// Whom the bus trusts, for messages: "root", or "user N or root".
std::string TrustedUsers();

// Passes one line to the message sink (platform_messages.h): a problem, or
// the end of a streak of problems.
void BusProblem(const char *format, ...) __attribute__((format(printf, 1, 2)));
void BusRecovery(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The problems of one source (the driver directory, one driver) reported in
// its current streak, so that each kind is said once until the streak ends.
// Safe to use from several threads.
class ProblemStreak {
public:
    // True when this kind (one bit) has not been reported in the streak yet.
    bool First(uint32_t kind) { return (reported_.fetch_or(kind) & kind) == 0; }
    // Ends the streak of these kinds (all by default); true when one of them
    // had been reported in it.
    bool End(uint32_t kinds = ~0u) {
        return (reported_.load() & kinds) != 0 && (reported_.fetch_and(~kinds) & kinds) != 0;
    }

private:
    std::atomic<uint32_t> reported_{0};
};

} // namespace trelvox::platform::detail
