// The buffers of an I/O-control resource record: one payload sized for the
// largest declared request and the two method buffers.
#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"

namespace {

constexpr uint32_t kSmallMethodSize = 16;
constexpr uint32_t kByAddressClasses[] = {kCliIoctlClassRead, kCliIoctlClassWrite};

void FreeBuffers(CliIoctlResource *r) {
    CliMemFree(r->inBuf);
    CliMemFree(r->outBuf);
    CliMemFree(r->payload);
    r->inBuf = nullptr;
    r->outBuf = nullptr;
    r->payload = nullptr;
    r->inSize = 0;
    r->outSize = 0;
    r->payloadSize = 0;
    r->selector = 0;
}

} // namespace

bool OsIoctlRsrcAlloc(CliIoctlResource *rsrc) {
    CliIoctlResource *r = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    // Classes 1 and 2 pass the payload by address with the caller's length.
    uint32_t payloadSize = CliIoctlPayloadSize();
    for (const uint32_t byAddress : kByAddressClasses) {
        if (CliIoctlIsSupported(byAddress)) {
            const uint32_t wanted = CltIoctlPayloadSize(static_cast<int32_t>(byAddress));
            if (wanted > payloadSize) {
                payloadSize = wanted;
            }
        }
    }
    r->payloadSize = payloadSize;
    if (payloadSize != 0) {
        r->payload = CliMemAlloc(payloadSize);
        if (r->payload == nullptr) {
            FreeBuffers(r);
            return false;
        }
    }

    r->inSize = kSmallMethodSize;
    r->outSize = kSmallMethodSize;
    if (CliIoctlIsSupported(kCliIoctlClassInline) || CliIoctlIsSupported(kCliIoctlClassRead) ||
        CliIoctlIsSupported(kCliIoctlClassWrite)) {
        r->inSize = sizeof(OsIoctlInlineReq);
        r->outSize = sizeof(OsIoctlInlineRsp);
    }
    r->inBuf = CliMemAlloc(r->inSize);
    r->outBuf = r->inBuf != nullptr ? CliMemAlloc(r->outSize) : nullptr;
    if (r->inBuf == nullptr || r->outBuf == nullptr) {
        FreeBuffers(r);
        return false;
    }
    return true;
}

void OsIoctlRsrcFree(CliIoctlResource *rsrc) {
    if (rsrc != nullptr) {
        FreeBuffers(rsrc);
    }
}
