// Tunnelled requests and their remote delivery by WRITE BUFFER / READ
// BUFFER, played by a fake driver that checks the tunnel header and the
// remote block byte by byte and answers with SCSI status and sense data.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "tests/support/child_process.h"
#include "tests/unit/runtime/ioctl_test_support.h"

namespace {

using ioctltest::AnswerStatus;
using ioctltest::Bytes;
using ioctltest::DeclareClasses;
using ioctltest::EnsureRuntime;
using ioctltest::GetLe;
using ioctltest::PutLe;
using ioctltest::RunWithRuntime;
using ioctltest::SameBytes;
using ioctltest::StructCall;
using testsupport::ChildResult;

constexpr uint8_t kTag = 0x5C;
constexpr uint32_t kTarget = 0x01020304;
constexpr uint8_t kLun = 7;

class IoctlTunnel : public ::testing::Test {
protected:
    void SetUp() override { EnsureRuntime(); }

    void TearDown() override {
        CliIoctlHndRelease(&hnd);
        CliIoctlRsrcFree(&rsrc);
    }

    void Start(bool remote, uint32_t kind = 1,
               std::initializer_list<int32_t> classes = {5, 8, 6, 0},
               const std::map<int, uint32_t> &extra = {{5, 1000}, {8, 100}}) {
        DeclareClasses(classes, extra);
        ASSERT_TRUE(CliIoctlRsrcAlloc(&rsrc));
        ASSERT_TRUE(CliIoctlHndInit(&hnd, kind));
        const io_connect_t connection = driver.Connect();
        ASSERT_NE(connection, 0u);
        hnd.conn->ioConnect = connection;
        hnd.tunnelMode = true;
        hnd.remoteMode = remote;
        hnd.tunnelTag = kTag;
        hnd.remoteTarget = kTarget;
        hnd.remoteLun = kLun;
    }

    const std::vector<StructCall> &Calls() const { return driver.state->structCalls; }
    uint8_t *Payload() const { return static_cast<uint8_t *>(rsrc.payload); }

    uint8_t *Build(uint32_t ioctlClass, uint32_t code, uint32_t extra) {
        return static_cast<uint8_t *>(CliIoctlInitTs(&hnd, &rsrc, ioctlClass, 0, code, extra));
    }
    bool Send(uint32_t ioctlClass) { return CliIoctlSendTs(&hnd, &rsrc, ioctlClass, 0, nullptr); }

