// The service manager's notification socket: the datagram protocol through
// which a service started by systemd says that it is ready, what it is
// doing, that it is stopping, and that it is alive (the watchdog). Where the
// build leaves notification out (no systemd on the platform), nothing is
// ever sent and the service costs nothing for it.
#pragma once

#include <cstdint>

// Whether a notification socket was given (NOTIFY_SOCKET in the
// environment at the first call).
bool OsNotifyAvailable();
// Sends one notification ("READY=1", "STATUS=...", several lines joined by
// '\n') without waiting: 0, or the error number (ENOTCONN without a
// socket).
int OsNotifySend(const char *text);
// The watchdog's period in microseconds (WATCHDOG_USEC, when WATCHDOG_PID is
// unset or names this process); 0 when there is no watchdog.
uint64_t OsNotifyWatchdogUsec();
