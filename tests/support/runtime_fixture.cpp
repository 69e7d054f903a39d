#include "tests/support/runtime_fixture.h"

#include "lib/cli/shared/cli.h"

namespace testsupport {

void ReleaseRuntime() {
    CliMemFree(gCli);
    CliMemFree(gClt);
    gCli = nullptr;
    gClt = nullptr;
}

void RuntimeTest::SetUp() {
    CliInit();
}

} // namespace testsupport
