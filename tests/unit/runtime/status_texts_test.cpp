// Status, state and rate texts: every code of every table, the fallbacks on
// both sides of each table, and the texts that several functions share.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "lib/cli/shared/cli.h"

namespace {

using Texts = std::map<int64_t, std::string>;
using ByteFn = const char *(*)(uint8_t);

struct ByteCase {
    const char *name;
    ByteFn fn;
    Texts texts;
    const char *fallback;
};

const std::vector<ByteCase> &ByteCases() {
    static const std::vector<ByteCase> cases = {
        {"HwiSts",
         CliIoctlHwiStsStr,
         {{0, "Success"},
          {1, "Failed"},
          {2, "Version is not supported"},
          {3, "Not enough resources"},
          {4, "Invalid Function"},
          {5, "Unsupported"},
          {6, "Invalid adapter type"},
          {7, "New driver required"},
          {8, "Invalid parameter"},
          {9, "Command timeout"},
          {10, "Not applicable"},
          {11, "Controller is degraded"},
          {12, "Feature disabled"},
          {13, "Invalid OEM"},
          {14, "Invalid subfunction"},
          {15, "Invalid port ID"},
          {16, "Item not present"}},
         "Unknown status"},
        {"FmApiSts",
         CliIoctlFmApiStsStr,
         {{0, "Success"},
          {1, "Failed"},
          {2, "Reboot is needed"},
          {3, "Invalid controller type"},
          {4, "Invalid request"},
          {5, "Invalid checksum"},
          {6, "Invalid image length"},
          {7, "Unknown component detected"},
          {8, "Image version is not supported"},
          {9, "Not enough system resources"},
          {10, "Other controller channel not found"},
          {11, "Required components missing"},
          {12, "Flashing unsupported"},
          {13, "Erase failure"},
          {14, "Flash failure"},
          {15, "Controller is degraded"}},
         "Unknown status"},
        {"FmApiCt",
         CliIoctlFmApiCtStr,
         {{0, "Firmware"},
          {1, "NVRAM"},
          {2, "BIOS"},
          {3, "Open firmware"},
          {4, "Setup program"},
          {5, "EFI"}},
         "Unknown component"},
        {"FmApiCs",
         CliIoctlFmApiCsStr,
         {{255, "pending"},
          {0, "failed"},
          {1, "succeeded"},
          {2, "succeeded after retries"},
          {3, "invalid"}},
         "Unknown status"},
        {"SptReqSts",
         CliIoctlSptReqStsStr,
         {{0, "Success"},
          {1, "Failed"},
          {2, "Data overrun"},
          {3, "Data underrun"},
          {4, "No device present"},
          {5, "No LUN present"},
          {6, "Timeout"},
          {7, "Bus reset occurred"},
          {8, "Command aborted"},
          {9, "Out of resources"},
          {10, "Degraded mode"}},
         "Unknown"},
        {"HbaLocSts", CliIoctlHbaLocStsStr, {{0, "Off"}, {1, "On"}, {2, "Unsupported"}}, "Unknown"},
        {"HbaDevCtrlSts",
         CliIoctlHbaDevCtrlStsStr,
         {{0, "Success"},
          {1, "Failed"},
          {2, "Function unsupported"},
          {3, "Function failed"},
          {4, "Invalid LUN"},
          {5, "Command not found"},
          {6, "Command not active"},
          {7, "Invalid frame"},
          {8, "Invalid tag"},
          {9, "Invalid length"},
          {10, "Invalid field"},
          {11, "Invalid FCP_DATA_RO"},
          {12, "Unknown response code"}},
         "Unknown"},
        {"HbaPhyState",
         CliIoctlHbaPhyStateStr,
         {{0, "Not reported"},
          {1, "Disabled by user"},
          {2, "Disabled (no cable)"},
          {3, "Disabled due to errors"},
          {4, "Link down"},
          {5, "Link up"}},
         "Unknown"},
        {"HbaDiscState",
         CliIoctlHbaDiscStateStr,
         {{0, "Not reported"},
          {1, "Disabled by user"},
          {2, "Disabled due to errors"},
          {3, "No discovery in progress"},
          {4, "Discovery in progress"},
          {5, "N/A"}},
         "Unknown"},
        {"HbaLinkRate",
         CliIoctlHbaLinkRateStr,
         {{0, "1 Gb/s"},
          {1, "1.5 Gb/s"},
          {2, "2 Gb/s"},
          {3, "3 Gb/s"},
          {4, "4 Gb/s"},
          {5, "6 Gb/s"},
          {6, "8 Gb/s"},
          {7, "10 Gb/s"},
          {9, "N/A"},
          {10, "100 Mb/s"},
          {11, "40 Gb/s"},
          {12, "12 Gb/s"},
          {13, "16 Gb/s"},
          {14, "24 Gb/s"},
          {15, "32 Gb/s"},
          {16, "50 Gb/s"},
          {17, "100 Gb/s"}},
         "Unknown"},
        {"HbaPortState",
         CliIoctlHbaPortStateStr,
         {{0, "Not reported"}, {4, "Offline"}, {5, "Online"}},
         "Unknown"},
    };
    return cases;
}

// Every one of the 256 byte codes: the table's text or the fallback.
TEST(StatusTexts, ByteCodedFunctionsCoverEveryCode) {
    for (const ByteCase &c : ByteCases()) {
        for (int code = 0; code <= 255; ++code) {
            const auto it = c.texts.find(code);
            const std::string expected = it != c.texts.end() ? it->second : c.fallback;
            const char *text = c.fn(static_cast<uint8_t>(code));
            ASSERT_NE(text, nullptr) << c.name << " " << code;
            EXPECT_EQ(expected, text) << c.name << " code " << code;
        }
    }
}

TEST(StatusTexts, ExportedTablesMatchTheirFunctions) {
    for (uint8_t i = 0; i < 17; ++i) {
        EXPECT_EQ(CliHwIoctlStsStr[i], CliIoctlHwiStsStr(i));
    }
    for (uint8_t i = 0; i < 16; ++i) {
        EXPECT_EQ(CliFmApiStsStr[i], CliIoctlFmApiStsStr(i));
    }
    for (uint8_t i = 0; i < 6; ++i) {
        EXPECT_EQ(CliFmApiCtStr[i], CliIoctlFmApiCtStr(i));
    }
    for (uint8_t i = 0; i < 5; ++i) {
        EXPECT_EQ(CliFmApiCsStr[i], CliIoctlFmApiCsStr(static_cast<uint8_t>(i - 1)));
    }
    for (uint8_t i = 0; i < 11; ++i) {
        EXPECT_EQ(gCliSptReqStsStr[i], CliIoctlSptReqStsStr(i));
    }
}

TEST(StatusTexts, VdaStatusTableAndSignedFallbacks) {
    const Texts texts = {{0, "Successful completion"},
                         {1, "Invalid command function"},
                         {2, "Insufficient resources"},
                         {3, "No target at TargetId"},
                         {4, "Invalid LUN"},
                         {5, "Request timeout"},
                         {6, "Data overrun"},
                         {7, "Data underrun"},
                         {8, "SCSI Error occurred"},
                         {9, "FCP Error occurred"},
                         {10, "Command aborted"},
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
                         {156, "Invalid LUN"},
                         {157, "Target/LUN already in use"},
                         {158, "Partition is not mapped"},
                         {159, "Already too many partitions"},
                         {160, "Invalid capacity specified"},
                         {161, "Invalid RAID group state"},
                         {164, "Hot spare update error"},
                         {252, "Internal CLI error"},
                         {253, "Internal VDA error"}};
    ASSERT_EQ(texts.size(), 46u);
    for (int32_t code = -300; code <= 600; ++code) {
        const auto it = texts.find(code);
        const std::string expected = it != texts.end() ? it->second : "Unknown status";
        EXPECT_EQ(expected, CliIoctlVdaStsStr(code)) << code;
    }
    // Values that differ from a listed code only above the low byte.
    for (int32_t code : {INT32_MIN, INT32_MAX, 0x100, 0x10000 + 4, -256 + 4, -(1 << 24)}) {
        EXPECT_STREQ("Unknown status", CliIoctlVdaStsStr(code)) << code;
    }
}

TEST(StatusTexts, WordCodedFunctionsAndTheirFallbacks) {
    struct Case {
        const char *(*fn)(uint32_t);
        Texts texts;
    };
    const Case cases[] = {
        {CliIoctlHbaStateStr,
         {{1, "Operational"},
          {2, "Reset is scheduled"},
          {3, "Reset is in progress"},
          {4, "Discovery in progress"},
          {5, "Degraded"},
          {6, "Disabled"},
          {7, "Temperature out of range"},
          {8, "Bus reset is scheduled"},
          {9, "Bus reset is in progress"}}},
        {CliIoctlHbaFcTopStr,
         {{1, "N/A"},
          {2, "Arbitrated Loop"},
          {3, "Public Loop"},
          {4, "Private Loop"},
          {5, "Point-to-Point"},
          {6, "Point-to-Point Fabric"},
          {7, "Point-to-Point Direct"}}},
    };
    for (const Case &c : cases) {
        for (uint32_t code = 0; code <= 300; ++code) {
            const auto it = c.texts.find(code);
            const std::string expected = it != c.texts.end() ? it->second : "Unknown";
            EXPECT_EQ(expected, c.fn(code)) << code;
        }
        // The whole word counts, not only its low byte.
        for (uint32_t code : {0x101u, 0x10001u, 0x80000001u, 0xFFFFFFFFu}) {
            EXPECT_STREQ("Unknown", c.fn(code)) << code;
        }
    }
}

// A wording shared by several codes or functions is one literal.
TEST(StatusTexts, SharedWordingsAreOneText) {
    const char *success = CliIoctlHwiStsStr(0);
    EXPECT_EQ(success, CliIoctlFmApiStsStr(0));
    EXPECT_EQ(success, CliIoctlSptReqStsStr(0));
    EXPECT_EQ(success, CliIoctlHbaDevCtrlStsStr(0));

    const char *failed = CliIoctlHwiStsStr(1);
    EXPECT_EQ(failed, CliIoctlFmApiStsStr(1));
    EXPECT_EQ(failed, CliIoctlSptReqStsStr(1));
    EXPECT_EQ(failed, CliIoctlHbaDevCtrlStsStr(1));

    const char *invalidLun = CliIoctlVdaStsStr(4);
    EXPECT_EQ(invalidLun, CliIoctlVdaStsStr(156));
    EXPECT_EQ(invalidLun, CliIoctlHbaDevCtrlStsStr(4));

    const char *unknown = CliIoctlHbaStateStr(0);
    EXPECT_EQ(unknown, CliIoctlHbaLinkRateStr(8));
    EXPECT_EQ(unknown, CliIoctlHbaLinkRateStr(18));
    EXPECT_EQ(unknown, CliIoctlSptReqStsStr(11));
    EXPECT_EQ(unknown, CliIoctlHbaPortStateStr(1));

    const char *unknownStatus = CliIoctlHwiStsStr(17);
    EXPECT_EQ(unknownStatus, CliIoctlFmApiStsStr(16));
    EXPECT_EQ(unknownStatus, CliIoctlFmApiCsStr(4));
    EXPECT_EQ(unknownStatus, CliIoctlVdaStsStr(-1));

    EXPECT_EQ(CliIoctlHbaFcTopStr(1), CliIoctlHbaLinkRateStr(9));
    EXPECT_EQ(CliIoctlHbaFcTopStr(1), CliIoctlHbaDiscStateStr(5));
    EXPECT_EQ(CliIoctlHbaPhyStateStr(0), CliIoctlHbaDiscStateStr(0));
    EXPECT_EQ(CliIoctlHbaPhyStateStr(0), CliIoctlHbaPortStateStr(0));
    EXPECT_EQ(CliIoctlHbaPhyStateStr(1), CliIoctlHbaDiscStateStr(1));
    EXPECT_EQ(CliIoctlHbaPhyStateStr(3), CliIoctlHbaDiscStateStr(2));
    EXPECT_EQ(CliIoctlHwiStsStr(5), CliIoctlHbaLocStsStr(2));
    EXPECT_EQ(CliIoctlHwiStsStr(11), CliIoctlFmApiStsStr(15));
}

} // namespace
