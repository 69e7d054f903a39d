// The platform stand-in's run loop: waiting, stopping from another thread
// and from a signal handler, a stop that arrives before the run, a wait that
// fails, and timers on the monotonic clock whatever the wall clock does.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "lib/platform/driver_registry.h"
#include "lib/platform/iokit.h"
#include "lib/platform/platform_testing.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using trelvox::platform::ResetPlatform;
using trelvox::platform::SetWallClock;

// The wall clock as CFAbsoluteTimeGetCurrent reads it, stepped by a test.
std::atomic<int64_t> gWallStep{0};
int SteppedWallClock(timespec *now) {
    int result = clock_gettime(CLOCK_REALTIME, now);
    now->tv_sec += gWallStep.load();
    return result;
}

class RunLoop : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPlatform();
        gWallStep = 0;
        SetWallClock(SteppedWallClock);
    }
    void TearDown() override {
        SetWallClock(nullptr);
        ResetPlatform();
    }
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

TEST_F(RunLoop, AFailedWaitReturnsAtOnceWithItsErrno) {
    testsupport::ChildResult r = testsupport::RunInChild([] {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        // A timer far away must not keep the loop from returning.
        CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
            kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + 3600, 0, 0, 0,
            [](CFRunLoopTimerRef, void *) {}, nullptr);
        CFRunLoopAddTimer(loop, timer, kCFRunLoopDefaultMode);
        // poll refuses more descriptors than the limit allows.
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 0;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            _exit(2);
        }
        errno = 0;
        CFRunLoopRun();
        testsupport::SideChannelWrite(strerrorname_np(errno) + std::string("\n"));
        CFRelease(timer);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "EINVAL\n");
}

// When each timer fired, in seconds after the run began.
struct Firings {
    Clock::time_point start;
    std::vector<double> at;
    int rearms = 0; // a one-shot timer's callout gives it a new date this often
};

void RecordFiring(CFRunLoopTimerRef timer, void *info) {
    auto *firings = static_cast<Firings *>(info);
    firings->at.push_back(std::chrono::duration<double>(Clock::now() - firings->start).count());
    if (firings->rearms > 0) {
        --firings->rearms;
        CFRunLoopTimerSetNextFireDate(timer, CFAbsoluteTimeGetCurrent() + 0.1);
    }
}

TEST_F(RunLoop, TimersFireOnTheMonotonicClockWhateverTheWallClockDoes) {
    struct Case {
        const char *what;
        double fireIn;   // seconds
        double interval; // 0: once
        int64_t step;    // wall-clock step, seconds, right after the timer is made
        int rearms;
        // Done to the timer 50 ms into the run, from another thread.
        std::function<void(CFRunLoopTimerRef)> meanwhile;
        std::vector<double> want; // firings, seconds into the run
    };
    const Case cases[] = {
        {"once, at its date", 0.1, 0, 0, 0, nullptr, {0.1}},
        {"repeating", 0.05, 0.1, 0, 0, nullptr, {0.05, 0.15, 0.25, 0.35}},
        {"wall clock stepped back an hour", 0.1, 0, -3600, 0, nullptr, {0.1}},
        {"wall clock stepped forward an hour", 0.2, 0, 3600, 0, nullptr, {0.2}},
        {"repeating across a step back", 0.05, 0.1, -3600, 0, nullptr, {0.05, 0.15, 0.25, 0.35}},
        {"re-armed by its callout", 0.1, 0, 0, 2, nullptr, {0.1, 0.2, 0.3}},
        {"moved nearer while the loop waits",
         30,
         0,
         0,
         0,
         [](CFRunLoopTimerRef t) {
             CFRunLoopTimerSetNextFireDate(t, CFAbsoluteTimeGetCurrent() + 0.1);
         },
         {0.15}},
        {"invalidated before its date", 0.2, 0, 0, 0, CFRunLoopTimerInvalidate, {}},
    };
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        gWallStep = 0;
        Firings firings;
        firings.rearms = c.rearms;
        CFRunLoopTimerContext context = {0, &firings, nullptr, nullptr, nullptr};
        firings.start = Clock::now();
        CFRunLoopTimerRef timer =
            CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + c.fireIn,
                                 c.interval, 0, 0, RecordFiring, &context);
        gWallStep = c.step;
        CFRunLoopAddTimer(loop, timer, kCFRunLoopDefaultMode);
        std::thread helper([&] {
            std::this_thread::sleep_for(50ms);
            if (c.meanwhile) {
                c.meanwhile(timer);
            }
            std::this_thread::sleep_for(350ms);
            CFRunLoopStop(loop);
        });
        CFRunLoopRun();
        helper.join();
        CFRunLoopRemoveTimer(loop, timer, kCFRunLoopDefaultMode);
        CFRelease(timer);
        ASSERT_EQ(firings.at.size(), c.want.size());
        for (size_t i = 0; i < c.want.size(); ++i) {
            EXPECT_GE(firings.at[i], c.want[i] - 0.002) << "firing " << i;
            EXPECT_LT(firings.at[i], c.want[i] + 0.08) << "firing " << i;
        }
    }
}

TEST_F(RunLoop, ATimerKeepsItsInfoAndLetsItGoWhenDestroyed) {
    struct Info {
        int retains = 0;
        int releases = 0;
    } info;
    CFRunLoopTimerContext context = {
        0, &info,
        [](const void *p) -> const void * {
            ++static_cast<Info *>(const_cast<void *>(p))->retains;
            return p;
        },
        [](const void *p) { ++static_cast<Info *>(const_cast<void *>(p))->releases; }, nullptr};
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, 0, 0, 0, 0,
        [](CFRunLoopTimerRef, void *) { CFRunLoopStop(CFRunLoopGetCurrent()); }, &context);
    context.info = nullptr; // the timer has its own copy
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    CFRunLoopRun(); // the due one-shot fires and is invalidated: the loop lets go
    EXPECT_EQ(info.retains, 1);
    EXPECT_EQ(info.releases, 0);
    CFRelease(timer);
    EXPECT_EQ(info.releases, 1);
}

} // namespace
