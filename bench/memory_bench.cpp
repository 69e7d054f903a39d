// Memory: trelvoxlogd's resident memory while it records 100 MiB of event
// text that trelvoxsim serves as fast as the service asks (application mode,
// standard output on a regular file). Sampled every few milliseconds from
// /proc: the peak (VmHWM) over the whole run, and the peak and the resident
// size when the first 10 MiB of output are written and at the end of the
// text, to show that nothing grows with the amount of text. What the
// departure of the driver adds after the text is reported apart.
//
// The peer: a minimal C++ program (copy_floor) moving the same amount of
// event text from a pipe to a file through one reply-sized buffer, the
// least a process doing this job can hold.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "bench/support/bench_report.h"
#include "bench/support/event_corpus.h"
#include "bench/support/processes.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kTextBytes = 100 * kMiB;
constexpr uint64_t kMark = 10 * kMiB;
constexpr int kRunTimeoutMs = 600000;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Memory {
    uint64_t hwmAtMark = 0; // KiB
    uint64_t rssAtMark = 0;
    uint64_t hwmAtEnd = 0;
    uint64_t rssAtEnd = 0;
    uint64_t peak = 0; // the highest VmHWM seen
    uint64_t hwmAfter = 0;
    uint64_t rssAfter = 0;
    // CPU time (ns) of the service and of the simulated driver, last seen
    // while the driver was still there.
    uint64_t svcCpu = 0;
    uint64_t simCpu = 0;

    // One sample: the peak so far and the current figures.
    void Sample(pid_t pid, uint64_t *hwm, uint64_t *rss) {
        *hwm = bench::StatusValue(pid, "VmHWM:");
        *rss = bench::StatusValue(pid, "VmRSS:");
        peak = std::max(peak, *hwm);
    }
};
// The service against the simulated driver; false with *error on failure.
bool RunService(const bench::TempDir &dir, Memory *memory, double *seconds, uint64_t *outBytes,
                std::string *error) {
    std::string driverDir = dir.File("drivers");
    if (mkdir(driverDir.c_str(), 0700) != 0) {
        *error = "cannot make the driver directory";
        return false;
    }
    bench::SpawnOptions simOptions;
    simOptions.stderrPath = dir.File("sim.err");
    pid_t sim = bench::Spawn({TRELVOX_SIM_PATH, "--dir", driverDir, "--name",
                              "TrelvoxController.sim", "--rate", "0", "--gap-every", "0", "--total",
                              std::to_string(kTextBytes), "--exit-when-done", "--seed", "1"},
                             simOptions);
    if (sim < 0 || !bench::WaitForPath(driverDir + "/TrelvoxController.sim", 20000)) {
        bench::StopProcess(sim, SIGTERM, 5000);
        *error = "the simulated driver did not publish its instance";
        return false;
    }
    std::string out = dir.File("service.out");
    bench::SpawnOptions svcOptions;
    svcOptions.env = {{"TRELVOX_DRIVER_DIR", driverDir}};
    svcOptions.stdoutPath = out;
    svcOptions.stderrPath = dir.File("service.err");
    auto start = std::chrono::steady_clock::now();
    pid_t service = bench::Spawn({TRELVOX_LOGD_PATH}, svcOptions);
    // The end of the text is the last sample taken while the output still
    // grew and the driver was still there; what the departure of the driver
    // adds afterwards is kept apart.
    bool marked = false;
    uint64_t lastSize = 0;
    for (;;) {
        if (service < 0 || bench::HasEnded(service)) {
            *error = "the service ended during the run";
            break;
        }
        uint64_t simCpu = bench::CpuTimeNs(sim);
        uint64_t svcCpu = bench::CpuTimeNs(service);
        bool simGone = bench::HasEnded(sim);
        if (!simGone) {
            memory->svcCpu = svcCpu;
            memory->simCpu = simCpu;
        }
        uint64_t hwm = 0;
        uint64_t rss = 0;
        memory->Sample(service, &hwm, &rss);
        uint64_t size = bench::FileSize(out);
        if (!marked && size >= kMark) {
            memory->hwmAtMark = hwm;
            memory->rssAtMark = rss;
            marked = true;
        }
        if (!simGone && size > lastSize) {
            memory->hwmAtEnd = hwm;
            memory->rssAtEnd = rss;
        }
        lastSize = size;
        // The simulated driver leaves once all its text is taken.
        if (simGone) {
            *seconds = Seconds(start);
            bench::SleepMs(200); // the service notices and waits for a driver
            memory->Sample(service, &memory->hwmAfter, &memory->rssAfter);
            break;
        }
        if (Seconds(start) * 1000 > kRunTimeoutMs) {
            *error = "the run took too long";
            break;
        }
        bench::SleepMs(5);
    }
    int status = bench::StopProcess(service, SIGTERM, 5000);
    bench::StopProcess(sim, SIGTERM, 5000);
    *outBytes = bench::FileSize(out);
    if (error->empty() && !marked) {
        *error = "the service wrote less than 10 MiB";
    }
    if (error->empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        *error = "the service did not end with status 0 on SIGTERM";
    }
    return error->empty();
}

