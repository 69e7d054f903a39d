// Runs a notification port's run-loop source the way the run loop does: polls
// its descriptors and performs the source for each one that is ready, and
// runs its due work (re-delivery, port timers) once it has come.
#pragma once

#include <chrono>
#include <functional>

#include "lib/platform/iokit.h"

namespace testsupport {

// Pumps the port until done() holds (true) or the time is up (false).
bool PumpPortUntil(IONotificationPortRef port, const std::function<bool()> &done,
                   std::chrono::milliseconds limit);

} // namespace testsupport
