// Parsing of trelvoxsim's long options and its help text.
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/trelvoxsim/sim_options.h"

namespace trelvoxsim {
namespace {

enum OptionId {
    kDir = 1000,
    kName,
    kClass,
    kRate,
    kMaxText,
    kTotal,
    kGapEvery,
    kGap,
    kBuffer,
    kLostEvery,
    kLostBytes,
    kMalformed,
    kSeed,
    kReplay,
    kRecord,
    kUnloadAfter,
    kReturnAfter,
    kCycles,
    kExitWhenDone,
    kExitAfter,
    kFailMethod,
    kFailCode,
    kFailAfter,
    kVerbose,
    kHelp,
};

const option kLongOptions[] = {
    {"dir", required_argument, nullptr, kDir},
    {"name", required_argument, nullptr, kName},
    {"class", required_argument, nullptr, kClass},
    {"rate", required_argument, nullptr, kRate},
    {"max-text", required_argument, nullptr, kMaxText},
    {"total", required_argument, nullptr, kTotal},
    {"gap-every", required_argument, nullptr, kGapEvery},
    {"gap", required_argument, nullptr, kGap},
    {"buffer", required_argument, nullptr, kBuffer},
    {"lost-every", required_argument, nullptr, kLostEvery},
    {"lost-bytes", required_argument, nullptr, kLostBytes},
    {"malformed", required_argument, nullptr, kMalformed},
    {"seed", required_argument, nullptr, kSeed},
    {"replay", required_argument, nullptr, kReplay},
    {"record", required_argument, nullptr, kRecord},
    {"unload-after", required_argument, nullptr, kUnloadAfter},
    {"return-after", required_argument, nullptr, kReturnAfter},
    {"cycles", required_argument, nullptr, kCycles},
    {"exit-when-done", no_argument, nullptr, kExitWhenDone},
    {"exit-after", required_argument, nullptr, kExitAfter},
    {"fail-method", required_argument, nullptr, kFailMethod},
    {"fail-code", required_argument, nullptr, kFailCode},
    {"fail-after", required_argument, nullptr, kFailAfter},
    {"verbose", no_argument, nullptr, kVerbose},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// Whole numbers in decimal or with 0x, within [low, high].
bool ParseUnsigned(const char *text, uint64_t low, uint64_t high, uint64_t *out) {
    if (text[0] == '\0' || text[0] == '-' || text[0] == '+') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long value = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

// Seconds as a decimal number, within [low, high].
bool ParseSeconds(const char *text, double low, double high, double *out) {
    errno = 0;
    char *end = nullptr;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < low ||
        value > high) {
        return false;
    }
    *out = value;
    return true;
}

} // namespace

bool ParseOptions(int argc, char **argv, Options *options, std::string *error) {
    const char *envDir = getenv("TRELVOX_DRIVER_DIR");
    options->directory = envDir != nullptr && envDir[0] != '\0' ? envDir : "/run/trelvox";
    opterr = 0;
    optind = 1;
    for (;;) {
        int index = -1;
        int id = getopt_long(argc, argv, ":", kLongOptions, &index);
        if (id == -1) {
            break;
        }
        const char *arg = optarg;
        uint64_t number = 0;
        bool ok = true;
        switch (id) {
        case kDir:
            options->directory = arg;
            ok = arg[0] != '\0';
            break;
        case kName:
            options->name = arg;
            ok = arg[0] != '\0' && arg[0] != '.' && strchr(arg, '/') == nullptr;
            break;
        case kClass:
            options->className = arg;
            ok = arg[0] != '\0' && strchr(arg, '.') == nullptr && strchr(arg, '/') == nullptr;
            break;
        case kRate:
            ok = ParseSeconds(arg, 0, 1e6, &options->rate);
            break;
        case kMaxText:
            ok = ParseUnsigned(arg, 1, 1024, &number);
            options->maxText = static_cast<uint32_t>(number);
            break;
        case kTotal:
            ok = ParseUnsigned(arg, 1, UINT64_MAX, &options->total);
            break;
        case kGapEvery:
            ok = ParseSeconds(arg, 0, 1e6, &options->gapEvery);
            break;
        case kGap:
            ok = ParseSeconds(arg, 0, 1e6, &options->gap);
            break;
        case kBuffer:
            ok = ParseUnsigned(arg, 1024, 1u << 30, &number);
            options->buffer = static_cast<uint32_t>(number);
            break;
        case kLostEvery:
            ok = ParseUnsigned(arg, 0, UINT32_MAX, &number);
            options->lostEvery = static_cast<uint32_t>(number);
            break;
        case kLostBytes:
            ok = ParseUnsigned(arg, 1, INT32_MAX, &number);
            options->lostBytes = static_cast<int32_t>(number);
            break;
        case kMalformed:
            ok = ParseUnsigned(arg, 0, 100, &number);
            options->malformedPercent = static_cast<uint32_t>(number);
            break;
        case kSeed:
            ok = ParseUnsigned(arg, 0, UINT32_MAX, &number);
            options->seed = static_cast<uint32_t>(number);
            options->seedGiven = true;
            break;
        case kReplay:
            options->replayPath = arg;
            break;
        case kRecord:
            options->recordPath = arg;
            break;
        case kUnloadAfter:
            ok = ParseSeconds(arg, 0.001, 1e6, &options->unloadAfter);
            break;
        case kReturnAfter:
            ok = ParseSeconds(arg, 0, 1e6, &options->returnAfter);
            break;
        case kCycles:
            ok = ParseUnsigned(arg, 0, UINT32_MAX, &number);
            options->cycles = static_cast<uint32_t>(number);
            break;
        case kExitWhenDone:
            options->exitWhenDone = true;
            break;
        case kExitAfter:
            ok = ParseSeconds(arg, 0.001, 1e6, &options->exitAfter);
            break;
        case kFailMethod:
            if (strcmp(arg, "open") == 0) {
                options->failTarget = FailTarget::kOpen;
            } else {
                ok = ParseUnsigned(arg, 0, UINT32_MAX, &number);
                options->failTarget = FailTarget::kMethod;
                options->failSelector = static_cast<uint32_t>(number);
            }
            break;
        case kFailCode:
            if (strcmp(arg, "hang") == 0) {
                options->failHang = true;
            } else {
                ok = ParseUnsigned(arg, 1, UINT32_MAX, &number);
                options->failCode = static_cast<int32_t>(static_cast<uint32_t>(number));
            }
            break;
        case kFailAfter:
            ok = ParseUnsigned(arg, 0, UINT32_MAX, &number);
            options->failAfter = static_cast<uint32_t>(number);
            break;
        case kVerbose:
            options->verbose = true;
            break;
        case kHelp:
            options->help = true;
            break;
        case ':':
            *error = std::string("option ") + argv[optind - 1] + " needs an argument";
            return false;
        default:
            *error = std::string("unknown option ") + argv[optind - 1];
            return false;
        }
        if (!ok) {
            *error = std::string("invalid value '") + arg + "' for --" + kLongOptions[index].name;
            return false;
        }
    }
    if (optind < argc) {
        *error = std::string("unexpected argument '") + argv[optind] + "'";
        return false;
    }
    if (options->exitWhenDone && options->total == 0 && options->replayPath.empty()) {
        *error = "--exit-when-done needs --total or --replay";
        return false;
    }
    return true;
}

void PrintHelp(FILE *stream) {
    fputs("Usage: trelvoxsim [option ...]\n"
          "\n"
          "A simulated TrelvoxController adapter driver. It publishes one driver\n"
          "instance as a Unix-domain socket in the driver directory and serves the\n"
          "user-client methods of trelvoxlogd: 0 (open), 1 (close) and 6 (event log,\n"
          "the 1036-byte reply). Lines carry {XXXXXXXX} time tokens of the current\n"
          "time; while there is no text the reply asks the service to wait.\n"
          "It never writes to standard output; with --verbose it reports on\n"
          "standard error.\n"
          "\n"
          "Where:\n"
          "  --dir DIR          driver directory (default: $TRELVOX_DRIVER_DIR,\n"
          "                     otherwise /run/trelvox)\n"
          "  --name NAME        socket name (default: CLASS.PID)\n"
          "  --class NAME       driver class (default: TrelvoxController)\n"
          "\n"
          "Text:\n"
          "  --rate N           event lines per second (default: 4; 0: as fast as\n"
          "                     the service asks, with no idle time)\n"
          "  --max-text N       most text bytes in one reply, 1 to 1024 (default: 1024)\n"
          "  --total N          stop producing text after N bytes (default: never)\n"
          "  --gap-every SEC    an idle gap every SEC seconds (default: 10; 0: none)\n"
          "  --gap SEC          length of each idle gap (default: 3)\n"
          "  --buffer N         text bytes held for the service; lines beyond it are\n"
          "                     dropped and reported as lost bytes (default: 65536)\n"
          "  --lost-every N     report lost bytes in every Nth reply with text\n"
          "                     (default: 0, never)\n"
          "  --lost-bytes N     bytes reported lost each time (default: 128)\n"
          "  --malformed PCT    percentage of lines with a malformed time token or a\n"
          "                     stray brace (default: 0)\n"
          "  --seed N           seed of the line generator (default: from the clock)\n"
          "\n"
          "Replay and record:\n"
          "  --replay FILE      serve the replies in FILE (as --record writes them)\n"
          "                     instead of generated lines, then idle replies\n"
          "  --record FILE      write every reply that carries text or lost bytes to\n"
          "                     FILE: per reply a 16-byte header (lost bytes, text\n"
          "                     length, wait flag, repeat count; 32-bit host order)\n"
          "                     and the text (at most 1024 bytes); a replay file may\n"
          "                     repeat a reply by its count\n"
          "\n"
          "Loading:\n"
          "  --unload-after SEC unload (remove the socket, drop connections) SEC\n"
          "                     seconds after each load\n"
          "  --return-after SEC load again SEC seconds after an unload (default:\n"
          "                     exit at the unload)\n"
          "  --cycles N         unload at most N times, then stay (default: 1; 0: no\n"
          "                     limit)\n"
          "  --exit-when-done   unload and exit when all text (--total, --replay) has\n"
          "                     been sent and the service asks for more\n"
          "  --exit-after SEC   unload and exit after SEC seconds\n"
          "\n"
          "Failures:\n"
          "  --fail-method M    make method M (0, 1, 6, or 'open' for the connection)\n"
          "                     fail\n"
          "  --fail-code CODE   its result (default: 0xe00002bc), or 'hang' to never\n"
          "                     answer\n"
          "  --fail-after N     let it succeed N times first (default: 0)\n"
          "\n"
          "  --verbose          report loads, unloads and connections on standard error\n"
          "  --help             show this text\n"
          "\n"
          "SIGINT, SIGTERM and SIGHUP unload the driver and end the program with\n"
          "status 0.\n",
          stream);
}

} // namespace trelvoxsim
