// The tool's declared I/O-control classes, the payload size they need and
// the resource records that hold a request's buffers.
#include <cstdint>

#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"

CliIoctlResource gCliIoctlBuffer = {};

namespace {

constexpr char kNoResources[] = "Insufficent IOCTL resources.";

// Fixed parts that the payload must hold for each class, beyond the tool's
// extra length.
constexpr uint32_t kHbaFixed = 6368;
constexpr uint32_t kCsmiFixed = 340;
constexpr uint32_t kCsmiMin = 2064;
constexpr uint32_t kVdaFixed = 272;
constexpr uint32_t kVsaFixed = 528;
constexpr uint32_t kVsaMin = 784;
constexpr uint32_t kRawFixed = 4576;
constexpr uint32_t kSizedFixed = 1296;

// A declared extra length so large that the sum leaves 32 bits asks for more
// than can exist; saturate so that the allocation fails instead of wrapping
// to a small buffer.
uint32_t AddSat(uint32_t a, uint32_t b) {
    return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

uint32_t Max(uint32_t a, uint32_t b) {
    return a > b ? a : b;
}

void ClearRecord(CliIoctlResource *rsrc) {
    *rsrc = CliIoctlResource{};
}

} // namespace

bool CliIoctlIsSupported(uint32_t ioctlClass) {
    for (const int32_t *entry = gCltIoctlSupp; static_cast<uint32_t>(*entry) != kCliIoctlClassEnd;
         ++entry) {
        if (static_cast<uint32_t>(*entry) == ioctlClass) {
            return true;
        }
    }
    return false;
}

uint32_t CliIoctlPayloadSize() {
    uint32_t size = 0;
    if (CliIoctlIsSupported(kCliIoctlClassHba)) {
        const uint32_t hbaMax = Max(CltIoctlPayloadSize(kCliIoctlClassHba), kCliIoctlHbaPayloadMin);
        if (gCli != nullptr) {
            gCli->hbaPayloadMax = hbaMax;
        }
        size = AddSat(hbaMax, kHbaFixed);
    }
    if (CliIoctlIsSupported(kCliIoctlClassCsmi)) {
        size =
            Max(size, Max(AddSat(CltIoctlPayloadSize(kCliIoctlClassCsmi), kCsmiFixed), kCsmiMin));
    }
    if (CliIoctlIsSupported(kCliIoctlClassVda)) {
        size = Max(size, AddSat(CltIoctlPayloadSize(kCliIoctlClassVda), kVdaFixed));
    }
    if (CliIoctlIsSupported(kCliIoctlClassVsa)) {
        size = Max(size, Max(AddSat(CltIoctlPayloadSize(kCliIoctlClassVsa), kVsaFixed), kVsaMin));
    }
    if (CliIoctlIsSupported(kCliIoctlClassRaw)) {
        size = Max(size, AddSat(CltIoctlPayloadSize(kCliIoctlClassRaw), kRawFixed));
    }
    if (CliIoctlIsSupported(kCliIoctlClassSized)) {
        size = Max(size, AddSat(CltIoctlPayloadSize(kCliIoctlClassSized), kSizedFixed));
    }
    return size;
}

CliIoctlResource *CliIoctlRsrcGet() {
    return &gCliIoctlBuffer;
}

bool CliIoctlRsrcAlloc(CliIoctlResource *rsrc) {
    CliIoctlResource *record = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    ClearRecord(record);
    if (OsIoctlRsrcAlloc(record)) {
        return true;
    }
    if (rsrc == nullptr) {
        CliPrintErrorExit(1, kNoResources);
    }
    return false;
}

void CliIoctlRsrcFree(CliIoctlResource *rsrc) {
    CliIoctlResource *record = rsrc != nullptr ? rsrc : &gCliIoctlBuffer;
    OsIoctlRsrcFree(record);
    ClearRecord(record);
}
