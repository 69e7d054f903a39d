// Requests of every class through the public calls, played by a fake driver
// that reads the method input and the caller's payload at the address it is
// given, and answers through the output buffer and the payload.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/runtime/ioctl_test_support.h"

namespace {

using ioctltest::AnswerStatus;
using ioctltest::Bytes;
using ioctltest::DeclareClasses;
using ioctltest::EnsureRuntime;
using ioctltest::ExpectRefusal;
using ioctltest::PutLe;
using ioctltest::SameBytes;
using ioctltest::StructCall;

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return b;
}

class IoctlRequests : public ::testing::Test {
protected:
    void SetUp() override { EnsureRuntime(); }

    void TearDown() override {
        CliIoctlHndRelease(&hnd);
        CliIoctlRsrcFree(&rsrc);
    }

    // Declares the classes, allocates the record and opens the fake driver's
    // user client into a fresh handle.
    void Start(std::initializer_list<int32_t> classes, const std::map<int, uint32_t> &extra = {}) {
        DeclareClasses(classes, extra);
        ASSERT_TRUE(CliIoctlRsrcAlloc(&rsrc));
        ASSERT_TRUE(CliIoctlHndInit(&hnd, 0));
        const io_connect_t connection = driver.Connect();
        ASSERT_NE(connection, 0u);
        ASSERT_TRUE(OssOpenUserClient(connection));
        hnd.conn->ioConnect = connection;
    }

    const std::vector<StructCall> &Calls() const { return driver.state->structCalls; }

    uint8_t *Payload() const { return static_cast<uint8_t *>(rsrc.payload); }
    uint8_t *In() const { return static_cast<uint8_t *>(rsrc.inBuf); }
    uint8_t *Out() const { return static_cast<uint8_t *>(rsrc.outBuf); }

    // The descriptor a driver must receive for a payload request.
    Bytes Descriptor(uint32_t length, uint32_t code) const {
        Bytes d(16, 0);
        PutLe(d, 0, reinterpret_cast<uintptr_t>(rsrc.payload), 8);
        PutLe(d, 8, length, 4);
        PutLe(d, 12, code, 4);
        return d;
    }

    ioctltest::FakeDriver driver;
    CliIoctlHandle hnd{};
    CliIoctlResource rsrc{};
};

// The expected inline request: everything zero but the given fields.
Bytes InlineRequest(uint32_t operation, uint32_t word4) {
    Bytes b(3104, 0);
    PutLe(b, 0, operation, 4);
    PutLe(b, 4, word4, 4);
    b[3100] = 0x30; // 6192, little-endian
    b[3101] = 0x18;
    return b;
}

