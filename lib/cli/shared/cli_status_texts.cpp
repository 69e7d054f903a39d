// Display texts for the status, state and rate codes that adapter drivers
// return, as tables: indexed by code where the codes run from 0, otherwise
// of code and text pairs; one lookup serves them all. Every text exists
// once; the tables point at the same literal wherever two codes share a
// wording.
#include <type_traits>

#include "lib/cli/shared/cli.h"

namespace {

// Texts used by more than one function or table.
constexpr char kSuccess[] = "Success";
constexpr char kFailed[] = "Failed";
constexpr char kUnknown[] = "Unknown";
constexpr char kUnknownStatus[] = "Unknown status";
constexpr char kUnknownComponent[] = "Unknown component";
constexpr char kInvalidLun[] = "Invalid LUN";
constexpr char kNotApplicable[] = "N/A";
constexpr char kNotReported[] = "Not reported";
constexpr char kDisabledByUser[] = "Disabled by user";
constexpr char kDisabledDueToErrors[] = "Disabled due to errors";
constexpr char kUnsupported[] = "Unsupported";
constexpr char kControllerDegraded[] = "Controller is degraded";
constexpr char kDataOverrun[] = "Data overrun";
constexpr char kDataUnderrun[] = "Data underrun";
constexpr char kCommandAborted[] = "Command aborted";
constexpr char kDisabled[] = "Disabled";
constexpr char kDiscoveryInProgress[] = "Discovery in progress";

} // namespace

const char *const CliHwIoctlStsStr[17] = {
    kSuccess,
    kFailed,
    "Version is not supported",
    "Not enough resources",
    "Invalid Function",
    kUnsupported,
    "Invalid adapter type",
    "New driver required",
    "Invalid parameter",
    "Command timeout",
    "Not applicable",
    kControllerDegraded,
    "Feature disabled",
    "Invalid OEM",
    "Invalid subfunction",
    "Invalid port ID",
    "Item not present",
};

const char *const CliFmApiStsStr[16] = {
    kSuccess,
    kFailed,
    "Reboot is needed",
    "Invalid controller type",
    "Invalid request",
    "Invalid checksum",
    "Invalid image length",
    "Unknown component detected",
    "Image version is not supported",
    "Not enough system resources",
    "Other controller channel not found",
    "Required components missing",
    "Flashing unsupported",
    "Erase failure",
    "Flash failure",
    kControllerDegraded,
};

const char *const CliFmApiCtStr[6] = {
    "Firmware", "NVRAM", "BIOS", "Open firmware", "Setup program", "EFI",
};

// Indexed by code + 1: the driver reports -1 for a component still pending.
const char *const CliFmApiCsStr[5] = {
    "pending", "failed", "succeeded", "succeeded after retries", "invalid",
};

const char *const gCliSptReqStsStr[11] = {
    kSuccess,         kFailed,   kDataOverrun,         kDataUnderrun,   "No device present",
    "No LUN present", "Timeout", "Bus reset occurred", kCommandAborted, "Out of resources",
    "Degraded mode",
};

