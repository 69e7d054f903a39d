// Wire formats of I/O-control requests as the adapter driver reads them: the
// versioned class header, the tunnel header and the remote block. Every
// multi-byte field is little-endian on the wire and is kept here as bytes,
// written and read only through the helpers below, so that the layout is the
// same on a host of either byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Byte-order helpers for wire fields
// ---------------------------------------------------------------------------

inline void CliIoctlPutLe32(void *field, uint32_t value) {
    auto *p = static_cast<uint8_t *>(field);
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void CliIoctlPutLe64(void *field, uint64_t value) {
    auto *p = static_cast<uint8_t *>(field);
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint32_t CliIoctlGetLe32(const void *field) {
    const auto *p = static_cast<const uint8_t *>(field);
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint64_t CliIoctlGetLe64(const void *field) {
    const auto *p = static_cast<const uint8_t *>(field);
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | p[i];
    }
    return value;
}

// ---------------------------------------------------------------------------
// Class request header: start of the data area of classes 5, 6, 7 and 8
// ---------------------------------------------------------------------------

struct CliIoctlClassHdr {
    uint8_t version;     // request version of the function code
    uint8_t code;        // function code
    uint8_t zero[2];     //
    uint8_t extraLen[4]; // caller's extra length (classes 5 to 7; 0 for class 8)
};
static_assert(sizeof(CliIoctlClassHdr) == 8);
static_assert(offsetof(CliIoctlClassHdr, code) == 1);
static_assert(offsetof(CliIoctlClassHdr, extraLen) == 4);

// ---------------------------------------------------------------------------
// Tunnel header: wraps a class 5 or class 8 request
// ---------------------------------------------------------------------------

inline constexpr char kCliIoctlTunnelMagic[4] = {'K', 'O', 'R', 'V'};
inline constexpr uint8_t kCliIoctlTunnelClassHba = 1;  // a class 5 request inside
inline constexpr uint8_t kCliIoctlTunnelClassRaw = 2;  // a class 8 request inside
inline constexpr uint8_t kCliIoctlTunnelStsGood = 0;   //
inline constexpr uint8_t kCliIoctlTunnelStsNoRsrc = 7; // remote device out of resources
inline constexpr uint8_t kCliIoctlTunnelStsFailed = 8; // the send failed

struct CliIoctlTunnelHdr {
    uint8_t magic[4];     // "KORV"
    uint8_t zero4;        //
    uint8_t tunnelClass;  // kCliIoctlTunnelClassHba or kCliIoctlTunnelClassRaw
    uint8_t status;       // kCliIoctlTunnelSts..., or a status set by the receiver
    uint8_t tag;          // the handle's tunnelTag
    uint8_t guid[16];     // transaction GUID (remote delivery only)
    uint8_t dataLen[4];   // length of the tunnelled request
    uint8_t timeout[4];   // send time-out in seconds
    uint8_t reserved[32]; //
};
static_assert(sizeof(CliIoctlTunnelHdr) == 64);
static_assert(offsetof(CliIoctlTunnelHdr, tunnelClass) == 5);
static_assert(offsetof(CliIoctlTunnelHdr, status) == 6);
static_assert(offsetof(CliIoctlTunnelHdr, tag) == 7);
static_assert(offsetof(CliIoctlTunnelHdr, guid) == 8);
static_assert(offsetof(CliIoctlTunnelHdr, dataLen) == 24);
static_assert(offsetof(CliIoctlTunnelHdr, timeout) == 28);
static_assert(offsetof(CliIoctlTunnelHdr, reserved) == 32);

// ---------------------------------------------------------------------------
// Remote block: a class 5 SCSI pass-through (code 4) whose data buffer is the
// tunnel header and the request behind it, delivered to a remote device by
// WRITE BUFFER and fetched back by READ BUFFER.
// ---------------------------------------------------------------------------

inline constexpr uint8_t kCliScsiOpWriteBuffer = 0x3B;
inline constexpr uint8_t kCliScsiOpReadBuffer = 0x3C;
inline constexpr uint8_t kCliScsiBufferMode = 1;
inline constexpr uint8_t kCliScsiBufferId = 0x16;
inline constexpr uint8_t kCliScsiStatusGood = 0;
inline constexpr uint8_t kCliScsiStatusCheckCondition = 2;
inline constexpr uint8_t kCliScsiTransportShort = 3;
inline constexpr uint8_t kCliIoctlRemoteDataIn = 0x01;
inline constexpr uint8_t kCliIoctlRemoteDataOut = 0x02;
inline constexpr uint8_t kCliIoctlRemoteAlways = 0x04;
inline constexpr uint32_t kCliIoctlSenseSize = 252;
inline constexpr uint32_t kCliIoctlCdbLen = 10;

struct CliIoctlRemoteBlock {
    uint8_t version;                   // +0: 0
    uint8_t code;                      // +1: 4, SCSI pass-through
    uint8_t reqStatus;                 // +2: request status from the driver
    uint8_t pad3;                      //
    uint8_t transferLen[4];            // +4: tunnel length + 64
    uint8_t pad8[56];                  //
    uint8_t cdb[16];                   // +64
    uint8_t pad80[16];                 //
    uint8_t cdbLen;                    // +96: 10
    uint8_t transportStatus;           // +97: 0 good, 3 short transfer
    uint8_t scsiStatus;                // +98: 0 GOOD, 2 CHECK CONDITION
    uint8_t senseLen;                  // +99: 252
    uint8_t flags;                     // +100: kCliIoctlRemoteData...
    uint8_t pad101[3];                 //
    uint8_t timeout[4];                // +104: seconds
    uint8_t target[4];                 // +108: the handle's remoteTarget
    uint8_t pad112;                    //
    uint8_t lun;                       // +113: the handle's remoteLun
    uint8_t pad114[6];                 //
    uint8_t readClear[4];              // +120: cleared before the read step
    uint8_t sense[kCliIoctlSenseSize]; // +124: fixed-format sense data
    uint8_t writeClear;                // +376: cleared before the write step
    uint8_t pad377[39];                //
};
static_assert(sizeof(CliIoctlRemoteBlock) == 416);
static_assert(offsetof(CliIoctlRemoteBlock, reqStatus) == 2);
static_assert(offsetof(CliIoctlRemoteBlock, transferLen) == 4);
static_assert(offsetof(CliIoctlRemoteBlock, cdb) == 64);
static_assert(offsetof(CliIoctlRemoteBlock, cdbLen) == 96);
static_assert(offsetof(CliIoctlRemoteBlock, transportStatus) == 97);
static_assert(offsetof(CliIoctlRemoteBlock, scsiStatus) == 98);
static_assert(offsetof(CliIoctlRemoteBlock, senseLen) == 99);
static_assert(offsetof(CliIoctlRemoteBlock, flags) == 100);
static_assert(offsetof(CliIoctlRemoteBlock, timeout) == 104);
static_assert(offsetof(CliIoctlRemoteBlock, target) == 108);
static_assert(offsetof(CliIoctlRemoteBlock, lun) == 113);
static_assert(offsetof(CliIoctlRemoteBlock, readClear) == 120);
static_assert(offsetof(CliIoctlRemoteBlock, sense) == 124);
static_assert(offsetof(CliIoctlRemoteBlock, writeClear) == 376);

// Fixed-format sense data: sense key byte, additional sense code and qualifier.
inline constexpr uint32_t kCliSenseKeyByte = 2;
inline constexpr uint32_t kCliSenseAsc = 12;
inline constexpr uint32_t kCliSenseAscq = 13;
