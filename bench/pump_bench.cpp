// Throughput of the event pump: the service's own LogEvents against an
// in-process scripted driver that serves a prepared corpus of event text
// (1 MiB a pass, full 1024-byte replies, a time token about every 80
// bytes), writing (a) to the rotating log in a temporary directory and (b)
// to standard output redirected to a regular file.
//
// The peer is the floor: the very bytes the pump wrote, with as many write
// system calls of the same sizes (and, for the log, to a file opened for
// appending as the log's is, with the same statx calls at the same places:
// the log's check of its path, once per 64 KiB or second) and nothing else.
// Before the benchmarks a calibration pass runs the pump once per output and
// records what it wrote: for the log through the OS layer's system-call seam
// (every write and every statx), for standard output from the file and from
// the kernel's count of write calls (/proc/self/io).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_report.h"
#include "bench/support/event_corpus.h"
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/clilog.h"
#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_testing.h"
#include "svc/clt.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/sys_override.h"

namespace {

constexpr uint32_t kReplies = 1024; // 1 MiB of event text a pass
// The service's log: 50 MiB, the current file and four predecessors.
constexpr uint32_t kSizeLimit = 50u << 20;
constexpr uint32_t kFileCount = 5;

const bench::EventCorpus &Corpus() {
    static const bench::EventCorpus corpus = bench::BuildEventCorpus(kReplies);
    return corpus;
}

// The service record as the service has it while it runs: the runtime's and
// the service's records, the wait primitives, application mode.
void EnsureServiceRecord() {
    static const bool ready = [] {
        CliInit();
        CltGlobalsInit();
        pthread_mutex_init(&Clt()->pump.waitMutex, nullptr);
        Clt()->pump.mutexCreated = true;
        CltWaitCondInit(&Clt()->pump.waitCond);
        Clt()->pump.condCreated = true;
        return true;
    }();
    (void)ready;
}

// One pass of the corpus: a fresh scripted driver with every reply queued,
// published and connected. The pump's last request finds the script empty
// and fails, as when a driver goes away, which ends LogEvents.
class Pass {
public:
    Pass() : driver_(std::make_shared<testsupport::ScriptedDriver>()) {
        for (const CltEventReply &reply : Corpus().replies) {
            driver_->QueueReply(reply);
        }
        id_ = trelvox::platform::PublishInstance(driver_);
        ok_ = trelvox::platform::OpenInstance(id_, 0, &connection_) == KERN_SUCCESS;
    }
    ~Pass() {
        if (ok_) {
            IOServiceClose(connection_);
        }
        trelvox::platform::UnpublishInstance(id_);
    }
    Pass(const Pass &) = delete;
    Pass &operator=(const Pass &) = delete;

    bool Ok() const { return ok_; }
    bool Drained() const { return driver_->RepliesLeft() == 0; }
    io_connect_t Connection() const { return connection_; }

private:
    std::shared_ptr<testsupport::ScriptedDriver> driver_;
    trelvox::platform::InstanceId id_ = 0;
    io_connect_t connection_ = 0;
    bool ok_ = false;
};

// One pass through the real pump, untimed; false when it could not connect
// or did not take every reply.
bool UntimedPass() {
    Pass pass;
    if (!pass.Ok()) {
        return false;
    }
    LogEvents(pass.Connection());
    return pass.Drained();
}

// One pass within a benchmark's iteration: only LogEvents is timed, not the
// queueing of the replies nor the clean-up.
bool TimedPass(benchmark::State &state) {
    state.PauseTiming();
    auto pass = std::make_unique<Pass>();
    bool ok = pass->Ok();
    state.ResumeTiming();
    if (ok) {
        LogEvents(pass->Connection());
    }
    state.PauseTiming();
    ok = ok && pass->Drained();
    pass.reset();
    state.ResumeTiming();
    return ok;
}

// The rotating log of the service, open in a temporary directory.
class OpenLog {
public:
    OpenLog() {
        Clt()->logHandle = CliLogInit(dir_.File("Trelvox.log").c_str(), kSizeLimit, kFileCount);
        ok_ = Clt()->logHandle != nullptr && CliLogOpen(Clt()->logHandle);
    }
    ~OpenLog() { CliLogFree(&Clt()->logHandle); }
    OpenLog(const OpenLog &) = delete;
    OpenLog &operator=(const OpenLog &) = delete;

