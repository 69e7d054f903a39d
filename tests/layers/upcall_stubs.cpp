// The tool hooks, and nothing else, for the runtime's link check: if the
// runtime called up into the tool through anything that
// lib/cli/shared/cli_upcalls.h does not name, its check would not link.
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"

const int32_t gCltIoctlSupp[] = {static_cast<int32_t>(kCliIoctlClassEnd)};

void CltExit() {}
void CltPrintOptions(FILE *) {}
void CltPrintDescription() {}
void CltPrintExamples() {}
uint32_t CltIoctlPayloadSize(int32_t) {
    return 0;
}
uint32_t CltGlobalsSize() {
    return 0;
}
