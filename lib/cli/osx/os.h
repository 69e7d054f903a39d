// The OS layer's user-client transport and signal mapping.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Signal mapping
// ---------------------------------------------------------------------------
// The runtime speaks of eight portable signal indexes: 0 SIGINT, 1 SIGTERM,
// 2 SIGABRT, 3 SIGQUIT, 4 SIGKILL, 5 SIGHUP, 6 SIGPIPE, 7 SIGXFSZ.
// kOsSignalNone stands for any other signal.
inline constexpr uint32_t kOsSignalCount = 8;
inline constexpr int32_t kOsSignalNone = 8;

// A process-level handler; receives the POSIX signal number.
using OsSignalHandlerFn = void (*)(int32_t sig);

// The portable index of a POSIX signal number, or kOsSignalNone.
int32_t OsSignalGet(int32_t sig);
// Installs handler for the index's POSIX signal; a null handler ignores the
// signal. An index above 7 installs nothing; a refusal by the system (as for
// SIGKILL) is accepted silently.
void OsSignalHook(uint32_t index, OsSignalHandlerFn handler);

// ---------------------------------------------------------------------------
// User-client transport
// ---------------------------------------------------------------------------
// Owns the buffers of an I/O-control resource record, fills the method input
// for each request class and performs the request as one structure method
// call on the driver's user client. Multi-byte wire fields are little-endian
// bytes (see lib/cli/shared/cli_ioctl_wire.h for the helpers).

#include <cstddef>

#include "lib/driver/controller_interface.h"

struct CliIoctlHandle;
struct CliIoctlResource;

// User-client method selectors: the driver's own (lib/driver), and those
// that carry the I/O-control request classes.
inline constexpr uint32_t kOsIoctlSelOpen = kDriverMethodOpen;
inline constexpr uint32_t kOsIoctlSelClose = kDriverMethodClose;
inline constexpr uint32_t kOsIoctlSelVda = 4;
inline constexpr uint32_t kOsIoctlSelInline = 5;
inline constexpr uint32_t kOsIoctlSelEventLog = kDriverMethodEventLog;
inline constexpr uint32_t kOsIoctlSelSpare = 8; // accepted, chosen by no class
inline constexpr uint32_t kOsIoctlSelHba = 9;
inline constexpr uint32_t kOsIoctlSelCsmi = 10;
inline constexpr uint32_t kOsIoctlSelRaw = 11;
inline constexpr uint32_t kOsIoctlSelVsa = 12;
inline constexpr uint32_t kOsIoctlSelUnset = 13;

inline constexpr uint32_t kOsIoctlInlineMagic = 6192;   // at +3100 of every inline request
inline constexpr uint32_t kOsIoctlOpPassThru = 0x10000; // classes 1 and 2

// Input of the inline form (selector 5).
struct OsIoctlInlineReq {
    uint8_t operation[4]; // class 0: by access; classes 1 and 2: kOsIoctlOpPassThru
    uint8_t direction[4]; // class 0: 0; class 1: 0; class 2: 1
    uint8_t dataLen[4];   // classes 1 and 2
    uint8_t addrLow[4];   // classes 1 and 2: payload address, low 32 bits
    uint8_t addrHigh[4];  // classes 1 and 2: payload address, high 32 bits
    uint8_t pad20[4];     //
    uint8_t inlineLen[4]; // class 0: data length
    uint8_t data[3072];   // class 0 writes: the data
    uint8_t magic[4];     // kOsIoctlInlineMagic
};
static_assert(sizeof(OsIoctlInlineReq) == 3104);
static_assert(offsetof(OsIoctlInlineReq, direction) == 4);
static_assert(offsetof(OsIoctlInlineReq, dataLen) == 8);
static_assert(offsetof(OsIoctlInlineReq, addrLow) == 12);
static_assert(offsetof(OsIoctlInlineReq, addrHigh) == 16);
static_assert(offsetof(OsIoctlInlineReq, inlineLen) == 24);
static_assert(offsetof(OsIoctlInlineReq, data) == 28);
static_assert(offsetof(OsIoctlInlineReq, magic) == 3100);

// Output of the inline form (selector 5).
struct OsIoctlInlineRsp {
    uint8_t status[4];  // driver status, 0 is success
    uint8_t pad4[12];   //
    uint8_t data[3072]; // class 0 reads: the data
};
static_assert(sizeof(OsIoctlInlineRsp) == 3088);
static_assert(offsetof(OsIoctlInlineRsp, data) == 16);

// Input of the descriptor form (selectors 4 and 8 to 12); its output is one
// 32-bit driver status word.
struct OsIoctlDescReq {
    uint8_t address[8]; // payload address
    uint8_t dataLen[4];
    uint8_t code[4]; // class 4: the CSMI code; else 0
};
static_assert(sizeof(OsIoctlDescReq) == 16);
static_assert(offsetof(OsIoctlDescReq, dataLen) == 8);
static_assert(offsetof(OsIoctlDescReq, code) == 12);

inline constexpr uint32_t kOsIoctlDescRspSize = 4;

bool OsIoctlRsrcAlloc(CliIoctlResource *rsrc);
void OsIoctlRsrcFree(CliIoctlResource *rsrc);
// Where a class's data lie in the record's buffers; null when the buffers
// cannot hold them.
void *OsIoctlPayloadPtr(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass,
                        uint32_t access);
// Zeroes the buffers, fills the method input and returns the data pointer,
// or null when the length does not fit.
void *OsIoctlInit(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass, uint32_t access,
                  uint32_t code, uint32_t length);
bool OsIoctlSend(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass, uint32_t subArg,
                 uint32_t *statusOut, uint32_t timeout);
void OsIoctlHndFree(CliIoctlHandle *hnd);
bool OssOpenUserClient(uint32_t connection);
bool OssCloseUserClient(uint32_t connection);
bool OssIoctlSend(uint32_t connection, CliIoctlResource *rsrc);
