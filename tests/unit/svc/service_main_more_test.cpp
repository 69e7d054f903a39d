// The service's start in service mode when the log handle cannot be had.
#include <syslog.h>

#include <string>
#include <vector>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/clilog.h"
#include "tests/support/child_process.h"
#include "tests/unit/svc/svc_fixture.h"

namespace {

std::string SysLogLine(int priority, const std::string &text) {
    testsupport::SysLogRecord r;
    r.priority = priority;
    r.ident = "trelvoxlogd";
    r.option = LOG_CONS;
    r.facility = LOG_DAEMON;
    r.text = text;
    r.closedAfter = true;
    return "syslog " + testsupport::FormatSysLog(r) + "\n";
}

// The allocation of the rotating log's handle fails: the start is reported,
// then the failure, both to the system log, and the service ends with
// status 1 before it writes anything or touches the log directory.
TEST(ServiceStartMore, LogHandleThatCannotBeAllocatedEndsTheStart) {
    testsupport::ChildResult r = testsupport::RunInChild([] {
        trelvox::platform::ResetPlatform();
        gOsSys.calloc = [](size_t n, size_t size) -> void * {
            return n * size == sizeof(CliLogFile) ? nullptr : gOsSysReal.calloc(n, size);
        };
        std::string name = "trelvoxlogd", mode = "-s";
        std::vector<char *> argv = {name.data(), mode.data(), nullptr};
        CltMain(2, argv.data());
    });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.side, SysLogLine(LOG_INFO, "Service is starting") +
                          SysLogLine(LOG_ERR, "Failed to initialize log handle"));
}

} // namespace
