// Where a request's data lie and the method input that carries it: the
// inline form (selector 5) for classes 0 to 2, the descriptor form for the
// classes whose payload the driver reaches by address.
#include <cstring>

#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_ioctl_wire.h"

namespace {

// Class 0 access kinds and the driver's operation numbers for them.
constexpr uint32_t kAccessRead1 = 1;
constexpr uint32_t kAccessRead2 = 2;
constexpr uint32_t kAccessWrite4 = 4;
constexpr uint32_t kAccessWrite8 = 8;

bool InlineOperation(uint32_t access, uint32_t *operation) {
    switch (access) {
    case kAccessRead1:
        *operation = 2;
        return true;
    case kAccessRead2:
        *operation = 0;
        return true;
    case kAccessWrite4:
        *operation = 1;
        return true;
    case kAccessWrite8:
        *operation = 5;
        return true;
    default:
        return false;
    }
}

// The inline form needs the large method buffers, which exist only when an
// inline class was declared; a record with the small ones cannot carry it.
bool HasInlineBuffers(const CliIoctlResource *r) {
    return r->inBuf != nullptr && r->outBuf != nullptr && r->inSize >= sizeof(OsIoctlInlineReq) &&
           r->outSize >= sizeof(OsIoctlInlineRsp);
}

void ZeroBuffer(void *buffer, uint32_t size) {
    if (buffer != nullptr) {
        memset(buffer, 0, size);
    }
}

uint32_t DescriptorSelector(uint32_t ioctlClass) {
    switch (ioctlClass) {
    case kCliIoctlClassCsmi:
        return kOsIoctlSelCsmi;
    case kCliIoctlClassHba:
        return kOsIoctlSelHba;
    case kCliIoctlClassVda:
        return kOsIoctlSelVda;
    case kCliIoctlClassVsa:
        return kOsIoctlSelVsa;
    default:
        return kOsIoctlSelRaw;
    }
}

} // namespace

void *OsIoctlPayloadPtr(CliIoctlHandle * /*hnd*/, CliIoctlResource *rsrc, uint32_t ioctlClass,
                        uint32_t access) {
    CliIoctlResource *r = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    switch (ioctlClass) {
    case kCliIoctlClassInline: {
        uint32_t operation = 0;
        if (!InlineOperation(access, &operation)) {
            break;
        }
        if (!HasInlineBuffers(r)) {
            return nullptr;
        }
        if (access == kAccessWrite4 || access == kAccessWrite8) {
            return static_cast<OsIoctlInlineReq *>(r->inBuf)->data;
        }
        return static_cast<OsIoctlInlineRsp *>(r->outBuf)->data;
    }
    case kCliIoctlClassRead:
    case kCliIoctlClassWrite:
    case kCliIoctlClassCsmi:
    case kCliIoctlClassHba:
    case kCliIoctlClassVda:
    case kCliIoctlClassVsa:
    case kCliIoctlClassRaw:
        return r->payload;
    default:
        break;
    }
    CliPrintErrorFunc("OsIoctlPayloadPtr");
}

void *OsIoctlInit(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass, uint32_t access,
                  uint32_t code, uint32_t length) {
    CliIoctlResource *r = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    ZeroBuffer(r->inBuf, r->inSize);
    ZeroBuffer(r->outBuf, r->outSize);
    ZeroBuffer(r->payload, r->payloadSize);
    r->selector = kOsIoctlSelUnset;

    const uint64_t address = reinterpret_cast<uintptr_t>(r->payload);
    switch (ioctlClass) {
    case kCliIoctlClassInline: {
        uint32_t operation = 0;
        if (!InlineOperation(access, &operation)) {
            CliPrintErrorFunc("OsIoctlInit");
        }
        if (length > kCliIoctlInlineMax || !HasInlineBuffers(r)) {
            return nullptr;
        }
        auto *req = static_cast<OsIoctlInlineReq *>(r->inBuf);
        CliIoctlPutLe32(req->operation, operation);
        CliIoctlPutLe32(req->direction, 0);
        CliIoctlPutLe32(req->inlineLen, length);
        CliIoctlPutLe32(req->magic, kOsIoctlInlineMagic);
        r->selector = kOsIoctlSelInline;
        break;
    }
    case kCliIoctlClassRead:
    case kCliIoctlClassWrite: {
        if (length > r->payloadSize || !HasInlineBuffers(r)) {
            return nullptr;
        }
        auto *req = static_cast<OsIoctlInlineReq *>(r->inBuf);
        CliIoctlPutLe32(req->addrLow, static_cast<uint32_t>(address));
        CliIoctlPutLe32(req->addrHigh, static_cast<uint32_t>(address >> 32));
        CliIoctlPutLe32(req->dataLen, length);
        CliIoctlPutLe32(req->direction, ioctlClass == kCliIoctlClassRead ? 0 : 1);
        CliIoctlPutLe32(req->operation, kOsIoctlOpPassThru);
        CliIoctlPutLe32(req->magic, kOsIoctlInlineMagic);
        r->selector = kOsIoctlSelInline;
        break;
    }
    case kCliIoctlClassCsmi:
    case kCliIoctlClassHba:
    case kCliIoctlClassVda:
    case kCliIoctlClassVsa:
    case kCliIoctlClassRaw: {
        if (length > r->payloadSize || r->inBuf == nullptr || r->inSize < sizeof(OsIoctlDescReq)) {
            return nullptr;
        }
        auto *req = static_cast<OsIoctlDescReq *>(r->inBuf);
        CliIoctlPutLe64(req->address, address);
        CliIoctlPutLe32(req->dataLen, length);
        CliIoctlPutLe32(req->code, ioctlClass == kCliIoctlClassCsmi ? code : 0);
        r->selector = DescriptorSelector(ioctlClass);
        break;
    }
    default:
        CliPrintErrorFunc("OsIoctlInit");
    }
    return OsIoctlPayloadPtr(hnd, r, ioctlClass, access);
}
