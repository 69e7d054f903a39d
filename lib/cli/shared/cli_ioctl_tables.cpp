// Fixed request lengths and request versions of the I/O-control function
// codes. A code the framework does not know is an internal inconsistency of
// the calling tool and ends the process.
#include "lib/cli/shared/cli.h"

namespace {

struct CsmiLen {
    uint32_t code;
    uint32_t length;
};

// Lengths of the CSMI request structures.
constexpr CsmiLen kCsmiLens[] = {
    {1, 174},   {2, 180}, {3, 36},  {4, 44},    {10, 100},  {11, 172},
    {20, 2052}, {21, 8},  {22, 24}, {23, 2064}, {24, 340},  {25, 136},
    {26, 24},   {27, 20}, {28, 20}, {29, 296},  {30, 1152}, {60, 312},
};

struct HbaCode {
    bool known;
    uint32_t length;
    uint8_t version;
};

// Indexed by the code's low byte; codes past the end are refused.
constexpr HbaCode kHbaCodes[] = {
    {true, 512, 0},  // 0
    {true, 260, 0},  // 1
    {true, 64, 0},   // 2
    {true, 64, 0},   // 3
    {true, 352, 0},  // 4: SCSI pass-through
    {true, 264, 0},  // 5
    {true, 64, 0},   // 6
    {false, 0, 0},   // 7
    {false, 0, 0},   // 8
    {true, 0, 0},    // 9
    {false, 0, 0},   // 10
    {true, 0, 0},    // 11
    {true, 96, 1},   // 12
    {true, 64, 0},   // 13
    {true, 64, 0},   // 14
    {true, 144, 0},  // 15
    {true, 128, 0},  // 16
    {true, 1792, 1}, // 17
    {true, 128, 0},  // 18
    {true, 0, 0},    // 19
    {true, 64, 0},   // 20
    {true, 1040, 0}, // 21
    {true, 1040, 0}, // 22
    {true, 64, 0},   // 23
};

const HbaCode *HbaLookup(uint32_t code) {
    const uint8_t index = static_cast<uint8_t>(code);
    if (index >= sizeof kHbaCodes / sizeof kHbaCodes[0] || !kHbaCodes[index].known) {
        return nullptr;
    }
    return &kHbaCodes[index];
}

} // namespace

uint32_t CliIoctlCsmiGetLen(uint32_t code) {
    for (const CsmiLen &entry : kCsmiLens) {
        if (entry.code == code) {
            return entry.length;
        }
    }
    return 0;
}

uint32_t CliIoctlHbaGetLen(uint32_t code) {
    const HbaCode *entry = HbaLookup(code);
    if (entry == nullptr) {
        CliPrintErrorFunc("CliIoctlHbaGetLen");
    }
    return entry->length;
}

uint8_t CliIoctlHbaGetVer(uint32_t code) {
    const HbaCode *entry = HbaLookup(code);
    if (entry == nullptr) {
        CliPrintErrorFunc("CliIoctlHbaGetVer");
    }
    return entry->version;
}

uint8_t CliIoctlVdaGetVer(uint32_t code) {
    switch (static_cast<uint8_t>(code)) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 6:
    case 7:
    case 8:
        return 0;
    default:
        CliPrintErrorFunc("CliIoctlVdaGetVer");
    }
}

uint8_t CliIoctlVsaGetVer(uint32_t code) {
    if (static_cast<uint8_t>(code) > 12) {
        CliPrintErrorFunc("CliIoctlVsaGetVer");
    }
    return 0;
}
