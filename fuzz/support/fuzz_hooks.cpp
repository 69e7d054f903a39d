#include "fuzz/support/fuzz_hooks.h"

#include <csetjmp>
#include <cstdio>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cli_upcalls.h"

namespace {

std::jmp_buf gExitJump;
bool gCatching = false;
uint64_t gExitCalls = 0;

} // namespace

namespace fuzzsupport {

bool CatchExit(void (*body)(void *), void *context) {
    gCatching = true;
    if (setjmp(gExitJump) != 0) {
        gCatching = false;
        return true;
    }
    body(context);
    gCatching = false;
    return false;
}

uint64_t ExitHookCalls() {
    return gExitCalls;
}

} // namespace fuzzsupport

const int32_t gCltIoctlSupp[] = {10};

void CltExit() {
    ++gExitCalls;
    if (gCatching) {
        std::longjmp(gExitJump, 1);
    }
}

void CltPrintOptions(FILE *stream) {
    fputs(fuzzsupport::kFuzzOptionsText, stream);
}

void CltPrintDescription() {
    puts("Fuzz tool.");
}

void CltPrintExamples() {}

uint32_t CltIoctlPayloadSize(int32_t) {
    return 0;
}

uint32_t CltGlobalsSize() {
    return fuzzsupport::kFuzzToolRecordSize;
}
