// The printing family, section headers and redirection of the standard
// streams, also when a system call fails part of the way, and the va_list
// forms of the verbose printers. Each case runs in a child so that stdout
// and stderr are its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "lib/cli/shared/cli.h"
#include "tests/support/child_process.h"
#include "tests/support/sys_faults.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::ChildResult;
using testsupport::ReadFile;
using testsupport::RunInChild;
using testsupport::SideChannelWrite;
using testsupport::Sys;

ChildResult RunAt(int8_t verbosity, void (*body)()) {
    return RunInChild([verbosity, body] {
        CliInit();
        CliStrCpy(gCli->errPrefix, sizeof gCli->errPrefix, "TOOL: ");
        gCli->verbosity = verbosity;
        body();
    });
}

void PrintAllLevels() {
    CliPrintVerbose(1, "v1");
    CliPrintVerbose2(1, "v1-2;");
    CliPrintVerbose(100, "v100");
    CliPrintVerbose(50, "v50");
    CliDbgPrint("dbg");
    CliDbgPrint2("dbg2;");
}

TEST(PrintFamily, VerbosityFilter) {
    struct Case {
        int8_t level;
        const char *out;
    };
    const Case cases[] = {
        {0, ""},
        {1, "v1\nv1-2;"},
        {100, "v1\nv1-2;v100\ndbg\ndbg2;"},
        {-1, ""},
    };
    for (const Case &c : cases) {
        ChildResult r = RunAt(c.level, PrintAllLevels);
        EXPECT_EQ(r.out, c.out) << int{c.level};
        EXPECT_EQ(r.err, "");
    }
}

TEST(PrintFamily, MessageBufferCutsAt127AndLineEndOnlyWhenItFits) {
    ChildResult longOne = RunAt(0, [] { CliPrint("%s", std::string(200, 'a').c_str()); });
    EXPECT_EQ(longOne.out, std::string(127, 'a'));
    ChildResult fits = RunAt(0, [] { CliPrint("%s", std::string(126, 'b').c_str()); });
    EXPECT_EQ(fits.out, std::string(126, 'b') + "\n");
    ChildResult noEnd = RunAt(0, [] {
        CliPrint2("a\n\nb");
        CliPrint2("%s", "");
    });
    EXPECT_EQ(noEnd.out, "a\n\nb");
}

TEST(PrintFamily, ErrorsArePrefixedPerLineOnStderr) {
    ChildResult r = RunAt(0, [] {
        CliPrintError("x\ny");
        CliPrintError2("z");
    });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "TOOL: x\nTOOL: y\nTOOL: z");
}

TEST(PrintFamily, VerboseOutputIsFlushedAtOnce) {
    ChildResult r = RunAt(1, [] {
        CliPrintVerbose(1, "seen");
        _exit(0); // skips the normal flush at exit
    });
    EXPECT_EQ(r.out, "seen\n");
}

TEST(SectionHeader, RulesOrBlankLines) {
    ChildResult ruled = RunAt(0, [] { CliPrintSectionHdr('=', 5, "%s", "Ports"); });
    EXPECT_EQ(ruled.out, "=====\nPorts\n=====\n");
    ChildResult bare = RunAt(0, [] { CliPrintSectionHdr('=', 0, "Title %d", 2); });
    EXPECT_EQ(bare.out, "\nTitle 2\n\n");
    ChildResult wide =
        RunAt(0, [] { CliPrintSectionHdr('-', 3, "%s", std::string(300, 't').c_str()); });
    EXPECT_EQ(wide.out, "---\n" + std::string(300, 't') + "\n---\n");
}

TEST(BlankLine, IsACarriageReturnSeventyNineSpacesAndACarriageReturn) {
    EXPECT_EQ(std::string(gBlankLine), "\r" + std::string(79, ' ') + "\r");
}

class Redirection : public ::testing::Test, protected testsupport::TempDir {
protected:
    void SetUp() override { ASSERT_TRUE(Make("trelvox-redir-")); }
};

TEST_F(Redirection, StdoutToAFileAndBack) {
    std::string file = Path("out.txt");
    ChildResult r = RunInChild([file] {
        CliInit();
        printf("before;");
        fflush(stdout);
        bool redirected = CliConsoleRedirect(file.c_str(), nullptr, nullptr);
        printf("into file;");
        fprintf(stderr, "still stderr;");
        fflush(stdout);
        bool restored = CliConsoleRestore();
        printf("after;");
        testsupport::SideChannelWrite(std::string(redirected ? "1" : "0") + (restored ? "1" : "0"));
        CliExit(0);
    });
    EXPECT_EQ(r.out, "before;after;");
    EXPECT_EQ(r.err, "still stderr;");
    EXPECT_EQ(r.side, "11CltExit\n");
    EXPECT_EQ(ReadFile(file), "into file;");
}

TEST_F(Redirection, StdinFromAFileLeavesItIntact) {
    std::string file = Path("in.txt");
    std::ofstream(file) << "line one\nline two\n";
    ChildResult r = RunInChild([file] {
        CliInit();
        if (!CliConsoleRedirect(nullptr, nullptr, file.c_str())) {
            testsupport::SideChannelWrite("redirect failed");
        }
        char line[64] = {};
        if (fgets(line, sizeof line, stdin) != nullptr) {
            testsupport::SideChannelWrite(line);
        }
        CliConsoleRestore();
        CliExit(0);
    });
    EXPECT_EQ(r.side, "line one\nCltExit\n");
    EXPECT_EQ(ReadFile(file), "line one\nline two\n");
}

TEST_F(Redirection, NullPathChangesNothingAndASecondRedirectIsRefused) {
    std::string file = Path("twice.txt");
    ChildResult r = RunInChild([file] {
        CliInit();
        CliStreamRedir rec{};
        std::string result;
        result += CliStreamRedirect(nullptr, stdout, 1, true, &rec) ? "1" : "0";
        result += rec.redirFile == nullptr ? "n" : "x";
        result += CliStreamRedirect(file.c_str(), stdout, 1, true, &rec) ? "1" : "0";
        result += CliStreamRedirect(file.c_str(), stdout, 1, true, &rec) ? "1" : "0";
        printf("to file");
        fflush(stdout);
        result += CliStreamRestore(&rec) ? "1" : "0";
        result += CliStreamRestore(&rec) ? "1" : "0"; // nothing left to undo
        testsupport::SideChannelWrite(result);
        _exit(0);
    });
    EXPECT_EQ(r.side, "1n1011");
    EXPECT_EQ(ReadFile(file), "to file");
}

TEST_F(Redirection, MissingInputFileFailsAndKeepsEarlierRedirections) {
    std::string out = Path("out.txt");
    std::string missing = Path("no/such/file");
    ChildResult r = RunInChild([out, missing] {
        CliInit();
        bool ok = CliConsoleRedirect(out.c_str(), nullptr, missing.c_str());
        printf("redirected");
        fflush(stdout);
        testsupport::SideChannelWrite(ok ? "1" : "0");
        CliConsoleRestore();
        _exit(0);
    });
    EXPECT_EQ(r.side, "0");
    EXPECT_EQ(ReadFile(out), "redirected");
    EXPECT_EQ(r.out, "");
}

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
                testsupport::SysFaults faults;
                faults.FailFrom(c.failDup ? Sys::dup : Sys::dup2, 1, EMFILE);
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
            testsupport::SysFaults faults;
            faults.FailFrom(Sys::dup2, 1, EMFILE);
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
