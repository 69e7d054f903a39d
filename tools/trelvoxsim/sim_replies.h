// Where trelvoxsim's event-log replies come from: generated adapter event
// lines, or a replay of prepared replies; and the record of what was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "lib/driver/controller_interface.h"
#include "tools/trelvoxsim/sim_options.h"

namespace trelvoxsim {

// The event-log reply (method 6's output) and the entry of a record or
// replay file, by the driver's interface.
using Reply = CltEventReply;
using RecordHeader = DriverReplyRecord;
inline constexpr uint32_t kTextSize = kCltEventTextSize;

class ReplySource {
public:
    virtual ~ReplySource() = default;
    // The next reply at this time (monotonic milliseconds).
    virtual void Next(int64_t nowMs, Reply *reply) = 0;
    // Every reply with text has been handed out and no more will come.
    virtual bool Done() const = 0;
};

// Makes one adapter event line with a time token of the given time; with
// the given percentage, the line carries a malformed token or a stray brace.
class LineMaker {
public:
    LineMaker(uint32_t seed, uint32_t malformedPercent);
    std::string Make(int64_t unixSeconds);

private:
    uint32_t Pick(uint32_t n);
    std::string Mangle(std::string line, const std::string &token);

    std::mt19937 random_;
    uint32_t malformedPercent_;
};

// Generated lines at a rate, with idle gaps, a bounded buffer whose overflow
// is reported as lost bytes, and optional extra lost-byte notices.
class GeneratedSource : public ReplySource {
public:
    GeneratedSource(const Options &options, int64_t startMs);
    void Next(int64_t nowMs, Reply *reply) override;
    bool Done() const override;

private:
    bool TotalReached() const { return options_.total != 0 && produced_ >= options_.total; }
    bool InGap(int64_t nowMs) const;
    void Produce(int64_t nowMs);
    void Append(std::string line);

    Options options_;
    LineMaker maker_;
    int64_t startMs_;
    double nextLineMs_; // when the next line is due
    std::string pending_;
    uint64_t produced_ = 0;
    uint64_t dropped_ = 0;
    uint64_t textReplies_ = 0;
};

// Prepared replies from a file, each as often as its repeat count, then
// idle replies.
class ReplaySource : public ReplySource {
public:
    // Reads the file; false with a message in *error when it cannot be read
    // or is cut short.
    bool Load(const std::string &path, std::string *error);
    void Next(int64_t nowMs, Reply *reply) override;
    bool Done() const override { return index_ >= entries_.size(); }

private:
    struct Entry {
        Reply reply;
        uint32_t repeat;
    };
    std::vector<Entry> entries_;
    size_t index_ = 0;
    uint32_t served_ = 0;
};

// Appends every reply with text or lost bytes to a file.
class Recorder {
public:
    ~Recorder();
    bool Open(const std::string &path, std::string *error);
    // False when the record could not be written.
    bool Write(const Reply &reply);

private:
    FILE *file_ = nullptr;
};

} // namespace trelvoxsim
