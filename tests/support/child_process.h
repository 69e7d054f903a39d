// Runs a piece of test code, or a program, in a forked child with its
// standard streams on pipes, so that code which ends the process can be
// checked from outside: the exact bytes on stdout and stderr, the exit
// status, and what the child reported on a side channel.
#pragma once

#include <signal.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct ChildResult {
    std::string out;
    std::string err;
    std::string side;  // bytes the child wrote to SideChannelFd()
    int exitCode = -1; // exit status, or -1 when ended by a signal
    int signal = 0;    // the terminating signal, or 0
};

struct ChildOptions {
    std::string input;       // written to the child's stdin
    bool closeInput = true;  // close stdin after the input
    int timeoutSeconds = 30; // the child is killed after this
    // When not empty: once stdout ends with this text and 50 ms have
    // passed (the child is back in its wait, not inside the write), the
    // child gets stopSignal.
    std::string stopAfter;
    int stopSignal = SIGTERM;
};

// The body runs in the child; when it returns the child flushes its streams
// and exits with status 0.
ChildResult RunInChild(const std::function<void()> &body, const ChildOptions &options = {});

// Runs the program argv[0] with the arguments argv in a child the same way
// (exit status 127 when it cannot be started; no side channel).
ChildResult RunProgram(const std::vector<std::string> &argv, const ChildOptions &options = {});

// The command line that starts a program of this build: argv itself, or in
// a build for another CPU, argv behind the command that runs it under the
// target's emulator. Signals sent to the started process reach the program.
std::vector<std::string> TargetCommand(std::vector<std::string> argv);

// In the child: the descriptor of the side channel (-1 in the parent).
int SideChannelFd();
// In the child: writes text to the side channel (nothing in the parent).
void SideChannelWrite(const std::string &text);

} // namespace testsupport