TEST_F(IoctlRequests, UserClientOpensWithTypeZeroAndClosesWithTheLastRelease) {
    Start({3});
    EXPECT_EQ(driver.state->openTypes, std::vector<uint32_t>{0});
    EXPECT_EQ(driver.state->scalarCalls, std::vector<uint32_t>{0});

    hnd.conn->refCount = 2; // a second holder
    CliIoctlHndRelease(&hnd);
    ASSERT_NE(hnd.conn, nullptr);
    EXPECT_EQ(hnd.conn->refCount, 1u);
    EXPECT_EQ(driver.state->scalarCalls, std::vector<uint32_t>{0});
    EXPECT_EQ(driver.state->closes, 0);

    CliIoctlHndRelease(&hnd);
    EXPECT_EQ(hnd.conn, nullptr);
    EXPECT_EQ(driver.state->scalarCalls, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(driver.state->closes, 1);
}

TEST_F(IoctlRequests, ReleaseWithoutConnectionOrCountMakesNoCall) {
    Start({3});
    const uint32_t connection = hnd.conn->ioConnect;
    hnd.conn->ioConnect = 0;
    CliIoctlHndRelease(&hnd);
    EXPECT_EQ(hnd.conn, nullptr);

    ASSERT_TRUE(CliIoctlHndInit(&hnd, 0));
    hnd.conn->ioConnect = connection;
    hnd.conn->refCount = 0; // already released by another holder
    CliIoctlHndRelease(&hnd);
    EXPECT_EQ(hnd.conn, nullptr);
    EXPECT_EQ(driver.state->scalarCalls, std::vector<uint32_t>{0});
    EXPECT_EQ(driver.state->closes, 0);
    EXPECT_TRUE(OssCloseUserClient(connection));
    EXPECT_EQ(IOServiceClose(connection), KERN_SUCCESS);
}

TEST_F(IoctlRequests, UserClientCallResults) {
    Start({3});
    driver.state->scalarResult = kIOReturnNotResponding;
    EXPECT_FALSE(OssOpenUserClient(hnd.conn->ioConnect));
    EXPECT_FALSE(OssCloseUserClient(hnd.conn->ioConnect));
    driver.state->scalarResult = KERN_SUCCESS;
    EXPECT_TRUE(OssCloseUserClient(hnd.conn->ioConnect));
    EXPECT_FALSE(OssOpenUserClient(hnd.conn->ioConnect + 1000)); // no such connection
}

TEST_F(IoctlRequests, InlineReadsLandInTheOutputBuffer) {
    Start({0});
    const struct {
        uint32_t access;
        uint32_t operation;
    } reads[] = {{1, 2}, {2, 0}};
    for (const auto &read : reads) {
        for (uint32_t length : {3072u, 1u, 0u}) {
            SCOPED_TRACE(testing::Message() << "access " << read.access << " length " << length);
            const Bytes answer = Pattern(length, static_cast<uint8_t>(read.access));
            driver.state->respond = [&answer](const StructCall &, uint8_t *out, uint8_t *target) {
                EXPECT_EQ(target, nullptr);
                PutLe(out, 0, 4);
                std::copy(answer.begin(), answer.end(), out + 16);
                return KERN_SUCCESS;
            };
            auto *data =
                static_cast<uint8_t *>(CliIoctlInitTs(&hnd, &rsrc, 0, read.access, 0x55, length));
            ASSERT_EQ(data, Out() + 16);
            const size_t before = Calls().size();
            ASSERT_TRUE(CliIoctlSendTs(&hnd, &rsrc, 0, 99, nullptr));
            ASSERT_EQ(Calls().size(), before + 1);
            const StructCall &call = Calls().back();
            EXPECT_EQ(call.selector, 5u);
            EXPECT_EQ(call.outputCapacity, 3088u);
            Bytes expected = InlineRequest(read.operation, 0);
            PutLe(expected, 24, length, 4);
            EXPECT_TRUE(SameBytes(call.input, expected));
            EXPECT_EQ(Bytes(data, data + length), answer);
        }
        EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 0, read.access, 0, 3073), nullptr);
    }
}

TEST_F(IoctlRequests, InlineWritesTravelInTheInputBuffer) {
    Start({0});
    const struct {
        uint32_t access;
        uint32_t operation;
    } writes[] = {{4, 1}, {8, 5}};
    for (const auto &write : writes) {
        for (uint32_t length : {3072u, 17u}) {
            SCOPED_TRACE(testing::Message() << "access " << write.access << " length " << length);
            auto *data =
                static_cast<uint8_t *>(CliIoctlInitTs(&hnd, &rsrc, 0, write.access, 0, length));
            ASSERT_EQ(data, In() + 28);
            const Bytes mine = Pattern(length, 0x40);
            memcpy(data, mine.data(), length);
            ASSERT_TRUE(CliIoctlSendTs(&hnd, &rsrc, 0, 0, nullptr));
            Bytes expected = InlineRequest(write.operation, 0);
            PutLe(expected, 24, length, 4);
            std::copy(mine.begin(), mine.end(), expected.begin() + 28);
            EXPECT_TRUE(SameBytes(Calls().back().input, expected));
        }
        EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 0, write.access, 0, 3073), nullptr);
    }
}

