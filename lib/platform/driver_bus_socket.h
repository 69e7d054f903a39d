// Inside the driver bus: the driver instance that a socket in the driver
// directory publishes. Not for callers of iokit.h.
#pragma once

#include <memory>
#include <string>

#include "lib/platform/driver_registry.h"

namespace trelvox::platform::detail {

// An instance of the class whose user client is served at the socket path.
// Each IOServiceOpen makes a new connection to the socket.
std::shared_ptr<DriverInstance> MakeSocketInstance(std::string path, std::string className);

// Whom the bus trusts, for messages: "root", or "user N or root".
std::string TrustedUsers();

// Prints one line "trelvox driver bus: <message>" on standard error.
void BusMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace trelvox::platform::detail
