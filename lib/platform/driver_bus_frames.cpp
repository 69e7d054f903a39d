// Frame checks and socket transfers of the driver bus, shared by the
// stand-in and driver programs.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

bool StopSeen(StopWatch *stop) {
    if (stop == nullptr || stop->wakeFd < 0 || stop->stopPending == nullptr) {
        return false;
    }
    if (stop->cutAtMs < 0 && stop->stopPending->load()) {
        stop->cutAtMs = MonotonicMs() + stop->graceMs;
    }
    return stop->cutAtMs >= 0;
}

int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

void Drain(int fd) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

// Waits until fd is ready for the events, the deadline passes or a stop's
// grace ends. Interrupted waits resume with the time that is left.
IoStatus WaitReady(int fd, short events, int64_t deadlineMs, StopWatch *stop) {
    for (;;) {
        bool stopping = StopSeen(stop);
        int64_t until = deadlineMs;
        if (stopping && (until < 0 || stop->cutAtMs < until)) {
            until = stop->cutAtMs;
        }
        int timeout = -1;
        if (until >= 0) {
            int64_t left = until - MonotonicMs();
            if (left <= 0) {
                return until == deadlineMs ? IoStatus::kTimeout : IoStatus::kStopped;
            }
            timeout = left > 60000 ? 60000 : static_cast<int>(left);
        }
        // The wake-up descriptor is watched until a stop has been seen.
        pollfd p[2] = {{fd, events, 0},
                       {stopping || stop == nullptr ? -1 : stop->wakeFd, POLLIN, 0}};
        int ready = poll(p, 2, timeout);
        if (ready > 0 && p[0].revents != 0) {
            // Errors and hang-ups are left to the next transfer to report.
            return IoStatus::kOk;
        }
        if (ready > 0 && stop != nullptr && !StopSeen(stop)) {
            Drain(stop->wakeFd); // woken for something else than a stop
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

IoStatus SendAll(int fd, const void *data, size_t n, int64_t deadlineMs, StopWatch *stop) {
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
            IoStatus waited = WaitReady(fd, POLLOUT, deadlineMs, stop);
            if (waited != IoStatus::kOk) {
                return waited;
            }
            continue;
        }
        return sent == 0 ? IoStatus::kError : FromErrno(errno);
    }
    return IoStatus::kOk;
}

IoStatus RecvAll(int fd, void *data, size_t n, int64_t deadlineMs, StopWatch *stop) {
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
            IoStatus waited = WaitReady(fd, POLLIN, deadlineMs, stop);
            if (waited != IoStatus::kOk) {
                return waited;
            }
            continue;
        }
        return FromErrno(errno);
    }
    return IoStatus::kOk;
}

namespace {

// Receives one frame: headerSize bytes of header, then as many bytes as
// lengthOf (the frame's whole size from its header, 0 when impossible)
// says. Each receive asks for the whole rest of the buffer, one byte more
// than any frame the caller accepts, so that a frame that is there comes in
// one receive and bytes beyond it are seen.
template <typename LengthOf>
IoStatus RecvFrame(int fd, char *buf, size_t bufSize, size_t headerSize, LengthOf lengthOf,
                   bool waitFirst, int64_t deadlineMs, StopWatch *stop, size_t *frameSize) {
    *frameSize = 0;
    size_t have = 0;
    size_t frame = 0; // 0 until the header is in
    bool wait = waitFirst;
    for (;;) {
        if (wait) {
            IoStatus waited = WaitReady(fd, POLLIN, deadlineMs, stop);
            if (waited != IoStatus::kOk) {
                return waited;
            }
        }
        ssize_t got = recv(fd, buf + have, bufSize - have, MSG_DONTWAIT);
        if (got == 0) {
            return IoStatus::kClosed;
        }
        if (got < 0) {
            if (errno == EINTR) {
                wait = false;
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait = true;
                continue;
            }
            return FromErrno(errno);
        }
        have += static_cast<size_t>(got);
        if (frame == 0 && have >= headerSize) {
            frame = lengthOf(buf);
            // A frame that would fill the buffer leaves no byte to tell
            // whether more came: a caller's buffer too small is refused too.
            if (frame == 0 || frame >= bufSize) {
                return IoStatus::kImpossible;
            }
        }
        if (frame != 0 && have > frame) {
            return IoStatus::kImpossible;
        }
        if (frame != 0 && have == frame) {
            *frameSize = frame;
            return IoStatus::kOk;
        }
        wait = true; // the rest of the frame is still on its way
    }
}

} // namespace

IoStatus RecvRequest(int fd, void *buf, size_t bufSize, bool waitFirst, int64_t deadlineMs,
                     StopWatch *stop, size_t *frameSize) {
    auto lengthOf = [](const char *bytes) -> size_t {
        RequestHeader header;
        memcpy(&header, bytes, sizeof header);
        return RequestIsValid(header) ? sizeof header + header.inputSize : 0;
    };
    return RecvFrame(fd, static_cast<char *>(buf), bufSize, sizeof(RequestHeader), lengthOf,
                     waitFirst, deadlineMs, stop, frameSize);
}

IoStatus RecvReply(int fd, uint32_t kind, uint32_t capacity, void *buf, size_t bufSize,
                   bool waitFirst, int64_t deadlineMs, StopWatch *stop, size_t *frameSize) {
    auto lengthOf = [kind, capacity](const char *bytes) -> size_t {
        ReplyHeader header;
        memcpy(&header, bytes, sizeof header);
        return ReplyIsValid(header, kind, capacity) ? sizeof header + header.outputSize : 0;
    };
    return RecvFrame(fd, static_cast<char *>(buf), bufSize, sizeof(ReplyHeader), lengthOf,
                     waitFirst, deadlineMs, stop, frameSize);
}

IoStatus SendFrame(int fd, const void *header, size_t headerSize, const void *payload,
                   size_t payloadSize, int64_t deadlineMs, StopWatch *stop) {
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
        IoStatus status = SendAll(fd, static_cast<const char *>(header) + done, headerSize - done,
                                  deadlineMs, stop);
        if (status != IoStatus::kOk) {
            return status;
        }
        done = headerSize;
    }
    size_t payloadDone = done - headerSize;
    if (payloadDone < payloadSize) {
        return SendAll(fd, static_cast<const char *>(payload) + payloadDone,
                       payloadSize - payloadDone, deadlineMs, stop);
    }
    return IoStatus::kOk;
}

} // namespace trelvox::platform::bus
