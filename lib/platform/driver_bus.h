// The driver bus: driver instances of other processes. A driver program
// publishes an instance by creating a Unix-domain stream socket in the driver
// directory and unpublishes it by removing the socket. The socket's name
// carries the driver class: the text before its first '.', so that
// "TrelvoxController.1234" publishes a TrelvoxController; names that begin
// with '.' are not looked at (a driver binds under such a name and renames
// the socket into place once it listens).
//
// Who may publish: the directory must belong to this process's user or to
// root and must not be writable by group or others, and each socket must
// belong to one of those two users; anything else is ignored with a message
// on standard error. The directory is created (owner-only write) when it is
// missing.
//
// Calls on a connection travel as the frames of bus_frames.h. A peer that
// goes away, stops answering for longer than the call time-out, or sends an
// impossible frame fails the call with its own result (iokit.h) and the
// connection is closed; later calls on it, and its close, fail at once with
// the same result.
#pragma once

#include <cstdint>
#include <string>

namespace trelvox::platform {

// The driver directory: TRELVOX_DRIVER_DIR when set and not empty,
// otherwise /run/trelvox.
std::string DriverBusDirectory();

// Starts watching the driver directory and publishes the sockets already in
// it, unless the watch already stands. IONotificationPortCreate calls it, so
// that instances present at start-up are there for the first drain and later
// ones arrive through the port's run-loop source. A directory that cannot be
// made or watched is reported on standard error; the stand-in then serves
// in-process instances only. Returns whether the watch stands.
bool StartDriverBus();

// Stops the watch and unpublishes every instance the bus published. Open
// connections keep working until closed.
void StopDriverBus();

// Time-out of one call on a connection (IOServiceOpen and each method
// call), in milliseconds. The default of 10 s lies far above any normal
// reply; tests make it short (platform_testing.h).
inline constexpr uint32_t kDriverBusDefaultTimeoutMs = 10000;
uint32_t DriverBusCallTimeout();

} // namespace trelvox::platform
