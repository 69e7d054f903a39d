// The event pump: reply handling, the text scan with its time tokens, the
// back-off ladder and the stop request, against scripted drivers.
#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/svc/svc_fixture.h"

namespace {

using namespace std::chrono_literals;
using svctest::kRetrieveFailed;
using svctest::PumpOutput;
using svctest::StdoutCapture;
using testsupport::DriverCall;
using testsupport::ScriptedDriver;

class TextScan : public svctest::ServiceTest {};

TEST_F(TextScan, WritesTextAndTurnsTimeTokensIntoLocalTime) {
    struct Case {
        const char *text;
        const char *out;
    };
    const Case cases[] = {
        {"plain text\n", "plain text\n"},
        {"", ""},
        {"{5E6A1B2C}", "03/12/20 11:21:16  "},
        {"at {5E6A1B2C}link up\n", "at 03/12/20 11:21:16  link up\n"},
        {"{00000000}", "01/01/70 00:00:00  "},
        {"{1234}", "1234}"},                            // too short: brace dropped
        {"{12345678", "12345678"},                      // no closing brace
        {"{123456789}", "123456789}"},                  // ninth character is not '}'
        {"{abcdefgh}", "05/11/70 07:36:15  gh}"},       // digits abcdef, then text
        {"{ghijklmn}", "01/01/70 00:00:00  ghijklmn}"}, // no digit: time 0
        {"{{5E6A1B2C}", "03/12/20 11:21:16  "},         // first brace dropped
        {"{5E6A1B2C}{00000000}", "03/12/20 11:21:16  01/01/70 00:00:00  "},
        {"a{b{c", "abc"},
        {"{", ""},
        {"{  0x1234}", "01/01/70 01:17:40  "}, // strtoul's white space and prefix
        {"{+0000010}", "01/01/70 00:00:16  "},
        {"{FFFFFFFF}", "02/07/06 06:28:15  "},       // the largest token, 2106
        {"100% {not a token}", "100% not a token}"}, // format characters stay text
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        StdoutCapture capture;
        LogEventText(c.text);
        EXPECT_EQ(capture.Take(), c.out);
    }
}

TEST_F(TextScan, UsesTheLocalTimeZone) {
    setenv("TZ", "EST5", 1);
    tzset();
    StdoutCapture capture;
    LogEventText("{5E6A1B2C}");
    EXPECT_EQ(capture.Take(), "03/12/20 06:21:16  ");
}

class Pump : public svctest::ServiceTest {};

TEST_F(Pump, RepliesAreWrittenAsTheDriverSentThem) {
    std::string longText(1036, 'x');
    longText.replace(1020, 8, "ABCDEFGH"); // straddles the 1024-byte limit
    CltEventReply tooLong = testsupport::MakeReply(longText.substr(0, 1024));
    tooLong.textLen = 2000;
    CltEventReply withNul = testsupport::MakeReply(std::string("ab\0cd", 5));

    struct Case {
        const char *name;
        std::vector<CltEventReply> replies;
        std::string out;
    };
    const Case cases[] = {
        {"empty busy replies", {testsupport::MakeReply(""), testsupport::MakeReply("")}, ""},
        {"lost bytes then text", {testsupport::MakeReply("abc", 0, 5)}, "...Lost 5 bytes...abc"},
        {"negative lost count", {testsupport::MakeReply("", 0, -3)}, "...Lost -3 bytes..."},
        {"textLen above 1024", {tooLong}, longText.substr(0, 1020) + "ABCD"},
        {"NUL ends the text", {withNul}, "ab"},
        {"no line end added between replies",
         {testsupport::MakeReply("one"), testsupport::MakeReply("two\n")},
         "onetwo\n"},
        {"token cut by the end of a reply",
         {testsupport::MakeReply("abc{5E6A"), testsupport::MakeReply("1B2C}def")},
         "abc5E6A1B2C}def"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<ScriptedDriver> driver;
        std::string out = PumpOutput(
            [&](ScriptedDriver &d) {
                for (const CltEventReply &reply : c.replies) {
                    d.QueueReply(reply);
                }
            },
            &driver);
        EXPECT_EQ(out, c.out + kRetrieveFailed);
        // One request per reply plus the failing one, each the zero 8-byte
        // request offering the whole reply record.
        std::vector<DriverCall> calls = driver->Calls();
        ASSERT_EQ(calls.size(), c.replies.size() + 1);
        for (const DriverCall &call : calls) {
            EXPECT_EQ(call.kind, DriverCall::Kind::kStruct);
            EXPECT_EQ(call.selector, 6u);
            EXPECT_EQ(call.input, std::vector<uint8_t>(8, 0));
            EXPECT_EQ(call.outputSize, 1036u);
        }
    }
}

TEST_F(Pump, BusyReplyResetsTheIdleCountAndIdleReplyAddsItsWait) {
    struct Case {
        const char *name;
        std::vector<uint32_t> waitFlags;
        int32_t startIdle;
        int32_t endIdle;
    };
    const Case cases[] = {
        {"busy", {0}, 40, 0},
        {"idle after busy", {0, 1}, 40, 1},
        {"busy after idle", {1, 1, 0}, 40, 0},
        {"any non-zero flag waits", {0xFFFFFFFF}, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Clt()->idleMs = c.startIdle;
        PumpOutput([&](ScriptedDriver &d) {
            for (uint32_t flag : c.waitFlags) {
                d.QueueText("", flag);
            }
        });
        EXPECT_EQ(Clt()->idleMs, c.endIdle);
    }
}

// The rung the ladder must use after `idleMs` of nominal waiting.
int32_t Rung(int64_t idleMs) {
    return idleMs < 100 ? 1 : idleMs < 250 ? 10 : idleMs < 500 ? 25 : 50;
}

// Checks that no wait between two requests was shorter than its rung.
void ExpectWaitsAtLeast(const std::vector<DriverCall> &calls, int32_t startIdle) {
    int64_t idle = startIdle;
    for (size_t i = 0; i + 1 < calls.size(); ++i) {
        int32_t rung = Rung(idle);
        auto gap = calls[i + 1].when - calls[i].when;
        EXPECT_GE(gap, std::chrono::milliseconds(rung)) << "wait " << i << " after idle " << idle;
        idle += rung;
    }
}

TEST_F(Pump, BackOffClimbsTheLadderFromAnyPoint) {
    struct Case {
        int32_t startIdle;
        int replies;
        int32_t endIdle;
    };
    const Case cases[] = {
        {0, 1, 1},
        {98, 3, 110},
        {99, 1, 100},
        {100, 1, 110},
        {240, 1, 250},
        {249, 1, 259},
        {250, 1, 275},
        {475, 1, 500},
        {499, 1, 524},
        {500, 2, 600},
        // Once settled the count never overflows into a negative value.
        {INT32_MAX - 60, 2, INT32_MAX},
        {INT32_MAX, 1, INT32_MAX},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.startIdle);
        Clt()->idleMs = c.startIdle;
        std::shared_ptr<ScriptedDriver> driver;
        PumpOutput(
            [&](ScriptedDriver &d) {
                for (int i = 0; i < c.replies; ++i) {
                    d.QueueText("", 1);
                }
            },
            &driver);
        EXPECT_EQ(Clt()->idleMs, c.endIdle);
        ExpectWaitsAtLeast(driver->Calls(), c.startIdle);
    }
}

TEST_F(Pump, IdleDriverIsAskedAfter100WaitsOf1Ms15Of10Ms10Of25MsThen50Ms) {
    constexpr int kIdleReplies = 128;
    std::shared_ptr<ScriptedDriver> driver;
    PumpOutput(
        [&](ScriptedDriver &d) {
            for (int i = 0; i < kIdleReplies; ++i) {
                d.QueueText("", 1);
            }
        },
        &driver);
    // 100 x 1 + 15 x 10 + 10 x 25 + 3 x 50 nominal milliseconds.
    EXPECT_EQ(Clt()->idleMs, 100 + 150 + 250 + 150);
    std::vector<DriverCall> calls = driver->Calls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(kIdleReplies + 1));
    ExpectWaitsAtLeast(calls, 0);
    EXPECT_GE(calls.back().when - calls.front().when, 650ms);
}

TEST_F(Pump, StopDuringAWaitEndsThePumpAfterThatWait) {
    Clt()->idleMs = 500; // 50 ms waits
    std::thread stopper;
    std::shared_ptr<ScriptedDriver> driver;
    auto started = std::chrono::steady_clock::now();
    std::string out = PumpOutput(
        [&](ScriptedDriver &d) {
            d.SetIdleWhenExhausted();
            d.SetOnCall([&](const DriverCall &, size_t index) {
                if (index == 2) {
                    stopper = std::thread([] {
                        std::this_thread::sleep_for(10ms);
                        HandleSignal(1);
                    });
                }
            });
        },
        &driver);
    auto ended = std::chrono::steady_clock::now();
    stopper.join();
    EXPECT_EQ(out, "");
    std::vector<DriverCall> calls = driver->Calls();
    ASSERT_EQ(calls.size(), 3u); // no request after the stop
    EXPECT_GE(ended - calls.back().when, 50ms);
    EXPECT_GE(calls.back().when - started, 100ms);
    EXPECT_TRUE(Clt()->stopRequested.load());
}

TEST_F(Pump, StopAlreadyRequestedMakesNoRequest) {
    HandleSignal(0);
    std::shared_ptr<ScriptedDriver> driver;
    EXPECT_EQ(PumpOutput([](ScriptedDriver &d) { d.QueueText("text"); }, &driver), "");
    EXPECT_TRUE(driver->Calls().empty());
}

TEST_F(Pump, OnlyTheStopSignalsSetTheStopFlag) {
    for (uint32_t index : {2u, 4u, 5u, 100u}) {
        HandleSignal(index);
        EXPECT_FALSE(Clt()->stopRequested.load()) << index;
    }
    for (uint32_t index : {0u, 1u, 3u}) {
        Clt()->stopRequested.store(false);
        HandleSignal(index);
        EXPECT_TRUE(Clt()->stopRequested.load()) << index;
    }
}

} // namespace
