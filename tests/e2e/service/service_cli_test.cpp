// trelvoxlogd run as a process: its command line, and a stop signal while it
// waits for a driver.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace {

constexpr char kBanner[] = "\n\nTrelvox Logging Service (Mar 10 2020)\n\n";
constexpr char kOptions[] = "\nOptions:\n\n"
                            " -h                Display extended help.\n"
                            " -s                Run as service, defaults to app.\n"
                            " -v                Display non-error messages.\n\n";
constexpr char kWaiting[] = "Waiting for driver to load....\n";

struct LogdRun {
    std::string out;
    std::string err;
    int status = -1; // exit status, or -1 when ended by a signal
};

// Starts the service with the arguments. When `stopAfter` is not empty,
// sends `sig` shortly after standard output has ended with that text. Every run is
// killed after 30 seconds.
LogdRun RunLogd(const std::vector<std::string> &args, const std::string &stopAfter = "",
                int sig = SIGTERM) {
    std::vector<std::string> argv = {TRELVOX_LOGD};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::ChildOptions options;
    options.stopAfter = stopAfter;
    options.stopSignal = sig;
    testsupport::ChildResult r = testsupport::RunProgram(testsupport::TargetCommand(argv), options);
    EXPECT_EQ(r.signal != SIGKILL, true) << "the service did not end";
    return {r.out, r.err, r.exitCode};
}

TEST(ServiceCommandLine, HelpVersionAndOptionErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    };
    const std::string help = std::string(kBanner) + "Service to log driver events.\n" + kOptions;
    const Case cases[] = {
        {{"-v"}, kBanner, "", 0},
        {{"-h"}, help, "", 0},
        {{"-?"}, help, "", 0},
        {{"-h", "oem"}, help, "", 0},
        {{"-x"}, kOptions, "TRELVOXLOGD: Invalid option -x.\n", 1},
        {{"-S"}, kOptions, "TRELVOXLOGD: Invalid option -S.\n", 1},
        {{"-x", "arg"}, kOptions, "TRELVOXLOGD: Invalid option -x arg.\n", 1},
        {{"-s", "-s"}, kOptions, "TRELVOXLOGD: Multiple -s options are not allowed.\n", 1},
        {{"-ss"}, kOptions, "TRELVOXLOGD: Multiple -s options are not allowed.\n", 1},
        // The service's own loop runs before the help is shown.
        {{"-h", "-x"}, kOptions, "TRELVOXLOGD: Invalid option -x.\n", 1},
        {{"word"}, kOptions, "TRELVOXLOGD: Options must be preceded with a '-' (word).\n", 1},
    };
    for (const Case &c : cases) {
        std::string name;
        for (const std::string &arg : c.args) {
            name += arg + " ";
        }
        SCOPED_TRACE(name);
        LogdRun run = RunLogd(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST(ServiceCommandLine, StopSignalWhileWaitingForADriverEndsWithStatus0) {
    for (int sig : {SIGTERM, SIGINT, SIGQUIT}) {
        SCOPED_TRACE(sig);
        LogdRun run = RunLogd({}, kWaiting, sig);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, std::string("\n\n") + kWaiting);
        EXPECT_EQ(run.err, "");
    }
}

TEST(ServiceCommandLine, AbortWhileWaitingEndsWithStatus1) {
    LogdRun run = RunLogd({}, kWaiting, SIGABRT);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string("\n\n") + kWaiting);
}

} // namespace
