// What every benchmark program shares: a main that runs the registered
// benchmarks (repeated and randomly interleaved by default, so that a
// benchmark and its peer see the same machine), then prints, from the
// medians of that same run, each subject's ratio to its peer and each figure
// against its limit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace bench {

// The medians of one benchmark over its repetitions: CPU time of the
// measuring thread (its own work in user space and in the kernel) and real
// time per iteration in nanoseconds, and its user counters.
struct Figures {
    double cpuNs = 0;
    double realNs = 0;
    std::map<std::string, double> counters;
    bool failed = false;
    std::string error;
};

// What the run measured, by registered benchmark name.
class Results {
public:
    const Figures *Find(const std::string &name) const;
    // CPU time per iteration (metric kCpu), real time (kReal) or the named
    // counter; false when the benchmark did not run or failed, or lacks the
    // counter.
    bool Value(const std::string &name, const std::string &metric, double *value) const;

    std::map<std::string, Figures> byName;
};

inline const std::string kCpu = "cpu_ns";
inline const std::string kReal = "real_ns";

// subject / peer, of a counter, or of time per iteration: with metric kCpu
// the verdict is on CPU time and the real-time ratio is printed beside it.
// On a machine shared with other work, real time also counts the time the
// thread waited for a processor, so it is printed but not judged. A target
// of 0 means the ratio is only reported.
void AddComparison(const std::string &label, const std::string &subject, const std::string &peer,
                   double target, const std::string &metric = kCpu);
// One benchmark's counter numerator / its counter denominator, for a
// benchmark that measures a subject and its peer side by side.
void AddCounterRatio(const std::string &label, const std::string &benchmark,
                     const std::string &numerator, const std::string &denominator, double target);
// A counter of one benchmark against an upper limit.
void AddLimit(const std::string &label, const std::string &benchmark, const std::string &metric,
              double limit, const std::string &unit);
// Free-form lines printed after the comparisons and limits.
void AddNote(std::function<void(const Results &, FILE *)> note);

// The machine the figures come from: processor count, CPU model, date.
std::string MachineLine();

// A fresh private directory, removed with everything in it when the object
// goes away. Under $TMPDIR, else /tmp.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace bench
