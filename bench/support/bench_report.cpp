#include "bench/support/bench_report.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <vector>

namespace bench {
namespace {

struct Comparison {
    std::string label;
    std::string subject;
    std::string peer;
    double target;
    std::string metric;     // of both, or of the subject when peerMetric is set
    std::string peerMetric; // empty: metric
};

struct Limit {
    std::string label;
    std::string benchmark;
    std::string metric;
    double limit;
    std::string unit;
};

std::vector<Comparison> &Comparisons() {
    static std::vector<Comparison> list;
    return list;
}

std::vector<Limit> &Limits() {
    static std::vector<Limit> list;
    return list;
}

std::vector<std::function<void(const Results &, FILE *)>> &Notes() {
    static std::vector<std::function<void(const Results &, FILE *)>> list;
    return list;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double ToNs(double value, benchmark::TimeUnit unit) {
    switch (unit) {
    case benchmark::kNanosecond:
        return value;
    case benchmark::kMicrosecond:
        return value * 1e3;
    case benchmark::kMillisecond:
        return value * 1e6;
    case benchmark::kSecond:
        return value * 1e9;
    }
    return value;
}

// Prints as the console reporter does and keeps every repetition, so that
// the medians can be taken whatever the aggregate flags say.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : benchmark::ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &reports) override {
        benchmark::ConsoleReporter::ReportRuns(reports);
        Keep(reports);
    }

    void Keep(const std::vector<Run> &reports) {
        for (const Run &run : reports) {
            Samples &samples = samples_[run.run_name.function_name];
            if (run.error_occurred) {
                samples.failed = true;
                samples.error = run.error_message;
                continue;
            }
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    samples.haveMedian = true;
                    samples.median.realNs = ToNs(run.GetAdjustedRealTime(), run.time_unit);
                    samples.median.cpuNs = ToNs(run.GetAdjustedCPUTime(), run.time_unit);
                    for (const auto &[name, counter] : run.counters) {
                        samples.median.counters[name] = counter.value;
                    }
                }
                continue;
            }
            samples.realNs.push_back(ToNs(run.GetAdjustedRealTime(), run.time_unit));
            samples.cpuNs.push_back(ToNs(run.GetAdjustedCPUTime(), run.time_unit));
            for (const auto &[name, counter] : run.counters) {
                samples.counters[name].push_back(counter.value);
            }
        }
    }

    Results Take() const {
        Results results;
        for (const auto &[name, samples] : samples_) {
            Figures figures;
            if (samples.haveMedian) {
                figures = samples.median;
            } else {
                figures.realNs = Median(samples.realNs);
                figures.cpuNs = Median(samples.cpuNs);
                for (const auto &[counter, values] : samples.counters) {
                    figures.counters[counter] = Median(values);
                }
            }
            figures.failed = samples.failed || (!samples.haveMedian && samples.realNs.empty());
            figures.error = samples.error;
            results.byName[name] = figures;
        }
        return results;
    }

private:
    struct Samples {
        std::vector<double> realNs;
        std::vector<double> cpuNs;
        std::map<std::string, std::vector<double>> counters;
        bool haveMedian = false;
        Figures median;
        bool failed = false;
        std::string error;
    };
    std::map<std::string, Samples> samples_;
};

bool HasFlag(int argc, char **argv, const char *flag) {
    size_t len = strlen(flag);
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], flag, len) == 0 && (argv[i][len] == '=' || argv[i][len] == '\0')) {
            return true;
        }
    }
    return false;
}

const char *Verdict(double value, double limit) {
    return value <= limit ? "met" : "MISSED";
}

// Why a figure is missing: a benchmark left out by the filter is no
// failure, one that failed is.
void Missing(const Results &results, const std::string &label,
             std::initializer_list<std::string> names, FILE *out, bool *complete) {
    for (const std::string &name : names) {
        const Figures *figures = results.Find(name);
        if (figures == nullptr) {
            fprintf(out, "%-44s not run (%s left out)\n", label.c_str(), name.c_str());
            return;
        }
        if (figures->failed) {
            fprintf(out, "%-44s FAILED: %s: %s\n", label.c_str(), name.c_str(),
                    figures->error.c_str());
            *complete = false;
            return;
        }
    }
    fprintf(out, "%-44s FAILED: figure missing\n", label.c_str());
    *complete = false;
}