TEST_F(IoctlRequests, PlainEntryPointsUseTheDefaultRecord) {
    Start({3});
    DeclareClasses({8});
    ASSERT_TRUE(CliIoctlRsrcAlloc(nullptr));
    auto *data = static_cast<uint8_t *>(CliIoctlInit(&hnd, 8, 0, 0x42, 10));
    ASSERT_EQ(data, gCliIoctlBuffer.payload);
    EXPECT_EQ(data[1], 0x42);
    EXPECT_TRUE(CliIoctlSend(&hnd, 8, 0, nullptr));
    ASSERT_EQ(Calls().size(), 1u);
    EXPECT_EQ(Calls()[0].selector, 11u);
    EXPECT_EQ(Calls()[0].address, reinterpret_cast<uintptr_t>(gCliIoctlBuffer.payload));
    EXPECT_EQ(Calls()[0].length, 74u);
    CliIoctlRsrcFree(nullptr);
}

TEST_F(IoctlRequests, InlineFailuresByStatusAndByCall) {
    Start({0, 1}, {{1, 64}});
    for (uint32_t ioctlClass : {0u, 1u}) {
        ASSERT_NE(CliIoctlInitTs(&hnd, &rsrc, ioctlClass, 1, 0, 1), nullptr);
        driver.state->respond = AnswerStatus(1);
        EXPECT_FALSE(CliIoctlSendTs(&hnd, &rsrc, ioctlClass, 0, nullptr)) << ioctlClass;
        driver.state->respond = AnswerStatus(0, kIOReturnNotResponding);
        EXPECT_FALSE(CliIoctlSendTs(&hnd, &rsrc, ioctlClass, 0, nullptr)) << ioctlClass;
        driver.state->respond = AnswerStatus(0);
        EXPECT_TRUE(CliIoctlSendTs(&hnd, &rsrc, ioctlClass, 0, nullptr)) << ioctlClass;
    }
}

TEST_F(IoctlRequests, ByAddressClassesHandThePayloadAddressInTwoWords) {
    Start({1, 2}, {{1, 8192}, {2, 100}});
    ASSERT_EQ(rsrc.payloadSize, 8192u);
    const uintptr_t address = reinterpret_cast<uintptr_t>(rsrc.payload);
    for (uint32_t ioctlClass : {1u, 2u}) {
        for (uint32_t length : {8192u, 5u}) {
            SCOPED_TRACE(testing::Message() << "class " << ioctlClass << " length " << length);
            const Bytes fromDriver = Pattern(length, 0x90);
            driver.state->respond = [&](const StructCall &call, uint8_t *out, uint8_t *target) {
                EXPECT_EQ(call.address, address);
                EXPECT_EQ(call.length, length);
                if (ioctlClass == 1) {
                    memcpy(target, fromDriver.data(), length);
                }
                PutLe(out, 0, 4);
                return KERN_SUCCESS;
            };
            auto *data =
                static_cast<uint8_t *>(CliIoctlInitTs(&hnd, &rsrc, ioctlClass, 0, 0x77, length));
            ASSERT_EQ(data, Payload());
            const Bytes mine = Pattern(length, 0x10);
            if (ioctlClass == 2) {
                memcpy(data, mine.data(), length);
            }
            ASSERT_TRUE(CliIoctlSendTs(&hnd, &rsrc, ioctlClass, 0, nullptr));
            const StructCall &call = Calls().back();
            EXPECT_EQ(call.selector, 5u);
            EXPECT_EQ(call.outputCapacity, 3088u);
            Bytes expected = InlineRequest(0x10000, ioctlClass == 1 ? 0 : 1);
            PutLe(expected, 8, length, 4);
            PutLe(expected, 12, static_cast<uint32_t>(address), 4);
            PutLe(expected, 16, static_cast<uint64_t>(address) >> 32, 4);
            EXPECT_TRUE(SameBytes(call.input, expected));
            if (ioctlClass == 1) {
                EXPECT_EQ(Bytes(data, data + length), fromDriver);
            } else {
                EXPECT_EQ(call.payload, mine);
            }
        }
        EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, ioctlClass, 0, 0, 8193), nullptr);
    }
}

