// The rotating log's write path: CliLogWrite of 100-byte messages against
// spdlog's rotating file sink (pattern "%v", flushed after every message, so
// that both hand every message to the kernel at once) and against the floor,
// one write system call per message and nothing else.
//
// The log must notice a file that someone else truncated, deleted or moved,
// and rotate at the limit. The ways of doing that were measured side by side
// as floors of their own: a size query after every write (a size-only statx;
// what the log did before), a seek to the end before every write, writes to
// a file opened for appending, and appending writes with a read of the
// coarse monotonic clock (which lets the log check its path once a second).
// CliLogWrite appends, counts the bytes it writes and reads the clock;
// anything more happens once a second or per 64 KiB. One more run takes the
// write away (a stub in the system-call seam reports every byte written),
// which leaves what CliLogWrite itself costs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "bench/support/bench_report.h"
#include "lib/cli/shared/clilog.h"
#include "tests/support/sys_override.h"

namespace {

constexpr uint32_t kMessageSize = 100;
// The service's limits: 50 MiB, the current file and four predecessors.
constexpr uint32_t kSizeLimit = 50u << 20;
constexpr uint32_t kFileCount = 5;

// One 100-byte event line, its line end included.
struct Message {
    Message() {
        const char line[] = "03/12/20 11:21:16  Port 1: link up at 32 Gb/s, fabric login "
                            "accepted, N_Port ID 0x010200, BB credit 8";
        static_assert(sizeof line - 1 >= kMessageSize - 1);
        memcpy(bytes, line, kMessageSize - 1);
        bytes[kMessageSize - 1] = '\n';
    }
    char bytes[kMessageSize];
};

const Message &TheMessage() {
    static const Message message;
    return message;
}

void Count(benchmark::State &state) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * kMessageSize);
}

// A write that reports every byte written and does nothing.
ssize_t NoWrite(int, const void *, size_t length) {
    return static_cast<ssize_t>(length);
}

template <bool kWrite> void CliLogWriteBench(benchmark::State &state) {
    OsSysOverride restore;
    if (!kWrite) {
        gOsSys.write = NoWrite;
    }
    bench::TempDir dir;
    std::string path = dir.File("Trelvox.log");
    CliLogFile *log = CliLogInit(path.c_str(), kSizeLimit, kFileCount);
    if (log == nullptr || !CliLogOpen(log)) {
        state.SkipWithError("cannot open the rotating log");
        CliLogFree(&log);
        return;
    }
    const Message &message = TheMessage();
    for (auto _ : state) {
        if (!CliLogWrite(log, message.bytes, kMessageSize)) {
            state.SkipWithError("CliLogWrite failed");
            break;
        }
    }
    CliLogFree(&log);
    Count(state);
}

void SpdlogRotatingSinkBench(benchmark::State &state) {
    bench::TempDir dir;
    // The same files: the current one and four predecessors. The logger adds
    // the line end, so it is given 99 bytes and writes the same 100.
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_st>(dir.File("Trelvox.log"),
                                                                       kSizeLimit, kFileCount - 1);
    spdlog::logger logger("bench", sink);
    logger.set_pattern("%v");
    logger.flush_on(spdlog::level::trace);
    const spdlog::string_view_t text(TheMessage().bytes, kMessageSize - 1);
    for (auto _ : state) {
        logger.log(spdlog::level::info, text);
    }
    Count(state);
}

// The floor and the candidate mechanisms around the same write.
enum class Way {
    kWrite,       // write alone: the floor
    kWriteStatx,  // write, then a size-only statx
    kSeekWrite,   // lseek to the end, then write
    kAppend,      // write to a file opened with O_APPEND
    kAppendClock, // the same, and a read of the coarse monotonic clock
};

template <Way kWay> void FloorBench(benchmark::State &state) {
    bench::TempDir dir;
    std::string path = dir.File("Trelvox.log");
    bool append = kWay == Way::kAppend || kWay == Way::kAppendClock;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | (append ? O_APPEND : 0), 0644);
    if (fd < 0) {
        state.SkipWithError("cannot open the floor's file");
        return;
    }
    const Message &message = TheMessage();
    struct statx sx;
    struct timespec now;
    for (auto _ : state) {
        if (kWay == Way::kSeekWrite && lseek(fd, 0, SEEK_END) < 0) {
            state.SkipWithError("lseek failed");
            break;
        }
        if (kWay == Way::kAppendClock) {
            clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
            benchmark::DoNotOptimize(now);
        }
        if (write(fd, message.bytes, kMessageSize) != kMessageSize) {
            state.SkipWithError("write failed");
            break;
        }
        if (kWay == Way::kWriteStatx && statx(fd, "", AT_EMPTY_PATH, STATX_SIZE, &sx) != 0) {
            state.SkipWithError("statx failed");
            break;
        }
    }
    close(fd);
    Count(state);
}

BENCHMARK(CliLogWriteBench<true>)->Name("CliLogWrite")->UseRealTime();
BENCHMARK(CliLogWriteBench<false>)->Name("CliLogWriteWithoutTheWrite")->UseRealTime();
BENCHMARK(SpdlogRotatingSinkBench)->Name("SpdlogRotatingSink")->UseRealTime();
BENCHMARK(FloorBench<Way::kWrite>)->Name("FloorWrite")->UseRealTime();
BENCHMARK(FloorBench<Way::kWriteStatx>)->Name("WriteStatxSize")->UseRealTime();
BENCHMARK(FloorBench<Way::kSeekWrite>)->Name("SeekEndWrite")->UseRealTime();
BENCHMARK(FloorBench<Way::kAppend>)->Name("AppendWrite")->UseRealTime();
BENCHMARK(FloorBench<Way::kAppendClock>)->Name("AppendWriteClock")->UseRealTime();

const bool kRegistered = [] {
    bench::AddComparison("CliLogWrite / floor (write)", "CliLogWrite", "FloorWrite", 1.1);
    bench::AddComparison("CliLogWrite / spdlog rotating sink", "CliLogWrite", "SpdlogRotatingSink",
                         1.0);
    bench::AddComparison("write + statx size / floor", "WriteStatxSize", "FloorWrite", 0);
    bench::AddComparison("lseek to the end + write / floor", "SeekEndWrite", "FloorWrite", 0);
    bench::AddComparison("O_APPEND write / floor", "AppendWrite", "FloorWrite", 0);
    bench::AddComparison("O_APPEND write + coarse clock / floor", "AppendWriteClock", "FloorWrite",
                         0);
    bench::AddComparison("CliLogWrite / O_APPEND write + coarse clock", "CliLogWrite",
                         "AppendWriteClock", 0);
    bench::AddNote([](const bench::Results &results, FILE *out) {
        double floor = 0;
        if (!results.Value("FloorWrite", bench::kCpu, &floor)) {
            return;
        }
        fprintf(out, "per message above the bare write (CPU time):");
        for (const char *name : {"WriteStatxSize", "SeekEndWrite", "AppendWrite",
                                 "AppendWriteClock", "CliLogWrite", "SpdlogRotatingSink"}) {
            double value = 0;
            if (results.Value(name, bench::kCpu, &value)) {
                fprintf(out, " %s %+.1f ns;", name, value - floor);
            }
        }
        double own = 0;
        if (results.Value("CliLogWriteWithoutTheWrite", bench::kCpu, &own)) {
            fprintf(out, " CliLogWrite without the write %.1f ns;", own);
        }
        fprintf(out, " the write itself %.1f ns\n", floor);
    });
    return true;
}();

} // namespace
