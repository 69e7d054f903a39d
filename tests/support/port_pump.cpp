#include "tests/support/port_pump.h"

#include <poll.h>

#include <vector>

#include "lib/platform/bus_frames.h"
#include "lib/platform/platform_objects.h"

namespace testsupport {

bool PumpPortUntil(IONotificationPortRef port, const std::function<bool()> &done,
                   std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(port);
    auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end) {
            return false;
        }
        std::vector<int> fds;
        source->Descriptors(&fds);
        std::vector<pollfd> polls;
        for (int fd : fds) {
            polls.push_back({fd, POLLIN, 0});
        }
        if (poll(polls.data(), polls.size(), 20) > 0) {
            for (const pollfd &p : polls) {
                if (p.revents != 0) {
                    source->Perform(p.fd);
                }
            }
        }
        int64_t due = source->DueMs();
        if (due >= 0 && due <= trelvox::platform::bus::MonotonicMs()) {
            source->PerformDue();
        }
    }
    return true;
}

} // namespace testsupport
