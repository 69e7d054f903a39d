// The rotating log's write path: CliLogWrite of 100-byte messages against
// spdlog's rotating file sink (pattern "%v", flushed after every message, so
// that both hand every message to the kernel at once) and against the floor,
// one write system call per message and nothing else. A fourth run adds an
// fstat to each floor write: the length check that lets the log notice a file
// that someone else truncated or moved, which spdlog does not make.
//
// On Linux 6.13 and later an fstat costs more than its own system call: it
// asks for the file's times, which makes the kernel give the next write a
// fine-grained time stamp and so dirty the inode on every write. A length
// query that asks for the size alone (statx with STATX_SIZE) leaves the
// times coarse. Two more runs measure that: the floor with such a query, and
// CliLogWrite with the OS layer's fstat replaced through the system-call
// seam by one.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "bench/support/bench_report.h"
#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/clilog.h"

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

// The size of the file alone, as the length check needs it, without asking
// for its times.
int SizeOnlyStat(int fd, struct stat *st) {
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_SIZE, &sx) != 0) {
        return -1;
    }
    memset(st, 0, sizeof *st);
    st->st_size = static_cast<off_t>(sx.stx_size);
    return 0;
}

template <bool kSizeOnly> void CliLogWriteBench(benchmark::State &state) {
    OsSysOverride restore;
    if (kSizeOnly) {
        gOsSys.fstat = SizeOnlyStat;
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

enum class Length { kNone, kFstat, kStatxSize };

template <Length kLength> void FloorBench(benchmark::State &state) {
    bench::TempDir dir;
    std::string path = dir.File("Trelvox.log");
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        state.SkipWithError("cannot open the floor's file");
        return;
    }
    const Message &message = TheMessage();
    struct stat st;
    struct statx sx;
    for (auto _ : state) {
        if (write(fd, message.bytes, kMessageSize) != kMessageSize) {
            state.SkipWithError("write failed");
            break;
        }
        if (kLength == Length::kFstat && fstat(fd, &st) != 0) {
            state.SkipWithError("fstat failed");
            break;
        }
        if (kLength == Length::kStatxSize && statx(fd, "", AT_EMPTY_PATH, STATX_SIZE, &sx) != 0) {
            state.SkipWithError("statx failed");
            break;
        }
    }
    close(fd);
    Count(state);
}

BENCHMARK(CliLogWriteBench<false>)->Name("CliLogWrite")->UseRealTime();
BENCHMARK(SpdlogRotatingSinkBench)->Name("SpdlogRotatingSink")->UseRealTime();
BENCHMARK(FloorBench<Length::kNone>)->Name("FloorWrite")->UseRealTime();
BENCHMARK(FloorBench<Length::kFstat>)->Name("FloorWriteFstat")->UseRealTime();
BENCHMARK(FloorBench<Length::kStatxSize>)->Name("FloorWriteStatxSize")->UseRealTime();
BENCHMARK(CliLogWriteBench<true>)->Name("CliLogWriteStatxSize")->UseRealTime();

const bool kRegistered = [] {
    bench::AddComparison("CliLogWrite / floor (write)", "CliLogWrite", "FloorWrite", 1.15);
    bench::AddComparison("CliLogWrite / spdlog rotating sink", "CliLogWrite", "SpdlogRotatingSink",
                         1.25);
    bench::AddComparison("floor with fstat / floor", "FloorWriteFstat", "FloorWrite", 0);
    bench::AddComparison("CliLogWrite / floor with fstat", "CliLogWrite", "FloorWriteFstat", 0);
    bench::AddComparison("floor with statx size / floor", "FloorWriteStatxSize", "FloorWrite", 0);
    bench::AddComparison("CliLogWrite, statx size / floor", "CliLogWriteStatxSize", "FloorWrite",
                         0);
    bench::AddComparison("CliLogWrite, statx size / spdlog", "CliLogWriteStatxSize",
                         "SpdlogRotatingSink", 0);
    bench::AddNote([](const bench::Results &results, FILE *out) {
        double ours = 0;
        double floor = 0;
        double floorFstat = 0;
        if (!results.Value("CliLogWrite", bench::kCpu, &ours) ||
            !results.Value("FloorWrite", bench::kCpu, &floor) ||
            !results.Value("FloorWriteFstat", bench::kCpu, &floorFstat)) {
            return;
        }
        double fstatNs = floorFstat - floor;
        fprintf(out,
                "fstat per message (CPU time): %.1f ns, %.1f %% of a CliLogWrite; "
                "CliLogWrite above write+fstat: %.1f ns\n",
                fstatNs, 100 * fstatNs / ours, ours - floorFstat);
    });
    return true;
}();

} // namespace
