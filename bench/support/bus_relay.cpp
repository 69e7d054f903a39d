#include "bench/support/bus_relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "lib/platform/bus_frames.h"

namespace bench {
namespace {

namespace bus = trelvox::platform::bus;

constexpr uint32_t kEventLogSelector = 6;

bool ReadAll(int fd, void *data, size_t n) {
    auto *p = static_cast<char *>(data);
    while (n > 0) {
        ssize_t got = recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const void *data, size_t n) {
    const auto *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool FillAddress(const std::string &path, sockaddr_un *address) {
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) {
        return false;
    }
    memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool BusRelay::Start(const std::string &dir, const std::string &name, const std::string &target) {
    target_ = target;
    path_ = dir + "/" + name;
    std::string hidden = dir + "/." + name;
    sockaddr_un address;
    if (!FillAddress(hidden, &address) || pipe(stopPipe_) != 0) {
        return false;
    }
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 ||
        bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0 || rename(hidden.c_str(), path_.c_str()) != 0) {
        perror("bus relay");
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void BusRelay::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    stopping_ = true;
    unlink(path_.c_str());
    char wake = 1;
    (void)!write(stopPipe_[1], &wake, 1);
    {
        std::lock_guard lock(mutex_);
        for (int fd : open_) {
            shutdown(fd, SHUT_RDWR);
        }
    }
    thread_.join();
    close(listener_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

std::vector<int64_t> BusRelay::RequestTimes() const {
    std::lock_guard lock(mutex_);
    return requestTimes_;
}

uint64_t BusRelay::RequestCount() const {
    std::lock_guard lock(mutex_);
    return requestTimes_.size();
}

// One connection at a time, as the service makes them.
void BusRelay::Run() {
    while (!stopping_) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            Serve(client);
        }
    }
}

void BusRelay::Serve(int client) {
    sockaddr_un address;
    int driver = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (driver < 0 || !FillAddress(target_, &address) ||
        connect(driver, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (driver >= 0) {
            close(driver);
        }
        close(client);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        open_ = {client, driver};
        if (stopping_) {
            shutdown(client, SHUT_RDWR);
            shutdown(driver, SHUT_RDWR);
        }
    }
    // Each frame is passed on whole in one send, as its sender sent it, so
    // that the relay adds no wake-up of its own to either end.
    std::vector<char> frame(sizeof(bus::RequestHeader) + bus::kMaxPayload);
    for (;;) {
        bus::RequestHeader request;
        if (!ReadAll(client, &request, sizeof request) || request.inputSize > bus::kMaxPayload ||
            !ReadAll(client, frame.data() + sizeof request, request.inputSize)) {
            break;
        }
        if (request.kind == bus::kStruct && request.selector == kEventLogSelector) {
            std::lock_guard lock(mutex_);
            requestTimes_.push_back(NowNs());
        }
        memcpy(frame.data(), &request, sizeof request);
        bus::ReplyHeader reply;
        if (!WriteAll(driver, frame.data(), sizeof request + request.inputSize) ||
            !ReadAll(driver, &reply, sizeof reply) || reply.outputSize > bus::kMaxPayload ||
            !ReadAll(driver, frame.data() + sizeof reply, reply.outputSize)) {
            break;
        }
        memcpy(frame.data(), &reply, sizeof reply);
        if (!WriteAll(client, frame.data(), sizeof reply + reply.outputSize)) {
            break;
        }
    }
    {
        std::lock_guard lock(mutex_);
        open_.clear();
    }
    close(client);
    close(driver);
}

} // namespace bench
