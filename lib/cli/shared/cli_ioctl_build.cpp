// Building an I/O-control request: the layout of the data area in the
// record's buffers, the method input (through the OS layer) and the class
// header, tunnel header and remote block that precede the caller's data.
#include <cstring>

#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_ioctl_wire.h"

namespace {

constexpr uint32_t kCsmiClearSize = 2064; // the largest CSMI request
constexpr uint32_t kHbaHeaderSize = 64;   // an HBA request's fixed part starts here
constexpr uint32_t kVdaFixedSize = 272;
constexpr uint32_t kVsaFixedSize = 528;
constexpr uint32_t kRawFixedSize = 64;
constexpr uint32_t kHbaCodeScsiPassThru = 4;
constexpr uint64_t kRemoteTransferMax = 0xFFFFFF;

// Forgets the layout of the previous request.
void ClearLayout(CliIoctlResource *r) {
    r->classData = nullptr;
    r->remoteBlock = nullptr;
    r->tunnelHdr = nullptr;
    r->dataOffset = 0;
    r->dataArea = nullptr;
}

// A build that cannot be completed leaves no request behind: no layout and
// the unset selector, which the send routine refuses.
void *Refuse(CliIoctlResource *r) {
    ClearLayout(r);
    r->selector = kOsIoctlSelUnset;
    return nullptr;
}

// Tunnel mode: [remote block] tunnel header, data area, at the payload start.
bool LayOutTunnel(CliIoctlHandle *hnd, CliIoctlResource *r) {
    auto *start = static_cast<uint8_t *>(OsIoctlPayloadPtr(hnd, r, kCliIoctlClassHba, 0));
    const uint32_t hdrOffset = hnd->remoteMode ? kCliIoctlRemoteBlockSize : 0;
    if (start == nullptr || r->payloadSize < hdrOffset + kCliIoctlTunnelHdrSize) {
        return false;
    }
    r->classData = start;
    if (hnd->remoteMode) {
        memset(start, 0, kCliIoctlRemoteBlockSize);
        r->remoteBlock = reinterpret_cast<CliIoctlRemoteBlock *>(start);
    }
    memset(start + hdrOffset, 0, kCliIoctlTunnelHdrSize);
    r->tunnelHdr = reinterpret_cast<CliIoctlTunnelHdr *>(start + hdrOffset);
    r->dataArea = start + hdrOffset + kCliIoctlTunnelHdrSize;
    r->dataOffset = hdrOffset + kCliIoctlTunnelHdrSize;
    return true;
}

// The OS layer's method input for a request of the given length; false when
// the length does not fit 32 bits or the record's buffers.
bool InitMethod(CliIoctlHandle *hnd, CliIoctlResource *r, uint32_t ioctlClass, uint32_t access,
                uint32_t code, uint64_t length) {
    if (length > UINT32_MAX) {
        return false;
    }
    return OsIoctlInit(hnd, r, ioctlClass, access, code, static_cast<uint32_t>(length)) ==
           r->classData;
}

// Classes 5 and 8 travel as a class 5 SCSI pass-through in tunnel mode.
bool InitTunnelable(CliIoctlHandle *hnd, CliIoctlResource *r, uint32_t ioctlClass, uint32_t code,
                    uint64_t length, uint8_t tunnelClass) {
    if (r->tunnelHdr == nullptr) {
        return InitMethod(hnd, r, ioctlClass, 0, code, length);
    }
    // The remote device is told the transfer length in three CDB bytes.
    if (r->remoteBlock != nullptr && length + kCliIoctlTunnelHdrSize > kRemoteTransferMax) {
        return false;
    }
    if (!InitMethod(hnd, r, kCliIoctlClassHba, 0, kHbaCodeScsiPassThru, r->dataOffset + length)) {
        return false;
    }
    r->tunnelHdr->tunnelClass = tunnelClass;
    CliIoctlPutLe32(r->tunnelHdr->dataLen, static_cast<uint32_t>(length));
    return true;
}

void SetClassHdr(void *dataArea, uint8_t version, uint32_t code, uint32_t extra) {
    auto *hdr = static_cast<CliIoctlClassHdr *>(dataArea);
    hdr->version = version;
    hdr->code = static_cast<uint8_t>(code);
    CliIoctlPutLe32(hdr->extraLen, extra);
}

void FinishTunnel(CliIoctlHandle *hnd, CliIoctlResource *r) {
    CliIoctlTunnelHdr *tunnel = r->tunnelHdr;
    if (tunnel == nullptr) {
        return;
    }
    memcpy(tunnel->magic, kCliIoctlTunnelMagic, sizeof tunnel->magic);
    tunnel->zero4 = 0;
    tunnel->tag = hnd->tunnelTag;
    if (CliIoctlRemoteBlock *remote = r->remoteBlock) {
        // Building the method input cleared the payload, the remote block's
        // request header included; it is a SCSI pass-through again.
        remote->version = 0;
        remote->code = kHbaCodeScsiPassThru;
        CliIoctlPutLe32(remote->transferLen,
                        CliIoctlGetLe32(tunnel->dataLen) + kCliIoctlTunnelHdrSize);
    }
}

} // namespace

