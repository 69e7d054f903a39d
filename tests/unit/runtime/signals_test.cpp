// The portable signal table: mapping, dispositions, and signals delivered
// for real to child processes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"
#include "tests/hooks/test_hooks.h"
#include "tests/support/child_process.h"
#include "tests/support/runtime_fixture.h"

namespace {

using testsupport::ChildResult;
using testsupport::RunInChild;

constexpr int kPosix[kOsSignalCount] = {SIGINT,  SIGTERM, SIGABRT, SIGQUIT,
                                        SIGKILL, SIGHUP,  SIGPIPE, SIGXFSZ};

// Async-signal-safe report to the side channel.
void Report(const char *text) {
    ssize_t ignored = write(testsupport::SideChannelFd(), text, strlen(text));
    (void)ignored;
}

// The tool's callback: reports the index it was given.
void OnSignal(uint32_t index) {
    char text[] = "cb ?\n";
    text[3] = static_cast<char>(index < 10 ? '0' + index : '#');
    Report(text);
}

void ForeignHandler(int) {
    Report("foreign\n");
}

void (*Disposition(int sig))(int) {
    struct sigaction current {};
    sigaction(sig, nullptr, &current);
    return current.sa_handler;
}

// Delivered through the kernel to this process.
void Send(int sig) {
    kill(getpid(), sig);
}

// Reports when the exit sequence has emptied both pointers.
void ReportPointersAtExit() {
    atexit([] { Report(gCli == nullptr && gClt == nullptr ? "emptied\n" : "still set\n"); });
}

TEST(SignalMappingTest, BothDirections) {
    struct Case {
        int sig;
        int32_t index;
    };
    const Case cases[] = {{SIGINT, 0},  {SIGTERM, 1}, {SIGABRT, 2}, {SIGQUIT, 3},
                          {SIGKILL, 4}, {SIGHUP, 5},  {SIGPIPE, 6}, {SIGXFSZ, 7},
                          {SIGUSR1, 8}, {0, 8},       {-1, 8},      {64, 8}};
    for (const Case &c : cases) {
        EXPECT_EQ(OsSignalGet(c.sig), c.index) << "signal " << c.sig;
    }
    for (uint32_t index = 0; index < kOsSignalCount; ++index) {
        EXPECT_EQ(OsSignalGet(kPosix[index]), static_cast<int32_t>(index));
    }
}

TEST(SignalMappingTest, HookInstallsForTheMappedSignal) {
    ChildResult r = RunInChild([] {
        OsSignalHook(1, CliSignalHandler);
        OsSignalHook(3, nullptr);
        OsSignalHook(5, CliSignalHandler);
        OsSignalHook(6, nullptr);
        OsSignalHook(7, nullptr);
        OsSignalHook(8, CliSignalHandler);  // no such index: nothing happens
        OsSignalHook(99, CliSignalHandler); // likewise
        OsSignalHook(4, CliSignalHandler);  // refused by the system, silently
        std::string seen;
        for (int sig :
             {SIGINT, SIGTERM, SIGABRT, SIGQUIT, SIGKILL, SIGHUP, SIGPIPE, SIGXFSZ, SIGUSR1}) {
            void (*h)(int) = Disposition(sig);
            seen += h == SIG_DFL ? "D" : h == SIG_IGN ? "I" : h == CliSignalHandler ? "H" : "?";
        }
        Report(seen.c_str());
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "DHDIDHIID");
}

// ---------------------------------------------------------------------------
// Configuration of the table
// ---------------------------------------------------------------------------

class SignalTableTest : public testsupport::RuntimeTest {};

TEST_F(SignalTableTest, InitAndDefaultSetTheEntry) {
    CliSignalInit(3, OnSignal);
    EXPECT_TRUE(gCli->signalSlots[3].isSet);
    EXPECT_FALSE(gCli->signalSlots[3].keepDefault);
    EXPECT_EQ(gCli->signalSlots[3].onSignal, OnSignal);

    CliSignalDefault(3);
    EXPECT_TRUE(gCli->signalSlots[3].isSet);
    EXPECT_TRUE(gCli->signalSlots[3].keepDefault);
    EXPECT_EQ(gCli->signalSlots[3].onSignal, nullptr);

    CliSignalInit(3, nullptr);
    EXPECT_TRUE(gCli->signalSlots[3].isSet);
    EXPECT_FALSE(gCli->signalSlots[3].keepDefault);
    EXPECT_EQ(gCli->signalSlots[3].onSignal, nullptr);
}

TEST_F(SignalTableTest, IndexOutsideTheTableChangesNothing) {
    CliSignalInit(1, OnSignal);
    CliGlobals before;
    memcpy(&before, gCli, sizeof before);
    for (uint32_t index : {8u, 9u, 255u, 0xFFFFFFFFu}) {
        CliSignalInit(index, OnSignal);
        CliSignalDefault(index);
    }
    EXPECT_EQ(memcmp(&before, gCli, sizeof before), 0);
}

// ---------------------------------------------------------------------------
// Signals delivered to a child process
// ---------------------------------------------------------------------------

TEST(SignalDeliveryTest, UnconfiguredInterruptTerminateQuitAreIgnored) {
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        ChildResult r = RunInChild([sig] {
            CliInit();
            CliSignalHook();
            Send(sig);
            Send(sig);
            Report("alive\n");
        });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.side, "alive\n");
    }
}

