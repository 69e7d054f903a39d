// A relay on the driver bus that counts the service's requests: it publishes
// a driver instance of its own in the service's driver directory and
// forwards every frame of every connection, unchanged, to a real driver
// program's socket elsewhere, noting the time of each event-log request.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class BusRelay {
public:
    BusRelay() = default;
    ~BusRelay() { Stop(); }
    BusRelay(const BusRelay &) = delete;
    BusRelay &operator=(const BusRelay &) = delete;

    // Publishes the relay as dir/name (bound under a hidden name, renamed
    // into place once it listens) and starts forwarding each connection to
    // the socket at target. False when the socket cannot be set up.
    bool Start(const std::string &dir, const std::string &name, const std::string &target);
    // Unpublishes the relay, ends its connections and its thread.
    void Stop();

    // Monotonic times (steady clock, ns) of the event-log requests so far.
    std::vector<int64_t> RequestTimes() const;
    uint64_t RequestCount() const;

private:
    void Run();
    void Serve(int client);

    std::string path_;
    std::string target_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<int64_t> requestTimes_;
    std::vector<int> open_; // connections in service, for Stop to shut down
    std::atomic<bool> stopping_{false};
};

} // namespace bench
