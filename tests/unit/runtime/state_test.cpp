// The state record, the one exit sequence, verbosity and the help display.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cliterm.h"
#include "tests/hooks/test_hooks.h"
#include "tests/support/child_process.h"
#include "tests/support/sys_faults.h"

namespace {

using testsupport::ChildResult;
using testsupport::RunInChild;

// Starts the runtime in the child with a known error prefix.
void InitWithPrefix(const char *prefix) {
    CliInit();
    CliStrCpy(gCli->errPrefix, sizeof gCli->errPrefix, prefix);
}

// Reports, at process end, whether the exit sequence emptied both pointers.
void ReportPointersAtExit() {
    atexit([] {
        testsupport::SideChannelWrite(gCli == nullptr && gClt == nullptr ? "empty\n"
                                                                         : "still set\n");
    });
}

TEST(ExitSequence, RunsTheHookOnceAndEmptiesBothPointers) {
    ChildResult r = RunInChild([] {
        CliInit();
        ReportPointersAtExit();
        CliExit(3);
    });
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.side, "CltExit\nempty\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(ExitSequence, InitAllocatesBothRecordsZeroFilled) {
    ChildResult r = RunInChild([] {
        CliInit();
        const auto *bytes = reinterpret_cast<const unsigned char *>(gCli);
        bool zero = true;
        for (size_t i = 0; i < sizeof(CliGlobals); ++i) {
            zero = zero && bytes[i] == 0;
        }
        const auto *tool = static_cast<const unsigned char *>(gClt);
        for (size_t i = 0; i < testhooks::kToolRecordSize; ++i) {
            zero = zero && tool[i] == 0;
        }
        testsupport::SideChannelWrite(zero ? "zero\n" : "dirty\n");
        CliExit(0);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "zero\nCltExit\n");
}

TEST(ExitSequence, AllocationFailureAtInitIsReportedUnprefixedOrPrefixed) {
    // The runtime record itself: no prefix exists yet.
    ChildResult first = RunInChild([] {
        testsupport::SysFaults faults;
        faults.FailFrom(testsupport::Sys::calloc, 1, ENOMEM);
        CliInit();
    });
    EXPECT_EQ(first.exitCode, 1);
    EXPECT_EQ(first.err, "Memory allocation failed.\n");
    EXPECT_EQ(first.side, "CltExit\n");

    // The tool record: the runtime record exists (its prefix is still empty).
    ChildResult second = RunInChild([] {
        testsupport::SysFaults faults;
        faults.FailFrom(testsupport::Sys::calloc, 2, ENOMEM);
        ReportPointersAtExit();
        CliInit();
    });
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.err, "Memory allocation failed.\n");
    EXPECT_EQ(second.side, "CltExit\nempty\n");
}

TEST(ErrorReports, ExactBytesAndStatus) {
    struct Case {
        const char *name;
        void (*body)();
        std::string err;
        int status;
    };
    static const std::string k200(200, 'm');
    const Case cases[] = {
        {"long message is cut to 127 without line end",
         [] { CliPrintErrorExit(2, "%s", k200.c_str()); }, "TOOL: " + std::string(127, 'm'), 2},
        {"126 characters get their line end",
         [] { CliPrintErrorExit(1, "%s", std::string(126, 'n').c_str()); },
         "TOOL: " + std::string(126, 'n') + "\n", 1},
        {"every line is prefixed", [] { CliPrintErrorExit(1, "first\nsecond"); },
         "TOOL: first\nTOOL: second\n", 1},
        {"an empty line is the prefix alone", [] { CliPrintErrorExit(1, "a\n\nb"); },
         "TOOL: a\nTOOL: \nTOOL: b\n", 1},
        {"zero-size allocation", [] { CliMemAllocReqd(0); }, "TOOL: Memory allocation failed.\n",
         1},
        {"stream that cannot be opened", [] { CliFOpenReqd("", "r"); },
         "TOOL: File '' could not be opened.\n", 1},
        {"unhandled request", [] { CliPrintErrorFunc("CltIoctlPayloadSize"); },
         "TOOL: Update function CltIoctlPayloadSize\n", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto body = c.body;
        ChildResult r = RunInChild([body] {
            InitWithPrefix("TOOL: ");
            body();
        });
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.exitCode, c.status);
        EXPECT_EQ(r.side, "CltExit\n");
    }
}

TEST(ErrorReports, CommandLineErrorShowsOptionsFirst) {
    ChildResult r = RunInChild([] {
        InitWithPrefix("TOOL: ");
        CliPrintErrorCli(1, "Invalid option -%c.", 'q');
    });
    EXPECT_EQ(r.out, testhooks::kOptionsText);
    EXPECT_EQ(r.err, "TOOL: Invalid option -q.\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.side, "CltExit\n");
}

TEST(ErrorReports, ReqdFunctionsReturnWhatTheyGot) {
    ChildResult r = RunInChild([] {
        CliInit();
        EXPECT_EQ(CliFOpenReqd(nullptr, "r"), nullptr);
        void *block = CliMemAllocReqd(16);
        FILE *stream = CliFOpenReqd("/dev/null", "r");
        testsupport::SideChannelWrite(block != nullptr && stream != nullptr ? "ok\n" : "bad\n");
        CliMemFree(block);
        CliFClose(stream);
        CliExit(0);
    });
    EXPECT_EQ(r.side, "ok\nCltExit\n");
    EXPECT_EQ(r.err, "");
}

class Verbosity : public ::testing::Test {
protected:
    void SetUp() override { gCli = new CliGlobals{}; }
    void TearDown() override {
        delete gCli;
        gCli = nullptr;
    }
};

TEST_F(Verbosity, EnabledOnlyForLevelsOneAndHundred) {
    struct Case {
        uint8_t current, asked;
        bool enabled;
    };
    const Case cases[] = {
        {0, 1, false},    {255, 1, false}, {1, 1, true},     {100, 1, true},  {1, 100, false},
        {100, 100, true}, {1, 50, false},  {100, 50, false}, {50, 50, false}, {255, 255, false},
    };
    for (const Case &c : cases) {
        gCli->verbosity = static_cast<int8_t>(c.current);
        EXPECT_EQ(CliVerbosityEnabled(c.asked), c.enabled)
            << int{c.current} << " asked " << int{c.asked};
    }
}

TEST_F(Verbosity, SettersRefuseOtherLevelsAndTheDisabledState) {
    EXPECT_FALSE(CliVerbositySet(50));
    EXPECT_EQ(gCli->verbosity, 0);
    EXPECT_TRUE(CliVerbositySet(1));
    EXPECT_EQ(gCli->verbosity, 1);
    EXPECT_TRUE(CliVerbositySetDebug());
    EXPECT_EQ(gCli->verbosity, 100);
    CliOptVerbosityDis();
    EXPECT_FALSE(CliVerbositySet(1));
    EXPECT_FALSE(CliVerbositySetDebug());
    EXPECT_EQ(static_cast<uint8_t>(gCli->verbosity), 255);
}

TEST(Banner, VersionAndCutsIntoSmallBuffers) {
    char version[32];
    EXPECT_EQ(CliSprintVersion(version, sizeof version), 13);
    EXPECT_STREQ(version, "(Mar 10 2020)");
    EXPECT_EQ(CliSprintVersion(version, 4), 13);
    EXPECT_STREQ(version, "(Ma");

    struct Case {
        uint32_t size;
        const char *want; // null: the buffer is left as it was
    };
    const Case cases[] = {
        {128, "Trelvox Logging Service (Mar 10 2020)"},
        {38, "Trelvox Logging Service (Mar 10 2020)"},
        {37, "Trelvox Logging Service (Mar 10 2020"},
        {26, "Trelvox Logging Service ("},
        {25, "Trelvox Logging Service "},
        {24, "Trelvox Logging Service"}, // the blank does not fit: nothing added
        {23, nullptr},                   // the product text does not fit
        {1, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        char buf[130];
        memset(buf, '#', sizeof buf);
        buf[0] = '\0';
        CliSprintBanner(buf, c.size);
        if (c.want != nullptr) {
            EXPECT_STREQ(buf, c.want);
        } else {
            EXPECT_STREQ(buf, "");
        }
        for (size_t i = c.size; i < sizeof buf; ++i) {
            ASSERT_EQ(buf[i], '#') << "written past the size at " << i;
        }
    }
}

TEST(HelpDisplay, FullHelpAndExamplesOnlyWithAProgramName) {
    ChildResult full = RunInChild([] {
        CliInit();
        CliStrCpy(gCli->progName, sizeof gCli->progName, "tool");
        CliTermDispCliHelp(15);
        _exit(0); // unflushed output would be lost: the display must flush
    });
    EXPECT_EQ(full.out, std::string("\n\nTrelvox Logging Service (Mar 10 2020)\n\n") +
                            testhooks::kDescriptionText + "\n" + testhooks::kOptionsText +
                            testhooks::kExamplesText);

    ChildResult unnamed = RunInChild([] {
        CliInit();
        printf("before");
        CliTermDispCliHelp(8 | 0x100);
        _exit(0);
    });
    EXPECT_EQ(unnamed.out, "before");
    EXPECT_EQ(unnamed.err, "");
}

} // namespace