    ioctltest::FakeDriver driver;
    CliIoctlHandle hnd{};
    CliIoctlResource rsrc{};
};

// The tunnel header a driver must find, GUID aside.
Bytes TunnelHeader(uint8_t tunnelClass, uint32_t length, uint32_t timeout) {
    Bytes h(64, 0);
    h[0] = 'K';
    h[1] = 'O';
    h[2] = 'R';
    h[3] = 'V';
    h[5] = tunnelClass;
    h[7] = kTag;
    PutLe(h, 24, length, 4);
    PutLe(h, 28, timeout, 4);
    return h;
}

TEST_F(IoctlTunnel, HbaAndRawRequestsTravelBehindATunnelHeader) {
    Start(false);
    struct Case {
        uint32_t ioctlClass;
        uint32_t code;
        uint32_t extra;
        uint32_t length; // of the tunnelled request
        uint8_t tunnelClass;
        uint8_t version;
        uint32_t extraField;
    };
    const Case cases[] = {
        {5, 12, 10, 10 + 96 + 64, 1, 1, 10},
        {5, 2, 0, 64 + 64, 1, 0, 0},
        {8, 0x33, 20, 84, 2, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.ioctlClass);
        uint8_t *data = Build(c.ioctlClass, c.code, c.extra);
        ASSERT_EQ(data, Payload() + 64);
        EXPECT_EQ(rsrc.classData, rsrc.payload);
        EXPECT_EQ(static_cast<void *>(rsrc.tunnelHdr), rsrc.payload);
        EXPECT_EQ(rsrc.remoteBlock, nullptr);
        EXPECT_EQ(rsrc.dataOffset, 64u);
        const Bytes mine(c.length - 8, 0x3D);
        memcpy(data + 8, mine.data(), mine.size());

        ASSERT_TRUE(Send(c.ioctlClass));
        const StructCall &call = Calls().back();
        EXPECT_EQ(call.selector, 9u); // every tunnelled request goes as class 5
        Bytes descriptor(16, 0);
        PutLe(descriptor, 0, reinterpret_cast<uintptr_t>(rsrc.payload), 8);
        PutLe(descriptor, 8, 64 + c.length, 4);
        EXPECT_TRUE(SameBytes(call.input, descriptor));

        Bytes expected = TunnelHeader(c.tunnelClass, c.length, 10);
        expected.resize(64 + 8, 0);
        expected[64] = c.version;
        expected[65] = static_cast<uint8_t>(c.code);
        PutLe(expected, 68, c.extraField, 4);
        expected.insert(expected.end(), mine.begin(), mine.end());
        EXPECT_TRUE(SameBytes(call.payload, expected));
    }
}

TEST_F(IoctlTunnel, TunnelStatusDecidesTheResult) {
    Start(false);
    // The receiver's own status comes back in the header.
    ASSERT_NE(Build(8, 1, 0), nullptr);
    driver.state->respond = [](const StructCall &, uint8_t *out, uint8_t *target) {
        target[6] = 0x21;
        PutLe(out, 0, 4);
        return KERN_SUCCESS;
    };
    EXPECT_FALSE(Send(8));
    EXPECT_EQ(Payload()[6], 0x21);

    // A failed call marks the header with 8.
    ASSERT_NE(Build(8, 1, 0), nullptr);
    driver.state->respond = AnswerStatus(0, kIOReturnNotResponding);
    EXPECT_FALSE(Send(8));
    EXPECT_EQ(Payload()[6], 8);

    // ... but keeps a status the receiver had set.
    ASSERT_NE(Build(8, 1, 0), nullptr);
    driver.state->respond = [](const StructCall &, uint8_t *, uint8_t *target) {
        target[6] = 0x13;
        return kIOReturnError;
    };
    EXPECT_FALSE(Send(8));
    EXPECT_EQ(Payload()[6], 0x13);

    ASSERT_NE(Build(8, 1, 0), nullptr);
    driver.state->respond = nullptr;
    EXPECT_TRUE(Send(8));
    EXPECT_EQ(Payload()[6], 0);
}

// Class 5 code 4 (SCSI pass-through) waits its own milliseconds / 1000 + 2
// seconds, at least 10; every other code and class 8 wait 10.
TEST_F(IoctlTunnel, PassThroughTimeoutRule) {
    Start(false);
    const struct {
        uint32_t code;
        uint32_t milliseconds;
        uint32_t seconds;
    } cases[] = {{4, 30000, 32}, {4, 5000, 10}, {4, 7999, 10},      {4, 8000, 10},
                 {4, 9000, 11},  {4, 0, 10},    {4, 1000000, 1002}, {4, 0xFFFFFFFF, 4294969},
                 {12, 30000, 10}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " ms " << c.milliseconds);
        uint8_t *data = Build(5, c.code, 0);
        ASSERT_NE(data, nullptr);
        PutLe(data + 104, c.milliseconds, 4);
        ASSERT_TRUE(Send(5));
        EXPECT_EQ(GetLe(Calls().back().payload, 28, 4), c.seconds);
    }
    ASSERT_NE(Build(8, 4, 200), nullptr);
    PutLe(Payload() + 64 + 104, 30000, 4);
    ASSERT_TRUE(Send(8));
    EXPECT_EQ(GetLe(Calls().back().payload, 28, 4), 10u);
}

