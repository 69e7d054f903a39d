// The message sink of the platform stand-in and its default, standard
// error.
#include "lib/platform/platform_messages.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "lib/platform/driver_bus_socket.h"

namespace trelvox::platform {
namespace {

void PrintToStandardError(bool, const char *text) {
    fprintf(stderr, "trelvox driver bus: %s\n", text);
    fflush(stderr);
}

std::atomic<PlatformMessageSink> gSink{PrintToStandardError};

void Send(bool problem, const char *format, va_list args) {
    char line[512];
    vsnprintf(line, sizeof line, format, args);
    gSink.load()(problem, line);
}

} // namespace

void SetPlatformMessageSink(PlatformMessageSink sink) {
    gSink.store(sink != nullptr ? sink : PrintToStandardError);
}

namespace {
std::atomic<UnpublishedSink> gUnpublished{nullptr};
} // namespace

void SetUnpublishedSink(UnpublishedSink sink) {
    gUnpublished.store(sink);
}

namespace detail {
void TellUnpublished(const char *name) {
    if (UnpublishedSink sink = gUnpublished.load()) {
        sink(name);
    }
}
} // namespace detail

namespace detail {

void BusProblem(const char *format, ...) {
    va_list args;
    va_start(args, format);
    Send(true, format, args);
    va_end(args);
}

void BusRecovery(const char *format, ...) {
    va_list args;
    va_start(args, format);
    Send(false, format, args);
    va_end(args);
}

} // namespace detail
} // namespace trelvox::platform
