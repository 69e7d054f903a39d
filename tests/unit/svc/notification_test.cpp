// The notification callback: serving driver instances one after another,
// every failure on the way, the stop request, and the log file in service
// mode with LogStr and the log-open warning.
#include <sys/stat.h>
#include <syslog.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/cli/shared/clilog.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/svc/svc_fixture.h"

namespace {

using namespace trelvox::platform;
using svctest::kEstablished;
using svctest::kEstablishing;
using svctest::kRetrieveFailed;
using svctest::kWaiting;
using svctest::PublishDriver;
using svctest::StdoutCapture;
using testsupport::DriverCall;
using testsupport::ReadFile;
using testsupport::ScriptedDriver;

constexpr char kCloseFailed[] = "Closing driver connection failed.\n";

class Callback : public svctest::ServiceTest {
protected:
    void SetUp() override {
        svctest::ServiceTest::SetUp();
        Clt()->notifyPort = IONotificationPortCreate(kIOMasterPortDefault);
        ASSERT_NE(Clt()->notifyPort, nullptr);
        ASSERT_EQ(IOServiceAddMatchingNotification(Clt()->notifyPort, kIOFirstPublishNotification,
                                                   IOServiceMatching("TrelvoxController"),
                                                   NotificationCallback, nullptr, &iterator_),
                  KERN_SUCCESS);
    }

    // The first drain, as CltMain makes it; returns standard output.
    std::string Drain() {
        StdoutCapture capture;
        NotificationCallback(nullptr, iterator_);
        return capture.Take();
    }