// Prints the comparisons, limits and notes; false when a benchmark that ran
// failed or lacks a figure.
bool PrintSummary(const Results &results, FILE *out) {
    bool complete = true;
    fprintf(out, "\n== Summary (medians of the repetitions of this run; times per "
                 "iteration)\n");
    for (const Comparison &c : Comparisons()) {
        double subject = 0;
        double peer = 0;
        const std::string &peerMetric = c.peerMetric.empty() ? c.metric : c.peerMetric;
        if (!results.Value(c.subject, c.metric, &subject) ||
            !results.Value(c.peer, peerMetric, &peer) || peer <= 0) {
            Missing(results, c.label, {c.subject, c.peer}, out, &complete);
            continue;
        }
        double ratio = subject / peer;
        if (c.metric == kCpu || c.metric == kReal) {
            // Times in the unit that suits the peer.
            double scale = peer >= 1e6 ? 1e6 : peer >= 1e3 ? 1e3 : 1;
            const char *unit = scale == 1e6 ? "ms" : scale == 1e3 ? "us" : "ns";
            fprintf(out, "%-44s %9.3f / %9.3f %s %s = %6.3fx", c.label.c_str(), subject / scale,
                    peer / scale, unit, c.metric == kCpu ? "CPU" : "real", ratio);
        } else if (c.peerMetric.empty()) {
            fprintf(out, "%-44s %9.3f / %9.3f %s = %6.3fx", c.label.c_str(), subject, peer,
                    c.metric.c_str(), ratio);
        } else {
            fprintf(out, "%-44s %10.3f %s / %10.3f %s = %6.3fx", c.label.c_str(), subject,
                    c.metric.c_str(), peer, peerMetric.c_str(), ratio);
        }
        double realSubject = 0;
        double realPeer = 0;
        if (c.metric == kCpu && results.Value(c.subject, kReal, &realSubject) &&
            results.Value(c.peer, kReal, &realPeer) && realPeer > 0) {
            fprintf(out, " (real time %6.3fx)", realSubject / realPeer);
        }
        if (c.target > 0) {
            fprintf(out, "  (target <= %.2fx: %s", c.target, Verdict(ratio, c.target));
            if (ratio > c.target) {
                fprintf(out, " by %.1f %%", (ratio / c.target - 1) * 100);
            }
            fprintf(out, ")");
        }
        fprintf(out, "\n");
    }
    for (const Limit &l : Limits()) {
        double value = 0;
        if (!results.Value(l.benchmark, l.metric, &value)) {
            Missing(results, l.label, {l.benchmark}, out, &complete);
            continue;
        }
        fprintf(out, "%-44s %12.3f %s  (limit %g %s: %s", l.label.c_str(), value, l.unit.c_str(),
                l.limit, l.unit.c_str(), Verdict(value, l.limit));
        if (value > l.limit && l.limit > 0) {
            fprintf(out, " by %.1f %%", (value / l.limit - 1) * 100);
        } else if (value > l.limit) {
            fprintf(out, " by %g %s", value - l.limit, l.unit.c_str());
        }
        fprintf(out, ")\n");
    }
    for (const auto &note : Notes()) {
        note(results, out);
    }
    fprintf(out, "machine: %s\n", MachineLine().c_str());
    return complete;
}

} // namespace

const Figures *Results::Find(const std::string &name) const {
    auto it = byName.find(name);
    return it == byName.end() ? nullptr : &it->second;
}

bool Results::Value(const std::string &name, const std::string &metric, double *value) const {
    const Figures *figures = Find(name);
    if (figures == nullptr || figures->failed) {
        return false;
    }
    if (metric == kCpu) {
        *value = figures->cpuNs;
        return true;
    }
    if (metric == kReal) {
        *value = figures->realNs;
        return true;
    }
    auto it = figures->counters.find(metric);
    if (it == figures->counters.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

void AddComparison(const std::string &label, const std::string &subject, const std::string &peer,
                   double target, const std::string &metric) {
    Comparisons().push_back(Comparison{label, subject, peer, target, metric, ""});
}

void AddCounterRatio(const std::string &label, const std::string &benchmark,
                     const std::string &numerator, const std::string &denominator, double target) {
    Comparisons().push_back(
        Comparison{label, benchmark, benchmark, target, numerator, denominator});
}

void AddLimit(const std::string &label, const std::string &benchmark, const std::string &metric,
              double limit, const std::string &unit) {
    Limits().push_back(Limit{label, benchmark, metric, limit, unit});
}

void AddNote(std::function<void(const Results &, FILE *)> note) {
    Notes().push_back(std::move(note));
}

std::string MachineLine() {
    std::string model = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                model = line.substr(line.find_first_not_of(" \t", colon + 1));
            }
            break;
        }
    }
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    char date[32] = "";
    time_t now = time(nullptr);
    struct tm utc;
    if (gmtime_r(&now, &utc) != nullptr) {
        strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &utc);
    }
    return std::to_string(processors) + " processors (nproc), " + model + ", " + date;
}

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/trelvox-bench-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace bench

// Repeats every benchmark 5 times in random order unless the command line
// says otherwise, shows the aggregates, then the summary.
int main(int argc, char **argv) {
    std::vector<char *> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_display_aggregates_only=true";
    if (!bench::HasFlag(argc, argv, "--benchmark_repetitions")) {
        args.push_back(repetitions.data());
    }
    if (!bench::HasFlag(argc, argv, "--benchmark_enable_random_interleaving")) {
        args.push_back(interleave.data());
    }
    if (!bench::HasFlag(argc, argv, "--benchmark_display_aggregates_only") &&
        !bench::HasFlag(argc, argv, "--benchmark_report_aggregates_only")) {
        args.push_back(aggregates.data());
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fflush(stdout);
    bool complete = bench::PrintSummary(reporter.Take(), stdout);
    return complete ? 0 : 1;
}
