// Idle cost: trelvoxlogd against an idle trelvoxsim, measured for 10 s once
// the pump's back-off has reached its longest wait. Between them stands a
// relay on the driver bus that forwards every frame and notes the time of
// each event-log request, so that the service's request rate is counted
// exactly; the service's CPU time is the scheduler's own account of its
// threads.
//
// The peer, run side by side in the same 10 s: the floor of a poller at that
// rate, a process that does nothing but the same 50 ms timed waits on a
// condition variable.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bench/support/bench_report.h"
#include "bench/support/bus_relay.h"
#include "bench/support/processes.h"

namespace {

constexpr int kWindowMs = 10000;
// 100 waits of 1 ms, 15 of 10 ms and 10 of 25 ms, then 50 ms for good.
constexpr uint64_t kRampRequests = 125;
constexpr int kStartTimeoutMs = 20000;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The peer: 50 ms timed waits on a condition variable nothing signals, with
// the deadline taken from the wall clock as the pump takes it, until killed.
[[noreturn]] void IdleFloor() {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    for (;;) {
        timeval now;
        gettimeofday(&now, nullptr);
        timespec deadline;
        deadline.tv_sec = now.tv_sec;
        deadline.tv_nsec = 50 * 1000000L + now.tv_usec * 1000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            deadline.tv_sec += 1;
        }
        pthread_mutex_lock(&mutex);
        pthread_cond_timedwait(&cond, &mutex, &deadline);
        pthread_mutex_unlock(&mutex);
    }
}

void IdleService(benchmark::State &state) {
    for (auto _ : state) {
        bench::TempDir dir;
        std::string svcDir = dir.File("svc");
        std::string simDir = dir.File("sim");
        std::string idle = dir.File("idle.replay"); // no replies: idle at once
        FILE *empty = fopen(idle.c_str(), "w");
        if (empty == nullptr || fclose(empty) != 0 || mkdir(svcDir.c_str(), 0700) != 0 ||
            mkdir(simDir.c_str(), 0700) != 0) {
            state.SkipWithError("cannot prepare the directories");
            return;
        }

        // The peer first, before any thread of this process exists.
        fflush(nullptr);
        pid_t floor = fork();
        if (floor == 0) {
            IdleFloor();
        }

        const std::string simSocket = simDir + "/TrelvoxController.sim";
        bench::SpawnOptions simOptions;
        simOptions.stderrPath = dir.File("sim.err");
        pid_t sim = bench::Spawn({TRELVOX_SIM_PATH, "--dir", simDir, "--name",
                                  "TrelvoxController.sim", "--replay", idle},
                                 simOptions);
        bench::BusRelay relay;
        pid_t service = -1;
        std::string error;
        if (floor < 0 || sim < 0) {
            error = "cannot start the simulated driver or the peer";
        } else if (!bench::WaitForPath(simSocket, kStartTimeoutMs)) {
            error = "the simulated driver did not publish its instance";
        } else if (!relay.Start(svcDir, "TrelvoxController.relay", simSocket)) {
            error = "cannot publish the relay";
        } else {
            bench::SpawnOptions svcOptions;
            svcOptions.env = {{"TRELVOX_DRIVER_DIR", svcDir}};
            svcOptions.stdoutPath = dir.File("service.out");
            svcOptions.stderrPath = dir.File("service.err");
            service = bench::Spawn({TRELVOX_LOGD_PATH}, svcOptions);
            for (int waited = 0; service > 0 && relay.RequestCount() < kRampRequests;
                 waited += 10) {
                if (waited > kStartTimeoutMs || bench::HasEnded(service)) {
                    error = "the service did not reach its longest wait";
                    break;
                }
                bench::SleepMs(10);
            }
        }

        if (error.empty()) {
            bench::SleepMs(200); // past the last 25 ms wait of the ramp
            int64_t start = NowNs();
            uint64_t svcCpu = bench::CpuTimeNs(service);
            uint64_t floorCpu = bench::CpuTimeNs(floor);
            uint64_t floorWakes = bench::StatusValue(floor, "voluntary_ctxt_switches:");
            bench::SleepMs(kWindowMs);
            int64_t end = NowNs();
            svcCpu = bench::CpuTimeNs(service) - svcCpu;
            floorCpu = bench::CpuTimeNs(floor) - floorCpu;
            floorWakes = bench::StatusValue(floor, "voluntary_ctxt_switches:") - floorWakes;
            uint64_t requests = 0;
            for (int64_t t : relay.RequestTimes()) {
                requests += t >= start && t < end ? 1 : 0;
            }
            double seconds = static_cast<double>(end - start) / 1e9;
            state.counters["svc_req_per_s"] = static_cast<double>(requests) / seconds;
            state.counters["svc_cpu_pct"] = static_cast<double>(svcCpu) / 1e7 / seconds;
            state.counters["floor_waits_per_s"] = static_cast<double>(floorWakes) / seconds;
            state.counters["floor_cpu_pct"] = static_cast<double>(floorCpu) / 1e7 / seconds;
            state.counters["svc_cpu_us_per_req"] =
                requests == 0 ? 0
                              : static_cast<double>(svcCpu) / 1e3 / static_cast<double>(requests);
        }

        int svcStatus = bench::StopProcess(service, SIGTERM, 5000);
        relay.Stop();
        bench::StopProcess(sim, SIGTERM, 5000);
        bench::StopProcess(floor, SIGKILL, 5000);
        if (error.empty() && !(WIFEXITED(svcStatus) && WEXITSTATUS(svcStatus) == 0)) {
            error = "the service did not end with status 0 on SIGTERM";
        }
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
}

BENCHMARK(IdleService)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond)->UseRealTime();

const bool kRegistered = [] {
    bench::AddLimit("idle requests per second", "IdleService", "svc_req_per_s", 20.5, "req/s");
    bench::AddLimit("idle CPU time, % of one core", "IdleService", "svc_cpu_pct", 0.2, "%");
    bench::AddCounterRatio("idle requests / the floor's waits", "IdleService", "svc_req_per_s",
                           "floor_waits_per_s", 0);
    bench::AddCounterRatio("idle CPU time / the floor's", "IdleService", "svc_cpu_pct",
                           "floor_cpu_pct", 0);
    return true;
}();

} // namespace
