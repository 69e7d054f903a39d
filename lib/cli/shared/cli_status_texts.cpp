// Display texts for the status, state and rate codes that adapter drivers
// return. Every text exists once; the tables and switches below point at the
// same literal wherever two codes share a wording.
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

template <size_t N>
const char *TableText(const char *const (&table)[N], uint32_t index, const char *fallback) {
    return index < N ? table[index] : fallback;
}

} // namespace

const char *CliIoctlHwiStsStr(uint8_t code) {
    return TableText(CliHwIoctlStsStr, code, kUnknownStatus);
}

const char *CliIoctlFmApiStsStr(uint8_t code) {
    return TableText(CliFmApiStsStr, code, kUnknownStatus);
}

const char *CliIoctlFmApiCtStr(uint8_t code) {
    return TableText(CliFmApiCtStr, code, kUnknownComponent);
}

const char *CliIoctlFmApiCsStr(uint8_t code) {
    // One byte wide: 255 (-1) wraps to index 0.
    const uint8_t index = static_cast<uint8_t>(code + 1);
    return TableText(CliFmApiCsStr, index, kUnknownStatus);
}

const char *CliIoctlSptReqStsStr(uint8_t code) {
    return TableText(gCliSptReqStsStr, code, kUnknown);
}

const char *CliIoctlVdaStsStr(int32_t code) {
    switch (code) {
    case 0:
        return "Successful completion";
    case 1:
        return "Invalid command function";
    case 2:
        return "Insufficient resources";
    case 3:
        return "No target at TargetId";
    case 4:
        return kInvalidLun;
    case 5:
        return "Request timeout";
    case 6:
        return kDataOverrun;
    case 7:
        return kDataUnderrun;
    case 8:
        return "SCSI Error occurred";
    case 9:
        return "FCP Error occurred";
    case 10:
        return kCommandAborted;
    case 11:
        return "Residual length incorrect";
    case 12:
        return "Task management failed";
    case 13:
        return "Aborted due to bus reset";
    case 14:
        return "Error reading SG list";
    case 15:
        return "Error transferring data";
    case 112:
        return "Internal generated HWVDA_RS_SEL";
    case 128:
        return "General scan failure";
    case 129:
        return "Device invalid";
    case 130:
        return "Device already assigned";
    case 131:
        return "Device not a member";
    case 132:
        return "Device has been lost";
    case 133:
        return "Scan generation mismatch";
    case 136:
        return "RAID group does not exist";
    case 137:
        return "RAID group already exists";
    case 138:
        return "Too many RAID groups";
    case 139:
        return "Invalid interleave size";
    case 140:
        return "Invalid Span Depth";
    case 141:
        return "Invalid or unsupported RAID level";
    case 142:
        return "Max group member count exceeded";
    case 143:
        return "Error during commit changes";
    case 144:
        return "Unable to rebuild at this time";
    case 148:
        return "Error during config save";
    case 152:
        return "No more partitions";
    case 153:
        return "Element does not exist";
    case 154:
        return "Partition already mapped";
    case 155:
        return "Invalid Target ID";
    case 156:
        return kInvalidLun;
    case 157:
        return "Target/LUN already in use";
    case 158:
        return "Partition is not mapped";
    case 159:
        return "Already too many partitions";
    case 160:
        return "Invalid capacity specified";
    case 161:
        return "Invalid RAID group state";
    case 164:
        return "Hot spare update error";
    case 252:
        return "Internal CLI error";
    case 253:
        return "Internal VDA error";
    default:
        return kUnknownStatus;
    }
}

const char *CliIoctlHbaStateStr(uint32_t code) {
    switch (code) {
    case 1:
        return "Operational";
    case 2:
        return "Reset is scheduled";
    case 3:
        return "Reset is in progress";
    case 4:
        return kDiscoveryInProgress;
    case 5:
        return "Degraded";
    case 6:
        return kDisabled;
    case 7:
        return "Temperature out of range";
    case 8:
        return "Bus reset is scheduled";
    case 9:
        return "Bus reset is in progress";
    default:
        return kUnknown;
    }
}

const char *CliIoctlHbaLocStsStr(uint8_t code) {
    switch (code) {
    case 0:
        return "Off";
    case 1:
        return "On";
    case 2:
        return kUnsupported;
    default:
        return kUnknown;
    }
}

const char *CliIoctlHbaDevCtrlStsStr(uint8_t code) {
    switch (code) {
    case 0:
        return kSuccess;
    case 1:
        return kFailed;
    case 2:
        return "Function unsupported";
    case 3:
        return "Function failed";
    case 4:
        return kInvalidLun;
    case 5:
        return "Command not found";
    case 6:
        return "Command not active";
    case 7:
        return "Invalid frame";
    case 8:
        return "Invalid tag";
    case 9:
        return "Invalid length";
    case 10:
        return "Invalid field";
    case 11:
        return "Invalid FCP_DATA_RO";
    case 12:
        return "Unknown response code";
    default:
        return kUnknown;
    }
}

const char *CliIoctlHbaPhyStateStr(uint8_t code) {
    switch (code) {
    case 0:
        return kNotReported;
    case 1:
        return kDisabledByUser;
    case 2:
        return "Disabled (no cable)";
    case 3:
        return kDisabledDueToErrors;
    case 4:
        return "Link down";
    case 5:
        return "Link up";
    default:
        return kUnknown;
    }
}

const char *CliIoctlHbaDiscStateStr(uint8_t code) {
    switch (code) {
    case 0:
        return kNotReported;
    case 1:
        return kDisabledByUser;
    case 2:
        return kDisabledDueToErrors;
    case 3:
        return "No discovery in progress";
    case 4:
        return kDiscoveryInProgress;
    case 5:
        return kNotApplicable;
    default:
        return kUnknown;
    }
}

// The codes are the driver's and not in order of speed; 8 names no rate.
const char *CliIoctlHbaLinkRateStr(uint8_t code) {
    switch (code) {
    case 0:
        return "1 Gb/s";
    case 1:
        return "1.5 Gb/s";
    case 2:
        return "2 Gb/s";
    case 3:
        return "3 Gb/s";
    case 4:
        return "4 Gb/s";
    case 5:
        return "6 Gb/s";
    case 6:
        return "8 Gb/s";
    case 7:
        return "10 Gb/s";
    case 9:
        return kNotApplicable;
    case 10:
        return "100 Mb/s";
    case 11:
        return "40 Gb/s";
    case 12:
        return "12 Gb/s";
    case 13:
        return "16 Gb/s";
    case 14:
        return "24 Gb/s";
    case 15:
        return "32 Gb/s";
    case 16:
        return "50 Gb/s";
    case 17:
        return "100 Gb/s";
    default:
        return kUnknown;
    }
}

const char *CliIoctlHbaFcTopStr(uint32_t code) {
    switch (code) {
    case 1:
        return kNotApplicable;
    case 2:
        return "Arbitrated Loop";
    case 3:
        return "Public Loop";
    case 4:
        return "Private Loop";
    case 5:
        return "Point-to-Point";
    case 6:
        return "Point-to-Point Fabric";
    case 7:
        return "Point-to-Point Direct";
    default:
        return kUnknown;
    }
}

const char *CliIoctlHbaPortStateStr(uint8_t code) {
    switch (code) {
    case 0:
        return kNotReported;
    case 4:
        return "Offline";
    case 5:
        return "Online";
    default:
        return kUnknown;
    }
}
