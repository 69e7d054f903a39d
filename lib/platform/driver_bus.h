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
// belong to one of those two users; anything else is ignored, said once
// through the message sink (platform_messages.h). The directory is created
// (owner-only write) when it is missing.
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
// ones arrive through the port's run-loop source. When the directory cannot
// be made or watched (inotify's limits, a read-only parent, permissions), or
// later has gone while its parent cannot be watched, this is reported once
// through the message sink and the watch is tried again every
// kDriverBusWatchRetryMs, on the monotonic clock through a port's run-loop
// source, until it stands; the directory is then scanned. Returns whether
// the watch stands now; false leaves the retry armed.
bool StartDriverBus();

// Stops the watch, and any retry of it, and unpublishes every instance the
// bus published. Open connections keep working until closed.
void StopDriverBus();

// Time-out of one call on a connection (IOServiceOpen and each method
// call), in milliseconds. The default of 10 s lies far above any normal
// reply; tests make it short (platform_testing.h).
inline constexpr uint32_t kDriverBusDefaultTimeoutMs = 10000;
uint32_t DriverBusCallTimeout();

// The pause between attempts to watch the driver directory (tests make it
// short, platform_testing.h).
inline constexpr uint32_t kDriverBusWatchRetryMs = 5000;

} // namespace trelvox::platform