TEST_F(IoctlRequests, CsmiStatusWordIsHandedBackWithSuccess) {
    Start({4}, {{4, 100}});
    ASSERT_EQ(rsrc.payloadSize, 2064u);
    memset(rsrc.payload, 0xEE, rsrc.payloadSize);
    auto *data = static_cast<uint8_t *>(CliIoctlInitTs(&hnd, &rsrc, 4, 9, 1, 100));
    ASSERT_EQ(data, Payload());
    EXPECT_TRUE(SameBytes(Bytes(data, data + 2064), Bytes(2064, 0)));
    const Bytes mine = Pattern(274, 3);
    memcpy(data, mine.data(), mine.size());

    driver.state->respond = AnswerStatus(0x12345678);
    uint32_t status = 0;
    ASSERT_TRUE(CliIoctlSendTs(&hnd, &rsrc, 4, 0, &status));
    EXPECT_EQ(status, 0x12345678u);
    const StructCall &call = Calls().back();
    EXPECT_EQ(call.selector, 10u);
    EXPECT_EQ(call.outputCapacity, 4u);
    EXPECT_TRUE(SameBytes(call.input, Descriptor(174 + 100, 1)));
    EXPECT_EQ(call.payload, mine);

    EXPECT_TRUE(CliIoctlSendTs(&hnd, &rsrc, 4, 0, nullptr));
    driver.state->respond = AnswerStatus(5, kIOReturnNotResponding);
    status = 0xAAAA;
    EXPECT_FALSE(CliIoctlSendTs(&hnd, &rsrc, 4, 0, &status));
    EXPECT_EQ(status, 0xAAAAu);

    // A code without a fixed length carries the extra bytes alone; the code
    // travels whole.
    ASSERT_NE(CliIoctlInitTs(&hnd, &rsrc, 4, 0, 0x10005, 40), nullptr);
    driver.state->respond = nullptr;
    ASSERT_TRUE(CliIoctlSendTs(&hnd, &rsrc, 4, 0, nullptr));
    EXPECT_TRUE(SameBytes(Calls().back().input, Descriptor(40, 0x10005)));
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 4, 0, 1, 2064 - 174 + 1), nullptr);
}

