// Runs a piece of test code in a forked child with its standard streams on
// pipes, so that code which ends the process can be checked from outside:
// the exact bytes on stdout and stderr, the exit status, and what the child
// reported on a side channel.
#pragma once

#include <functional>
#include <string>

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
};

// The body runs in the child; when it returns the child flushes its streams
// and exits with status 0.
ChildResult RunInChild(const std::function<void()> &body, const ChildOptions &options = {});

// In the child: the descriptor of the side channel (-1 in the parent).
int SideChannelFd();
// In the child: writes text to the side channel (nothing in the parent).
void SideChannelWrite(const std::string &text);

} // namespace testsupport