TEST_F(IoctlTunnel, OnlyHbaAndRawRequestsCanBeTunnelled) {
    Start(false);
    // Class 0 data never lie in the payload: no request, no message.
    EXPECT_EQ(CliIoctlInitTs(&hnd, &rsrc, 0, 1, 0, 16), nullptr);
    CliIoctlHandle *h = &hnd;
    CliIoctlResource *r = &rsrc;
    for (uint32_t ioctlClass : {1u, 2u, 3u, 4u, 6u, 7u, 9u}) {
        SCOPED_TRACE(ioctlClass);
        ChildResult child = RunWithRuntime([=] { CliIoctlInitTs(h, r, ioctlClass, 0, 0, 0); });
        EXPECT_EQ(child.err, "TOOL: Update function CliIoctlInitTs\n");
        EXPECT_EQ(child.exitCode, 1);
    }
    ASSERT_NE(Build(8, 0, 0), nullptr);
    for (uint32_t ioctlClass : {0u, 1u, 4u, 6u, 7u}) {
        SCOPED_TRACE(ioctlClass);
        ChildResult child = RunWithRuntime([=] { CliIoctlSendTs(h, r, ioctlClass, 0, nullptr); });
        EXPECT_EQ(child.err, "TOOL: Update function CliIoctlSendTs\n");
        EXPECT_EQ(child.exitCode, 1);
    }
    EXPECT_TRUE(Calls().empty());
}

TEST_F(IoctlTunnel, PayloadTooSmallForTheTunnelLayoutIsRefused) {
    Start(true, 1, {6}, {}); // a payload of 272 bytes, short of the remote block
    ASSERT_EQ(rsrc.payloadSize, 272u);
    EXPECT_EQ(Build(8, 0, 0), nullptr);
    hnd.remoteMode = false;
    EXPECT_NE(Build(8, 0, 0), nullptr); // 64 + 64 bytes fit
    EXPECT_EQ(Build(8, 0, 145), nullptr);
}

// ---------------------------------------------------------------------------
// Remote delivery
// ---------------------------------------------------------------------------

// What the remote device answers to one step.
struct Answer {
    uint8_t reqStatus = 0;
    uint8_t transport = 0;
    uint8_t scsi = 0;
    uint8_t senseKey = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    std::optional<uint32_t> transferLen; // written to the block's +4
    kern_return_t result = KERN_SUCCESS;
    uint8_t replyStatus = 0; // tunnel status in a read step's reply
};

// Plays the remote device through the driver: each call takes the next
// answer; a read step's answer also writes the reply behind the block.
ioctltest::Responder Script(std::vector<Answer> answers, Bytes reply = {}) {
    auto step = std::make_shared<size_t>(0);
    return [answers = std::move(answers), reply = std::move(reply),
            step](const StructCall &call, uint8_t *out, uint8_t *block) {
        EXPECT_LT(*step, answers.size()) << "more steps than scripted";
        if (*step >= answers.size()) {
            return kIOReturnError;
        }
        const Answer &a = answers[(*step)++];
        block[2] = a.reqStatus;
        block[97] = a.transport;
        block[98] = a.scsi;
        block[124 + 2] = a.senseKey;
        block[124 + 12] = a.asc;
        block[124 + 13] = a.ascq;
        // Leftovers the read step must clear.
        block[120] = 0x99;
        block[124 + 30] = 0x99;
        if (a.transferLen) {
            PutLe(block + 4, *a.transferLen, 4);
        }
        if (call.payload.at(64) == 0x3C) {
            std::copy(reply.begin(), reply.end(), block + 416);
            block[416 + 6] = a.replyStatus;
        }
        PutLe(out, 0, 4);
        return a.result;
    };
}

