// trelvoxsim's socket: publishing, accepting the service's connections and
// answering its frames (lib/platform/bus_frames.h).
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "lib/platform/bus_frames.h"
#include "tools/trelvoxsim/sim_driver.h"

namespace trelvoxsim {

namespace bus = trelvox::platform::bus;

namespace {

// A request is read and answered within this time; a service that stops
// reading loses its connection.
constexpr int64_t kFrameTimeoutMs = 5000;

} // namespace

SimDriver::SimDriver(const Options &options, ReplySource *source, Recorder *recorder)
    : options_(options), source_(source), recorder_(recorder), inbox_(bus::kRequestBufferSize) {
    std::string name = options_.name;
    if (name.empty()) {
        name = options_.className + "." + std::to_string(getpid());
    }
    path_ = options_.directory + "/" + name;
    hiddenPath_ = options_.directory + "/." + name + ".new";
}

SimDriver::~SimDriver() {
    Unload();
}

void SimDriver::Note(const char *format, ...) {
    if (!options_.verbose) {
        return;
    }
    va_list args;
    va_start(args, format);
    fputs("trelvoxsim: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

bool SimDriver::Load(std::string *error) {
    // The directory is made as the service would make it: one level,
    // writable by its owner only.
    if (mkdir(options_.directory.c_str(), 0755) != 0 && errno != EEXIST) {
        *error =
            "cannot create the driver directory " + options_.directory + ": " + strerror(errno);
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (hiddenPath_.size() >= sizeof address.sun_path) {
        *error = "the socket path " + path_ + " is too long";
        return false;
    }
    memcpy(address.sun_path, hiddenPath_.c_str(), hiddenPath_.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("cannot create a socket: ") + strerror(errno);
        return false;
    }
    unlink(hiddenPath_.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0 || rename(hiddenPath_.c_str(), path_.c_str()) != 0) {
        *error = "cannot publish " + path_ + ": " + strerror(errno);
        unlink(hiddenPath_.c_str());
        close(fd);
        return false;
    }
    listenFd_ = fd;
    Note("loaded at %s", path_.c_str());
    return true;
}

void SimDriver::Unload() {
    if (listenFd_ < 0) {
        return;
    }
    // The socket goes first, so that the service, seeing its connection
    // drop, finds no instance to connect to again.
    unlink(path_.c_str());
    close(listenFd_);
    listenFd_ = -1;
    for (const Connection &connection : connections_) {
        close(connection.fd);
    }
    connections_.clear();
    Note("unloaded");
}

void SimDriver::Accept() {
    for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        connections_.push_back(Connection{fd});
        Note("connection %d accepted", fd);
    }
}

bool SimDriver::Serve(int timeoutMs) {
    std::vector<pollfd> &fds = pollFds_;
    fds.clear();
    if (listenFd_ >= 0) {
        fds.push_back(pollfd{listenFd_, POLLIN, 0});
    }
    for (const Connection &connection : connections_) {
        fds.push_back(pollfd{connection.fd, POLLIN, 0});
    }
    if (fds.empty()) {
        poll(nullptr, 0, timeoutMs);
        return !done_;
    }
    if (poll(fds.data(), fds.size(), timeoutMs) <= 0) {
        return !done_;
    }
    for (const pollfd &p : fds) {
        if (p.revents == 0) {
            continue;
        }
        if (p.fd == listenFd_) {
            Accept();
            continue;
        }
        if (!Handle(p.fd)) {
            close(p.fd);
            for (size_t i = 0; i < connections_.size(); ++i) {
                if (connections_[i].fd == p.fd) {
                    connections_.erase(connections_.begin() + static_cast<ptrdiff_t>(i));
                    break;
                }
            }
            Note("connection %d closed", p.fd);
        }
        if (done_) {
            break;
        }
    }
    return !done_;
}

bool SimDriver::ShouldFail(bool open, uint32_t selector) {
    bool target =
        open ? options_.failTarget == FailTarget::kOpen
             : options_.failTarget == FailTarget::kMethod && options_.failSelector == selector;
    if (!target) {
        return false;
    }
    return failTargetCalls_++ >= options_.failAfter;
}

bool SimDriver::Reply(int fd, int32_t result, const void *output, uint32_t size) {
    bus::ReplyHeader header{bus::kReplyMagic, result, size};
    return bus::SendFrame(fd, &header, sizeof header, output, size,
                          bus::MonotonicMs() + kFrameTimeoutMs) == bus::IoStatus::kOk;
}

bool SimDriver::Handle(int fd) {
    // Serve polled the connection: the request is there, header and input
    // come in one receive. No method of the driver looks at the input.
    int64_t deadline = bus::MonotonicMs() + kFrameTimeoutMs;
    size_t frameSize = 0;
    bus::IoStatus status =
        bus::RecvRequest(fd, inbox_.data(), inbox_.size(), false, deadline, nullptr, &frameSize);
    if (status == bus::IoStatus::kImpossible) {
        Note("impossible request on connection %d; closing it", fd);
        return false;
    }
    if (status != bus::IoStatus::kOk) {
        return false; // closed by the service, or cut short
    }
    bus::RequestHeader request;
    memcpy(&request, inbox_.data(), sizeof request);
    bool open = request.kind == bus::kOpen;
    if (ShouldFail(open, request.selector)) {
        if (options_.failHang) {
            Note("not answering %s %u", open ? "open of type" : "method", request.selector);
            return true;
        }
        return Reply(fd, options_.failCode, nullptr, 0);
    }
    if (open) {
        return Reply(fd, request.selector == kDriverConnectionType ? 0 : kResultBadArgument,
                     nullptr, 0);
    }
    if (request.kind == bus::kScalar) {
        bool known =
            request.selector == kDriverMethodOpen || request.selector == kDriverMethodClose;
        return Reply(fd, known ? 0 : kResultUnsupported, nullptr, 0);
    }
    if (request.selector != kDriverMethodEventLog) {
        return Reply(fd, kResultUnsupported, nullptr, 0);
    }
    if (request.outputCapacity < sizeof(trelvoxsim::Reply)) {
        return Reply(fd, kResultBadArgument, nullptr, 0);
    }
    if (options_.exitWhenDone && source_->Done()) {
        // The service has taken everything and asks for more: time to go.
        Note("all text sent");
        done_ = true;
        return true;
    }
    trelvoxsim::Reply reply;
    source_->Next(bus::MonotonicMs(), &reply);
    if (!Reply(fd, 0, &reply, sizeof reply)) {
        return false;
    }
    if (recorder_ != nullptr && !recorder_->Write(reply)) {
        fprintf(stderr, "trelvoxsim: cannot write the record: %s\n", strerror(errno));
        recorder_ = nullptr;
    }
    return true;
}

} // namespace trelvoxsim