TEST_F(IoctlRequests, VersionedClassesCarryTheirHeaderInThePayload) {
    struct Case {
        uint32_t ioctlClass;
        uint32_t code;
        uint32_t extra;
        uint32_t selector;
        uint32_t length;
        uint8_t version;
        uint32_t extraField; // what the header's extra length says
    };
    const Case cases[] = {
        {5, 12, 200, 9, 200 + 96 + 64, 1, 200},
        {5, 0x311, 0, 9, 1792 + 64, 1, 0}, // the low byte is the code: 17
        {5, 9, 7, 9, 7 + 0 + 64, 0, 7},
        {5, 4, 0, 9, 352 + 64, 0, 0},
        {6, 4, 100, 4, 372, 0, 100},
        {6, 8, 0, 4, 272, 0, 0},
        {7, 12, 0, 12, 528, 0, 0},
        {7, 0, 256, 12, 784, 0, 256},
        {8, 0xAB, 100, 11, 164, 0, 0},
        {8, 0, 0, 11, 64, 0, 0},
    };
    Start({5, 6, 7, 8}, {{5, 1000}, {6, 100}, {7, 256}, {8, 100}});
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.ioctlClass << " code " << c.code);
        // Nothing of an earlier request survives a build.
        memset(rsrc.payload, 0xEE, rsrc.payloadSize);
        memset(rsrc.outBuf, 0xEE, rsrc.outSize);
        memset(rsrc.inBuf, 0xEE, rsrc.inSize);
        auto *data =
            static_cast<uint8_t *>(CliIoctlInitTs(&hnd, &rsrc, c.ioctlClass, 3, c.code, c.extra));
        ASSERT_EQ(data, Payload());
        EXPECT_TRUE(SameBytes(Bytes(Out(), Out() + rsrc.outSize), Bytes(rsrc.outSize, 0)));
        Bytes expected(rsrc.payloadSize, 0);
        expected[0] = c.version;
        expected[1] = static_cast<uint8_t>(c.code);
        PutLe(expected, 4, c.extraField, 4);
        EXPECT_TRUE(SameBytes(Bytes(data, data + rsrc.payloadSize), expected));

        // The caller's data behind the header reach the driver unchanged.
        const Bytes mine = Pattern(c.length - 8, 0x21);
        memcpy(data + 8, mine.data(), mine.size());
        std::copy(mine.begin(), mine.end(), expected.begin() + 8);
        driver.state->respond = AnswerStatus(0xBAD); // the status word is not judged
        ASSERT_TRUE(CliIoctlSendTs(&hnd, &rsrc, c.ioctlClass, 0, nullptr));
        const StructCall &call = Calls().back();
        EXPECT_EQ(call.selector, c.selector);
        EXPECT_EQ(call.outputCapacity, 4u);
        EXPECT_TRUE(SameBytes(call.input, Descriptor(c.length, 0)));
        EXPECT_TRUE(SameBytes(call.payload, Bytes(expected.begin(), expected.begin() + c.length)));

        driver.state->respond = AnswerStatus(0, kIOReturnError);
        EXPECT_FALSE(CliIoctlSendTs(&hnd, &rsrc, c.ioctlClass, 0, nullptr));
    }
}

TEST_F(IoctlRequests, DataAreaLargerThanThePayloadIsNotBuilt) {
    Start({5}, {{5, 1000}});
    ASSERT_EQ(rsrc.payloadSize, 7368u);
    EXPECT_NE(CliIoctlInitTs(&hnd, &rsrc, 5, 0, 0, 7368 - 512 - 64), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 5, 0, 0, 7368 - 512 - 64 + 1), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 8, 0, 0, 7368 - 64 + 1), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 6, 0, 0, 7368 - 272 + 1), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 7, 0, 0, 7368 - 528 + 1), nullptr);
    // Lengths whose sum leaves 32 bits do not wrap into something that fits.
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 5, 0, 0, 0xFFFFFFFF), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 5, 0, 12, 0xFFFFFFFF - 96 - 64 + 1), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 8, 0, 0, 0xFFFFFFC0), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 6, 0, 0, 0xFFFFFFFF - 271), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 7, 0, 0, 0xFFFFFFFF - 527), nullptr);
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 4, 0, 1, 0xFFFFFFF0), nullptr);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(IoctlRequests, CsmiOnASmallPayloadStaysInsideIt) {
    Start({6}, {{6, 100}});
    ASSERT_EQ(rsrc.payloadSize, 372u);
    auto *data = static_cast<uint8_t *>(CliIoctlInitTs(&hnd, &rsrc, 4, 0, 3, 0));
    ASSERT_EQ(data, Payload());
    ASSERT_TRUE(CliIoctlSendTs(&hnd, &rsrc, 4, 0, nullptr));
    EXPECT_TRUE(SameBytes(Calls().back().input, Descriptor(36, 3)));
}

