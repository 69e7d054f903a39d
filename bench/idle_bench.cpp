// Idle cost: trelvoxlogd against an idle trelvoxsim, measured for 10 s once
// the pump's back-off has reached its longest wait. Between them stands a
// relay on the driver bus that forwards every frame and notes the time of
// each event-log request, so that the service's request rate is counted
// exactly; the service's CPU time is the scheduler's own account of its
// threads.
//
// Two peers, run side by side in the same 10 s: the floor of a poller at
// that rate, a process that does nothing but the same 50 ms timed waits on a
// condition variable; and the least client, which after each such wait
// makes the service's request to the same simulated driver, through a relay
// of its own as the service's requests go through one, with the system
// calls a request and its reply need and nothing else. The least client is
// what any program polling a driver over the bus at this rate costs here.
//
// A second benchmark counts the service's system calls per idle request:
// strace -c attached to the service for a fixed number of requests (counted
// by the relay).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "bench/support/bench_report.h"
#include "bench/support/bus_relay.h"
#include "bench/support/processes.h"
#include "lib/platform/bus_frames.h"

namespace {

namespace bus = trelvox::platform::bus;

constexpr int kWindowMs = 10000;
// 100 waits of 1 ms, 15 of 10 ms and 10 of 25 ms, then 50 ms for good.
constexpr uint64_t kRampRequests = 125;
constexpr int kStartTimeoutMs = 20000;
// Requests over which the system calls are counted (5 s).
constexpr uint64_t kCountedRequests = 100;
constexpr uint32_t kEventLogSelector = 6;
constexpr uint32_t kReplySize = 1036;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One 50 ms timed wait on a condition variable nothing signals, with the
// deadline taken from the wall clock as the pump takes it.
void WaitFiftyMs(pthread_mutex_t *mutex, pthread_cond_t *cond) {
    timeval now;
    gettimeofday(&now, nullptr);
    timespec deadline;
    deadline.tv_sec = now.tv_sec;
    deadline.tv_nsec = 50 * 1000000L + now.tv_usec * 1000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        deadline.tv_sec += 1;
    }
    pthread_mutex_lock(mutex);
    pthread_cond_timedwait(cond, mutex, &deadline);
    pthread_mutex_unlock(mutex);
}

// The floor: the waits alone, until killed.
[[noreturn]] void IdleFloor() {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    for (;;) {
        WaitFiftyMs(&mutex, &cond);
    }
}

