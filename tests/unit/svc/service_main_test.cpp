// The service from start to exit in a child process: start-up failures
// through the platform stand-in, application and service mode, stop
// signals, and the tool hooks the runtime calls back.
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lib/cli/shared/clilog.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/svc/svc_fixture.h"

namespace {

using namespace trelvox::platform;
using svctest::kEstablished;
using svctest::kEstablishing;
using svctest::kRetrieveFailed;
using svctest::kWaiting;
using testsupport::ChildResult;
using testsupport::DriverCall;
using testsupport::RunInChild;
using testsupport::ScriptedDriver;
using testsupport::Sys;
using testsupport::SysFaults;

// The controller of the child that RunService starts.
SysFaults *gFaults = nullptr;

// The side-channel line of one system-log message from the service.
std::string SysLogLine(int priority, const std::string &ident, const std::string &text) {
    testsupport::SysLogRecord r;
    r.priority = priority;
    r.ident = ident;
    r.facility = LOG_DAEMON;
    r.text = text;
    return "syslog " + testsupport::FormatSysLog(r) + "\n";
}

// Runs the service in a child after `prepare`, with the given arguments;
// the child's system-call seam is under a fault controller of its own.
ChildResult RunService(const std::function<void()> &prepare,
                       std::vector<std::string> args = {"trelvoxlogd"}) {
    return RunInChild([&] {
        setenv("TZ", "UTC", 1);
        tzset();
        ResetPlatform();
        SetWallClock(svctest::NoteAboutToRun);
        SysFaults faults;
        gFaults = &faults;
        prepare();
        std::vector<char *> argv;
        for (std::string &arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        CltMain(static_cast<int32_t>(args.size()), argv.data());
    });
}

// Sends the signal to the process once the service waits in its run loop.
void SignalWhenWaiting(int sig) {
    svctest::DetachQuiet([sig] {
        svctest::WaitAboutToRun();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(getpid(), sig);
    });
}

TEST(ServiceStart, FailuresBeforeTheRunEndWithStatus1AndTheirMessage) {
    struct Case {
        const char *name;
        void (*prepare)();
        std::string out;
        std::string side;
    };
    const std::string noIdent = SysLogLine(LOG_ERR, "", "Failed to allocate resources\n");
    const Case cases[] = {
        {"mutex", [] { gFaults->FailNth(Sys::pthread_mutex_init, 1, ENOMEM); }, "", noIdent},
        {"condition", [] { gFaults->FailNth(Sys::pthread_cond_init, 1, ENOMEM); }, "", noIdent},
        {"notification port", [] { Faults().failPortCreate = true; }, "\n\n",
         SysLogLine(LOG_ERR, "trelvoxlogd", "Failed to create notification port.")},
        {"matching dictionary", [] { Faults().failMatching = true; }, "\n\n",
         SysLogLine(LOG_ERR, "trelvoxlogd", "Failed to get matching dictionary\n")},
        {"notification", [] { Faults().failAddNotification = true; }, "\n\n",
         SysLogLine(LOG_ERR, "trelvoxlogd", "Failed to add notification\n")},
        {"run-loop source", [] { Faults().failRunLoopSource = true; },
         std::string("\n\n") + kWaiting + "Failed to create run loop source\n", ""},
        {"current run loop", [] { Faults().failCurrentRunLoop = true; },
         std::string("\n\n") + kWaiting + "Failed to create run loop source\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ChildResult r = RunService(c.prepare);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.side, c.side);
    }
}

TEST(ServiceRun, StopSignalsWhileTheRunLoopWaitsEndWithStatus0) {
    for (int sig : {SIGTERM, SIGINT, SIGQUIT}) {
        SCOPED_TRACE(sig);
        ChildResult r = RunService([sig] { SignalWhenWaiting(sig); });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, std::string("\n\n") + kWaiting);
        EXPECT_EQ(r.side, ""); // nothing to the system log in application mode
    }
}

TEST(ServiceRun, AbortEndsWithStatus1) {
    ChildResult r = RunService([] { SignalWhenWaiting(SIGABRT); });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.side, "");
}

TEST(ServiceRun, StopWhileThePumpRunsEndsAfterTheCurrentWait) {
    ChildResult r = RunService([] {
        auto driver = svctest::PublishDriver();
        driver->QueueText("hello\n", 1);
        driver->SetIdleWhenExhausted();
        driver->SetOnCall([](const DriverCall &, size_t index) {
            if (index == 4) {
                svctest::SignalFromDriver(SIGTERM);
            }
        });
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string("\n\n") + kEstablishing + kEstablished + "hello\n");
    EXPECT_EQ(r.side, "");
}

TEST(ServiceRun, DriverPublishedLaterIsServedFromTheRunLoop) {
    ChildResult r = RunService([] {
        svctest::DetachQuiet([] {
            svctest::WaitAboutToRun();
            auto driver = std::make_shared<ScriptedDriver>();
            driver->QueueText("later {5E6A1B2C}\n");
            // The driver goes away; then a SIGTERM arrives.
            driver->SetOnCall([](const DriverCall &, size_t index) {
                if (index == 2) {
                    svctest::SignalFromDriver(SIGTERM);
                }
            });
            PublishInstance(driver);
        });
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string("\n\n") + kWaiting + kEstablishing + kEstablished +
                         "later 03/12/20 11:21:16  \n" + kRetrieveFailed);
}

TEST(ServiceMode, StartAndStopGoToTheSystemLogAndTheTextToTheFile) {
    struct Case {
        const char *name;
        int sig;
        std::vector<std::string> args;
        int status;
        bool stopping; // the service says it stops (an abort does not)
    };
    const Case cases[] = {
        {"SIGTERM", SIGTERM, {"trelvoxlogd", "-s"}, 0, true},
        {"word after -s is ignored", SIGINT, {"trelvoxlogd", "-s", "word"}, 0, true},
        {"verbose service", SIGQUIT, {"trelvoxlogd", "-sv"}, 0, true},
        // An abort stops in order too, keeping the text handed to the
        // writer, but ends with status 1 and says nothing.
        {"SIGABRT", SIGABRT, {"trelvoxlogd", "-s"}, 1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int sig = c.sig;
        testsupport::TempDir var;
        ASSERT_TRUE(var.Make("trelvox-var-"));
        ChildResult r = RunService(
            [sig, &var] {
                if (!svctest::PrivateVar(var.Root())) {
                    testsupport::SideChannelWrite("no namespace\n");
                    _exit(0);
                }
                auto driver = svctest::PublishDriver();
                driver->QueueText("svc {00000000}\n");
                driver->SetOnCall([sig](const DriverCall &, size_t index) {
                    if (index == 2) {
                        svctest::SignalFromDriver(sig);
                    }
                });
            },
            c.args);
        if (r.side == "no namespace\n") {
            GTEST_SKIP() << "no private mount namespace here";
        }
        EXPECT_EQ(r.exitCode, c.status);
        std::string banner =
            c.args[1] == "-sv" ? "\n\nTrelvox Logging Service (Mar 10 2020)\n\n" : "";
        EXPECT_EQ(r.out, banner + "\n\n"); // the blank lines before the first open
        std::string side = SysLogLine(LOG_INFO, "trelvoxlogd", "Service is starting");
        if (c.stopping) {
            side += SysLogLine(LOG_INFO, "trelvoxlogd", "Service is stopping");
        }
        EXPECT_EQ(r.side, side);
        EXPECT_EQ(var.Read("quenlab/log/Trelvox.log"), std::string(kEstablishing) + kEstablished +
                                                           "svc 01/01/70 00:00:00  \n" +
                                                           kRetrieveFailed);
    }
}

TEST(ToolHooks, OptionsDescriptionPayloadAndClasses) {
    ChildResult r = RunInChild([] {
        CltPrintOptions(stdout);
        CltPrintDescription();
        CltPrintExamples();
        fflush(stdout);
        testsupport::SideChannelWrite(std::to_string(CltIoctlPayloadSize(3)) + "\n");
        CliInit();
        CliStrCpy(gCli->errPrefix, sizeof gCli->errPrefix, "TRELVOXLOGD: ");
        CltIoctlPayloadSize(4);
    });
    const std::string options = "\nOptions:\n\n"
                                " -h                Display extended help.\n"
                                " -s                Run as service, defaults to app.\n"
                                " -v                Display non-error messages.\n\n";
    EXPECT_EQ(options.size(), 153u);
    EXPECT_EQ(r.out, options + "Service to log driver events.\n");
    EXPECT_EQ(r.side, "0\n");
    EXPECT_EQ(r.err, "TRELVOXLOGD: Update function CltIoctlPayloadSize\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(gCltIoctlSupp[0], 3);
    EXPECT_EQ(gCltIoctlSupp[1], 10);
    EXPECT_EQ(CltGlobalsSize(), sizeof(CltGlobals));
}

TEST(ToolHooks, CleanUpDestroysWhatExistsOnce) {
    ChildResult r = RunInChild([] {
        CltExit(); // no record yet
        CliInit();
        CltGlobalsInit();
        CltGlobals *clt = Clt();
        CltExit(); // nothing created
        pthread_mutex_init(&clt->pump.waitMutex, nullptr);
        clt->pump.mutexCreated = true;
        CltWaitCondInit(&clt->pump.waitCond);
        clt->pump.condCreated = true;
        clt->notifyPort = IONotificationPortCreate(kIOMasterPortDefault);
        clt->logHandle = CliLogInit("/tmp/trelvox-unused.log", 1024, 2);
        CltExit();
        bool cleared = clt->notifyPort == nullptr && clt->logHandle == nullptr &&
                       !clt->pump.mutexCreated && !clt->pump.condCreated;
        CltExit(); // a second call finds nothing left
        testsupport::SideChannelWrite(cleared ? "cleared\n" : "left\n");
        CliExit(0);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "cleared\n");
}

// The allocation of the rotating log's handle fails: the start is reported,
// then the failure, both to the system log, and the service ends with
// status 1 before it writes anything or touches the log directory.
TEST(ServiceStartMore, LogHandleThatCannotBeAllocatedEndsTheStart) {
    testsupport::TempDir var;
    ASSERT_TRUE(var.Make("trelvox-var-"));
    ChildResult r = RunService(
        [&var] {
            // Service mode takes its lock in /run: a private one.
            if (!svctest::PrivateVar(var.Root())) {
                testsupport::SideChannelWrite("no namespace\n");
                _exit(0);
            }
            gOsSys.calloc = [](size_t n, size_t size) -> void * {
                return n * size == sizeof(CliLogFile) ? nullptr : gOsSysReal.calloc(n, size);
            };
        },
        {"trelvoxlogd", "-s"});
    if (r.side == "no namespace\n") {
        GTEST_SKIP() << "no private mount namespace here";
    }
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.side, SysLogLine(LOG_INFO, "trelvoxlogd", "Service is starting") +
                          SysLogLine(LOG_ERR, "trelvoxlogd", "Failed to initialize log handle"));
}

} // namespace
