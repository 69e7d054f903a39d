// Frames of the driver bus, shared by both ends: the stand-in, which calls a
// driver's user client over a Unix-domain stream socket, and a driver program
// that serves it (tools/trelvoxsim).
//
// Every call is one request frame answered by one reply frame. A frame is a
// fixed header that carries the length of the payload that follows it:
//
//   request: RequestHeader, then inputSize bytes of input
//   reply:   ReplyHeader, then outputSize bytes of output
//
// Host byte order (both ends run on the same machine). Kinds: kOpen is sent
// once on a new connection with the connection type as selector and no
// payload; kScalar carries 64-bit values (sizes are multiples of 8); kStruct
// carries bytes. A reply never holds more output than the request's
// capacity. A caller sends its next request only after the reply to the
// previous one, so a receiver never meets bytes beyond the frame it waits
// for. A frame whose sizes break these rules, or bytes beyond it, are
// impossible: the receiver closes the connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace trelvox::platform::bus {

inline constexpr uint32_t kRequestMagic = 0x51425654; // "TVBQ"
inline constexpr uint32_t kReplyMagic = 0x52425654;   // "TVBR"
// Largest payload in either direction.
inline constexpr uint32_t kMaxPayload = 64 * 1024;
// Largest number of 64-bit values in a scalar call, as the platform allows.
inline constexpr uint32_t kMaxScalarCount = 16;

enum FrameKind : uint32_t {
    kOpen = 1,
    kScalar = 2,
    kStruct = 3,
};

struct RequestHeader {
    uint32_t magic;          // kRequestMagic
    uint32_t kind;           // FrameKind
    uint32_t selector;       // method selector; the connection type for kOpen
    uint32_t inputSize;      // payload bytes that follow
    uint32_t outputCapacity; // most output bytes the caller accepts
};
static_assert(sizeof(RequestHeader) == 20);
static_assert(offsetof(RequestHeader, kind) == 4);
static_assert(offsetof(RequestHeader, selector) == 8);
static_assert(offsetof(RequestHeader, inputSize) == 12);
static_assert(offsetof(RequestHeader, outputCapacity) == 16);

struct ReplyHeader {
    uint32_t magic;      // kReplyMagic
    int32_t result;      // the method's result; 0 is success
    uint32_t outputSize; // payload bytes that follow
};
static_assert(sizeof(ReplyHeader) == 12);
static_assert(offsetof(ReplyHeader, result) == 4);
static_assert(offsetof(ReplyHeader, outputSize) == 8);

// True when a request header describes a possible frame: right magic, a
// known kind, sizes within kMaxPayload, scalar sizes in whole values up to
// kMaxScalarCount, and no payload for kOpen.
bool RequestIsValid(const RequestHeader &header);
// True when a reply header is a possible answer to a request of this kind
// that offered this capacity.
bool ReplyIsValid(const ReplyHeader &header, uint32_t kind, uint32_t capacity);

// Buffer sizes for receiving a whole frame at once: the largest frame the
// receiver accepts and one byte more, so that bytes a peer sent beyond its
// frame show in the same receive.
inline constexpr size_t kRequestBufferSize = sizeof(RequestHeader) + kMaxPayload + 1;
inline constexpr size_t ReplyBufferSize(uint32_t capacity) {
    return sizeof(ReplyHeader) + capacity + 1;
}

// Outcome of moving bytes over a socket.
enum class IoStatus {
    kOk,
    kClosed,  // the peer closed the connection (or reset it)
    kTimeout, // the deadline passed
    kStopped, // a stop was asked for and the peer did not finish in its grace
    kError,   // any other failure of the socket
    // The frame breaks the rules: an impossible header, or bytes beyond the
    // frame (a caller sends its next request only after the reply to the
    // previous one, and a driver sends one reply per request).
    kImpossible,
};

// What lets a stop cut a transfer short: wakeFd becomes readable when a stop
// may have been asked for, and stopPending says whether one was. From the
// moment a stop is seen the transfer has graceMs more, so that a peer that
// answers is not cut off in mid-call, and then ends with kStopped. A watch
// without a descriptor never stops anything.
struct StopWatch {
    int wakeFd = -1;
    const std::atomic<bool> *stopPending = nullptr;
    int64_t graceMs = 0;
    int64_t cutAtMs = -1; // MonotonicMs when the grace ends; -1: no stop seen
};

// Milliseconds of a monotonic clock, for deadlines.
int64_t MonotonicMs();

// Whether the watch has seen a stop (and so started the grace) by now.
bool StopSeen(StopWatch *stop);

// Sends all n bytes, waiting while the socket is full, until the deadline
// (MonotonicMs value; below 0: no deadline) or a stop (stop may be null).
// Never raises SIGPIPE: a peer that has gone gives kClosed. The descriptor
// may be blocking or not.
IoStatus SendAll(int fd, const void *data, size_t n, int64_t deadlineMs, StopWatch *stop = nullptr);
// Receives exactly n bytes, waiting until the deadline (below 0: none) or a
// stop. End of stream before n bytes gives kClosed.
IoStatus RecvAll(int fd, void *data, size_t n, int64_t deadlineMs, StopWatch *stop = nullptr);

// Sends one header and its payload (payloadSize bytes; payload may be null
// when the size is 0) as one frame.
IoStatus SendFrame(int fd, const void *header, size_t headerSize, const void *payload,
                   size_t payloadSize, int64_t deadlineMs, StopWatch *stop = nullptr);

// Receives one whole request frame into buf (bufSize bytes, at least
// kRequestBufferSize): the header at the start, its input after it. Each
// receive asks for all the buffer can hold, so a frame that has arrived
// comes in one system call. With waitFirst the socket is polled before the
// first receive (the frame is not expected yet); without, the caller knows
// the socket is readable. kImpossible when the header is refused by
// RequestIsValid or more bytes than the frame came; the header is then in
// buf. *frameSize receives the frame's size on kOk.
IoStatus RecvRequest(int fd, void *buf, size_t bufSize, bool waitFirst, int64_t deadlineMs,
                     StopWatch *stop, size_t *frameSize);
// The same for the reply to a request of this kind and capacity (bufSize at
// least ReplyBufferSize(capacity)); the header is refused by ReplyIsValid.
IoStatus RecvReply(int fd, uint32_t kind, uint32_t capacity, void *buf, size_t bufSize,
                   bool waitFirst, int64_t deadlineMs, StopWatch *stop, size_t *frameSize);

} // namespace trelvox::platform::bus
