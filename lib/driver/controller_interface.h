// The user-client interface of the TrelvoxController adapter driver, as both
// ends know it: the connection type, the methods, the event-log request and
// reply (structure method 6), and the record in which trelvoxsim and the
// tests keep replies. The service, the I/O-control transport, the platform
// stand-in and trelvoxsim all take it from here. (The end-to-end tests read
// the same layouts again in Python, on purpose: an independent reading.)
#pragma once

#include <cstddef>
#include <cstdint>

// The driver's class, which its instances are published under.
inline constexpr char kDriverClass[] = "TrelvoxController";

// IOServiceOpen's connection type.
inline constexpr uint32_t kDriverConnectionType = 0;

// Methods of the user client. Structure methods 4, 5 and 8 to 12 carry
// I/O-control requests (lib/cli/osx/os.h).
inline constexpr uint32_t kDriverMethodOpen = 0;     // scalar, no values: open the user client
inline constexpr uint32_t kDriverMethodClose = 1;    // scalar, no values: close it
inline constexpr uint32_t kDriverMethodEventLog = 6; // structure: the event-log reply

// Method 6's input: 8 bytes, all zero.
inline constexpr uint32_t kCltEventRequestSize = 8;
inline constexpr uint32_t kCltEventTextSize = 1024;

// Method 6's output, host byte order; the service knows it as CltEventReply.
struct CltEventReply {
    int32_t lostBytes; // event-log bytes the driver had to drop; 0 when none
    uint32_t textLen;  // valid bytes in eventText; above 1024 counts as 1024
    uint32_t waitFlag; // 0: ask again at once; otherwise wait first
    char eventText[kCltEventTextSize];
};
static_assert(sizeof(CltEventReply) == 1036);
static_assert(offsetof(CltEventReply, lostBytes) == 0);
static_assert(offsetof(CltEventReply, textLen) == 4);
static_assert(offsetof(CltEventReply, waitFlag) == 8);
static_assert(offsetof(CltEventReply, eventText) == 12);
// The reply's fixed fields; a reply shorter than this is no reply.
inline constexpr uint32_t kCltEventHeaderSize = offsetof(CltEventReply, eventText);

// One reply in a record or replay file: this header, then min(textLen, 1024)
// bytes of text. A replay serves the reply `repeat` times in a row; a record
// always writes 1.
struct DriverReplyRecord {
    int32_t lostBytes;
    uint32_t textLen;
    uint32_t waitFlag;
    uint32_t repeat;
};
static_assert(sizeof(DriverReplyRecord) == 16);
static_assert(offsetof(DriverReplyRecord, repeat) == 12);
