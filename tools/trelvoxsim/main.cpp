// trelvoxsim: a simulated TrelvoxController driver for trelvoxlogd on
// machines without the adapter. See --help.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "lib/platform/bus_frames.h"
#include "tools/trelvoxsim/sim_driver.h"
#include "tools/trelvoxsim/sim_options.h"
#include "tools/trelvoxsim/sim_replies.h"

namespace {

using trelvox::platform::bus::MonotonicMs;
using namespace trelvoxsim;

volatile sig_atomic_t gStop = 0;

void OnStopSignal(int) {
    gStop = 1;
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    // Sends use MSG_NOSIGNAL; this covers anything else.
    ::signal(SIGPIPE, SIG_IGN);
}

int64_t SecondsToMs(double seconds) {
    return static_cast<int64_t>(seconds * 1000.0 + 0.5);
}

// How long the serving loop may wait before the next planned step.
int WaitFor(int64_t now, int64_t next) {
    constexpr int64_t kMaxWaitMs = 100; // signals are looked at this often
    int64_t wait = next - now;
    if (wait > kMaxWaitMs) {
        wait = kMaxWaitMs;
    }
    return wait < 0 ? 0 : static_cast<int>(wait);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "trelvoxsim: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        PrintHelp(stdout);
        return 0;
    }
    if (!options.seedGiven) {
        options.seed = static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(getpid());
    }
    InstallSignals();

    int64_t start = MonotonicMs();
    std::unique_ptr<ReplySource> source;
    if (!options.replayPath.empty()) {
        auto replay = std::make_unique<ReplaySource>();
        if (!replay->Load(options.replayPath, &error)) {
            fprintf(stderr, "trelvoxsim: %s\n", error.c_str());
            return 1;
        }
        source = std::move(replay);
    } else {
        source = std::make_unique<GeneratedSource>(options, start);
    }
    std::unique_ptr<Recorder> recorder;
    if (!options.recordPath.empty()) {
        recorder = std::make_unique<Recorder>();
        if (!recorder->Open(options.recordPath, &error)) {
            fprintf(stderr, "trelvoxsim: %s\n", error.c_str());
            return 1;
        }
    }

    SimDriver driver(options, source.get(), recorder.get());
    if (!driver.Load(&error)) {
        fprintf(stderr, "trelvoxsim: %s\n", error.c_str());
        return 1;
    }
    int64_t loadedAt = start;
    int64_t unloadedAt = 0;
    uint32_t unloads = 0;
    const int64_t never = INT64_MAX;
    const int64_t exitAt = options.exitAfter > 0 ? start + SecondsToMs(options.exitAfter) : never;

    while (gStop == 0) {
        int64_t now = MonotonicMs();
        if (now >= exitAt) {
            break;
        }
        int64_t next = exitAt;
        if (driver.Loaded()) {
            bool unloadsLeft = options.cycles == 0 || unloads < options.cycles;
            if (options.unloadAfter > 0 && unloadsLeft) {
                int64_t unloadAt = loadedAt + SecondsToMs(options.unloadAfter);
                if (now >= unloadAt) {
                    driver.Unload();
                    ++unloads;
                    unloadedAt = now;
                    if (options.returnAfter < 0) {
                        break; // unloaded for good
                    }
                    continue;
                }
                next = unloadAt < next ? unloadAt : next;
            }
        } else {
            int64_t returnAt = unloadedAt + SecondsToMs(options.returnAfter);
            if (now >= returnAt) {
                if (!driver.Load(&error)) {
                    fprintf(stderr, "trelvoxsim: %s\n", error.c_str());
                    return 1;
                }
                loadedAt = now;
                continue;
            }
            next = returnAt < next ? returnAt : next;
        }
        if (!driver.Serve(WaitFor(now, next))) {
            break; // all text sent
        }
    }
    driver.Unload();
    return 0;
}
