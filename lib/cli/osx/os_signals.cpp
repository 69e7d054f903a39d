// The mapping between the runtime's portable signal indexes and the POSIX
// signals, and the installation of dispositions.
#include <csignal>
#include <type_traits>

#include "lib/cli/osx/os.h"

static_assert(std::is_same_v<int32_t, int>, "handlers are passed to signal() unchanged");

namespace {

// Index to signal.
constexpr int kPosixSignals[kOsSignalCount] = {SIGINT,  SIGTERM, SIGABRT, SIGQUIT,
                                               SIGKILL, SIGHUP,  SIGPIPE, SIGXFSZ};

// Signal to index.
struct SignalIndex {
    int sig;
    int32_t index;
};
constexpr SignalIndex kPortableIndexes[] = {
    {SIGINT, 0},  {SIGTERM, 1}, {SIGABRT, 2}, {SIGQUIT, 3},
    {SIGKILL, 4}, {SIGHUP, 5},  {SIGPIPE, 6}, {SIGXFSZ, 7},
};

} // namespace

int32_t OsSignalGet(int32_t sig) {
    for (const SignalIndex &entry : kPortableIndexes) {
        if (entry.sig == sig) {
            return entry.index;
        }
    }
    return kOsSignalNone;
}

void OsSignalHook(uint32_t index, OsSignalHandlerFn handler) {
    if (index >= kOsSignalCount) {
        return;
    }
    // SIGKILL cannot be caught or ignored; signal() refuses it and the
    // refusal is of no consequence to the caller.
    (void)signal(kPosixSignals[index], handler != nullptr ? handler : SIG_IGN);
}