// The remote block a driver must find for one step, GUID bytes from the
// tunnel header.
Bytes RemoteBlock(bool readStep, uint32_t length, uint32_t timeout, const uint8_t *guid) {
    Bytes b(416, 0);
    b[1] = 4;
    PutLe(b, 4, length + 64, 4);
    b[64] = readStep ? 0x3C : 0x3B;
    b[65] = 1;
    b[66] = 0x16;
    b[67] = guid[2];
    b[68] = guid[1];
    b[69] = guid[0];
    b[70] = static_cast<uint8_t>((length + 64) >> 16);
    b[71] = static_cast<uint8_t>((length + 64) >> 8);
    b[72] = static_cast<uint8_t>(length + 64);
    b[96] = 10;
    b[99] = 252;
    b[100] = readStep ? 0x05 : 0x06;
    PutLe(b, 104, timeout, 4);
    PutLe(b, 108, kTarget, 4);
    b[113] = kLun;
    return b;
}

TEST_F(IoctlTunnel, RemoteLayoutBeforeSending) {
    Start(true);
    uint8_t *data = Build(8, 0x33, 20);
    ASSERT_EQ(data, Payload() + 480);
    EXPECT_EQ(static_cast<void *>(rsrc.remoteBlock), rsrc.payload);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(rsrc.tunnelHdr), Payload() + 416);
    EXPECT_EQ(rsrc.dataOffset, 480u);
    Bytes expected(416, 0);
    expected[1] = 4; // a SCSI pass-through
    PutLe(expected, 4, 84 + 64, 4);
    Bytes header = TunnelHeader(2, 84, 0);
    expected.insert(expected.end(), header.begin(), header.end());
    Bytes request(84, 0);
    request[1] = 0x33;
    expected.insert(expected.end(), request.begin(), request.end());
    EXPECT_TRUE(SameBytes(Bytes(Payload(), Payload() + expected.size()), expected));
}

TEST_F(IoctlTunnel, RemoteDeliveryWritesThenReadsTheBuffer) {
    Start(true);
    uint8_t *data = Build(8, 0x33, 20);
    ASSERT_NE(data, nullptr);
    const Bytes mine(76, 0x6A);
    memcpy(data + 8, mine.data(), mine.size());
    Bytes reply(64 + 84, 0xC4);
    driver.state->respond = Script({Answer{}, Answer{}}, reply);

    ASSERT_TRUE(Send(8));
    ASSERT_EQ(Calls().size(), 2u);
    const StructCall &write = Calls()[0];
    const StructCall &read = Calls()[1];
    for (const StructCall *call : {&write, &read}) {
        EXPECT_EQ(call->selector, 9u);
        Bytes descriptor(16, 0);
        PutLe(descriptor, 0, reinterpret_cast<uintptr_t>(rsrc.payload), 8);
        PutLe(descriptor, 8, 480 + 84, 4);
        EXPECT_TRUE(SameBytes(call->input, descriptor));
    }

    // The transaction GUID: random, version 4, RFC 4122 variant.
    const uint8_t *guid = write.payload.data() + 416 + 8;
    EXPECT_NE(Bytes(guid, guid + 16), Bytes(16, 0));
    EXPECT_EQ(guid[6] >> 4, 4);
    EXPECT_EQ(guid[8] >> 6, 2);

    Bytes expected = RemoteBlock(false, 84, 10, guid);
    Bytes header = TunnelHeader(2, 84, 10);
    std::copy(guid, guid + 16, header.begin() + 8);
    expected.insert(expected.end(), header.begin(), header.end());
    Bytes request(8, 0);
    request[1] = 0x33;
    expected.insert(expected.end(), request.begin(), request.end());
    expected.insert(expected.end(), mine.begin(), mine.end());
    EXPECT_TRUE(SameBytes(write.payload, expected));

    // The read step: same CDB but the operation, sense and +120 cleared,
    // data-in instead of data-out; the request behind it is sent again as is.
    Bytes expectedRead = RemoteBlock(true, 84, 10, guid);
    EXPECT_TRUE(SameBytes(Bytes(read.payload.begin(), read.payload.begin() + 416), expectedRead));
    EXPECT_TRUE(SameBytes(Bytes(read.payload.begin() + 416, read.payload.end()),
                          Bytes(expected.begin() + 416, expected.end())));

    // The reply of the remote device is what the caller reads.
    EXPECT_EQ(Bytes(data, data + 84), Bytes(reply.begin() + 64, reply.end()));
    EXPECT_EQ(Payload()[416 + 6], 0);
}

