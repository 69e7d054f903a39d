#include "tests/hooks/test_hooks.h"

#include <cstdio>

#include "lib/cli/shared/cli.h"
#include "tests/support/child_process.h"

namespace testhooks {
int gExitCalls = 0;
void (*gOnExit)() = nullptr;
} // namespace testhooks

const int32_t gCltIoctlSupp[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

void CltExit() {
    ++testhooks::gExitCalls;
    testsupport::SideChannelWrite("CltExit\n");
    if (testhooks::gOnExit != nullptr) {
        testhooks::gOnExit();
    }
}

void CltPrintOptions(FILE *stream) {
    fputs(testhooks::kOptionsText, stream);
}

void CltPrintDescription() {
    puts(testhooks::kDescriptionText);
}

void CltPrintExamples() {
    fputs(testhooks::kExamplesText, stdout);
}

uint32_t CltIoctlPayloadSize(int32_t ioctlClass) {
    return ioctlClass == 5 ? 4096u : 0u;
}

uint32_t CltGlobalsSize() {
    return testhooks::kToolRecordSize;
}
