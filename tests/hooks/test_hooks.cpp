#include "tests/hooks/test_hooks.h"

#include <cstdio>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"
#include "tests/support/child_process.h"

namespace testhooks {
int gExitCalls = 0;
void (*gOnExit)() = nullptr;
} // namespace testhooks

// The I/O-control class list that the runtime reads as gCltIoctlSupp and the
// extra lengths CltIoctlPayloadSize answers. The runtime only reads them;
// the I/O-control tests rewrite them to declare what each case needs (see
// tests/unit/runtime/ioctl_test_support.h). The list is defined under the runtime's
// name by symbol so that it can stay writable here while the runtime sees
// its constant declaration.
namespace testhooks {
int32_t gIoctlClasses[16] __asm__("gCltIoctlSupp") = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
uint32_t gIoctlExtra[10] = {0, 0, 0, 0, 0, 4096, 0, 0, 0, 0};
uint32_t gIoctlClassesAsked = 0; // bit c: CltIoctlPayloadSize(c) was called
} // namespace testhooks

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
    if (ioctlClass < 0 || ioctlClass >= 10) {
        CliPrintErrorFunc("CltIoctlPayloadSize");
    }
    testhooks::gIoctlClassesAsked |= 1u << ioctlClass;
    return testhooks::gIoctlExtra[ioctlClass];
}

uint32_t CltGlobalsSize() {
    return testhooks::kToolRecordSize;
}
