// trelvoxsim's command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "lib/driver/controller_interface.h"

namespace trelvoxsim {

// A method that --fail-method makes fail.
enum class FailTarget {
    kNone,
    kOpen,   // the connection itself (IOServiceOpen)
    kMethod, // the user-client method failSelector
};

struct Options {
    std::string directory; // driver directory
    std::string name;      // socket name; empty: "<class>.<pid>"
    std::string className = kDriverClass;

    double rate = 4.0;           // event lines per second; 0: as fast as asked
    uint32_t maxText = 1024;     // most text bytes per reply
    uint64_t total = 0;          // stop producing after this many bytes; 0: never
    double gapEvery = 10.0;      // seconds between idle gaps; 0: none
    double gap = 3.0;            // length of an idle gap
    uint32_t buffer = 64 * 1024; // text held for the service before lines are lost
    uint32_t lostEvery = 0;      // every Nth reply with text reports lost bytes
    int32_t lostBytes = 128;     // bytes reported lost each time
    uint32_t malformedPercent = 0;
    uint32_t seed = 0;
    bool seedGiven = false;

    std::string replayPath;
    std::string recordPath;

    double unloadAfter = 0;  // seconds after each load; 0: stay loaded
    double returnAfter = -1; // seconds after each unload; below 0: exit
    uint32_t cycles = 1;     // unloads at most; 0: no limit
    bool exitWhenDone = false;
    double exitAfter = 0; // seconds; 0: no limit

    FailTarget failTarget = FailTarget::kNone;
    uint32_t failSelector = 0;
    int32_t failCode = static_cast<int32_t>(0xE00002BC);
    bool failHang = false; // never answer instead of failing
    uint32_t failAfter = 0;

    bool verbose = false;
    bool help = false;
};

// Parses the command line. On a mistake returns false with a message in
// *error. The directory defaults to TRELVOX_DRIVER_DIR, then /run/trelvox.
bool ParseOptions(int argc, char **argv, Options *options, std::string *error);

// The full help text.
void PrintHelp(FILE *stream);

} // namespace trelvoxsim