void *CliIoctlInitTs(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass,
                     uint32_t access, uint32_t code, uint32_t extra) {
    CliIoctlResource *r = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    const bool tunnelMode = hnd != nullptr && hnd->tunnelMode;
    ClearLayout(r);
    r->selector = kOsIoctlSelUnset;

    if (tunnelMode) {
        if (!LayOutTunnel(hnd, r)) {
            return Refuse(r);
        }
    } else {
        void *data = OsIoctlPayloadPtr(hnd, r, ioctlClass, access);
        if (data == nullptr) {
            return Refuse(r);
        }
        r->classData = data;
        r->dataArea = data;
    }

    // In tunnel mode only classes 5 and 8 can be built. Class 0 data never
    // lie in the payload, so such a request does not fit; any other class is
    // refused before anything is written behind the tunnel header.
    const bool tunnelable = ioctlClass == kCliIoctlClassHba || ioctlClass == kCliIoctlClassRaw;
    if (tunnelMode && !tunnelable) {
        if (ioctlClass == kCliIoctlClassInline) {
            OsIoctlInit(hnd, r, ioctlClass, access, code, extra);
            return Refuse(r);
        }
        CliPrintErrorFunc("CliIoctlInitTs");
    }

    void *const data = r->dataArea;
    const uint64_t extra64 = extra;
    switch (ioctlClass) {
    case kCliIoctlClassInline:
    case kCliIoctlClassRead:
    case kCliIoctlClassWrite:
        if (!InitMethod(hnd, r, ioctlClass, access, code, extra64)) {
            return Refuse(r);
        }
        return data;

    case kCliIoctlClassCsmi: {
        const uint64_t length = CliIoctlCsmiGetLen(code) + extra64;
        if (!InitMethod(hnd, r, ioctlClass, 0, code, length)) {
            return Refuse(r);
        }
        // Pre-clear the largest CSMI request, as far as the payload reaches.
        const uint32_t room = r->payloadSize - r->dataOffset;
        memset(data, 0, room < kCsmiClearSize ? room : kCsmiClearSize);
        return data;
    }

    case kCliIoctlClassHba: {
        const uint64_t length = extra64 + CliIoctlHbaGetLen(code) + kHbaHeaderSize;
        if (!InitTunnelable(hnd, r, ioctlClass, code, length, kCliIoctlTunnelClassHba)) {
            return Refuse(r);
        }
        memset(data, 0, static_cast<size_t>(length));
        SetClassHdr(data, CliIoctlHbaGetVer(code), code, extra);
        FinishTunnel(hnd, r);
        return data;
    }

    case kCliIoctlClassVda: {
        const uint64_t length = extra64 + kVdaFixedSize;
        if (!InitMethod(hnd, r, ioctlClass, 0, code, length)) {
            return Refuse(r);
        }
        memset(data, 0, static_cast<size_t>(length));
        SetClassHdr(data, CliIoctlVdaGetVer(code), code, extra);
        return data;
    }

    case kCliIoctlClassVsa: {
        const uint64_t length = extra64 + kVsaFixedSize;
        if (!InitMethod(hnd, r, ioctlClass, 0, code, length)) {
            return Refuse(r);
        }
        memset(data, 0, static_cast<size_t>(length));
        SetClassHdr(data, CliIoctlVsaGetVer(code), code, extra);
        return data;
    }

    case kCliIoctlClassRaw: {
        const uint64_t length = extra64 + kRawFixedSize;
        if (!InitTunnelable(hnd, r, ioctlClass, code, length, kCliIoctlTunnelClassRaw)) {
            return Refuse(r);
        }
        memset(data, 0, static_cast<size_t>(length));
        SetClassHdr(data, 0, code, 0);
        FinishTunnel(hnd, r);
        return data;
    }

    default:
        // Nothing is built for class 3 (the OS layer has refused every other
        // class already outside tunnel mode).
        CliPrintErrorFunc("CliIoctlInitTs");
    }
}

void *CliIoctlInit(CliIoctlHandle *hnd, uint32_t ioctlClass, uint32_t access, uint32_t code,
                   uint32_t extra) {
    return CliIoctlInitTs(hnd, &gCliIoctlBuffer, ioctlClass, access, code, extra);
}
