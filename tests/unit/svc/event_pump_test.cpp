// The event pump: reply handling, the text scan with its time tokens, the
// back-off ladder and the stop request, against scripted drivers.
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
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
        {"{5e6a1B2c}", "03/12/20 11:21:16  "}, // hex digits in either case
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
        {"{-FFFFFFF}", "06/30/61 02:35:45  "},       // negated in 64 bits on every CPU, not 2097
        {"100% {not a token}", "100% not a token}"}, // format characters stay text
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        StdoutCapture capture;
        LogEventText(Clt(), c.text);
        EXPECT_EQ(capture.Take(), c.out);
    }
}

TEST_F(TextScan, UsesTheLocalTimeZone) {
    setenv("TZ", "EST5", 1);
    tzset();
    StdoutCapture capture;
    LogEventText(Clt(), "{5E6A1B2C}");
    EXPECT_EQ(capture.Take(), "03/12/20 06:21:16  ");
}

// The pump keeps its last time stamp and converts a token again only when
// its value changes: every token must still read as its own second.
TEST_F(TextScan, EachTokenReadsAsItsOwnSecondAcrossRepeatsAndBoundaries) {
    struct Case {
        const char *zone;
        std::vector<std::pair<const char *, const char *>> tokens; // text -> out
    };
    const Case cases[] = {
        {"UTC",
         {
             {"{00000000}", "01/01/70 00:00:00  "}, // the first stamp is time 0
             {"{00000000}", "01/01/70 00:00:00  "},
             {"{5E6A1B2C}", "03/12/20 11:21:16  "},
             {"{5E6A1B2C}", "03/12/20 11:21:16  "},
             {"{5E6A1B2D}", "03/12/20 11:21:17  "},
             {"{5E6A1B2C}", "03/12/20 11:21:16  "}, // back to an earlier second
             {"{5E6ACCFF}", "03/12/20 23:59:59  "},
             {"{5E6ACD00}", "03/13/20 00:00:00  "},
             {"{5E0BE0FF}", "12/31/19 23:59:59  "},
             {"{5E0BE100}", "01/01/20 00:00:00  "},
             {"{FFFFFFFF}", "02/07/06 06:28:15  "},
             {"{-0000001}", "12/31/69 23:59:59  "}, // same low 32 bits, another second
             {"{FFFFFFFF}", "02/07/06 06:28:15  "},
         }},
        {"CET-1CEST,M3.5.0,M10.5.0/3",
         {
             {"{FFFFFFFF}", "02/07/06 07:28:15  "}, // the last value, another zone
             {"{5E7FF30F}", "03/29/20 01:59:59  "},
             {"{5E7FF310}", "03/29/20 03:00:00  "}, // summer time begins
             {"{5E7FF30F}", "03/29/20 01:59:59  "},
             {"{5F94CE0F}", "10/25/20 02:59:59  "},
             {"{5F94CE10}", "10/25/20 02:00:00  "}, // summer time ends
             {"{5F94CE10}", "10/25/20 02:00:00  "},
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.zone);
        // A new zone needs a new service record: the stamp kept in the old
        // one belongs to the old zone.
        TearDown();
        SetUp();
        setenv("TZ", c.zone, 1);
        tzset();
        std::string expected;
        StdoutCapture capture;
        for (const auto &[text, out] : c.tokens) {
            LogEventText(Clt(), text); // one reply each
            expected += out;
        }
        EXPECT_EQ(capture.Take(), expected);
        // All in one reply as well.
        std::string joined;
        for (const auto &token : c.tokens) {
            joined += token.first;
        }
        StdoutCapture again;
        LogEventText(Clt(), joined.c_str());
        EXPECT_EQ(again.Take(), expected);
    }
}

// The scan as the rules state it, written plainly: runs of text, '{' that
// starts no token dropped, the token's time by the 64-bit platform's
// strtoul (strtoull on every CPU), snprintf of its local time.
std::string ReferenceScan(const char *s) {
    std::string out;
    size_t p = 0;
    for (;;) {
        size_t n = strcspn(s + p, "{");
        out.append(s + p, n);
        p += n;
        if (s[p] == '\0') {
            return out;
        }
        bool token = true;
        for (int i = 1; i <= 8 && token; ++i) {
            token = s[p + i] != '\0';
        }
        if (!token || s[p + 9] != '}') {
            ++p;
            continue;
        }
        char *end = nullptr;
        time_t when = static_cast<time_t>(strtoull(s + p + 1, &end, 16));
        p = static_cast<size_t>(end - s);
        if (s[p] == '}') {
            ++p;
        }
        struct tm t;
        if (localtime_r(&when, &t) != nullptr) {
            char stamp[64];
            snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d:%02d  ", t.tm_mon + 1,
                     t.tm_mday, t.tm_year % 100, t.tm_hour, t.tm_min, t.tm_sec);
            out += stamp;
        }
    }
}