TEST_F(IoctlRequests, RequestsTheFrameworkDoesNotKnowAreFatal) {
    Start({0, 5, 6, 7, 8});
    CliIoctlHandle *h = &hnd;
    CliIoctlResource *r = &rsrc;
    ExpectRefusal([=] { CliIoctlInitTs(h, r, 3, 0, 0, 0); }, "OsIoctlPayloadPtr");
    ExpectRefusal([=] { CliIoctlInitTs(h, r, 9, 0, 0, 0); }, "OsIoctlPayloadPtr");
    ExpectRefusal([=] { CliIoctlInitTs(h, r, 0, 3, 0, 0); }, "OsIoctlPayloadPtr");
    ExpectRefusal([=] { CliIoctlInitTs(h, r, 5, 0, 10, 0); }, "CliIoctlHbaGetLen");
    ExpectRefusal([=] { CliIoctlInitTs(h, r, 6, 0, 5, 0); }, "CliIoctlVdaGetVer");
    ExpectRefusal([=] { CliIoctlInitTs(h, r, 7, 0, 13, 0); }, "CliIoctlVsaGetVer");
    ExpectRefusal([=] { CliIoctlSendTs(h, r, 3, 0, nullptr); }, "CliIoctlSendTs");
    ExpectRefusal([=] { CliIoctlSendTs(h, r, 9, 0, nullptr); }, "CliIoctlSendTs");
    // Nothing built yet: the record has no method selector.
    ExpectRefusal([=] { CliIoctlSendTs(h, r, 5, 0, nullptr); }, "OssIoctlSend");
    ExpectRefusal([=] { OsIoctlInit(h, r, 3, 0, 0, 0); }, "OsIoctlInit");
    ExpectRefusal([=] { OsIoctlInit(h, r, 0, 16, 0, 0); }, "OsIoctlInit");
    ExpectRefusal(
        [=] {
            OsIoctlInit(h, r, 5, 0, 0, 64);
            OsIoctlSend(h, r, 3, 0, nullptr, 0);
        },
        "OsIoctlSend");
    ExpectRefusal([=] { OssIoctlSend(h->conn->ioConnect, r); }, "OssIoctlSend");
    EXPECT_TRUE(Calls().empty());
}

TEST_F(IoctlRequests, AFailedBuildLeavesNothingToSend) {
    Start({5});
    ASSERT_NE(CliIoctlInitTs(&hnd, &rsrc, 5, 0, 0, 0), nullptr);
    ASSERT_EQ(CliIoctlInitTs(&hnd, &rsrc, 5, 0, 0, 0xFFFF), nullptr);
    EXPECT_EQ(rsrc.dataArea, nullptr);
    CliIoctlHandle *h = &hnd;
    CliIoctlResource *r = &rsrc;
    ExpectRefusal([=] { CliIoctlSendTs(h, r, 5, 0, nullptr); }, "OssIoctlSend");
    EXPECT_TRUE(Calls().empty());
}

// Without class 0, 1 or 2 declared the method buffers are 16 bytes; an
// inline request cannot be built in them.
TEST_F(IoctlRequests, InlineClassesOnSmallMethodBuffersAreRefused) {
    Start({5});
    ASSERT_EQ(rsrc.inSize, 16u);
    ASSERT_EQ(rsrc.outSize, 16u);
    const struct {
        uint32_t ioctlClass;
        uint32_t access;
    } inlineRequests[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {1, 0}, {2, 0}};
    for (const auto &req : inlineRequests) {
        SCOPED_TRACE(testing::Message() << "class " << req.ioctlClass << " access " << req.access);
        EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, req.ioctlClass, req.access, 0, 0), nullptr);
        EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, req.ioctlClass, req.access, 0, 8), nullptr);
        EXPECT_EQ(OsIoctlPayloadPtr(&hnd, &rsrc, 0, req.access == 0 ? 1 : req.access), nullptr);
    }
    // Even a request with the inline selector forced in is not handed over
    // with buffers smaller than the call sizes.
    rsrc.selector = 5;
    EXPECT_FALSE(OssIoctlSend(hnd.conn->ioConnect, &rsrc));
    EXPECT_TRUE(Calls().empty());
}

} // namespace