// The peer moving the same amount of event text.
bool RunFloor(const bench::TempDir &dir, Memory *memory, std::string *error) {
    bench::EventCorpus corpus = bench::BuildEventCorpus(1024);
    std::string text;
    for (const CltEventReply &reply : corpus.replies) {
        text.append(reply.eventText, reply.textLen);
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = "cannot make a pipe";
        return false;
    }
    bench::SpawnOptions options;
    options.stdinFd = fds[0];
    options.stdoutPath = dir.File("floor.out");
    pid_t floor = bench::Spawn({TRELVOX_COPY_FLOOR_PATH}, options);
    close(fds[0]);
    uint64_t sent = 0;
    bool marked = false;
    while (floor > 0 && sent < kTextBytes) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(text.size(), kTextBytes - sent));
        if (write(fds[1], text.data(), n) != static_cast<ssize_t>(n)) {
            break;
        }
        sent += n;
        uint64_t hwm = 0;
        uint64_t rss = 0;
        memory->Sample(floor, &hwm, &rss);
        if (!marked && sent >= kMark) {
            memory->hwmAtMark = hwm;
            memory->rssAtMark = rss;
            marked = true;
        }
        memory->hwmAtEnd = hwm;
        memory->rssAtEnd = rss;
    }
    close(fds[1]);
    int status = bench::WaitForEnd(floor, 10000);
    if (status == -1) {
        bench::StopProcess(floor, SIGKILL, 5000);
    }
    if (sent < kTextBytes || !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        *error = "the floor did not move all the text";
        return false;
    }
    return true;
}

void MemoryService(benchmark::State &state) {
    for (auto _ : state) {
        bench::TempDir dir;
        Memory service;
        Memory floor;
        double seconds = 0;
        uint64_t outBytes = 0;
        std::string error;
        if (!RunService(dir, &service, &seconds, &outBytes, &error) ||
            !RunFloor(dir, &floor, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        state.counters["svc_peak_mib"] = static_cast<double>(service.peak) / 1024;
        state.counters["svc_peak_growth_kib"] =
            static_cast<double>(service.hwmAtEnd) - static_cast<double>(service.hwmAtMark);
        state.counters["svc_rss_growth_kib"] =
            static_cast<double>(service.rssAtEnd) - static_cast<double>(service.rssAtMark);
        state.counters["svc_rss_end_mib"] = static_cast<double>(service.rssAtEnd) / 1024;
        state.counters["svc_rss_departure_kib"] =
            static_cast<double>(service.rssAfter) - static_cast<double>(service.rssAtEnd);
        state.counters["svc_text_mib_per_s"] = static_cast<double>(kTextBytes / kMiB) / seconds;
        state.counters["svc_cpu_ms_per_mib"] =
            static_cast<double>(service.svcCpu) / 1e6 / static_cast<double>(kTextBytes / kMiB);
        state.counters["sim_cpu_ms_per_mib"] =
            static_cast<double>(service.simCpu) / 1e6 / static_cast<double>(kTextBytes / kMiB);
        state.counters["svc_out_mib"] = static_cast<double>(outBytes) / kMiB;
        state.counters["floor_peak_mib"] = static_cast<double>(floor.peak) / 1024;
        state.counters["floor_peak_growth_kib"] =
            static_cast<double>(floor.hwmAtEnd) - static_cast<double>(floor.hwmAtMark);
    }
}

BENCHMARK(MemoryService)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond)->UseRealTime();

const bool kRegistered = [] {
    bench::AddLimit("peak resident memory, 100 MiB run", "MemoryService", "svc_peak_mib", 8, "MiB");
    bench::AddLimit("peak growth from the first 10 MiB to the end", "MemoryService",
                    "svc_peak_growth_kib", 0, "KiB");
    bench::AddLimit("resident growth from 10 MiB to the end", "MemoryService", "svc_rss_growth_kib",
                    0, "KiB");
    bench::AddCounterRatio("peak resident memory / the floor's", "MemoryService", "svc_peak_mib",
                           "floor_peak_mib", 0);
    bench::AddNote([](const bench::Results &results, FILE *out) {
        double rate = 0;
        double svcCpu = 0;
        double simCpu = 0;
        if (results.Value("MemoryService", "svc_text_mib_per_s", &rate) &&
            results.Value("MemoryService", "svc_cpu_ms_per_mib", &svcCpu) &&
            results.Value("MemoryService", "sim_cpu_ms_per_mib", &simCpu)) {
            fprintf(out,
                    "%-44s %12.2f MiB/s  (trelvoxsim --rate 0 -> trelvoxlogd -> a file; CPU "
                    "time a MiB: service %.1f ms, driver %.1f ms)\n",
                    "end-to-end text throughput", rate, svcCpu, simCpu);
        }
    });
    return true;
}();

} // namespace