    bool Ok() const { return ok_; }
    std::string Path() const { return dir_.File("Trelvox.log"); }

private:
    bench::TempDir dir_;
    bool ok_ = false;
};

// Standard output sent to a regular file in a temporary directory.
class StdoutToFile {
public:
    StdoutToFile() {
        fflush(stdout);
        int fd = open(dir_.File("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        saved_ = dup(STDOUT_FILENO);
        ok_ = fd >= 0 && saved_ >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
        if (fd >= 0) {
            close(fd);
        }
    }
    ~StdoutToFile() {
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    StdoutToFile(const StdoutToFile &) = delete;
    StdoutToFile &operator=(const StdoutToFile &) = delete;

    bool Ok() const { return ok_; }
    std::string Path() const { return dir_.File("stdout"); }

private:
    bench::TempDir dir_;
    int saved_ = -1;
    bool ok_ = false;
};

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The kernel's count of write system calls made by this process.
uint64_t WriteCalls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "syscw:") {
            return value;
        }
    }
    return 0;
}

// One statx call of the log's: after how many writes, of a path or of the
// descriptor, asking for what.
struct Query {
    size_t afterWrites;
    bool byPath;
    unsigned int mask;
};

// What one pass of the pump wrote: its bytes and the size of every write,
// and the log's statx calls among them.
struct Recording {
    std::string bytes;
    std::vector<uint32_t> sizes;
    std::vector<Query> queries;
    uint64_t fstatCalls = 0;
    std::string error; // empty when the pass and its checks succeeded
    uint64_t stdoutWrites = 0;
};

Recording *gRecording = nullptr;

ssize_t RecordWrite(int fd, const void *buf, size_t len) {
    ssize_t n = gOsSysReal.write(fd, buf, len);
    if (n > 0) {
        gRecording->bytes.append(static_cast<const char *>(buf), static_cast<size_t>(n));
        gRecording->sizes.push_back(static_cast<uint32_t>(n));
    }
    return n;
}

int RecordStatx(int fd, const char *path, int flags, unsigned int mask, struct statx *out) {
    gRecording->queries.push_back({gRecording->sizes.size(), path[0] != '\0', mask});
    if ((mask & (STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME)) != 0) {
        gRecording->error = "the log asked statx for the times, which the floor does not replay";
    }
    return gOsSysReal.statx(fd, path, flags, mask, out);
}

int RecordFstat(int fd, struct stat *st) {
    ++gRecording->fstatCalls;
    return gOsSysReal.fstat(fd, st);
}

// Runs the pump once into the log (recording every write and statx) and once
// to standard output, and checks that both wrote the same bytes in the same
// number of writes, and that the log made no fstat.
const Recording &Calibration() {
    static const Recording recording = [] {
        EnsureServiceRecord();
        Recording r;
        {
            OpenLog log;
            if (!log.Ok()) {
                r.error = "cannot open the rotating log";
                return r;
            }
            OsSysOverride restore;
            gRecording = &r;
            gOsSys.write = RecordWrite;
            gOsSys.statx = RecordStatx;
            gOsSys.fstat = RecordFstat;
            bool drained = UntimedPass();
            gOsSys = gOsSysReal;
            gRecording = nullptr;
            if (!r.error.empty()) {
                return r;
            }
            if (!drained) {
                r.error = "the pump did not take every reply (log)";
                return r;
            }
            if (ReadFile(log.Path()) != r.bytes) {
                r.error = "the recorded writes differ from the log file";
                return r;
            }
        }
        if (r.fstatCalls != 0) {
            r.error = "the log made " + std::to_string(r.fstatCalls) + " fstat calls";
            return r;
        }
        std::string out;
        {
            StdoutToFile redirect;
            if (!redirect.Ok()) {
                r.error = "cannot redirect standard output";
                return r;
            }
            uint64_t before = WriteCalls();
            bool drained = UntimedPass();
            fflush(stdout);
            r.stdoutWrites = WriteCalls() - before;
            out = ReadFile(redirect.Path());
            if (!drained) {
                r.error = "the pump did not take every reply (standard output)";
                return r;
            }
        }
        if (out != r.bytes) {
            r.error = "standard output differs from the log";
        } else if (r.stdoutWrites != r.sizes.size()) {
            r.error = "standard output took " + std::to_string(r.stdoutWrites) +
                      " writes, the log " + std::to_string(r.sizes.size());
        }
        return r;
    }();
    return recording;
}

void Count(benchmark::State &state, const Recording &r) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(r.bytes.size()));
    state.counters["writes"] = static_cast<double>(r.sizes.size());
    state.counters["replies"] = kReplies;
}

