// Sending an I/O-control request: the time-out of its class, the tunnel
// status, and delivery of a tunnelled request to a remote device by a SCSI
// WRITE BUFFER / READ BUFFER exchange.
#include <cstring>

#include "lib/cli/osx/os.h"
#include "lib/cli/osx/osbase.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_ioctl_wire.h"

namespace {

constexpr uint32_t kTimeoutShort = 10;
constexpr uint32_t kTimeoutDefault = 30;
constexpr uint32_t kTimeoutVda = 60;
constexpr uint32_t kTimeoutLong = 300;
constexpr uint32_t kHbaCodeScsiPassThru = 4;
constexpr uint32_t kPassThruTimeoutOffset = 104; // milliseconds, in a code 4 request
constexpr uint32_t kDeliveryAttempts = 2;
constexpr uint32_t kRemoteConnKind = 1;

constexpr uint8_t kSenseAbortedCommand = 0x0B;
constexpr uint8_t kSenseHardwareError = 0x04;
constexpr uint8_t kAscNoResources = 0x55;
constexpr uint8_t kAscOverlappedCommand = 0x4E;

// Class 5: a SCSI pass-through waits for its own time-out plus 2 s, never
// less than the class's 10 s.
// The millisecond field is read only from a class 5 request in the payload,
// never past its end.
uint32_t HbaTimeout(const CliIoctlResource *r) {
    const auto *data = static_cast<const uint8_t *>(r->dataArea);
    const auto *payload = static_cast<const uint8_t *>(r->payload);
    const uintptr_t at = reinterpret_cast<uintptr_t>(data);
    const uintptr_t start = reinterpret_cast<uintptr_t>(payload);
    if (data == nullptr || payload == nullptr || at < start ||
        at - start + kPassThruTimeoutOffset + 4 > r->payloadSize ||
        data[1] != kHbaCodeScsiPassThru) {
        return kTimeoutShort;
    }
    const uint32_t seconds = CliIoctlGetLe32(data + kPassThruTimeoutOffset) / 1000 + 2;
    return seconds < kTimeoutShort ? kTimeoutShort : seconds;
}

uint32_t ClassTimeout(const CliIoctlHandle *hnd, const CliIoctlResource *r, uint32_t ioctlClass) {
    const bool tunnelMode = hnd != nullptr && hnd->tunnelMode;
    switch (ioctlClass) {
    case kCliIoctlClassHba:
        return HbaTimeout(r);
    case kCliIoctlClassRaw:
        return kTimeoutShort;
    case kCliIoctlClassInline:
    case kCliIoctlClassCsmi:
        if (!tunnelMode) {
            return kTimeoutDefault;
        }
        break;
    case kCliIoctlClassRead:
    case kCliIoctlClassWrite:
        if (!tunnelMode) {
            return kTimeoutLong;
        }
        break;
    case kCliIoctlClassVda:
        if (!tunnelMode) {
            return kTimeoutVda;
        }
        break;
    case kCliIoctlClassVsa:
        if (!tunnelMode) {
            return kTimeoutShort;
        }
        break;
    default:
        break;
    }
    CliPrintErrorFunc("CliIoctlSendTs");
}

// Sends the remote block and checks what the driver reports for it.
bool SendPassThru(CliIoctlHandle *hnd, CliIoctlResource *r, uint32_t timeout) {
    const CliIoctlRemoteBlock *remote = r->remoteBlock;
    return OsIoctlSend(hnd, r, kCliIoctlClassHba, 0, nullptr, timeout) && remote->reqStatus == 0;
}

enum class WriteResult { Done, Retry, Failed };

WriteResult WriteStep(CliIoctlHandle *hnd, CliIoctlResource *r, uint32_t timeout) {
    CliIoctlRemoteBlock *remote = r->remoteBlock;
    const CliIoctlTunnelHdr *tunnel = r->tunnelHdr;
    CliIoctlPutLe32(remote->target, hnd->remoteTarget);
    remote->lun = hnd->remoteLun;
    remote->flags |= kCliIoctlRemoteAlways;
    remote->writeClear = 0;
    remote->cdbLen = kCliIoctlCdbLen;
    memset(remote->cdb, 0, sizeof remote->cdb + sizeof remote->pad80);
    const uint32_t length = CliIoctlGetLe32(remote->transferLen);
    remote->cdb[0] = kCliScsiOpWriteBuffer;
    remote->cdb[1] = kCliScsiBufferMode;
    remote->cdb[2] = kCliScsiBufferId;
    remote->cdb[3] = tunnel->guid[2];
    remote->cdb[4] = tunnel->guid[1];
    remote->cdb[5] = tunnel->guid[0];
    remote->cdb[6] = static_cast<uint8_t>(length >> 16);
    remote->cdb[7] = static_cast<uint8_t>(length >> 8);
    remote->cdb[8] = static_cast<uint8_t>(length);
    remote->cdb[9] = 0;
    CliIoctlPutLe32(remote->timeout, timeout);
    remote->flags |= kCliIoctlRemoteDataOut;
    remote->senseLen = static_cast<uint8_t>(kCliIoctlSenseSize);

    if (!SendPassThru(hnd, r, timeout) || remote->transportStatus != 0) {
        return WriteResult::Failed;
    }
    if (remote->scsiStatus == kCliScsiStatusGood) {
        return WriteResult::Done;
    }
    if (remote->scsiStatus != kCliScsiStatusCheckCondition) {
        return WriteResult::Failed;
    }
    // The whole sense byte is compared, not only its sense-key bits.
    const uint8_t key = remote->sense[kCliSenseKeyByte];
    const uint8_t asc = remote->sense[kCliSenseAsc];
    const uint8_t ascq = remote->sense[kCliSenseAscq];
    if (key == kSenseAbortedCommand && asc == kAscOverlappedCommand && ascq == 0) {
        return WriteResult::Retry;
    }
    if (key == kSenseHardwareError && asc == kAscNoResources && (ascq == 3 || ascq == 4)) {
        r->tunnelHdr->status = kCliIoctlTunnelStsNoRsrc;
    }
    return WriteResult::Failed;
}

bool ReadStep(CliIoctlHandle *hnd, CliIoctlResource *r, uint32_t timeout) {
    CliIoctlRemoteBlock *remote = r->remoteBlock;
    remote->scsiStatus = 0;
    memset(remote->readClear, 0, sizeof remote->readClear);
    remote->flags &= static_cast<uint8_t>(~kCliIoctlRemoteDataOut);
    memset(remote->sense, 0, sizeof remote->sense);
    remote->cdb[0] = kCliScsiOpReadBuffer;
    CliIoctlPutLe32(remote->timeout, timeout);
    remote->flags |= kCliIoctlRemoteDataIn;
    remote->senseLen = static_cast<uint8_t>(kCliIoctlSenseSize);

    if (!SendPassThru(hnd, r, timeout) || remote->scsiStatus != kCliScsiStatusGood) {
        return false;
    }
    if (remote->transportStatus == 0) {
        return true;
    }
    if (remote->transportStatus == kCliScsiTransportShort) {
        return CliIoctlGetLe32(remote->transferLen) >= kCliIoctlTunnelHdrSize;
    }
    return false;
}

} // namespace

