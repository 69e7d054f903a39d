// The rotating log's write path: CliLogWrite of 100-byte messages against
// spdlog's rotating file sink (pattern "%v", flushed after every message, so
// that both hand every message to the kernel at once) and against the floor,
// one write system call per message and nothing else.
//
// CliLogWrite queries the file's length after every write, which lets the
// log notice a file that someone else truncated or moved (spdlog counts the
// bytes it wrote instead). It asks statx for the size alone: on Linux 6.13
// and later an fstat costs more than its own system call, because it asks for
// the file's times, which makes the kernel give the next write a
// fine-grained time stamp and so dirty the inode on every write. Three more
// runs show what the query costs: the floor with a size-only statx per
// message, the floor with an fstat per message, and CliLogWrite with statx
// reported missing through the system-call seam, so that its length query
// falls back to fstat as it does on kernels without statx.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// statx reported missing, so that the OS layer's length query takes fstat.
int MissingStatx(int, const char *, int, unsigned int, struct statx *) {
    errno = ENOSYS;
    return -1;
}

template <bool kFstat> void CliLogWriteBench(benchmark::State &state) {
    OsSysOverride restore;
    if (kFstat) {
        gOsSys.statx = MissingStatx;
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
BENCHMARK(CliLogWriteBench<true>)->Name("CliLogWriteFstat")->UseRealTime();

const bool kRegistered = [] {
    bench::AddComparison("CliLogWrite / floor (write)", "CliLogWrite", "FloorWrite", 1.15);
    bench::AddComparison("CliLogWrite / spdlog rotating sink", "CliLogWrite", "SpdlogRotatingSink",
                         1.25);
    bench::AddComparison("floor with statx size / floor", "FloorWriteStatxSize", "FloorWrite", 0);
    bench::AddComparison("CliLogWrite / floor with statx size", "CliLogWrite",
                         "FloorWriteStatxSize", 0);
    bench::AddComparison("floor with fstat / floor", "FloorWriteFstat", "FloorWrite", 0);
    bench::AddComparison("CliLogWrite, fstat fallback / floor", "CliLogWriteFstat", "FloorWrite",
                         0);
    bench::AddComparison("CliLogWrite, fstat fallback / spdlog", "CliLogWriteFstat",
                         "SpdlogRotatingSink", 0);
    bench::AddNote([](const bench::Results &results, FILE *out) {
        double ours = 0;
        double floor = 0;
        double floorStatx = 0;
        double floorFstat = 0;
        if (!results.Value("CliLogWrite", bench::kCpu, &ours) ||
            !results.Value("FloorWrite", bench::kCpu, &floor) ||
            !results.Value("FloorWriteStatxSize", bench::kCpu, &floorStatx) ||
            !results.Value("FloorWriteFstat", bench::kCpu, &floorFstat)) {
            return;
        }
        fprintf(out,
                "length query per message (CPU time): statx size %.1f ns, fstat %.1f ns; "
                "CliLogWrite above write+statx: %.1f ns\n",
                floorStatx - floor, floorFstat - floor, ours - floorStatx);
    });
    return true;
}();

} // namespace
