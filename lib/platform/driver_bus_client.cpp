// Connections over the driver bus: IOServiceOpen connects to the instance's
// socket and sends the open frame; every method call is one request frame
// and one reply frame, each bounded by the call time-out. Any failure of the
// transfer or an impossible reply closes the connection for good. Each
// failure has its own result (iokit.h): the driver not there, refusing or
// closing the connection while its socket is there, too slow, not trusted,
// an impossible reply, a stop, or a system call of this side.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/platform/bus_frames.h"
#include "lib/platform/driver_bus.h"
#include "lib/platform/driver_bus_socket.h"
#include "lib/platform/platform_state.h"

namespace trelvox::platform {
namespace {

std::atomic<uint32_t> gCallTimeoutMs{kDriverBusDefaultTimeoutMs};

// A socket that exists but is not listening yet (bound, listen still to
// come) is retried this long before the open fails.
constexpr int64_t kRefusedRetryMs = 250;
constexpr auto kRetryPause = std::chrono::milliseconds(5);
// How long a call in progress may still take once the calling thread's run
// loop is stopped: ample for a driver that answers, and short enough that a
// stop ends the service within a second when the driver hangs.
constexpr int64_t kStopGraceMs = 250;

// The problems one driver's connections ran into (bits of a
// detail::ProblemStreak). A trusted peer's answer to the open ends a streak
// of untrusted peers; a proper reply to the call that had an impossible one
// ends that streak, so that a driver whose other calls go well is not
// reported again on every connection.
enum DriverProblem : uint32_t {
    kPeerUnknown = 1,
    kPeerUntrusted = 2,
    kImpossibleReply = 4,
};

// What is shared by a driver instance and its connections.
struct Driver {
    std::string path;
    detail::ProblemStreak problems;
    std::atomic<uint64_t> impossibleCall{0}; // CallKey of the last impossible reply
};

uint64_t CallKey(uint32_t kind, uint32_t selector) {
    return (static_cast<uint64_t>(kind) << 32) | selector;
}

// Whether the driver's socket is still published at path. A driver that
// unloads takes its socket away before it closes its connections, so a
// refusal or a close with the socket still there is the driver's trouble,
// not its departure.
bool StillPublished(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The result of a transfer that did not end with kOk; error is the errno
// that came with kError.
kern_return_t ResultOf(bus::IoStatus status, int error, const std::string &path) {
    switch (status) {
    case bus::IoStatus::kTimeout:
        return kIOReturnTimeout;
    case bus::IoStatus::kStopped:
        return kIOReturnAborted;
    case bus::IoStatus::kClosed:
        return StillPublished(path) ? kDriverBusClosed : kIOReturnNoDevice;
    case bus::IoStatus::kImpossible:
        return kDriverBusImpossibleReply;
    default:
        return unix_err(error);
    }
}

// Connects to the socket at path: 0 and a descriptor (non-blocking,
// close-on-exec) in *fd, or the failure: kIOReturnNoDevice when nothing is
// there, kDriverBusRefused when the socket is there but nothing listens,
// kIOReturnTimeout when a full backlog outlasts
// the deadline, kIOReturnAborted when the grace after a stop has ended, and
// unix_err for a system call that fails here.
kern_return_t Connect(const std::string &path, int64_t deadlineMs, bus::StopWatch *stop, int *fd) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return unix_err(ENAMETOOLONG);
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int64_t refusedUntil = bus::MonotonicMs() + kRefusedRetryMs;
    for (;;) {
        *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (*fd < 0) {
            return unix_err(errno);
        }
        if (connect(*fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            return KERN_SUCCESS;
        }
        int error = errno;
        close(*fd);
        *fd = -1;
        int64_t now = bus::MonotonicMs();
        if (bus::StopSeen(stop) && now >= stop->cutAtMs) {
            return kIOReturnAborted;
        }
        // A full backlog (EAGAIN) is a busy driver; a refusal may be a driver
        // between bind and listen. Anything else will not get better.
        switch (error) {
        case EINTR:
            continue;
        case EAGAIN:
            if (now >= deadlineMs) {
                return kIOReturnTimeout;
            }
            break;
        case ECONNREFUSED:
            if (now >= refusedUntil || now >= deadlineMs) {
                // Refused by a published socket: a driver that does not
                // listen, or a socket left behind by one that died.
                return StillPublished(path) ? kDriverBusRefused : kIOReturnNoDevice;
            }
            break;
        case ENOENT:
            return kIOReturnNoDevice; // removed since it was published
        default:
            return unix_err(error);
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

// Whether the process at the other end runs as this process's user or as
// root (0), or the failure; a socket in a trusted directory could still have
// been handed to another server.
kern_return_t CheckPeer(int fd, Driver &driver) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        int error = errno;
        if (driver.problems.First(kPeerUnknown)) {
            detail::BusProblem("cannot tell who serves %s: %s", driver.path.c_str(),
                               strerror(error));
        }
        return unix_err(error);
    }
    if (peer.uid != 0 && peer.uid != geteuid()) {
        if (driver.problems.First(kPeerUntrusted)) {
            detail::BusProblem("refusing %s: served by user %u, not by %s", driver.path.c_str(),
                               static_cast<unsigned>(peer.uid), detail::TrustedUsers().c_str());
        }
        return kIOReturnNotPermitted;
    }
    return KERN_SUCCESS;
}

class SocketClient : public UserClient {
public:
    SocketClient(int fd, std::shared_ptr<Driver> driver) : fd_(fd), driver_(std::move(driver)) {}
    ~SocketClient() override {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    // Where a call without output points its output: never written, since
    // a reply with output for a capacity of 0 is impossible.
    static void *NoOutput() {
        static char none;
        return &none;
    }

    // One round trip. output takes up to capacity bytes and is never null
    // (NoOutput() when there is none); *outputSize receives the bytes the
    // driver returned.
    [[gnu::nonnull(6)]] kern_return_t Call(uint32_t kind, uint32_t selector, const void *input,
                                           uint32_t inputSize, void *output, uint32_t capacity,
                                           uint32_t *outputSize) {
        std::lock_guard lock(mutex_);
        *outputSize = 0;
        if (fd_ < 0) {
            return broken_;
        }
        int64_t deadline = bus::MonotonicMs() + DriverBusCallTimeout();
        bus::StopWatch stop = detail::CurrentRunLoopStopWatch(kStopGraceMs);
        bus::RequestHeader request{bus::kRequestMagic, kind, selector, inputSize, capacity};
        bus::IoStatus status =
            bus::SendFrame(fd_, &request, sizeof request, input, inputSize, deadline, &stop);
        if (status != bus::IoStatus::kOk) {
            return Break(ResultOf(status, errno, driver_->path));
        }
        // The reply comes whole into the inbox, header and output in one
        // receive, and only the output its header announces goes on to the
        // caller: a driver that sent more never writes past it.
        size_t inboxSize = bus::ReplyBufferSize(capacity);
        if (inbox_.size() < inboxSize) {
            inbox_.resize(inboxSize);
        }
        size_t frameSize = 0;
        status = bus::RecvReply(fd_, kind, capacity, inbox_.data(), inbox_.size(), true, deadline,
                                &stop, &frameSize);
        int error = errno;
        bus::ReplyHeader reply{};
        memcpy(&reply, inbox_.data(), sizeof reply);
        if (status == bus::IoStatus::kImpossible) {
            driver_->impossibleCall.store(CallKey(kind, selector));
            if (driver_->problems.First(kImpossibleReply)) {
                ReportImpossible(reply, kind, capacity);
            }
        }
        if (status != bus::IoStatus::kOk) {
            return Break(ResultOf(status, error, driver_->path));
        }
        uint32_t ending = kind == bus::kOpen ? kPeerUnknown | kPeerUntrusted : 0;
        if (driver_->impossibleCall.load() == CallKey(kind, selector)) {
            ending |= kImpossibleReply;
        }
        if (ending != 0 && driver_->problems.End(ending)) {
            detail::BusRecovery("%s answers properly again", driver_->path.c_str());
        }
        if (reply.outputSize > 0) {
            memcpy(output, inbox_.data() + sizeof reply, reply.outputSize);
        }
        *outputSize = reply.outputSize;
        return reply.result;
    }

    kern_return_t CallScalar(uint32_t selector, const uint64_t *input, uint32_t inputCnt,
                             uint64_t *output, uint32_t *outputCnt) override {
        if (inputCnt > bus::kMaxScalarCount || (inputCnt > 0 && input == nullptr)) {
            return kIOReturnBadArgument;
        }
        uint32_t capacity = 0;
        void *into = NoOutput();
        if (output != nullptr && outputCnt != nullptr) {
            capacity = (*outputCnt < bus::kMaxScalarCount ? *outputCnt : bus::kMaxScalarCount) * 8;
            into = output;
        }
        uint32_t got = 0;
        kern_return_t result =
            Call(bus::kScalar, selector, input, inputCnt * 8, into, capacity, &got);
        if (outputCnt != nullptr) {
            *outputCnt = got / 8;
        }
        return result;
    }

    kern_return_t CallStruct(uint32_t selector, const void *input, size_t inputSize, void *output,
                             size_t *outputSize) override {
        if (inputSize > bus::kMaxPayload || (inputSize > 0 && input == nullptr)) {
            return kIOReturnBadArgument;
        }
        uint32_t capacity = 0;
        void *into = NoOutput();
        if (output != nullptr && outputSize != nullptr) {
            capacity = static_cast<uint32_t>(*outputSize < bus::kMaxPayload ? *outputSize
                                                                            : bus::kMaxPayload);
            into = output;
        }
        uint32_t got = 0;
        kern_return_t result = Call(bus::kStruct, selector, input, static_cast<uint32_t>(inputSize),
                                    into, capacity, &got);
        if (outputSize != nullptr) {
            *outputSize = got;
        }
        return result;
    }

    // A connection that broke reports its failure again when it is closed,
    // as closing a connection to a driver that has gone does.
    kern_return_t Close() override {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) {
            return broken_;
        }
        close(fd_);
        fd_ = -1;
        return KERN_SUCCESS;
    }

private:
    // Says what was wrong with an impossible reply: its header, or bytes
    // beyond the frame it announced.
    void ReportImpossible(const bus::ReplyHeader &reply, uint32_t kind, uint32_t capacity) const {
        char what[96];
        if (bus::ReplyIsValid(reply, kind, capacity)) {
            snprintf(what, sizeof what, "bytes beyond a frame of %u bytes of output",
                     static_cast<unsigned>(reply.outputSize));
        } else if (reply.magic != bus::kReplyMagic) {
            snprintf(what, sizeof what, "no reply frame: magic number 0x%08x",
                     static_cast<unsigned>(reply.magic));
        } else if (reply.outputSize > capacity || reply.outputSize > bus::kMaxPayload ||
                   kind != bus::kScalar) {
            snprintf(what, sizeof what, "%u bytes for a capacity of %u",
                     static_cast<unsigned>(reply.outputSize), static_cast<unsigned>(capacity));
        } else {
            snprintf(what, sizeof what, "%u bytes of scalar output, not whole 64-bit values",
                     static_cast<unsigned>(reply.outputSize));
        }
        detail::BusProblem("impossible reply from %s (%s); connection closed",
                           driver_->path.c_str(), what);
    }

    // Closes the connection for good; later calls and the close give result.
    kern_return_t Break(kern_return_t result) {
        close(fd_);
        fd_ = -1;
        broken_ = result;
        return result;
    }

    std::mutex mutex_;
    int fd_;
    kern_return_t broken_ = kIOReturnNotOpen; // what broke the connection
    std::shared_ptr<Driver> driver_;
    std::vector<char> inbox_; // one whole reply frame; grows to the largest capacity asked
};

class SocketInstance : public DriverInstance {
public:
    SocketInstance(std::string path, std::string className)
        : driver_(std::make_shared<Driver>()), className_(std::move(className)) {
        driver_->path = std::move(path);
    }

    std::string ClassName() const override { return className_; }
    std::string Name() const override { return driver_->path.substr(driver_->path.rfind('/') + 1); }

    kern_return_t Open(uint32_t type, std::unique_ptr<UserClient> *client) override {
        int64_t deadline = bus::MonotonicMs() + DriverBusCallTimeout();
        bus::StopWatch stop = detail::CurrentRunLoopStopWatch(kStopGraceMs);
        int fd = -1;
        kern_return_t result = Connect(driver_->path, deadline, &stop, &fd);
        if (result != KERN_SUCCESS) {
            return result;
        }
        result = CheckPeer(fd, *driver_);
        if (result != KERN_SUCCESS) {
            close(fd);
            return result;
        }
        auto socketClient = std::make_unique<SocketClient>(fd, driver_);
        uint32_t got = 0;
        result =
            socketClient->Call(bus::kOpen, type, nullptr, 0, SocketClient::NoOutput(), 0, &got);
        if (result != KERN_SUCCESS) {
            return result;
        }
        *client = std::move(socketClient);
        return KERN_SUCCESS;
    }

private:
    std::shared_ptr<Driver> driver_;
    std::string className_;
};

} // namespace

void SetDriverBusCallTimeout(uint32_t ms) {
    gCallTimeoutMs.store(ms == 0 ? 1 : ms);
}

uint32_t DriverBusCallTimeout() {
    return gCallTimeoutMs.load();
}

namespace detail {

std::shared_ptr<DriverInstance> MakeSocketInstance(std::string path, std::string className) {
    return std::make_shared<SocketInstance>(std::move(path), std::move(className));
}

std::string TrustedUsers() {
    uid_t self = geteuid();
    return self == 0 ? "root" : "user " + std::to_string(self) + " or root";
}

} // namespace detail
} // namespace trelvox::platform
