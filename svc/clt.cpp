// The service's tool hooks, called back by the runtime.
#include <cstring>

#include "lib/cli/shared/cli.h"

namespace {

constexpr char kOptionsText[] = "\nOptions:\n\n"
                                " -h                Display extended help.\n"
                                " -s                Run as service, defaults to app.\n"
                                " -v                Display non-error messages.\n\n";
static_assert(sizeof(kOptionsText) - 1 == 153);

} // namespace

const int32_t gCltIoctlSupp[] = {3, 10};

void CltExit() {}

void CltPrintOptions(FILE *stream) {
    fwrite(kOptionsText, 1, sizeof(kOptionsText) - 1, stream);
}

void CltPrintDescription() {
    puts("Service to log driver events.");
}

void CltPrintExamples() {}

uint32_t CltIoctlPayloadSize(int32_t ioctlClass) {
    if (ioctlClass == 3) {
        return 0;
    }
    CliPrintErrorFunc("CltIoctlPayloadSize");
}

uint32_t CltGlobalsSize() {
    return 64;
}