namespace {

// One row of a table whose codes do not run from 0.
struct CodeText {
    uint32_t code;
    const char *text;
};

constexpr CodeText kVdaStsStr[] = {
    {0, "Successful completion"},
    {1, "Invalid command function"},
    {2, "Insufficient resources"},
    {3, "No target at TargetId"},
    {4, kInvalidLun},
    {5, "Request timeout"},
    {6, kDataOverrun},
    {7, kDataUnderrun},
    {8, "SCSI Error occurred"},
    {9, "FCP Error occurred"},
    {10, kCommandAborted},
    {11, "Residual length incorrect"},
    {12, "Task management failed"},
    {13, "Aborted due to bus reset"},
    {14, "Error reading SG list"},
    {15, "Error transferring data"},
    {112, "Internal generated HWVDA_RS_SEL"},
    {128, "General scan failure"},
    {129, "Device invalid"},
    {130, "Device already assigned"},
    {131, "Device not a member"},
    {132, "Device has been lost"},
    {133, "Scan generation mismatch"},
    {136, "RAID group does not exist"},
    {137, "RAID group already exists"},
    {138, "Too many RAID groups"},
    {139, "Invalid interleave size"},
    {140, "Invalid Span Depth"},
    {141, "Invalid or unsupported RAID level"},
    {142, "Max group member count exceeded"},
    {143, "Error during commit changes"},
    {144, "Unable to rebuild at this time"},
    {148, "Error during config save"},
    {152, "No more partitions"},
    {153, "Element does not exist"},
    {154, "Partition already mapped"},
    {155, "Invalid Target ID"},
    {156, kInvalidLun},
    {157, "Target/LUN already in use"},
    {158, "Partition is not mapped"},
    {159, "Already too many partitions"},
    {160, "Invalid capacity specified"},
    {161, "Invalid RAID group state"},
    {164, "Hot spare update error"},
    {252, "Internal CLI error"},
    {253, "Internal VDA error"},
};

constexpr CodeText kHbaStateStr[] = {
    {1, "Operational"},
    {2, "Reset is scheduled"},
    {3, "Reset is in progress"},
    {4, kDiscoveryInProgress},
    {5, "Degraded"},
    {6, kDisabled},
    {7, "Temperature out of range"},
    {8, "Bus reset is scheduled"},
    {9, "Bus reset is in progress"},
};

constexpr CodeText kHbaLocStsStr[] = {
    {0, "Off"},
    {1, "On"},
    {2, kUnsupported},
};

constexpr CodeText kHbaDevCtrlStsStr[] = {
    {0, kSuccess},
    {1, kFailed},
    {2, "Function unsupported"},
    {3, "Function failed"},
    {4, kInvalidLun},
    {5, "Command not found"},
    {6, "Command not active"},
    {7, "Invalid frame"},
    {8, "Invalid tag"},
    {9, "Invalid length"},
    {10, "Invalid field"},
    {11, "Invalid FCP_DATA_RO"},
    {12, "Unknown response code"},
};

constexpr CodeText kHbaPhyStateStr[] = {
    {0, kNotReported},         {1, kDisabledByUser}, {2, "Disabled (no cable)"},
    {3, kDisabledDueToErrors}, {4, "Link down"},     {5, "Link up"},
};

constexpr CodeText kHbaDiscStateStr[] = {
    {0, kNotReported},         {1, kDisabledByUser},
    {2, kDisabledDueToErrors}, {3, "No discovery in progress"},
    {4, kDiscoveryInProgress}, {5, kNotApplicable},
};

// The codes are the driver's and not in order of speed; 8 names no rate.
constexpr CodeText kHbaLinkRateStr[] = {
    {0, "1 Gb/s"},   {1, "1.5 Gb/s"},  {2, "2 Gb/s"},   {3, "3 Gb/s"},       {4, "4 Gb/s"},
    {5, "6 Gb/s"},   {6, "8 Gb/s"},    {7, "10 Gb/s"},  {9, kNotApplicable}, {10, "100 Mb/s"},
    {11, "40 Gb/s"}, {12, "12 Gb/s"},  {13, "16 Gb/s"}, {14, "24 Gb/s"},     {15, "32 Gb/s"},
    {16, "50 Gb/s"}, {17, "100 Gb/s"},
};

constexpr CodeText kHbaFcTopStr[] = {
    {1, kNotApplicable},          {2, "Arbitrated Loop"}, {3, "Public Loop"},
    {4, "Private Loop"},          {5, "Point-to-Point"},  {6, "Point-to-Point Fabric"},
    {7, "Point-to-Point Direct"},
};

constexpr CodeText kHbaPortStateStr[] = {
    {0, kNotReported},
    {4, "Offline"},
    {5, "Online"},
};

// The text of code in a table indexed by code or in one of code and text
// pairs; fallback when the table does not name the code.
template <typename Row, size_t N>
const char *Lookup(const Row (&table)[N], uint32_t code, const char *fallback) {
    if constexpr (std::is_same_v<Row, CodeText>) {
        for (const CodeText &row : table) {
            if (row.code == code) {
                return row.text;
            }
        }
        return fallback;
    } else {
        return code < N ? table[code] : fallback;
    }
}

} // namespace

const char *CliIoctlHwiStsStr(uint8_t code) {
    return Lookup(CliHwIoctlStsStr, code, kUnknownStatus);
}

const char *CliIoctlFmApiStsStr(uint8_t code) {
    return Lookup(CliFmApiStsStr, code, kUnknownStatus);
}

const char *CliIoctlFmApiCtStr(uint8_t code) {
    return Lookup(CliFmApiCtStr, code, kUnknownComponent);
}

const char *CliIoctlFmApiCsStr(uint8_t code) {
    // One byte wide: 255 (-1) wraps to index 0.
    return Lookup(CliFmApiCsStr, static_cast<uint8_t>(code + 1), kUnknownStatus);
}

const char *CliIoctlSptReqStsStr(uint8_t code) {
    return Lookup(gCliSptReqStsStr, code, kUnknown);
}

const char *CliIoctlVdaStsStr(int32_t code) {
    return Lookup(kVdaStsStr, static_cast<uint32_t>(code), kUnknownStatus);
}

const char *CliIoctlHbaStateStr(uint32_t code) {
    return Lookup(kHbaStateStr, code, kUnknown);
}

const char *CliIoctlHbaLocStsStr(uint8_t code) {
    return Lookup(kHbaLocStsStr, code, kUnknown);
}

const char *CliIoctlHbaDevCtrlStsStr(uint8_t code) {
    return Lookup(kHbaDevCtrlStsStr, code, kUnknown);
}

const char *CliIoctlHbaPhyStateStr(uint8_t code) {
    return Lookup(kHbaPhyStateStr, code, kUnknown);
}

const char *CliIoctlHbaDiscStateStr(uint8_t code) {
    return Lookup(kHbaDiscStateStr, code, kUnknown);
}

const char *CliIoctlHbaLinkRateStr(uint8_t code) {
    return Lookup(kHbaLinkRateStr, code, kUnknown);
}

const char *CliIoctlHbaFcTopStr(uint32_t code) {
    return Lookup(kHbaFcTopStr, code, kUnknown);
}

const char *CliIoctlHbaPortStateStr(uint8_t code) {
    return Lookup(kHbaPortStateStr, code, kUnknown);
}
