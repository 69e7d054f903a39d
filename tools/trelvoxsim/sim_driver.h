// trelvoxsim's driver instance on the bus: the published socket, the
// connections of the service, and the user-client methods it serves.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/trelvoxsim/sim_options.h"
#include "tools/trelvoxsim/sim_replies.h"

namespace trelvoxsim {

inline constexpr int32_t kResultBadArgument = static_cast<int32_t>(0xE00002C2);
inline constexpr int32_t kResultUnsupported = static_cast<int32_t>(0xE00002C7);

class SimDriver {
public:
    SimDriver(const Options &options, ReplySource *source, Recorder *recorder);
    ~SimDriver();
    SimDriver(const SimDriver &) = delete;
    SimDriver &operator=(const SimDriver &) = delete;

    // Creates the socket under a hidden name, listens, and renames it into
    // place, so that the service never finds a socket that does not accept
    // yet. False with a message in *error.
    bool Load(std::string *error);
    // Removes the socket and drops every connection.
    void Unload();
    bool Loaded() const { return listenFd_ >= 0; }
    const std::string &SocketPath() const { return path_; }

    // Waits up to timeoutMs for connections and requests and serves them.
    // Returns false when the driver is done: --exit-when-done and the
    // service asked for more after the last text.
    bool Serve(int timeoutMs);

private:
    struct Connection {
        int fd;
    };

    void Accept();
    // False when the connection is to be dropped.
    bool Handle(int fd);
    bool Reply(int fd, int32_t result, const void *output, uint32_t size);
    // Whether this call of the target is to fail (counts the calls).
    bool ShouldFail(bool open, uint32_t selector);
    void Note(const char *format, ...) __attribute__((format(printf, 2, 3)));

    Options options_;
    ReplySource *source_;
    Recorder *recorder_;
    std::string path_;
    std::string hiddenPath_;
    int listenFd_ = -1;
    std::vector<Connection> connections_;
    std::vector<pollfd> pollFds_; // Serve's, kept between calls
    std::vector<char> inbox_;     // one whole request frame
    uint32_t failTargetCalls_ = 0;
    bool done_ = false;
};

} // namespace trelvoxsim
