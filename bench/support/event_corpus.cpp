#include "bench/support/event_corpus.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace bench {
namespace {

// One event line without its time token, its fields drawn from rng.
std::string EventLine(std::mt19937 &rng) {
    auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    char line[128];
    uint32_t port = pick(4);
    switch (pick(10)) {
    case 0:
        snprintf(line, sizeof line,
                 "Port %u: link up, speed %u Gb/s, topology fabric, BB credit %u", port,
                 8u << pick(3), 8 + pick(24));
        break;
    case 1:
        snprintf(line, sizeof line, "Port %u: link down, loss of sync for %u ms, reinitialising",
                 port, 100 + pick(900));
        break;
    case 2:
        snprintf(line, sizeof line, "Port %u: RSCN received, affected N_Port ID 0x%06X, rescan",
                 port, pick(0x1000000));
        break;
    case 3:
        snprintf(line, sizeof line,
                 "Port %u: target %u LUN %u SCSI status 0x%02X sense %02X/%02X/%02X", port,
                 pick(64), pick(256), 2u, pick(16), pick(64), pick(8));
        break;
    case 4:
        snprintf(line, sizeof line, "Port %u: PLOGI to WWPN 21:00:00:24:ff:%02x:%02x:%02x accepted",
                 port, pick(256), pick(256), pick(256));
        break;
    case 5:
        snprintf(line, sizeof line, "Port %u: I/O abort, exchange 0x%04X, originator 0x%06X, tmo",
                 port, pick(0x10000), pick(0x1000000));
        break;
    case 6:
        snprintf(line, sizeof line, "Adapter: firmware heartbeat, temperature %u C, queue depth %u",
                 40 + pick(30), pick(2048));
        break;
    case 7:
        snprintf(line, sizeof line, "Port %u: fabric login complete, F_Port 0x%06X, class 3 only",
                 port, pick(0x1000000));
        break;
    case 8:
        snprintf(line, sizeof line, "Port %u: target %u task set full, %u commands pending, retry",
                 port, pick(64), 1 + pick(255));
        break;
    default:
        snprintf(line, sizeof line, "Port %u: CRC error count %u, invalid transmission words %u",
                 port, pick(100000), pick(100000));
        break;
    }
    return std::string(line) + "\n";
}

} // namespace

EventCorpus BuildEventCorpus(uint32_t replyCount, uint32_t seed) {
    std::mt19937 rng(seed);
    const uint64_t want = uint64_t{replyCount} * kCltEventTextSize;
    std::string text;
    text.reserve(want + 256);
    EventCorpus corpus;
    uint32_t seconds = 0x5E6A1B2C; // March 2020
    while (text.size() < want) {
        seconds += rng() % 3 == 0 ? 1 : 0;
        char token[16];
        int tokenLen = snprintf(token, sizeof token, "{%08X}", seconds);
        // A token cut by the end of a reply is not one for the pump.
        uint64_t offset = text.size() % kCltEventTextSize;
        if (text.size() < want && offset + tokenLen <= kCltEventTextSize) {
            ++corpus.tokens;
        }
        text += token;
        text += EventLine(rng);
    }
    corpus.replies.resize(replyCount);
    for (uint32_t i = 0; i < replyCount; ++i) {
        CltEventReply &reply = corpus.replies[i];
        memset(&reply, 0, sizeof reply);
        memcpy(reply.eventText, text.data() + uint64_t{i} * kCltEventTextSize, kCltEventTextSize);
        reply.textLen = kCltEventTextSize;
    }
    corpus.textBytes = want;
    return corpus;
}

} // namespace bench
