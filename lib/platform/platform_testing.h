// The stand-in's controls for tests: connections opened straight to an
// instance, counts of the objects alive, forced start-up failures and a
// failed watch, a reset between tests, short driver-bus waits (call time-out,
// watch retry, re-delivery back-off) and a wall clock to step. Only test
// programs (and the stand-in's own sources, which define these) include this
// header.
#pragma once

#include <cstdint>
#include <ctime>

#include "lib/platform/driver_registry.h"
#include "lib/platform/iokit.h"

namespace trelvox::platform {

// Opens a connection straight to a published instance, as IOServiceOpen does
// for its service object: for tests of the transport that need no
// notification. 0 and the connection, or a failure code.
kern_return_t OpenInstance(InstanceId id, uint32_t type, io_connect_t *connect);

// Objects alive in the stand-in, so tests can prove that callers release
// what they are given.
struct PlatformCounts {
    uint32_t instances = 0;
    uint32_t notifications = 0;  // iterators not yet released
    uint32_t serviceObjects = 0; // delivered by IOIteratorNext, not yet released
    uint32_t connections = 0;    // opened, not yet closed
};
PlatformCounts Counts();

// Start-up failures a test can force on the stand-in.
struct PlatformFaults {
    bool failPortCreate = false;
    bool failMatching = false;
    bool failAddNotification = false;
    bool failRunLoopSource = false;
    bool failCurrentRunLoop = false;
    // While not 0, setting up the watch of the driver directory fails with
    // this errno, as inotify_init1 does when the instance limit is reached.
    int failDirectoryWatch = 0;
};
PlatformFaults &Faults();

// Forgets every instance, notification, object, connection, port watch,
// port timer and fault, restores the re-delivery back-off, and forgets the
// calling thread's run-loop sources, timers and kept stop (tests only).
// Notification ports stay valid for their owners to destroy.
void ResetPlatform();

// Time-out of one call on a driver-bus connection, in milliseconds
// (kDriverBusDefaultTimeoutMs, driver_bus.h, until set).
void SetDriverBusCallTimeout(uint32_t ms);
// The pause between attempts to watch the driver directory, in milliseconds
// (kDriverBusWatchRetryMs, driver_bus.h, until set).
void SetDriverBusWatchRetry(uint32_t ms);

// The waits before a failed driver is delivered again: the first, doubling
// up to the most (kRedeliveryFirstMs and kRedeliveryMostMs until set, and
// again after ResetPlatform).
void SetRedeliveryBackOff(uint32_t firstMs, uint32_t mostMs);

// Where CFAbsoluteTimeGetCurrent reads the wall clock: clock_gettime with
// CLOCK_REALTIME until set, and again after a set to null. Tests step the
// wall clock with it.
void SetWallClock(int (*read)(timespec *now));

} // namespace trelvox::platform