// The least client: the same waits, each followed by the service's
// event-log request to the driver at socketPath and its reply, in one send,
// one poll (on the socket and a pipe, as the service also watches its run
// loop's) and one receive. Ends with status 1 when the driver fails it.
[[noreturn]] void LeastClient(const std::string &socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int wake[2];
    if (!bench::WaitForPath(socketPath, kStartTimeoutMs) ||
        socketPath.size() >= sizeof address.sun_path || fd < 0 ||
        pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        _exit(1);
    }
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        _exit(1);
    }
    struct {
        bus::RequestHeader header;
        uint8_t input[8];
    } request{{bus::kRequestMagic, bus::kStruct, kEventLogSelector, 8, kReplySize}, {}};
    static_assert(sizeof request == sizeof(bus::RequestHeader) + 8);
    const ssize_t replyFrame = sizeof(bus::ReplyHeader) + kReplySize;
    char reply[replyFrame + 1];
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    for (;;) {
        WaitFiftyMs(&mutex, &cond);
        if (send(fd, &request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
            _exit(1);
        }
        // A stream may deliver the reply in pieces; the relay passes it on
        // whole, so this is one poll and one receive.
        for (ssize_t have = 0; have < replyFrame;) {
            pollfd ready[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            ssize_t got = 0;
            if (poll(ready, 2, 10000) != 1 ||
                (got = recv(fd, reply + have, sizeof reply - static_cast<size_t>(have), 0)) <= 0) {
                _exit(1);
            }
            have += got;
        }
    }
}

// The service against an idle simulated driver through the counting relay,
// started and brought to its longest wait.
class IdleRig {
public:
    explicit IdleRig(const bench::TempDir &dir) : dir_(dir) {}
    ~IdleRig() { Stop(); }

    const std::string &SimSocket() const { return simSocket_; }
    pid_t Service() const { return service_; }
    const bench::BusRelay &Relay() const { return relay_; }

    // The simulated driver only; the service comes with StartService.
    bool StartDriver(std::string *error) {
        std::string svcDir = dir_.File("svc");
        std::string simDir = dir_.File("sim");
        std::string idle = dir_.File("idle.replay"); // no replies: idle at once
        FILE *empty = fopen(idle.c_str(), "w");
        if (empty == nullptr || fclose(empty) != 0 || mkdir(svcDir.c_str(), 0700) != 0 ||
            mkdir(simDir.c_str(), 0700) != 0) {
            *error = "cannot prepare the directories";
            return false;
        }
        simSocket_ = simDir + "/TrelvoxController.sim";
        bench::SpawnOptions simOptions;
        simOptions.stderrPath = dir_.File("sim.err");
        sim_ = bench::Spawn({TRELVOX_SIM_PATH, "--dir", simDir, "--name", "TrelvoxController.sim",
                             "--replay", idle},
                            simOptions);
        if (sim_ < 0) {
            *error = "cannot start the simulated driver";
            return false;
        }
        if (!bench::WaitForPath(simSocket_, kStartTimeoutMs)) {
            *error = "the simulated driver did not publish its instance";
            return false;
        }
        return true;
    }

    // The relay and the service, until the service has passed its last
    // 25 ms wait.
    bool StartService(std::string *error) {
        std::string svcDir = dir_.File("svc");
        if (!relay_.Start(svcDir, "TrelvoxController.relay", simSocket_)) {
            *error = "cannot publish the relay";
            return false;
        }
        bench::SpawnOptions svcOptions;
        svcOptions.env = {{"TRELVOX_DRIVER_DIR", svcDir}};
        svcOptions.stdoutPath = dir_.File("service.out");
        svcOptions.stderrPath = dir_.File("service.err");
        service_ = bench::Spawn({TRELVOX_LOGD_PATH}, svcOptions);
        for (int waited = 0; service_ > 0 && relay_.RequestCount() < kRampRequests; waited += 10) {
            if (waited > kStartTimeoutMs || bench::HasEnded(service_)) {
                *error = "the service did not reach its longest wait";
                return false;
            }
            bench::SleepMs(10);
        }
        if (service_ < 0) {
            *error = "cannot start the service";
            return false;
        }
        bench::SleepMs(200); // past the last 25 ms wait of the ramp
        return true;
    }

    // Stops everything; false when the service did not end with status 0.
    bool Stop() {
        int status = bench::StopProcess(service_, SIGTERM, 5000);
        bool clean = service_ < 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
        service_ = -1;
        relay_.Stop();
        bench::StopProcess(sim_, SIGTERM, 5000);
        sim_ = -1;
        return clean;
    }

private:
    const bench::TempDir &dir_;
    std::string simSocket_;
    pid_t sim_ = -1;
    pid_t service_ = -1;
    bench::BusRelay relay_;
};

void IdleService(benchmark::State &state) {
    for (auto _ : state) {
        bench::TempDir dir;
        IdleRig rig(dir);
        std::string error;
        // The peers first, before any thread of this process exists.
        fflush(nullptr);
        pid_t floor = fork();
        if (floor == 0) {
            IdleFloor();
        }
        bool driverUp = floor > 0 && rig.StartDriver(&error);
        pid_t least = -1;
        std::string leastDir = dir.File("least");
        if (driverUp) {
            mkdir(leastDir.c_str(), 0700);
            least = fork();
            if (least == 0) {
                LeastClient(leastDir + "/TrelvoxController.relay");
            }
        }
        bench::BusRelay leastRelay;
        if (floor < 0 || (driverUp && least < 0)) {
            error = "cannot start the peers";
        } else if (driverUp &&
                   !leastRelay.Start(leastDir, "TrelvoxController.relay", rig.SimSocket())) {
            error = "cannot start the least client's relay";
        } else if (driverUp) {
            rig.StartService(&error);
        }

        if (error.empty()) {
            int64_t start = NowNs();
            uint64_t svcCpu = bench::CpuTimeNs(rig.Service());
            uint64_t floorCpu = bench::CpuTimeNs(floor);
            uint64_t leastCpu = bench::CpuTimeNs(least);
            uint64_t floorWakes = bench::StatusValue(floor, "voluntary_ctxt_switches:");
            bench::SleepMs(kWindowMs);
            int64_t end = NowNs();
            svcCpu = bench::CpuTimeNs(rig.Service()) - svcCpu;
            floorCpu = bench::CpuTimeNs(floor) - floorCpu;
            leastCpu = bench::CpuTimeNs(least) - leastCpu;
            floorWakes = bench::StatusValue(floor, "voluntary_ctxt_switches:") - floorWakes;
            uint64_t requests = 0;
            for (int64_t t : rig.Relay().RequestTimes()) {
                requests += t >= start && t < end ? 1 : 0;
            }
            double seconds = static_cast<double>(end - start) / 1e9;
            state.counters["svc_req_per_s"] = static_cast<double>(requests) / seconds;
            state.counters["svc_cpu_pct"] = static_cast<double>(svcCpu) / 1e7 / seconds;
            state.counters["floor_waits_per_s"] = static_cast<double>(floorWakes) / seconds;
            state.counters["floor_cpu_pct"] = static_cast<double>(floorCpu) / 1e7 / seconds;
            state.counters["least_cpu_pct"] = static_cast<double>(leastCpu) / 1e7 / seconds;
            state.counters["svc_cpu_us_per_req"] =
                requests == 0 ? 0
                              : static_cast<double>(svcCpu) / 1e3 / static_cast<double>(requests);
            if (bench::HasEnded(least)) {
                error = "the least client failed";
            }
        }

        bool clean = rig.Stop();
        bench::StopProcess(least, SIGKILL, 5000);
        leastRelay.Stop();
        bench::StopProcess(floor, SIGKILL, 5000);
        if (error.empty() && !clean) {
            error = "the service did not end with status 0 on SIGTERM";
        }
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
}

// The program's full path from PATH; empty when it is not there.
std::string FindProgram(const std::string &name) {
    const char *path = getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

bool FileHas(const std::string &path, const std::string &text) {
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str().find(text) != std::string::npos;
}

// Calls and failed calls by system call name, and their total, from the
// table strace -c writes ("% time seconds usecs/call calls errors syscall").
struct SyscallCounts {
    std::map<std::string, uint64_t> calls;
    uint64_t total = 0;
    uint64_t errors = 0;
};

bool ParseStraceSummary(const std::string &path, SyscallCounts *counts) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        double percent = 0;
        double seconds = 0;
        uint64_t usecsPerCall = 0;
        uint64_t calls = 0;
        if (!(fields >> percent >> seconds >> usecsPerCall >> calls)) {
            continue; // the heading, a rule or anything else
        }
        std::string rest[2];
        fields >> rest[0] >> rest[1];
        bool hasErrors = !rest[1].empty();
        const std::string &name = hasErrors ? rest[1] : rest[0];
        uint64_t errors = hasErrors ? strtoull(rest[0].c_str(), nullptr, 10) : 0;
        if (name == "total") {
            counts->total = calls;
            counts->errors = errors;
        } else {
            counts->calls[name] = calls;
        }
    }
    return counts->total > 0;
}

void IdleSystemCalls(benchmark::State &state) {
    std::string strace = FindProgram("strace");
    if (strace.empty()) {
        state.SkipWithError("strace is missing (scripts/bench.sh installs it)");
        return;
    }
    for (auto _ : state) {
        bench::TempDir dir;
        IdleRig rig(dir);
        std::string error;
        pid_t tracer = -1;
        uint64_t first = 0;
        uint64_t last = 0;
        std::string table = dir.File("strace.txt");
        std::string tracerErr = dir.File("strace.err");
        if (rig.StartDriver(&error) && rig.StartService(&error)) {
            bench::SpawnOptions options;
            options.stderrPath = tracerErr;
            tracer = bench::Spawn(
                {strace, "-c", "-f", "-o", table, "-p", std::to_string(rig.Service())}, options);
            for (int waited = 0; !FileHas(tracerErr, "attached"); waited += 10) {
                if (tracer < 0 || waited > kStartTimeoutMs || bench::HasEnded(tracer)) {
                    error = "strace did not attach to the service";
                    break;
                }
                bench::SleepMs(10);
            }
        }
        if (error.empty()) {
            first = rig.Relay().RequestCount();
            for (int waited = 0; rig.Relay().RequestCount() < first + kCountedRequests;
                 waited += 10) {
                if (waited > kStartTimeoutMs) {
                    error = "the service stopped asking";
                    break;
                }
                bench::SleepMs(10);
            }
        }
        int traced = bench::StopProcess(tracer, SIGINT, 5000);
        last = rig.Relay().RequestCount();
        SyscallCounts counts;
        if (error.empty() && (traced == -1 || !ParseStraceSummary(table, &counts))) {
            error = "strace gave no summary";
        }
        if (!rig.Stop() && error.empty()) {
            error = "the service did not end with status 0 on SIGTERM";
        }
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        double requests = static_cast<double>(last - first);
        state.counters["requests"] = requests;
        state.counters["calls_per_req"] = static_cast<double>(counts.total) / requests;
        state.counters["failed_per_req"] = static_cast<double>(counts.errors) / requests;
        for (const auto &[name, calls] : counts.calls) {
            state.counters[name + "_per_req"] = static_cast<double>(calls) / requests;
        }
    }
}

BENCHMARK(IdleService)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(IdleSystemCalls)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond)->UseRealTime();