// The floor: the recorded writes replayed to fd and, when path is given, the
// log's statx calls among them, on that path or on fd.
bool Replay(int fd, const Recording &r, const char *path) {
    const char *p = r.bytes.data();
    struct statx sx;
    auto query = r.queries.begin();
    for (size_t i = 0; i <= r.sizes.size(); ++i) {
        for (; path != nullptr && query != r.queries.end() && query->afterWrites == i; ++query) {
            int result = query->byPath ? statx(AT_FDCWD, path, 0, query->mask, &sx)
                                       : statx(fd, "", AT_EMPTY_PATH, query->mask, &sx);
            if (result != 0) {
                return false;
            }
        }
        if (i == r.sizes.size()) {
            break;
        }
        if (write(fd, p, r.sizes[i]) != static_cast<ssize_t>(r.sizes[i])) {
            return false;
        }
        p += r.sizes[i];
    }
    return true;
}

// One pump pass per iteration with Output (the open log, or stdout sent to a
// file) in place for the whole run.
template <typename Output> void PumpInto(benchmark::State &state, const char *outputError) {
    const Recording &r = Calibration();
    if (!r.error.empty()) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    Output output;
    if (!output.Ok()) {
        state.SkipWithError(outputError);
        return;
    }
    for (auto _ : state) {
        if (!TimedPass(state)) {
            state.SkipWithError("the pump did not take every reply");
            break;
        }
    }
    Count(state, r);
}

void PumpToLog(benchmark::State &state) {
    PumpInto<OpenLog>(state, "cannot open the rotating log");
}

void FloorToLog(benchmark::State &state) {
    const Recording &r = Calibration();
    if (!r.error.empty()) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    bench::TempDir dir;
    std::string path = dir.File("Trelvox.log");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND, 0644);
    if (fd < 0) {
        state.SkipWithError("cannot open the floor's file");
        return;
    }
    for (auto _ : state) {
        if (!Replay(fd, r, path.c_str())) {
            state.SkipWithError("write or statx failed");
            break;
        }
    }
    close(fd);
    Count(state, r);
}

void PumpToStdout(benchmark::State &state) {
    PumpInto<StdoutToFile>(state, "cannot redirect standard output");
}

void FloorToStdout(benchmark::State &state) {
    const Recording &r = Calibration();
    if (!r.error.empty()) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    StdoutToFile redirect;
    if (!redirect.Ok()) {
        state.SkipWithError("cannot redirect standard output");
        return;
    }
    for (auto _ : state) {
        if (!Replay(STDOUT_FILENO, r, nullptr)) {
            state.SkipWithError("write failed");
            break;
        }
    }
    Count(state, r);
}

BENCHMARK(PumpToLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FloorToLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PumpToStdout)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FloorToStdout)->Unit(benchmark::kMillisecond)->UseRealTime();

const bool kRegistered = [] {
    bench::AddComparison("(a) pump to the rotating log / floor", "PumpToLog", "FloorToLog", 1.2);
    bench::AddComparison("(b) pump to stdout (a file) / floor", "PumpToStdout", "FloorToStdout",
                         1.3);
    bench::AddNote([](const bench::Results &, FILE *out) {
        const Recording &r = Calibration();
        const bench::EventCorpus &corpus = Corpus();
        fprintf(out,
                "a pass: %u replies, %llu bytes of text with %llu time tokens -> %zu bytes "
                "out in %zu writes (log: %zu statx, %llu fstat; stdout: %llu writes)\n",
                kReplies, static_cast<unsigned long long>(corpus.textBytes),
                static_cast<unsigned long long>(corpus.tokens), r.bytes.size(), r.sizes.size(),
                r.queries.size(), static_cast<unsigned long long>(r.fstatCalls),
                static_cast<unsigned long long>(r.stdoutWrites));
        if (!r.error.empty()) {
            fprintf(out, "calibration FAILED: %s\n", r.error.c_str());
        }
    });
    return true;
}();

} // namespace
