// The platform stand-in's run loop: waiting, stopping from another thread
// and from a signal handler, and a stop that arrives before the run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "lib/platform/driver_registry.h"
#include "lib/platform/iokit.h"
#include "lib/platform/platform_testing.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using trelvox::platform::ResetPlatform;

class RunLoop : public ::testing::Test {
protected:
    void SetUp() override { ResetPlatform(); }
    void TearDown() override { ResetPlatform(); }
};

TEST_F(RunLoop, IsOnePerThreadAndSurvivesRetainAndRelease) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(CFRunLoopGetCurrent(), loop);
    CFRunLoopRef other = nullptr;
    std::thread([&] { other = CFRunLoopGetCurrent(); }).join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, loop);
    EXPECT_EQ(CFRetain(loop), loop);
    CFRelease(loop);
    EXPECT_EQ(CFRunLoopGetCurrent(), loop);
    CFRunLoopStop(loop);
    CFRunLoopRun(); // still usable: the kept stop returns at once
}

TEST_F(RunLoop, StopBeforeTheRunMakesOnlyTheNextRunReturnAtOnce) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopStop(loop);
    CFRunLoopStop(loop); // stops do not pile up
    auto start = Clock::now();
    CFRunLoopRun();
    EXPECT_LT(Clock::now() - start, 5s);

    // The following run waits for a stop of its own.
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        stopped = true;
        CFRunLoopStop(loop);
    });
    CFRunLoopRun();
    EXPECT_TRUE(stopped);
    stopper.join();
}

// A signal handler that stops the main run loop, as the service's does.
CFRunLoopRef gLoopForSignal = nullptr;
std::atomic<int> gSignals{0};
void StopFromSignal(int) {
    ++gSignals;
    CFRunLoopStop(gLoopForSignal);
}

TEST_F(RunLoop, StopFromASignalHandlerEndsTheWait) {
    testsupport::ChildResult r = testsupport::RunInChild([] {
        gLoopForSignal = CFRunLoopGetCurrent();
        struct sigaction action = {};
        action.sa_handler = StopFromSignal;
        action.sa_flags = SA_RESTART; // poll must still notice the stop
        sigaction(SIGALRM, &action, nullptr);
        for (int round = 0; round < 3; ++round) {
            itimerval timer = {};
            timer.it_value.tv_usec = 20000;
            setitimer(ITIMER_REAL, &timer, nullptr);
            CFRunLoopRun();
        }
        testsupport::SideChannelWrite(std::to_string(gSignals.load()) + "\n");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "3\n");
}

TEST_F(RunLoop, SignalBetweenCheckAndWaitIsNotLost) {
    // The signal arrives before the run starts; the run must still return.
    testsupport::ChildResult r = testsupport::RunInChild([] {
        gLoopForSignal = CFRunLoopGetCurrent();
        signal(SIGUSR1, StopFromSignal);
        raise(SIGUSR1);
        CFRunLoopRun();
        testsupport::SideChannelWrite("returned\n");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "returned\n");
}

} // namespace
