// Helpers shared by the service's test programs: the service record set up
// in the test process, the texts it prints around a driver connection, and a
// scripted driver connected straight to the pump.
#pragma once

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "lib/cli/shared/cli.h"
#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_testing.h"
#include "svc/clt.h"
#include "tests/support/runtime_fixture.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/stream_capture.h"
#include "tests/support/sys_faults.h"

namespace svctest {

// What the service prints around a driver connection.
inline constexpr char kEstablishing[] = "Establishing driver connection....";
inline constexpr char kEstablished[] = "driver connection established.\n\n";
inline constexpr char kRetrieveFailed[] = "\nCould not retrieve log data. ";
inline constexpr char kWaiting[] = "Waiting for driver to load....\n";

// The record as CltMain has it once the wait primitives exist, in
// application mode, local time UTC and a clean platform stand-in, with the
// system-call seam under the fault controller.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        trelvox::platform::ResetPlatform();
        testsupport::ClearSysLogRecords();
        CliInit();
        CltGlobalsInit();
        ASSERT_EQ(pthread_mutex_init(&Clt()->pump.waitMutex, nullptr), 0);
        Clt()->pump.mutexCreated = true;
        ASSERT_EQ(CltWaitCondInit(&Clt()->pump.waitCond), 0);
        Clt()->pump.condCreated = true;
    }
    void TearDown() override {
        CltExit();
        testsupport::ReleaseRuntime();
        trelvox::platform::ResetPlatform();
    }

    // The system log is recorded, never reached; tests fail seam entries.
    testsupport::SysFaults faults_;
};

using testsupport::StdoutCapture;

inline std::shared_ptr<testsupport::ScriptedDriver> PublishDriver() {
    auto driver = std::make_shared<testsupport::ScriptedDriver>();
    trelvox::platform::PublishInstance(driver);
    return driver;
}

// Runs the pump on a fresh connection to a newly published scripted driver
// prepared by `script`; returns what went to standard output.
template <typename Script>
std::string PumpOutput(Script script,
                       std::shared_ptr<testsupport::ScriptedDriver> *keep = nullptr) {
    auto driver = std::make_shared<testsupport::ScriptedDriver>();
    script(*driver);
    trelvox::platform::InstanceId id = trelvox::platform::PublishInstance(driver);
    io_connect_t connection = 0;
    EXPECT_EQ(trelvox::platform::OpenInstance(id, 0, &connection), KERN_SUCCESS);
    StdoutCapture capture;
    LogEvents(connection);
    std::string out = capture.Take();
    IOServiceClose(connection);
    if (keep != nullptr) {
        *keep = driver;
    }
    return out;
}

// Starts fn on a thread of the test's own that blocks the asynchronous
// signals, as every thread of the service but the main one does: a signal
// to the process then reaches the main thread, as in the service.
inline void DetachQuiet(std::function<void()> fn) {
    std::thread([fn = std::move(fn)] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        fn();
    }).detach();
}

// Set once the service is about to wait in its run loop: its tick timer,
// made right before, reads the wall clock for the first time then.
inline std::atomic<bool> gAboutToRun{false};
inline int NoteAboutToRun(timespec *now) {
    gAboutToRun.store(true);
    return clock_gettime(CLOCK_REALTIME, now);
}
// Waits (on a quiet thread) until the service is about to run its run loop.
inline void WaitAboutToRun() {
    while (!gAboutToRun.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A signal to the process from inside a driver call, as a stop or an abort
// comes from outside; returns once the main thread has taken it in, so that
// the pump's next step sees it as it would after a synchronous raise().
inline void SignalFromDriver(int sig) {
    kill(getpid(), sig);
    while (gClt != nullptr && !Clt()->stopRequested.load()) {
        sched_yield();
    }
}

// Service mode writes the fixed log path and takes its lock in /run: a
// child gets a private mount namespace whose /var is the test's directory
// and whose /run is empty, so nothing on the machine is touched and the
// test reads the log file after the child has ended. False where no such
// namespace can be made.
inline bool PrivateVar(const std::string &var) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(var.c_str(), "/var", nullptr, MS_BIND, nullptr) != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, "mode=755") != 0) {
        return false;
    }
    return mkdir("/var/quenlab", 0755) == 0;
}

} // namespace svctest