TEST_F(IoctlTunnel, RemotePassThroughTimeoutReachesBlockAndHeader) {
    Start(true);
    uint8_t *data = Build(5, 4, 0);
    ASSERT_NE(data, nullptr);
    PutLe(data + 104, 30000, 4);
    driver.state->respond = Script({Answer{}, Answer{}}, Bytes(64 + 64 + 352, 0));
    ASSERT_TRUE(Send(5));
    ASSERT_EQ(Calls().size(), 2u);
    for (const StructCall &call : Calls()) {
        EXPECT_EQ(GetLe(call.payload, 104, 4), 32u);
        EXPECT_EQ(GetLe(call.payload, 416 + 28, 4), 32u);
        EXPECT_EQ(call.payload[416 + 5], 1); // a class 5 request inside
    }
}

TEST_F(IoctlTunnel, AbortedCommandIsRetriedOnceWithAFreshGuid) {
    Start(true);
    ASSERT_NE(Build(8, 1, 0), nullptr);
    Answer aborted;
    aborted.scsi = 2;
    aborted.senseKey = 0x0B;
    aborted.asc = 0x4E;
    aborted.ascq = 0x00;
    driver.state->respond = Script({aborted, Answer{}, Answer{}}, Bytes(128, 0));
    ASSERT_TRUE(Send(8));
    ASSERT_EQ(Calls().size(), 3u);
    const Bytes guid1(Calls()[0].payload.begin() + 424, Calls()[0].payload.begin() + 440);
    const Bytes guid2(Calls()[1].payload.begin() + 424, Calls()[1].payload.begin() + 440);
    EXPECT_NE(guid1, guid2);
    for (size_t i = 0; i < 2; ++i) {
        const Bytes &p = Calls()[i].payload;
        EXPECT_EQ(p[64], 0x3B);
        EXPECT_EQ(p[67], p[424 + 2]);
        EXPECT_EQ(p[68], p[424 + 1]);
        EXPECT_EQ(p[69], p[424 + 0]);
    }
    EXPECT_EQ(Calls()[2].payload[64], 0x3C);

    // The same answer twice ends the delivery: the send failed.
    ASSERT_NE(Build(8, 1, 0), nullptr);
    driver.state->structCalls.clear();
    driver.state->respond = Script({aborted, aborted});
    EXPECT_FALSE(Send(8));
    EXPECT_EQ(Calls().size(), 2u);
    EXPECT_EQ(Payload()[416 + 6], 8);
}

TEST_F(IoctlTunnel, WriteStepAnswersThatEndTheDelivery) {
    struct Case {
        const char *name;
        Answer answer;
        uint8_t tunnelStatus;
    };
    auto check = [](uint8_t key, uint8_t asc, uint8_t ascq) {
        Answer a;
        a.scsi = 2;
        a.senseKey = key;
        a.asc = asc;
        a.ascq = ascq;
        return a;
    };
    Answer busy;
    busy.scsi = 8;
    Answer reqFailed;
    reqFailed.reqStatus = 1;
    Answer transportFailed;
    transportFailed.transport = 3;
    Answer callFailed;
    callFailed.result = kIOReturnNotResponding;
    const Case cases[] = {
        {"no resources 55/03", check(0x04, 0x55, 0x03), 7},
        {"no resources 55/04", check(0x04, 0x55, 0x04), 7},
        {"hardware error 55/05", check(0x04, 0x55, 0x05), 8},
        {"hardware error 54/03", check(0x04, 0x54, 0x03), 8},
        {"whole sense byte 0x84", check(0x84, 0x55, 0x03), 8},
        {"aborted 4E/01 is not retried", check(0x0B, 0x4E, 0x01), 8},
        {"whole sense byte 0x8B", check(0x8B, 0x4E, 0x00), 8},
        {"other sense", check(0x03, 0x11, 0x00), 8},
        {"other SCSI status", busy, 8},
        {"request status", reqFailed, 8},
        {"transport status", transportFailed, 8},
        {"call failed", callFailed, 8},
    };
    Start(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Build(5, 2, 0), nullptr);
        driver.state->structCalls.clear();
        driver.state->respond = Script({c.answer});
        EXPECT_FALSE(Send(5));
        EXPECT_EQ(Calls().size(), 1u);
        EXPECT_EQ(Payload()[416 + 6], c.tunnelStatus);
    }
}

