// Redirection when a system call fails part of the way, and the va_list
// forms of the verbose printers. Each case runs in a child, whose standard
// streams are its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/cli.h"
#include "tests/support/child_process.h"

namespace {

using testsupport::ChildResult;
using testsupport::RunInChild;
using testsupport::SideChannelWrite;

int OpenDescriptors() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class RedirectionMore : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/trelvox-redir-more-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string dir;
};

// A redirection that fails at dup or at dup2 leaves no descriptor open,
// leaves the stream where it was and its record clear, so that a later
// redirection of the same stream works.
TEST_F(RedirectionMore, FailedDupOrDup2RollsBackCompletely) {
    struct Case {
        const char *name;
        bool failDup;
    };
    for (const Case &c : {Case{"dup", true}, Case{"dup2", false}}) {
        SCOPED_TRACE(c.name);
        std::string file = dir + "/" + c.name + ".txt";
        ChildResult r = RunInChild([&] {
            CliInit();
            CliStreamRedir rec{};
            rec.savedFd = -1;
            int before = OpenDescriptors();
            {
                OsSysOverride restore;
                if (c.failDup) {
                    gOsSys.dup = [](int) { return -1; };
                } else {
                    gOsSys.dup2 = [](int, int) { return -1; };
                }
                SideChannelWrite(CliStreamRedirect(file.c_str(), stdout, 1, true, &rec) ? "1"
                                                                                        : "0");
            }
            SideChannelWrite(OpenDescriptors() == before ? " same" : " leaked");
            SideChannelWrite(rec.redirFile == nullptr && rec.savedFd < 0 ? " clear" : " dirty");
            printf("on stdout;");
            fflush(stdout);
            SideChannelWrite(CliStreamRedirect(file.c_str(), stdout, 1, true, &rec) ? " 1" : " 0");
            printf("in file;");
            fflush(stdout);
            SideChannelWrite(CliStreamRestore(&rec) ? " 1" : " 0");
            printf("back;");
        });
        EXPECT_EQ(r.side, "0 same clear 1 1");
        EXPECT_EQ(r.out, "on stdout;back;");
        EXPECT_EQ(ReadFile(file), "in file;");
    }
}

// A restore whose dup2 fails keeps the redirection in force (output still
// goes to the file) and can be retried.
TEST_F(RedirectionMore, FailedRestoreKeepsTheRedirectionForARetry) {
    std::string file = dir + "/out.txt";
    ChildResult r = RunInChild([&] {
        CliInit();
        SideChannelWrite(CliConsoleRedirect(file.c_str(), nullptr, nullptr) ? "1" : "0");
        printf("first;");
        {
            OsSysOverride restore;
            gOsSys.dup2 = [](int, int) { return -1; };
            SideChannelWrite(CliConsoleRestore() ? " 1" : " 0");
        }
        SideChannelWrite(gCli->outRedir.redirFile != nullptr ? " kept" : " lost");
        printf("second;");
        fflush(stdout);
        SideChannelWrite(CliConsoleRestore() ? " 1" : " 0");
        printf("back;");
    });
    EXPECT_EQ(r.side, "1 0 kept 1");
    EXPECT_EQ(r.out, "back;");
    EXPECT_EQ(ReadFile(file), "first;second;");
}

void VerboseV(uint8_t level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    CliPrintVerboseV(level, format, args);
    va_end(args);
}

void Verbose2V(uint8_t level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    CliPrintVerbose2V(level, format, args);
    va_end(args);
}

// The va_list forms filter like the others: level 1 messages from the
// verbose level on, level 100 only at the debug level; the first adds a line
// end, the second does not.
TEST(PrintFamilyMore, VaListFormsOfTheVerbosePrinters) {
    struct Case {
        int8_t verbosity;
        const char *out;
    };
    const Case cases[] = {
        {0, ""},
        {1, "v1 7\nv1-2 8;"},
        {100, "v1 7\nv1-2 8;v100 9\nv100-2 10;"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.verbosity);
        ChildResult r = RunInChild([&] {
            CliInit();
            gCli->verbosity = c.verbosity;
            VerboseV(1, "v1 %d", 7);
            Verbose2V(1, "v1-2 %d;", 8);
            VerboseV(100, "v100 %d", 9);
            Verbose2V(100, "v100-2 %d;", 10);
        });
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

} // namespace