TEST(SignalDeliveryTest, UnconfiguredAbortEndsAtOnceWithStatus1) {
    struct Case {
        const char *name;
        void (*raiseAbort)();
    };
    const Case cases[] = {
        {"kill", [] { Send(SIGABRT); }},
        {"raise", [] { raise(SIGABRT); }},
        {"abort", [] { abort(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ChildResult r = RunInChild([&c] {
            CliInit();
            ReportPointersAtExit();
            CliSignalHook();
            // Held by stdio: an exit from signal context must not flush it,
            // since the signal may have cut a flush of the same bytes short.
            setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
            fputs("held", stdout);
            c.raiseAbort();
            Report("returned\n");
        });
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitCode, 1);
        // Nothing that is unsafe in a signal handler: no clean-up hook, no
        // exit handlers, no stdio.
        EXPECT_EQ(r.side, "");
#if !defined(__SANITIZE_THREAD__)
        // ThreadSanitizer's own _exit flushes stdio on the way out.
        EXPECT_EQ(r.out, "");
#endif
        EXPECT_EQ(r.err, "");
    }
}

TEST(SignalDeliveryTest, CallbacksGetThePortableIndex) {
    ChildResult r = RunInChild([] {
        CliInit();
        // The order in which the service registers.
        CliSignalInit(0, OnSignal);
        CliSignalInit(3, OnSignal);
        CliSignalInit(1, OnSignal);
        CliSignalInit(2, OnSignal);
        CliSignalHook();
        // Twice each: the handler stays installed after a delivery.
        for (int round = 0; round < 2; ++round) {
            Send(SIGINT);
            Send(SIGTERM);
            Send(SIGQUIT);
            Send(SIGABRT);
        }
        Report("alive\n");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "cb 0\ncb 1\ncb 3\ncb 2\ncb 0\ncb 1\ncb 3\ncb 2\nalive\n");
}

TEST(SignalDeliveryTest, SignalFromAnotherProcessReachesTheCallback) {
    ChildResult r = RunInChild([] {
        static volatile sig_atomic_t got = 0;
        CliInit();
        CliSignalInit(1, [](uint32_t index) {
            OnSignal(index);
            got = 1;
        });
        CliSignalHook();
        sigset_t block, old;
        sigemptyset(&block);
        sigaddset(&block, SIGTERM);
        sigprocmask(SIG_BLOCK, &block, &old);
        pid_t sender = fork();
        if (sender == 0) {
            kill(getppid(), SIGTERM);
            _exit(0);
        }
        while (!got) {
            sigsuspend(&old);
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        waitpid(sender, nullptr, 0);
        Report("alive\n");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "cb 1\nalive\n");
}

TEST(SignalDeliveryTest, EmptyCallbackIgnoresTheSignal) {
    for (uint32_t index = 0; index < 4; ++index) {
        SCOPED_TRACE(index);
        ChildResult r = RunInChild([index] {
            CliInit();
            CliSignalInit(index, nullptr);
            CliSignalHook();
            if (Disposition(kPosix[index]) != SIG_IGN) {
                Report("not ignored\n");
            }
            Send(kPosix[index]);
            Report("alive\n");
        });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.side, "alive\n");
    }
    // SIGKILL cannot be ignored: the request is accepted and the signal
    // still ends the process.
    ChildResult r = RunInChild([] {
        CliInit();
        CliSignalInit(4, nullptr);
        CliSignalHook();
        Report("hooked\n");
        Send(SIGKILL);
        Report("alive\n");
    });
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(r.side, "hooked\n");
}

TEST(SignalDeliveryTest, DefaultLeavesAbortAtItsInheritedDisposition) {
    // Inherited: ignored.
    ChildResult ignored = RunInChild([] {
        signal(SIGABRT, SIG_IGN);
        CliInit();
        CliSignalDefault(2);
        CliSignalHook();
        raise(SIGABRT);
        Report("alive\n");
    });
    EXPECT_EQ(ignored.exitCode, 0);
    EXPECT_EQ(ignored.side, "alive\n");

    // Inherited: somebody else's handler, which stays in place.
    ChildResult foreign = RunInChild([] {
        signal(SIGABRT, ForeignHandler);
        CliInit();
        CliSignalDefault(2);
        CliSignalHook();
        raise(SIGABRT);
        Report("alive\n");
    });
    EXPECT_EQ(foreign.exitCode, 0);
    EXPECT_EQ(foreign.side, "foreign\nalive\n");

    // Inherited: the system default, which ends the process by the signal
    // without the runtime's exit sequence.
    ChildResult dfl = RunInChild([] {
        signal(SIGABRT, SIG_DFL);
        CliInit();
        CliSignalDefault(2);
        CliSignalHook();
        raise(SIGABRT);
        Report("alive\n");
    });
    EXPECT_EQ(dfl.signal, SIGABRT);
    EXPECT_EQ(dfl.side, "");
}

TEST(SignalDeliveryTest, UnconfiguredHangUpAndPipeKeepTheirInheritedDisposition) {
    for (int sig : {SIGHUP, SIGPIPE, SIGXFSZ}) {
        SCOPED_TRACE(strsignal(sig));
        ChildResult r = RunInChild([sig] {
            signal(sig, ForeignHandler);
            CliInit();
            CliSignalHook();
            Send(sig);
            Report("alive\n");
        });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.side, "foreign\nalive\n");
    }
}

TEST(SignalDeliveryTest, ConfigurationTakesEffectAtTheNextHook) {
    ChildResult r = RunInChild([] {
        CliInit();
        CliSignalHook();
        CliSignalInit(0, OnSignal);
        Send(SIGINT); // still ignored
        Report("rehook\n");
        CliSignalHook();
        Send(SIGINT);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "rehook\ncb 0\n");
}

TEST(SignalDeliveryTest, HandlerIgnoresSignalsWithoutAPortableIndex) {
    ChildResult r = RunInChild([] {
        CliInit();
        CliSignalInit(0, OnSignal);
        CliSignalInit(1, OnSignal);
        CliSignalHook();
        signal(SIGUSR2, CliSignalHandler);
        Send(SIGUSR2);
        CliSignalHandler(SIGUSR1);
        CliSignalHandler(0);
        Report("alive\n");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "alive\n");
}

TEST(SignalDeliveryTest, UnconfiguredKillIndexExitsWhenItReachesTheHandler) {
    // The system never lets SIGKILL reach a handler; the routing is still
    // the same as for SIGABRT.
    ChildResult r = RunInChild([] {
        CliInit();
        CliSignalHandler(SIGKILL);
        Report("returned\n");
    });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.side, "");
}

TEST(SignalDeliveryTest, HandlerWithoutTheTableDoesNothing) {
    ChildResult r = RunInChild([] {
        CliSignalHandler(SIGABRT);
        CliSignalHandler(SIGINT);
        Report("alive\n");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "alive\n");
}

} // namespace