bool CliIoctlSendRemote(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t timeout) {
    CliIoctlResource *r = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    if (r->remoteBlock == nullptr || r->tunnelHdr == nullptr) {
        return false;
    }
    for (uint32_t attempt = 0; attempt < kDeliveryAttempts; ++attempt) {
        OsCreateGuid(r->tunnelHdr->guid);
        if (hnd == nullptr || hnd->conn == nullptr || hnd->conn->connKind != kRemoteConnKind) {
            return false;
        }
        switch (WriteStep(hnd, r, timeout)) {
        case WriteResult::Done:
            return ReadStep(hnd, r, timeout);
        case WriteResult::Retry:
            continue;
        case WriteResult::Failed:
            return false;
        }
    }
    return false;
}

bool CliIoctlSendTs(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass,
                    uint32_t subArg, uint32_t *statusOut) {
    CliIoctlResource *r = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    const uint32_t timeout = ClassTimeout(hnd, r, ioctlClass);
    CliIoctlTunnelHdr *tunnel = r->tunnelHdr;
    if (tunnel != nullptr) {
        CliIoctlPutLe32(tunnel->timeout, timeout);
    }
    const bool sent = r->remoteBlock != nullptr
                          ? CliIoctlSendRemote(hnd, r, timeout)
                          : OsIoctlSend(hnd, r, ioctlClass, subArg, statusOut, timeout);
    if (sent) {
        return tunnel == nullptr || tunnel->status == kCliIoctlTunnelStsGood;
    }
    if (tunnel != nullptr && tunnel->status == kCliIoctlTunnelStsGood) {
        tunnel->status = kCliIoctlTunnelStsFailed;
    }
    return false;
}

bool CliIoctlSend(CliIoctlHandle *hnd, uint32_t ioctlClass, uint32_t subArg, uint32_t *statusOut) {
    return CliIoctlSendTs(hnd, &gCliIoctlBuffer, ioctlClass, subArg, statusOut);
}
