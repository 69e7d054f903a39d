// trelvoxlogd run as a process: its command line, and a stop signal while it
// waits for a driver.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

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
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        close(out[0]);
        close(err[0]);
        std::vector<char *> argv;
        std::string path = TRELVOX_LOGD;
        argv.push_back(path.data());
        std::vector<std::string> copy = args;
        for (std::string &arg : copy) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    LogdRun run;
    bool matched = false;
    bool signalled = false;
    std::chrono::steady_clock::time_point matchedAt;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "the service did not end";
            break;
        }
        if (poll(fds, 2, 10) <= 0 && !matched) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
        }
        // The signal goes once the text has been out for a moment, so that
        // the service is back in its wait and not inside the write.
        if (!matched && !stopAfter.empty() && run.out.size() >= stopAfter.size() &&
            run.out.compare(run.out.size() - stopAfter.size(), stopAfter.size(), stopAfter) == 0) {
            matched = true;
            matchedAt = std::chrono::steady_clock::now();
        }
        if (matched && !signalled &&
            std::chrono::steady_clock::now() - matchedAt >= std::chrono::milliseconds(50)) {
            kill(pid, sig);
            signalled = true;
        }
    }
    for (pollfd &fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
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