TEST_F(TextScan, AgreesWithTheRulesOnRandomText) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    std::mt19937 random(20261209);
    auto pick = [&](const std::string &from) { return from[random() % from.size()]; };
    const std::string hex = "0123456789abcdefABCDEF";
    const std::string odd = "0123456789aF xX+-g}{\t";
    // Seconds near each other, as a driver's tokens are, so that the kept
    // stamp is reused, missed and replaced.
    const uint32_t bases[] = {0x5E7FF30E, 0x5F94CE0E, 0x5E0BE0FE, 0xFFFFFFF0, 0};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        while (text.size() < 200) {
            switch (random() % 5) {
            case 0: { // a well-formed token
                char token[16];
                snprintf(token, sizeof token, "{%08X}",
                         bases[random() % std::size(bases)] + static_cast<uint32_t>(random() % 4));
                text += token;
                break;
            }
            case 1: // eight hex digits in either case
                text += '{';
                for (int i = 0; i < 8; ++i) {
                    text += pick(hex);
                }
                text += '}';
                break;
            case 2: // anything between braces, often not a token
                text += '{';
                for (int i = 0, n = static_cast<int>(random() % 11); i < n; ++i) {
                    text += pick(odd);
                }
                if (random() % 2 != 0) {
                    text += '}';
                }
                break;
            default:
                for (int i = 0, n = static_cast<int>(random() % 12); i < n; ++i) {
                    text += pick("abc %\n");
                }
                break;
            }
        }
        StdoutCapture capture;
        LogEventText(Clt(), text.c_str());
        ASSERT_EQ(capture.Take(), ReferenceScan(text.c_str())) << text;
    }
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
    // Replies with text, but for the flag 2: no text, no wait.
    constexpr uint32_t kEmptyNoWait = 2;
    const Case cases[] = {
        {"busy", {0}, 40, 0},
        {"idle after busy", {0, 1}, 40, 1},
        {"busy after idle", {1, 1, 0}, 40, 0},
        {"any non-zero flag waits", {0xFFFFFFFF}, 0, 1},
        // A driver answering "ask again" with nothing must not be polled
        // without a pause.
        {"nothing and no wait is idle", {kEmptyNoWait, kEmptyNoWait}, 40, 42},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Clt()->pump.idleMs = c.startIdle;
        PumpOutput([&](ScriptedDriver &d) {
            for (uint32_t flag : c.waitFlags) {
                if (flag == kEmptyNoWait) {
                    d.QueueText("", 0);
                } else {
                    d.QueueText(".", flag);
                }
            }
        });
        EXPECT_EQ(Clt()->pump.idleMs, c.endIdle);
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
        Clt()->pump.idleMs = c.startIdle;
        std::shared_ptr<ScriptedDriver> driver;
        PumpOutput(
            [&](ScriptedDriver &d) {
                for (int i = 0; i < c.replies; ++i) {
                    d.QueueText("", 1);
                }
            },
            &driver);
        EXPECT_EQ(Clt()->pump.idleMs, c.endIdle);
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
    EXPECT_EQ(Clt()->pump.idleMs, 100 + 150 + 250 + 150);
    std::vector<DriverCall> calls = driver->Calls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(kIdleReplies + 1));
    ExpectWaitsAtLeast(calls, 0);
    EXPECT_GE(calls.back().when - calls.front().when, 650ms);
}

TEST_F(Pump, StopDuringAWaitEndsThePumpAfterThatWait) {
    Clt()->pump.idleMs = 500; // 50 ms waits
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
    // A hang-up (5) stops the service in application mode; in service mode
    // it asks for the log file to be reopened instead.
    for (uint32_t index : {2u, 4u, 6u, 100u}) {
        HandleSignal(index);
        EXPECT_FALSE(Clt()->stopRequested.load()) << index;
    }
    for (uint32_t index : {0u, 1u, 3u, 5u}) {
        Clt()->stopRequested.store(false);
        HandleSignal(index);
        EXPECT_TRUE(Clt()->stopRequested.load()) << index;
    }
    Clt()->stopRequested.store(false);
    Clt()->serviceMode = true;
    HandleSignal(5);
    EXPECT_FALSE(Clt()->stopRequested.load());
    EXPECT_TRUE(Clt()->reopenRequested.load());
}

} // namespace
