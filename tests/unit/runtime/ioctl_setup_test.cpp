// The I/O-control framework before any request: the tool's class list, the
// payload size it calls for, the fixed lengths and versions of the function
// codes, resource records and handles.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/sys_faults.h"
#include "tests/unit/runtime/ioctl_test_support.h"

namespace {

using ioctltest::DeclareClasses;
using ioctltest::EnsureRuntime;
using ioctltest::ExpectRefusal;
using testsupport::ChildResult;
using testsupport::RunInChild;

TEST(IoctlClassList, SupportedOnlyBeforeTheEndMarker) {
    DeclareClasses({5, 3});
    testhooks::gIoctlClasses[3] = 7; // behind the end marker
    EXPECT_TRUE(CliIoctlIsSupported(5));
    EXPECT_TRUE(CliIoctlIsSupported(3));
    for (uint32_t c : {0u, 1u, 2u, 4u, 6u, 7u, 8u, 9u, 10u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(CliIoctlIsSupported(c)) << c;
    }
    DeclareClasses({});
    EXPECT_FALSE(CliIoctlIsSupported(10));
    EXPECT_FALSE(CliIoctlIsSupported(0));
}

TEST(IoctlPayloadSize, ByDeclaredClassesAndExtraLengths) {
    EnsureRuntime();
    constexpr uint32_t kUntouched = 77;
    struct Case {
        std::initializer_list<int32_t> classes;
        std::map<int, uint32_t> extra;
        uint32_t size;
        uint32_t hbaMax;
    };
    const Case cases[] = {
        {{3}, {}, 0, kUntouched},
        {{0, 1, 2, 3}, {{0, 9000}, {1, 9000}, {2, 9000}}, 0, kUntouched},
        {{5}, {{5, 100}}, 6880, 512},
        {{5}, {{5, 512}}, 6880, 512},
        {{5}, {{5, 513}}, 6881, 513},
        {{4}, {}, 2064, kUntouched},
        {{4}, {{4, 1724}}, 2064, kUntouched},
        {{4}, {{4, 1725}}, 2065, kUntouched},
        {{6}, {}, 272, kUntouched},
        {{6}, {{6, 10}}, 282, kUntouched},
        {{7}, {}, 784, kUntouched},
        {{7}, {{7, 256}}, 784, kUntouched},
        {{7}, {{7, 257}}, 785, kUntouched},
        {{8}, {}, 4576, kUntouched},
        {{9}, {{9, 4}}, 1300, kUntouched},
        {{8, 5}, {{5, 0}, {8, 3000}}, 7576, 512},
        {{5, 8}, {{5, 2000}, {8, 3000}}, 8368, 2000},
        {{6, 4, 7}, {{6, 3000}}, 3272, kUntouched},
        // An extra length beyond what 32 bits can add up to never wraps to a
        // small payload.
        {{8}, {{8, 0xFFFFFFFF}}, 0xFFFFFFFF, kUntouched},
        {{5}, {{5, 0xFFFFF000}}, 0xFFFFFFFF, 0xFFFFF000},
    };
    for (const Case &c : cases) {
        DeclareClasses(c.classes, c.extra);
        gCli->hbaPayloadMax = kUntouched;
        const uint32_t size = CliIoctlPayloadSize();
        SCOPED_TRACE(testing::Message()
                     << "first class " << *c.classes.begin() << " size " << size);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(gCli->hbaPayloadMax, c.hbaMax);
        // Only the listed classes 4 to 9 are asked about.
        uint32_t expectedAsked = 0;
        for (int32_t k : c.classes) {
            if (k >= 4) {
                expectedAsked |= 1u << k;
            }
        }
        EXPECT_EQ(testhooks::gIoctlClassesAsked, expectedAsked);
    }
}

TEST(IoctlCodeTables, CsmiLengths) {
    const std::map<uint32_t, uint32_t> lengths = {
        {1, 174},   {2, 180}, {3, 36},  {4, 44},    {10, 100},  {11, 172},
        {20, 2052}, {21, 8},  {22, 24}, {23, 2064}, {24, 340},  {25, 136},
        {26, 24},   {27, 20}, {28, 20}, {29, 296},  {30, 1152}, {60, 312}};
    for (uint32_t code = 0; code < 300; ++code) {
        const auto it = lengths.find(code);
        EXPECT_EQ(CliIoctlCsmiGetLen(code), it == lengths.end() ? 0u : it->second) << code;
    }
    // The whole code counts.
    EXPECT_EQ(CliIoctlCsmiGetLen(0x100 + 60), 0u);
    EXPECT_EQ(CliIoctlCsmiGetLen(0xFFFFFFFF), 0u);
}

TEST(IoctlCodeTables, HbaLengthsAndVersionsByLowByte) {
    struct Known {
        uint32_t length;
        uint8_t version;
    };
    const std::map<uint32_t, Known> known = {
        {0, {512, 0}},  {1, {260, 0}}, {2, {64, 0}},   {3, {64, 0}},    {4, {352, 0}},
        {5, {264, 0}},  {6, {64, 0}},  {9, {0, 0}},    {11, {0, 0}},    {12, {96, 1}},
        {13, {64, 0}},  {14, {64, 0}}, {15, {144, 0}}, {16, {128, 0}},  {17, {1792, 1}},
        {18, {128, 0}}, {19, {0, 0}},  {20, {64, 0}},  {21, {1040, 0}}, {22, {1040, 0}},
        {23, {64, 0}}};
    for (const auto &[code, k] : known) {
        for (uint32_t high : {0u, 0x100u, 0xABCD0000u}) {
            EXPECT_EQ(CliIoctlHbaGetLen(high | code), k.length) << code;
            EXPECT_EQ(CliIoctlHbaGetVer(high | code), k.version) << code;
        }
    }
    for (uint32_t code : {7u, 8u, 10u, 24u, 255u, 0x1FFu}) {
        SCOPED_TRACE(code);
        ExpectRefusal([code] { CliIoctlHbaGetLen(code); }, "CliIoctlHbaGetLen");
        ExpectRefusal([code] { CliIoctlHbaGetVer(code); }, "CliIoctlHbaGetVer");
    }
}

TEST(IoctlCodeTables, VdaAndVsaVersions) {
    for (uint32_t code : {0u, 1u, 2u, 4u, 6u, 7u, 8u, 0x104u}) {
        EXPECT_EQ(CliIoctlVdaGetVer(code), 0) << code;
    }
    for (uint32_t code = 0; code <= 12; ++code) {
        EXPECT_EQ(CliIoctlVsaGetVer(code), 0) << code;
        EXPECT_EQ(CliIoctlVsaGetVer(0x300 | code), 0) << code;
    }
    for (uint32_t code : {3u, 5u, 9u, 255u}) {
        SCOPED_TRACE(code);
        ExpectRefusal([code] { CliIoctlVdaGetVer(code); }, "CliIoctlVdaGetVer");
    }
    for (uint32_t code : {13u, 255u}) {
        SCOPED_TRACE(code);
        ExpectRefusal([code] { CliIoctlVsaGetVer(code); }, "CliIoctlVsaGetVer");
    }
}

bool IsCleared(const CliIoctlResource &r) {
    const CliIoctlResource zero{};
    return memcmp(&r, &zero, sizeof r) == 0;
}

TEST(IoctlResource, BufferSizesFollowTheDeclaredClasses) {
    EnsureRuntime();
    struct Case {
        std::initializer_list<int32_t> classes;
        std::map<int, uint32_t> extra;
        uint32_t payload;
        uint32_t method; // 16, or the inline sizes
    };
    const Case cases[] = {
        {{3}, {}, 0, 16},
        {{0}, {{0, 5000}}, 0, 3104},
        {{1}, {{1, 5000}}, 5000, 3104},
        {{2, 6}, {{2, 100}}, 272, 3104},
        {{5, 2}, {{2, 9000}}, 9000, 3104},
        {{5, 1}, {{1, 100}}, 6880, 3104},
        {{4, 7}, {}, 2064, 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "payload " << c.payload);
        DeclareClasses(c.classes, c.extra);
        CliIoctlResource r;
        memset(&r, 0xAB, sizeof r); // whatever was there is not freed, only cleared
        ASSERT_TRUE(CliIoctlRsrcAlloc(&r));
        EXPECT_EQ(r.payloadSize, c.payload);
        EXPECT_EQ(r.payload == nullptr, c.payload == 0);
        EXPECT_EQ(r.inSize, c.method);
        EXPECT_EQ(r.outSize, c.method == 16 ? 16u : 3088u);
        EXPECT_NE(r.inBuf, nullptr);
        EXPECT_NE(r.outBuf, nullptr);
        EXPECT_EQ(r.classData, nullptr);
        EXPECT_EQ(r.dataArea, nullptr);
        EXPECT_EQ(r.tunnelHdr, nullptr);
        EXPECT_EQ(r.remoteBlock, nullptr);
        CliIoctlRsrcFree(&r);
        EXPECT_TRUE(IsCleared(r));
    }
}

TEST(IoctlResource, DefaultRecordAndFreeingANeverAllocatedRecord) {
    EnsureRuntime();
    DeclareClasses({8});
    EXPECT_EQ(CliIoctlRsrcGet(), &gCliIoctlBuffer);
    ASSERT_TRUE(CliIoctlRsrcAlloc(nullptr));
    EXPECT_EQ(gCliIoctlBuffer.payloadSize, 4576u);
    EXPECT_NE(gCliIoctlBuffer.payload, nullptr);
    CliIoctlRsrcFree(nullptr);
    EXPECT_TRUE(IsCleared(gCliIoctlBuffer));

    CliIoctlResource never{};
    CliIoctlRsrcFree(&never);
    EXPECT_TRUE(IsCleared(never));
}

TEST(IoctlResource, AllocationFailureLeavesNoBuffers) {
    EnsureRuntime();
    DeclareClasses({0, 5}); // payload, input and output buffer: three allocations
    for (int failAt = 1; failAt <= 3; ++failAt) {
        SCOPED_TRACE(failAt);
        testsupport::SysFaults faults;
        faults.FailNth(testsupport::Sys::calloc, failAt, ENOMEM);
        CliIoctlResource r;
        memset(&r, 0x5A, sizeof r);
        EXPECT_FALSE(CliIoctlRsrcAlloc(&r));
        EXPECT_TRUE(IsCleared(r));
    }
}

TEST(IoctlResource, DefaultRecordThatCannotBeAllocatedEndsTheProcess) {
    ChildResult r = RunInChild([] {
        EnsureRuntime();
        DeclareClasses({5});
        testsupport::SysFaults faults;
        faults.FailFrom(testsupport::Sys::calloc, 1, ENOMEM);
        CliIoctlRsrcAlloc(nullptr);
        testsupport::SideChannelWrite("returned\n");
    });
    EXPECT_EQ(r.err, "TOOL: Insufficent IOCTL resources.\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.side, "CltExit\n");
}

TEST(IoctlHandle, InitGivesAFreshConnectionBody) {
    EnsureRuntime();
    CliIoctlHandle h;
    memset(&h, 0xCD, sizeof h);
    ASSERT_TRUE(CliIoctlHndInit(&h, 7));
    ASSERT_NE(h.conn, nullptr);
    EXPECT_EQ(h.conn->refCount, 1u);
    EXPECT_EQ(h.conn->connKind, 7u);
    EXPECT_EQ(h.conn->ioConnect, 0u);
    EXPECT_FALSE(h.tunnelMode);
    EXPECT_FALSE(h.remoteMode);
    EXPECT_EQ(h.tunnelTag, 0);
    EXPECT_EQ(h.remoteTarget, 0u);
    EXPECT_EQ(h.remoteLun, 0);
    CliIoctlHndRelease(&h);
    EXPECT_EQ(h.conn, nullptr);
    CliIoctlHndRelease(&h); // nothing left to release
    CliIoctlHndRelease(nullptr);
    EXPECT_FALSE(CliIoctlHndInit(nullptr, 1));
}

TEST(IoctlHandle, InitFailsCleanlyWithoutMemory) {
    EnsureRuntime();
    testsupport::SysFaults faults;
    faults.FailFrom(testsupport::Sys::calloc, 1, ENOMEM);
    CliIoctlHandle h;
    memset(&h, 0xCD, sizeof h);
    EXPECT_FALSE(CliIoctlHndInit(&h, 1));
    EXPECT_EQ(h.conn, nullptr);
    EXPECT_FALSE(h.tunnelMode);
}

} // namespace
