#include "tests/support/stream_capture.h"

#include <unistd.h>

namespace testsupport {

StreamCapture::StreamCapture(FILE *stream) : stream_(stream) {
    fflush(stream_);
    file_ = tmpfile();
    saved_ = dup(fileno(stream_));
    dup2(fileno(file_), fileno(stream_));
}

std::string StreamCapture::Take() {
    if (file_ == nullptr) {
        return text_;
    }
    fflush(stream_);
    dup2(saved_, fileno(stream_));
    close(saved_);
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) {
        text_.append(buf, n);
    }
    fclose(file_);
    file_ = nullptr;
    return text_;
}

} // namespace testsupport
