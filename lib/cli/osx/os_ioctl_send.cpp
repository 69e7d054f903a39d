// Performing I/O-control requests on the driver's user client, and opening
// and closing the user client itself.
#include <cstddef>

#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_ioctl_wire.h"
#include "lib/platform/iokit.h"

namespace {

struct CallSizes {
    size_t in;
    size_t out;
};

// The fixed call sizes of a selector; false for a selector without a call.
bool SelectorSizes(uint32_t selector, CallSizes *sizes) {
    switch (selector) {
    case kOsIoctlSelInline:
        *sizes = {sizeof(OsIoctlInlineReq), sizeof(OsIoctlInlineRsp)};
        return true;
    case kOsIoctlSelVda:
    case kOsIoctlSelSpare:
    case kOsIoctlSelHba:
    case kOsIoctlSelCsmi:
    case kOsIoctlSelRaw:
    case kOsIoctlSelVsa:
        *sizes = {sizeof(OsIoctlDescReq), kOsIoctlDescRspSize};
        return true;
    default:
        return false;
    }
}

bool ScalarCall(uint32_t connection, uint32_t selector) {
    uint32_t outputCount = 0;
    return IOConnectCallScalarMethod(connection, selector, nullptr, 0, nullptr, &outputCount) ==
           KERN_SUCCESS;
}

} // namespace

bool OssOpenUserClient(uint32_t connection) {
    return ScalarCall(connection, kOsIoctlSelOpen);
}

bool OssCloseUserClient(uint32_t connection) {
    return ScalarCall(connection, kOsIoctlSelClose);
}

bool OssIoctlSend(uint32_t connection, CliIoctlResource *rsrc) {
    CliIoctlResource *r = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    CallSizes sizes{};
    if (!SelectorSizes(r->selector, &sizes)) {
        CliPrintErrorFunc("OssIoctlSend");
    }
    // The driver reads and writes the fixed sizes; never hand it buffers
    // that are smaller.
    if (r->inBuf == nullptr || r->outBuf == nullptr || r->inSize < sizes.in ||
        r->outSize < sizes.out) {
        return false;
    }
    size_t outSize = sizes.out;
    return IOConnectCallStructMethod(connection, r->selector, r->inBuf, sizes.in, r->outBuf,
                                     &outSize) == KERN_SUCCESS;
}

bool OsIoctlSend(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass,
                 uint32_t /*subArg*/, uint32_t *statusOut, uint32_t /*timeout*/) {
    CliIoctlResource *r = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    CallSizes sizes{};
    if (!SelectorSizes(r->selector, &sizes)) {
        CliPrintErrorFunc("OssIoctlSend");
    }
    const bool inline_ = ioctlClass <= kCliIoctlClassWrite;
    const bool described = ioctlClass >= kCliIoctlClassCsmi && ioctlClass <= kCliIoctlClassRaw;
    if (!inline_ && !described) {
        CliPrintErrorFunc("OsIoctlSend");
    }
    if (hnd == nullptr || hnd->conn == nullptr) {
        return false;
    }
    if (!OssIoctlSend(hnd->conn->ioConnect, r)) {
        return false;
    }
    const uint32_t driverStatus = CliIoctlGetLe32(r->outBuf);
    if (inline_) {
        return driverStatus == 0;
    }
    if (ioctlClass == kCliIoctlClassCsmi && statusOut != nullptr) {
        *statusOut = driverStatus;
    }
    return true;
}

void OsIoctlHndFree(CliIoctlHandle *hnd) {
    if (hnd == nullptr || hnd->conn == nullptr || hnd->conn->ioConnect == 0) {
        return;
    }
    OssCloseUserClient(hnd->conn->ioConnect);
    IOServiceClose(hnd->conn->ioConnect);
}