    io_iterator_t iterator_ = 0;
};

TEST_F(Callback, EveryFailureOnTheWayToAndFromTheDriver) {
    struct Case {
        const char *name;
        void (*script)(ScriptedDriver &);
        std::string out;
        std::vector<uint32_t> selectors;
        uint32_t closes;
    };
    const std::string served = std::string(kEstablishing) + kEstablished + "hi\n" + kRetrieveFailed;
    const Case cases[] = {
        {"driver answers until it goes away",
         [](ScriptedDriver &d) { d.QueueText("hi\n"); },
         served + kWaiting,
         {0, 6, 6, 1},
         1},
        {"IOServiceOpen fails",
         [](ScriptedDriver &d) { d.SetOpenResult(kIOReturnNoDevice); },
         std::string(kEstablishing) + "Failed to establish a driver connection\n" + kWaiting,
         {},
         0},
        {"method 0 fails",
         [](ScriptedDriver &d) { d.SetScalarResult(0, kIOReturnNotResponding); },
         std::string(kEstablishing) + "Failed to open user client\n" + kWaiting,
         {0},
         1},
        {"method 6 fails at once",
         [](ScriptedDriver &d) { d.QueueFailure(kIOReturnError); },
         std::string(kEstablishing) + kEstablished + kRetrieveFailed + kWaiting,
         {0, 6, 1},
         1},
        {"method 1 fails",
         [](ScriptedDriver &d) {
             d.QueueText("hi\n");
             d.SetScalarResult(1, kIOReturnNotResponding);
         },
         served + kCloseFailed + kWaiting,
         {0, 6, 6, 1},
         1},
        {"IOServiceClose fails",
         [](ScriptedDriver &d) {
             d.QueueText("hi\n");
             d.SetCloseResult(kIOReturnNotResponding);
         },
         served + kCloseFailed + kWaiting,
         {0, 6, 6, 1},
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto driver = PublishDriver();
        c.script(*driver);
        EXPECT_EQ(Drain(), c.out);
        EXPECT_EQ(driver->Selectors(), c.selectors);
        EXPECT_EQ(driver->OpenCount(), 1u);
        EXPECT_EQ(driver->LastOpenType(), 0u);
        EXPECT_EQ(driver->CloseCount(), c.closes);
        PlatformCounts counts = Counts();
        EXPECT_EQ(counts.serviceObjects, 0u); // released whatever happened
        EXPECT_EQ(counts.connections, 0u);
        EXPECT_EQ(counts.notifications, 1u); // the iterator stays armed
    }
    EXPECT_TRUE(testsupport::SysLogRecords().empty());
}

TEST_F(Callback, NothingPublishedOnlySaysItIsWaiting) {
    EXPECT_EQ(Drain(), kWaiting);
}

TEST_F(Callback, InstancesAreServedOneAfterAnother) {
    auto a = PublishDriver();
    a->QueueText("a\n");
    auto b = PublishDriver();
    b->QueueText("b\n");
    std::shared_ptr<ScriptedDriver> late;
    // One published while a's pump runs is taken by the same drain.
    a->SetOnCall([&](const DriverCall &, size_t index) {
        if (index == 1) {
            late = PublishDriver();
            late->QueueText("late\n");
        }
    });
    auto one = [](const char *text) {
        return std::string(kEstablishing) + kEstablished + text + kRetrieveFailed;
    };
    EXPECT_EQ(Drain(), one("a\n") + one("b\n") + one("late\n") + kWaiting);
    ASSERT_NE(late, nullptr);
    EXPECT_LE(a->Calls().back().when, b->Calls().front().when);
    EXPECT_LE(b->Calls().back().when, late->Calls().front().when);
}

TEST_F(Callback, LaterPublicationIsServedFromTheRunLoop) {
    EXPECT_EQ(Drain(), kWaiting); // armed
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(Clt()->notifyPort);
    CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
    auto driver = std::make_shared<ScriptedDriver>();
    driver->QueueText("later\n");
    // When the driver goes away the run loop is stopped, as a signal would.
    driver->SetOnCall([&](const DriverCall &, size_t index) {
        if (index == 2) {
            CFRunLoopStop(loop);
        }
    });
    StdoutCapture capture;
    std::thread publisher([&] { PublishInstance(driver); });
    CFRunLoopRun();
    publisher.join();
    EXPECT_EQ(capture.Take(),
              std::string(kEstablishing) + kEstablished + "later\n" + kRetrieveFailed + kWaiting);
    CFRunLoopRemoveSource(loop, source, kCFRunLoopDefaultMode);
}

TEST_F(Callback, StopRequestReleasesTheServiceAndTheIteratorAndSaysNothingMore) {
    struct Case {
        const char *name;
        bool stopBefore;
    };
    for (const Case &c : {Case{"stop before the drain", true}, Case{"stop during a pump", false}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        auto a = PublishDriver();
        auto b = PublishDriver();
        a->SetIdleWhenExhausted();
        a->SetOnCall([](const DriverCall &, size_t index) {
            if (index == 2) {
                HandleSignal(1);
            }
        });
        if (c.stopBefore) {
            HandleSignal(3);
        }
        std::string out = Drain();
        if (c.stopBefore) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(a->OpenCount(), 0u);
        } else {
            EXPECT_EQ(out, std::string(kEstablishing) + kEstablished);
            EXPECT_EQ(a->Selectors(), (std::vector<uint32_t>{0, 6, 6, 1}));
            EXPECT_EQ(a->CloseCount(), 1u);
        }
        EXPECT_EQ(b->OpenCount(), 0u);
        PlatformCounts counts = Counts();
        EXPECT_EQ(counts.serviceObjects, 0u);
        EXPECT_EQ(counts.notifications, 0u);
        EXPECT_EQ(counts.connections, 0u);
    }
}

// Service mode with the log file in a temporary directory.
class LogFile : public Callback, protected testsupport::TempDir {
protected:
    void SetUp() override {
        Callback::SetUp();
        ASSERT_TRUE(Make("trelvox-svc-"));
        CliStrCpy(gCli->progName, sizeof gCli->progName, "trelvoxlogd");
    }

    void UseLog(const std::string &path) {
        Clt()->logHandle = CliLogInit(path.c_str(), 50u << 20, 5);
        ASSERT_NE(Clt()->logHandle, nullptr);
    }
};

TEST_F(LogFile, TextGoesToTheFileWhileACallbackRuns) {
    std::string path = Path("log/Trelvox.log");
    UseLog(path);
    auto driver = PublishDriver();
    driver->QueueText("line {5E6A1B2C}x\n", 0, 2);
    EXPECT_EQ(Drain(), "");
    EXPECT_EQ(ReadFile(path), std::string(kEstablishing) + kEstablished +
                                  "...Lost 2 bytes...line 03/12/20 11:21:16  x\n" +
                                  kRetrieveFailed + kWaiting);
    EXPECT_FALSE(CliLogIsOpen(Clt()->logHandle)); // closed between callbacks
    // Outside a callback the messages go to standard output.
    StdoutCapture capture;
    LogStr("between %d\n", 1);
    EXPECT_EQ(capture.Take(), "between 1\n");
    EXPECT_TRUE(testsupport::SysLogRecords().empty());
}

TEST_F(LogFile, LongRunsReachTheFileWhole) {
    std::string path = Path("Trelvox.log");
    UseLog(path);
    ASSERT_TRUE(CliLogOpen(Clt()->logHandle));
    for (size_t length : {1u, 1022u, 1023u, 1024u, 5000u}) {
        SCOPED_TRACE(length);
        std::string before = ReadFile(path);
        std::string run(length, 'y');
        StdoutCapture capture;
        LogEventText(Clt(), run.c_str());
        LogStr("%s|%d", run.c_str(), 7);
        EXPECT_EQ(capture.Take(), "");
        EXPECT_EQ(ReadFile(path), before + run + run + "|7");
    }
    // The longest run one reply can carry, in a reply of its own.
    CliLogClose(Clt()->logHandle);
    auto driver = PublishDriver();
    driver->QueueText(std::string(1024, 'z'));
    std::string before = ReadFile(path);
    EXPECT_EQ(Drain(), "");
    EXPECT_EQ(ReadFile(path), before + kEstablishing + kEstablished + std::string(1024, 'z') +
                                  kRetrieveFailed + kWaiting);
}

TEST_F(LogFile, UnwritableDirectoryWarnsOncePerFailureStreak) {
    // A regular file where the log's parent directory should be created.
    std::string blocker = Path("blocker");
    std::string path = blocker + "/log/Trelvox.log";
    auto block = [&] { std::ofstream(blocker).put('x'); };
    auto unblock = [&] {
        ASSERT_EQ(unlink(blocker.c_str()), 0);
        ASSERT_EQ(mkdir(blocker.c_str(), 0755), 0);
    };
    block();
    UseLog(path);

    auto driver = PublishDriver();
    driver->QueueText("to stdout\n");
    EXPECT_EQ(Drain(), std::string(kEstablishing) + kEstablished + "to stdout\n" + kRetrieveFailed +
                           kWaiting);
    EXPECT_EQ(Drain(), kWaiting);
    EXPECT_EQ(testsupport::SysLogRecords().size(), 1u);

    unblock();
    EXPECT_EQ(Drain(), ""); // the file opens: the streak ends
    EXPECT_EQ(ReadFile(path), kWaiting);
    std::string command = "rm -rf '" + blocker + "'";
    ASSERT_EQ(system(command.c_str()), 0);
    block();
    EXPECT_EQ(Drain(), kWaiting);
    EXPECT_EQ(Drain(), kWaiting);

    // Each streak's end is reported too.
    std::vector<testsupport::SysLogRecord> records = testsupport::SysLogRecords();
    ASSERT_EQ(records.size(), 3u);
    for (size_t i = 0; i < records.size(); ++i) {
        const testsupport::SysLogRecord &r = records[i];
        EXPECT_EQ(r.priority, i == 1 ? LOG_INFO : LOG_WARNING);
        EXPECT_EQ(r.text,
                  i == 1 ? "Log file reopened" : "Failed to open log file (Not a directory)");
        EXPECT_EQ(r.ident, "trelvoxlogd");
        EXPECT_EQ(r.facility, LOG_DAEMON);
    }
}

} // namespace
