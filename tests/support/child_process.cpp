#include "tests/support/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace testsupport {
namespace {

int gSideFd = -1;

void DrainInto(int fd, std::string &sink, bool &open) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        sink.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;
    }
}

} // namespace

int SideChannelFd() {
    return gSideFd;
}

void SideChannelWrite(const std::string &text) {
    if (gSideFd >= 0) {
        ssize_t ignored = write(gSideFd, text.data(), text.size());
        (void)ignored;
    }
}

// Present only in a coverage build that links it (scripts/coverage.sh).
extern "C" void __gcov_dump() __attribute__((weak));

ChildResult RunInChild(const std::function<void()> &body, const ChildOptions &options) {
    int in[2], out[2], err[2], side[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0 || pipe(side) != 0) {
        std::perror("pipe");
        std::abort();
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::abort();
    }
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        close(side[0]);
        gSideFd = side[1];
        body();
        fflush(nullptr);
        // A coverage build writes its counters at exit, which _exit skips.
        if (__gcov_dump != nullptr) {
            __gcov_dump();
        }
        _exit(0);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(side[1]);

    signal(SIGPIPE, SIG_IGN);
    if (!options.input.empty()) {
        ssize_t ignored = write(in[1], options.input.data(), options.input.size());
        (void)ignored;
    }
    if (options.closeInput) {
        close(in[1]);
    }

    ChildResult result;
    bool outOpen = true, errOpen = true, sideOpen = true;
    time_t deadline = time(nullptr) + options.timeoutSeconds;
    const std::string &stopAfter = options.stopAfter;
    bool matched = false, signalled = false;
    std::chrono::steady_clock::time_point matchedAt;
    while (outOpen || errOpen || sideOpen) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {side[0], POLLIN, 0}};
        fds[0].fd = outOpen ? out[0] : -1;
        fds[1].fd = errOpen ? err[0] : -1;
        fds[2].fd = sideOpen ? side[0] : -1;
        int ready = poll(fds, 3, matched && !signalled ? 10 : 200);
        if (ready > 0) {
            if (fds[0].revents) {
                DrainInto(out[0], result.out, outOpen);
            }
            if (fds[1].revents) {
                DrainInto(err[0], result.err, errOpen);
            }
            if (fds[2].revents) {
                DrainInto(side[0], result.side, sideOpen);
            }
        }
        if (!matched && !stopAfter.empty() && result.out.size() >= stopAfter.size() &&
            result.out.compare(result.out.size() - stopAfter.size(), stopAfter.size(), stopAfter) ==
                0) {
            matched = true;
            matchedAt = std::chrono::steady_clock::now();
        }
        if (matched && !signalled &&
            std::chrono::steady_clock::now() - matchedAt >= std::chrono::milliseconds(50)) {
            kill(pid, options.stopSignal);
            signalled = true;
        }
        if (time(nullptr) > deadline) {
            kill(pid, SIGKILL);
            break;
        }
    }
    if (!options.closeInput) {
        close(in[1]);
    }
    close(out[0]);
    close(err[0]);
    close(side[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

ChildResult RunProgram(const std::vector<std::string> &argv, const ChildOptions &options) {
    return RunInChild(
        [&argv] {
            close(gSideFd);
            gSideFd = -1;
            // The parent ignores SIGPIPE while it feeds a child; the
            // program starts with the default, as from a shell.
            signal(SIGPIPE, SIG_DFL);
            std::vector<std::string> copy = argv;
            std::vector<char *> pointers;
            for (std::string &arg : copy) {
                pointers.push_back(arg.data());
            }
            pointers.push_back(nullptr);
            execv(pointers[0], pointers.data());
            _exit(127);
        },
        options);
}

std::vector<std::string> TargetCommand(std::vector<std::string> argv) {
    const std::string run = TRELVOX_TARGET_RUN;
    if (!run.empty()) {
        argv.insert(argv.begin(), run);
    }
    return argv;
}

} // namespace testsupport
