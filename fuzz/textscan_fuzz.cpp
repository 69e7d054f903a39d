// The event pump's text scan fed arbitrary reply streams: a scripted driver
// instance serves the replies to the service's real LogEvents, and what the
// pump writes to standard output must equal an independent model of the
// scan: the reply text byte for byte, with only the time tokens replaced by
// their date and time (local time is UTC here) and every other '{' dropped,
// each reply's lost-bytes notice in front of its text, and the closing
// message when the driver stops answering.
//
// Input: a sequence of replies, each a flags byte (bit 0: a 4-byte lost-
// bytes count follows; bit 1: a 2-byte text length follows, which may lie
// anywhere up to 65535 instead of the text's own length), a 2-byte text
// length n (taken modulo 1025), then n bytes of text. The rest of each
// reply's 1024-byte text area is filled with '~', so that a text length
// beyond the text shows what lies behind it.
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_support.h"
#include "lib/cli/shared/cli.h"
#include "lib/platform/driver_registry.h"
#include "lib/platform/platform_testing.h"
#include "svc/clt.h"
#include "tests/support/scripted_driver.h"

using fuzzsupport::Quote;

namespace {

constexpr char kFiller = '~';
constexpr char kRetrieveFailed[] = "\nCould not retrieve log data. ";

// ---- The model ---------------------------------------------------------------

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// A hexadecimal number read by the rules of the C library's conversion in
// base 16: white space, a sign, a "0x" that counts only when a digit
// follows it, the digits. Without a digit nothing at all is consumed and the
// value is 0. A '-' negates modulo 2^64. Returns the position after it.
size_t ReadHex(const std::string &s, size_t at, uint64_t *value) {
    size_t p = at;
    while (p < s.size() && IsCSpace(s[p])) {
        ++p;
    }
    bool negative = false;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) {
        negative = s[p] == '-';
        ++p;
    }
    if (p + 2 < s.size() && s[p] == '0' && (s[p + 1] == 'x' || s[p + 1] == 'X') &&
        HexDigit(s[p + 2]) >= 0) {
        p += 2;
    }
    if (p >= s.size() || HexDigit(s[p]) < 0) {
        *value = 0;
        return at;
    }
    uint64_t v = 0;
    for (; p < s.size() && HexDigit(s[p]) >= 0; ++p) {
        v = v * 16 + static_cast<uint64_t>(HexDigit(s[p]));
    }
    *value = negative ? 0 - v : v;
    return p;
}

// Date and time of seconds since 1970 in UTC, computed from the civil
// calendar without the C library: "%02d/%02d/%02d %02d:%02d:%02d  ".
std::string Stamp(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    // Days since 1970-01-01 to year, month, day (proleptic Gregorian).
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d  ", static_cast<int>(month),
             static_cast<int>(day), static_cast<int>((year - 1900) % 100),
             static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
             static_cast<int>(rest % 60));
    return text;
}

// The scan of one reply's text (up to its terminator).
std::string ModelScan(const std::string &text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '{') {
            out += text[i++];
            continue;
        }
        // '{', eight characters, '}'; any other brace is dropped.
        if (!(i + 9 < text.size() && text[i + 9] == '}')) {
            ++i;
            continue;
        }
        uint64_t value;
        size_t next = ReadHex(text, i + 1, &value);
        if (next < text.size() && text[next] == '}') {
            ++next;
        }
        out += Stamp(static_cast<int64_t>(value));
        i = next;
    }
    return out;
}

// ---- The run -----------------------------------------------------------------

struct Reply {
    CltEventReply record;
    std::string expected;
};

std::vector<Reply> ParseReplies(const uint8_t *data, size_t size) {
    fuzzsupport::Reader in(data, size);
    std::vector<Reply> replies;
    while (in.Left() > 0) {
        uint8_t flags = in.Byte();
        int32_t lost = (flags & 1) ? static_cast<int32_t>(in.Dword()) : 0;
        bool ownLength = (flags & 2) != 0;
        uint32_t textLen = ownLength ? in.Word() : 0;
        std::string text = in.Take(in.Word() % (kCltEventTextSize + 1));

        Reply r;
        r.record = testsupport::MakeReply(text, 0, lost);
        memset(r.record.eventText + text.size(), kFiller, kCltEventTextSize - text.size());
        if (ownLength) {
            r.record.textLen = textLen;
        }
        std::string shown(r.record.eventText, r.record.textLen < kCltEventTextSize
                                                  ? r.record.textLen
                                                  : kCltEventTextSize);
        shown = shown.substr(0, shown.find('\0'));
        if (lost != 0) {
            r.expected = "...Lost " + std::to_string(lost) + " bytes...";
        }
        r.expected += ModelScan(shown);
        replies.push_back(r);
    }
    return replies;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Local time is UTC, so that the model's calendar applies.
    setenv("TZ", "UTC", 1);
    tzset();
    // The service's record as its start-up leaves it in application mode.
    CliInit();
    CltGlobalsInit();
    if (pthread_mutex_init(&Clt()->pump.waitMutex, nullptr) != 0 ||
        CltWaitCondInit(&Clt()->pump.waitCond) != 0) {
        abort();
    }
    Clt()->pump.mutexCreated = true;
    Clt()->pump.condCreated = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<Reply> replies = ParseReplies(data, size);
    std::string expected;
    for (const Reply &r : replies) {
        expected += r.expected;
    }
    expected += kRetrieveFailed;

    trelvox::platform::ResetPlatform();
    auto driver = std::make_shared<testsupport::ScriptedDriver>();
    for (const Reply &r : replies) {
        driver->QueueReply(r.record);
    }
    trelvox::platform::InstanceId id = trelvox::platform::PublishInstance(driver);
    io_connect_t connection = 0;
    FUZZ_CHECK(trelvox::platform::OpenInstance(id, 0, &connection) == KERN_SUCCESS,
               "cannot connect to the scripted driver");

    // The pump writes through the C library's stdout.
    char *text = nullptr;
    size_t length = 0;
    FILE *capture = open_memstream(&text, &length);
    FUZZ_CHECK(capture != nullptr, "cannot capture standard output");
    FILE *saved = stdout;
    stdout = capture;
    LogEvents(connection);
    fflush(capture);
    stdout = saved;
    fclose(capture);
    std::string out(text, length);
    free(text);
    IOServiceClose(connection);

    size_t requests = 0;
    for (const testsupport::DriverCall &call : driver->Calls()) {
        requests += call.kind == testsupport::DriverCall::Kind::kStruct &&
                    call.selector == kDriverMethodEventLog;
    }
    trelvox::platform::ResetPlatform();

    std::string detail = std::to_string(replies.size()) + " replies";
    for (size_t i = 0; i < replies.size() && i < 8; ++i) {
        const CltEventReply &rec = replies[i].record;
        detail += "\n  lost " + std::to_string(rec.lostBytes) + ", length " +
                  std::to_string(rec.textLen) + ": " +
                  Quote(rec.eventText, rec.textLen < 64 ? rec.textLen : 64);
    }
    FUZZ_CHECK(out == expected,
               detail + "\npump wrote " + Quote(out) + "\nmodel says " + Quote(expected));
    FUZZ_CHECK(requests == replies.size() + 1,
               detail + ": " + std::to_string(requests) + " requests for the replies");
    return 0;
}