// The system calls per idle request, by name.
void PrintSystemCalls(const bench::Results &results, FILE *out) {
    const bench::Figures *figures = results.Find("IdleSystemCalls");
    if (figures == nullptr || figures->failed) {
        return;
    }
    std::string byName;
    const std::string suffix = "_per_req";
    for (const auto &[counter, value] : figures->counters) {
        if (counter.size() > suffix.size() &&
            counter.compare(counter.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            counter != "calls_per_req" && counter != "failed_per_req") {
            char item[96];
            snprintf(item, sizeof item, "%s%s %.2f", byName.empty() ? "" : ", ",
                     counter.substr(0, counter.size() - suffix.size()).c_str(), value);
            byName += item;
        }
    }
    fprintf(out, "%-44s %12.2f  (%s; %.2f failed)\n", "system calls per idle request (strace -c)",
            figures->counters.at("calls_per_req"), byName.c_str(),
            figures->counters.at("failed_per_req"));
}

const bool kRegistered = [] {
    bench::AddLimit("idle requests per second", "IdleService", "svc_req_per_s", 20.5, "req/s");
    bench::AddLimit("idle CPU time, % of one core", "IdleService", "svc_cpu_pct", 0.2, "%");
    bench::AddCounterRatio("idle requests / the floor's waits", "IdleService", "svc_req_per_s",
                           "floor_waits_per_s", 0);
    // The target is the least client: the wait-only floor is below what any
    // poller at this rate reaches (the least client itself costs about two
    // floors).
    bench::AddCounterRatio("idle CPU time / the floor's", "IdleService", "svc_cpu_pct",
                           "floor_cpu_pct", 0);
    bench::AddCounterRatio("idle CPU time / the least client's", "IdleService", "svc_cpu_pct",
                           "least_cpu_pct", 1.15);
    bench::AddCounterRatio("the least client's CPU time / the floor's", "IdleService",
                           "least_cpu_pct", "floor_cpu_pct", 0);
    bench::AddNote(PrintSystemCalls);
    return true;
}();

} // namespace