TEST_F(IoctlTunnel, ReadStepAnswers) {
    struct Case {
        const char *name;
        Answer answer;
        bool ok;
    };
    auto read = [](uint8_t transport, std::optional<uint32_t> transferLen) {
        Answer a;
        a.transport = transport;
        a.transferLen = transferLen;
        return a;
    };
    Answer reqFailed;
    reqFailed.reqStatus = 4;
    Answer checkCondition;
    checkCondition.scsi = 2;
    Answer remoteStatus;
    remoteStatus.replyStatus = 0x31;
    const Case cases[] = {
        {"good", read(0, std::nullopt), true},
        {"short transfer of 64 bytes", read(3, 64), true},
        {"short transfer of 200 bytes", read(3, 200), true},
        {"short transfer of 63 bytes", read(3, 63), false},
        {"short transfer of nothing", read(3, 0), false},
        {"other transport status", read(4, 200), false},
        {"request status", reqFailed, false},
        {"SCSI status", checkCondition, false},
        {"receiver's own status", remoteStatus, false},
    };
    Start(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(Build(5, 2, 0), nullptr);
        driver.state->structCalls.clear();
        driver.state->respond = Script({Answer{}, c.answer}, Bytes(64 + 128, 0));
        EXPECT_EQ(Send(5), c.ok);
        EXPECT_EQ(Calls().size(), 2u);
        const uint8_t status = Payload()[416 + 6];
        if (c.ok) {
            EXPECT_EQ(status, 0);
        } else {
            EXPECT_EQ(status, c.answer.replyStatus != 0 ? c.answer.replyStatus : 8);
        }
    }
}

TEST_F(IoctlTunnel, RemoteDeliveryNeedsAConnectionOfKindOne) {
    Start(true, 0);
    ASSERT_NE(Build(8, 0, 0), nullptr);
    EXPECT_FALSE(Send(8));
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(Payload()[416 + 6], 8);
    // The GUID is drawn before the connection is judged.
    EXPECT_NE(Bytes(Payload() + 424, Payload() + 440), Bytes(16, 0));
}

// The WRITE BUFFER CDB carries the transfer length in three bytes; a longer
// request cannot be delivered remotely.
TEST_F(IoctlTunnel, RemoteTransferLengthMustFitThreeBytes) {
    Start(true, 1, {8}, {{8, 0x1000000}});
    const uint32_t longest = 0xFFFFFF - 64; // tunnelled request, header excluded
    uint8_t *data = Build(8, 0, longest - 64);
    ASSERT_NE(data, nullptr);
    driver.state->respond = Script({Answer{}, Answer{}});
    ASSERT_TRUE(Send(8));
    const Bytes &p = Calls()[0].payload;
    EXPECT_EQ(p[70], 0xFF);
    EXPECT_EQ(p[71], 0xFF);
    EXPECT_EQ(p[72], 0xFF);
    EXPECT_EQ(Build(8, 0, longest - 64 + 1), nullptr);
    hnd.remoteMode = false; // a plain tunnel has no such limit
    EXPECT_NE(Build(8, 0, longest - 64 + 1), nullptr);
}

} // namespace
