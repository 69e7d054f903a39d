// Sends a standard stream to a temporary file until Take, so that a test can
// see what the code under test printed on it.
#pragma once

#include <cstdio>
#include <string>

namespace testsupport {

class StreamCapture {
public:
    explicit StreamCapture(FILE *stream);
    ~StreamCapture() { Take(); }
    StreamCapture(const StreamCapture &) = delete;
    StreamCapture &operator=(const StreamCapture &) = delete;

    // Puts the stream back and returns what it received; later calls return
    // the same text.
    std::string Take();

private:
    FILE *stream_;
    FILE *file_ = nullptr;
    int saved_ = -1;
    std::string text_;
};

class StdoutCapture : public StreamCapture {
public:
    StdoutCapture() : StreamCapture(stdout) {}
};

class StderrCapture : public StreamCapture {
public:
    StderrCapture() : StreamCapture(stderr) {}
};

} // namespace testsupport
