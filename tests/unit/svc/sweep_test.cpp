// The service's start in service mode up to its first driver's text, with
// each system call on the way failed in turn: the service never crashes,
// a start that fails says why, a start that succeeds stops cleanly, the
// text the driver handed over is in the log file or on standard output,
// and the log directory holds nothing but the log.
#include <signal.h>
#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/svc/svc_fixture.h"

namespace {

using testsupport::ChildResult;
using testsupport::DriverCall;
using testsupport::Sys;
using testsupport::SysFaults;

constexpr char kText[] = "svc 01/01/70 00:00:00  \n";
constexpr const char *kPieces[] = {"svc ", "01/01/70 00:00:00  "};

struct Start {
    ChildResult r;
    std::string log;                // Trelvox.log
    std::vector<std::string> names; // what the log directory holds
    bool skipped = false;
};

SysFaults *gFaults = nullptr;

// Runs trelvoxlogd -s in a child with its own /var, failing the entry's
// call number n (none for n 0). The driver hands over one text and the
// service is stopped at its next request; a service that waits for ever
// is stopped after two seconds. The child reports on its side channel
// "taken" when the text was handed over, and at exit the calls made.
Start RunStart(Sys entry, uint32_t n) {
    Start start;
    testsupport::TempDir var;
    EXPECT_TRUE(var.Make("trelvox-sweep-"));
    start.r = testsupport::RunInChild([&] {
        setenv("TZ", "UTC", 1);
        tzset();
        trelvox::platform::ResetPlatform();
        if (!svctest::PrivateVar(var.Root())) {
            testsupport::SideChannelWrite("no namespace\n");
            _exit(0);
        }
        SysFaults faults;
        gFaults = &faults;
        atexit([] {
            std::string calls = "calls";
            for (uint32_t i = 0; i < testsupport::kSysEntryCount; ++i) {
                calls += " " + std::to_string(gFaults->Calls(static_cast<Sys>(i)));
            }
            testsupport::SideChannelWrite(calls + "\n");
        });
        if (n != 0) {
            bool memory = entry == Sys::calloc || entry == Sys::pthread_mutex_init ||
                          entry == Sys::pthread_cond_init;
            faults.FailNth(entry, n, memory ? ENOMEM : EIO);
        }
        auto driver = svctest::PublishDriver();
        driver->QueueText("svc {00000000}\n");
        driver->SetOnCall([](const DriverCall &, size_t index) {
            if (index == 1) {
                testsupport::SideChannelWrite("taken\n");
            } else if (index == 2) {
                svctest::SignalFromDriver(SIGTERM);
            }
        });
        svctest::DetachQuiet([] {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            kill(getpid(), SIGTERM);
        });
        std::string name = "trelvoxlogd", mode = "-s";
        std::vector<char *> argv = {name.data(), mode.data(), nullptr};
        CltMain(2, argv.data());
    });
    start.skipped = start.r.side == "no namespace\n";
    start.log = var.Read("quenlab/log/Trelvox.log");
    if (var.Exists("quenlab/log")) {
        for (const auto &entry : std::filesystem::directory_iterator(var.Path("quenlab/log"))) {
            start.names.push_back(entry.path().filename());
        }
    }
    return start;
}

// The counts of the "calls" line, by entry.
std::vector<uint32_t> Calls(const std::string &side) {
    std::vector<uint32_t> calls;
    size_t at = side.find("calls ");
    if (at == std::string::npos) {
        return calls;
    }
    std::istringstream in(side.substr(at + 6));
    uint32_t n;
    while (calls.size() < testsupport::kSysEntryCount && in >> n) {
        calls.push_back(n);
    }
    return calls;
}

TEST(ServiceStartSweep, EveryCallFailedInTurnEndsCleanlyAndLosesNoText) {
    Start clean = RunStart(Sys::calloc, 0);
    if (clean.skipped) {
        GTEST_SKIP() << "no private mount namespace here";
    }
    ASSERT_EQ(clean.r.exitCode, 0);
    ASSERT_EQ(clean.log.find(kText) != std::string::npos, true) << clean.log;
    std::vector<uint32_t> calls = Calls(clean.r.side);
    ASSERT_EQ(calls.size(), testsupport::kSysEntryCount) << clean.r.side;
    uint32_t runs = 0;
    for (uint32_t i = 0; i < testsupport::kSysEntryCount; ++i) {
        Sys entry = static_cast<Sys>(i);
        for (uint32_t n = 1; n <= calls[i]; ++n) {
            SCOPED_TRACE(std::string(testsupport::SysName(entry)) + " call " + std::to_string(n));
            ++runs;
            Start s = RunStart(entry, n);
            const std::string &side = s.r.side;
            EXPECT_EQ(s.r.signal, 0) << "the service crashed";
            EXPECT_TRUE(s.r.exitCode == 0 || s.r.exitCode == 1) << s.r.exitCode;
            if (s.r.exitCode == 0) {
                // A refused system-log message is dropped: the last one may be.
                bool dropped = entry == Sys::syslog_send && n == calls[i];
                EXPECT_TRUE(dropped || side.find("|Service is stopping\n") != std::string::npos)
                    << side;
            } else {
                EXPECT_TRUE(side.find("syslog " + std::to_string(LOG_ERR) + "|") !=
                                std::string::npos ||
                            !s.r.err.empty())
                    << "a failed start says why: " << side;
            }
            // The pump writes the text, the time stamp and the line end
            // apart: a piece that the file refused went to standard output.
            if (side.find("taken\n") != std::string::npos) {
                for (const char *piece : kPieces) {
                    EXPECT_TRUE(s.log.find(piece) != std::string::npos ||
                                s.r.out.find(piece) != std::string::npos)
                        << "lost: " << piece << "; log " << s.log << "; stdout " << s.r.out;
                }
            }
            for (const std::string &name : s.names) {
                EXPECT_EQ(name, "Trelvox.log");
            }
        }
    }
    EXPECT_GT(runs, 20u);
    RecordProperty("runs", static_cast<int>(runs));
}

} // namespace
