// Frame checks and socket transfers of the driver bus, shared by the
// stand-in and driver programs.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <ctime>

#include "lib/platform/bus_frames.h"

namespace trelvox::platform::bus {

bool RequestIsValid(const RequestHeader &header) {
    if (header.magic != kRequestMagic) {
        return false;
    }
    if (header.inputSize > kMaxPayload || header.outputCapacity > kMaxPayload) {
        return false;
    }
    switch (header.kind) {
    case kOpen:
        return header.inputSize == 0 && header.outputCapacity == 0;
    case kScalar:
        return header.inputSize % 8 == 0 && header.outputCapacity % 8 == 0 &&
               header.inputSize / 8 <= kMaxScalarCount &&
               header.outputCapacity / 8 <= kMaxScalarCount;
    case kStruct:
        return true;
    default:
        return false;
    }
}

bool ReplyIsValid(const ReplyHeader &header, uint32_t kind, uint32_t capacity) {
    if (header.magic != kReplyMagic || header.outputSize > capacity ||
        header.outputSize > kMaxPayload) {
        return false;
    }
    return kind != kScalar || header.outputSize % 8 == 0;
}

int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

// Waits until fd is ready for the events or the deadline passes. Interrupted
// waits resume with the time that is left.
IoStatus WaitReady(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        int timeout = -1;
        if (deadlineMs >= 0) {
            int64_t left = deadlineMs - MonotonicMs();
            if (left <= 0) {
                return IoStatus::kTimeout;
            }
            timeout = left > 60000 ? 60000 : static_cast<int>(left);
        }
        pollfd p{fd, events, 0};
        int ready = poll(&p, 1, timeout);
        if (ready > 0) {
            // Errors and hang-ups are left to the next transfer to report.
            return IoStatus::kOk;
        }
        if (ready < 0 && errno != EINTR) {
            return IoStatus::kError;
        }
    }
}

IoStatus FromErrno(int error) {
    return error == EPIPE || error == ECONNRESET ? IoStatus::kClosed : IoStatus::kError;
}

} // namespace

IoStatus SendAll(int fd, const void *data, size_t n, int64_t deadlineMs) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t sent = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            p += sent;
            n -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            IoStatus waited = WaitReady(fd, POLLOUT, deadlineMs);
            if (waited != IoStatus::kOk) {
                return waited;
            }
            continue;
        }
        return sent == 0 ? IoStatus::kError : FromErrno(errno);
    }
    return IoStatus::kOk;
}

IoStatus RecvAll(int fd, void *data, size_t n, int64_t deadlineMs) {
    char *p = static_cast<char *>(data);
    while (n > 0) {
        ssize_t got = recv(fd, p, n, MSG_DONTWAIT);
        if (got > 0) {
            p += got;
            n -= static_cast<size_t>(got);
            continue;
        }
        if (got == 0) {
            return IoStatus::kClosed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            IoStatus waited = WaitReady(fd, POLLIN, deadlineMs);
            if (waited != IoStatus::kOk) {
                return waited;
            }
            continue;
        }
        return FromErrno(errno);
    }
    return IoStatus::kOk;
}

IoStatus SendFrame(int fd, const void *header, size_t headerSize, const void *payload,
                   size_t payloadSize, int64_t deadlineMs) {
    // Header and payload usually leave in one call; whatever the socket did
    // not take is sent by SendAll.
    iovec parts[2] = {{const_cast<void *>(header), headerSize},
                      {const_cast<void *>(payload), payloadSize}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = payloadSize > 0 ? 2 : 1;
    ssize_t sent;
    do {
        sent = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    size_t done = 0;
    if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return FromErrno(errno);
        }
    } else {
        done = static_cast<size_t>(sent);
    }
    if (done < headerSize) {
        IoStatus status =
            SendAll(fd, static_cast<const char *>(header) + done, headerSize - done, deadlineMs);
        if (status != IoStatus::kOk) {
            return status;
        }
        done = headerSize;
    }
    size_t payloadDone = done - headerSize;
    if (payloadDone < payloadSize) {
        return SendAll(fd, static_cast<const char *>(payload) + payloadDone,
                       payloadSize - payloadDone, deadlineMs);
    }
    return IoStatus::kOk;
}

} // namespace trelvox::platform::bus
