// trelvoxsim's reply sources and the record file.
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "tools/trelvoxsim/sim_replies.h"

namespace trelvoxsim {
namespace {

const char *const kTopologies[] = {"fabric", "loop", "point-to-point"};
const char *const kDownReasons[] = {"loss of signal", "loss of sync", "remote port disabled",
                                    "link reset by switch"};
const char *const kIoErrors[] = {"command timeout", "abort requested by target",
                                 "SCSI status 0x08 (busy)", "data underrun of 512 bytes",
                                 "link failure during exchange"};
const uint32_t kSpeeds[] = {8, 16, 32, 64};

template <typename T, size_t N> constexpr uint32_t Count(const T (&)[N]) {
    return static_cast<uint32_t>(N);
}

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void IdleReply(Reply *reply) {
    memset(reply, 0, sizeof *reply);
    reply->waitFlag = 1;
}

} // namespace

LineMaker::LineMaker(uint32_t seed, uint32_t malformedPercent)
    : random_(seed), malformedPercent_(malformedPercent) {}

uint32_t LineMaker::Pick(uint32_t n) {
    return std::uniform_int_distribution<uint32_t>(0, n - 1)(random_);
}

std::string LineMaker::Make(int64_t unixSeconds) {
    std::string token = Format("{%08" PRIX32 "}", static_cast<uint32_t>(unixSeconds));
    uint32_t adapter = Pick(2);
    uint32_t port = Pick(2);
    std::string text;
    switch (Pick(7)) {
    case 0:
        text = Format("Link up on port %u, speed %u Gb/s, topology %s", port,
                      kSpeeds[Pick(Count(kSpeeds))], kTopologies[Pick(Count(kTopologies))]);
        break;
    case 1:
        text = Format("Link down on port %u, reason: %s", port,
                      kDownReasons[Pick(Count(kDownReasons))]);
        break;
    case 2:
        text = Format("Port login to WWPN 21:00:00:24:ff:%02x:%02x:%02x, D_ID 0x%06X, RPI %u",
                      Pick(256), Pick(256), Pick(256), 0x010000 + Pick(0x1000), Pick(512));
        break;
    case 3:
        text = Format("Port logout from D_ID 0x%06X", 0x010000 + Pick(0x1000));
        break;
    case 4:
        text = Format("I/O error on target %u LUN %u: %s, retry %u of 3", Pick(16), Pick(64),
                      kIoErrors[Pick(Count(kIoErrors))], 1 + Pick(3));
        break;
    case 5:
        text = Format("Name server registration complete, %u targets", 1 + Pick(32));
        break;
    default:
        text = Format("Adapter temperature %u C, within limits", 38 + Pick(20));
        break;
    }
    std::string line = token + "trelvox" + std::to_string(adapter) + ": " + text + "\n";
    if (malformedPercent_ > 0 && Pick(100) < malformedPercent_) {
        line = Mangle(line, token);
    }
    return line;
}

// The ways a line's braces go wrong in the field: a stray '{' in the text,
// a short token, a doubled brace, letters among the digits, a "0x" prefix, a
// leading blank, a '{' at the end of the line.
std::string LineMaker::Mangle(std::string line, const std::string &token) {
    const std::string digits = token.substr(1, 8);
    const std::string rest = line.substr(token.size());
    switch (Pick(7)) {
    case 0: {
        size_t at = token.size() + 1 + Pick(static_cast<uint32_t>(rest.size() - 2));
        line.insert(at, "{");
        return line;
    }
    case 1:
        return "{" + digits.substr(4) + "}" + rest;
    case 2:
        return "{" + line;
    case 3: {
        std::string bad = digits;
        size_t at = Pick(7);
        bad[at] = 'z';
        bad[at + 1] = 'q';
        return "{" + bad + "}" + rest;
    }
    case 4:
        return "{0x" + digits.substr(2) + "}" + rest;
    case 5:
        return "{ " + digits.substr(1) + "}" + rest;
    default:
        line.insert(line.size() - 1, "{");
        return line;
    }
}

GeneratedSource::GeneratedSource(const Options &options, int64_t startMs)
    : options_(options), maker_(options.seed, options.malformedPercent), startMs_(startMs),
      nextLineMs_(static_cast<double>(startMs)) {}

bool GeneratedSource::InGap(int64_t nowMs) const {
    if (options_.gapEvery <= 0 || options_.gap <= 0) {
        return false;
    }
    double period = options_.gapEvery + options_.gap;
    double phase = static_cast<double>(nowMs - startMs_) / 1000.0;
    phase -= period * static_cast<double>(static_cast<int64_t>(phase / period));
    return phase >= options_.gapEvery;
}

void GeneratedSource::Append(std::string line) {
    if (options_.total != 0 && produced_ + line.size() > options_.total) {
        line.resize(static_cast<size_t>(options_.total - produced_));
    }
    produced_ += line.size();
    if (pending_.size() + line.size() > options_.buffer) {
        dropped_ += line.size(); // the service did not keep up: the line is lost
        return;
    }
    pending_ += line;
}

void GeneratedSource::Produce(int64_t nowMs) {
    if (options_.rate <= 0) {
        // As fast as asked: keep one reply's worth ready.
        while (!TotalReached() && pending_.size() < options_.maxText) {
            Append(maker_.Make(time(nullptr)));
        }
        return;
    }
    // A driver that was not asked for a long time does not make up for it
    // all at once.
    double now = static_cast<double>(nowMs);
    if (now - nextLineMs_ > 5000) {
        nextLineMs_ = now;
    }
    double interval = 1000.0 / options_.rate;
    while (nextLineMs_ <= now && !TotalReached()) {
        if (!InGap(static_cast<int64_t>(nextLineMs_))) {
            Append(maker_.Make(time(nullptr)));
        }
        nextLineMs_ += interval;
    }
}

void GeneratedSource::Next(int64_t nowMs, Reply *reply) {
    IdleReply(reply);
    Produce(nowMs);
    // Whole lines only, unless one line alone is longer than a reply.
    size_t take = pending_.size() < options_.maxText ? pending_.size() : options_.maxText;
    if (take < pending_.size()) {
        size_t end = pending_.rfind('\n', take - 1);
        if (end != std::string::npos) {
            take = end + 1;
        }
    }
    memcpy(reply->eventText, pending_.data(), take);
    pending_.erase(0, take);
    reply->textLen = static_cast<uint32_t>(take);
    uint64_t lost = dropped_ < INT32_MAX ? dropped_ : INT32_MAX;
    dropped_ -= lost;
    if (take > 0) {
        ++textReplies_;
        if (options_.lostEvery != 0 && textReplies_ % options_.lostEvery == 0) {
            lost += static_cast<uint64_t>(options_.lostBytes);
            lost = lost < INT32_MAX ? lost : INT32_MAX;
        }
    }
    reply->lostBytes = static_cast<int32_t>(lost);
    bool more = !pending_.empty() || (options_.rate <= 0 && !TotalReached());
    reply->waitFlag = more ? 0 : 1;
}

bool GeneratedSource::Done() const {
    return TotalReached() && pending_.empty() && dropped_ == 0;
}

bool ReplaySource::Load(const std::string &path, std::string *error) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = true;
    for (;;) {
        RecordHeader header{};
        size_t got = fread(&header, 1, sizeof header, file);
        if (got == 0) {
            break;
        }
        Entry entry{};
        entry.reply.lostBytes = header.lostBytes;
        entry.reply.textLen = header.textLen;
        entry.reply.waitFlag = header.waitFlag;
        entry.repeat = header.repeat;
        size_t textBytes = header.textLen < kTextSize ? header.textLen : kTextSize;
        if (got != sizeof header || fread(entry.reply.eventText, 1, textBytes, file) != textBytes) {
            *error = path + " is cut short in entry " + std::to_string(entries_.size() + 1);
            ok = false;
            break;
        }
        if (entry.repeat > 0) {
            entries_.push_back(entry);
        }
    }
    fclose(file);
    return ok;
}

void ReplaySource::Next(int64_t, Reply *reply) {
    if (Done()) {
        IdleReply(reply);
        return;
    }
    *reply = entries_[index_].reply;
    if (++served_ >= entries_[index_].repeat) {
        ++index_;
        served_ = 0;
    }
}

Recorder::~Recorder() {
    if (file_ != nullptr) {
        fclose(file_);
    }
}

bool Recorder::Open(const std::string &path, std::string *error) {
    file_ = fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool Recorder::Write(const Reply &reply) {
    if (file_ == nullptr || (reply.textLen == 0 && reply.lostBytes == 0)) {
        return true;
    }
    RecordHeader header{reply.lostBytes, reply.textLen, reply.waitFlag, 1};
    size_t textBytes = reply.textLen < kTextSize ? reply.textLen : kTextSize;
    // Flushed at once, so that a reader sees every reply the service may
    // already have been given.
    return fwrite(&header, sizeof header, 1, file_) == 1 &&
           fwrite(reply.eventText, 1, textBytes, file_) == textBytes && fflush(file_) == 0;
}

} // namespace trelvoxsim
