// The service's output routines: LogText (the pump's unformatted text)
// choosing the log file or standard output exactly as LogStr does, in every
// state of the log, and both keeping their place among everything else the
// process prints on standard output.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "lib/cli/shared/clilog.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/svc/svc_fixture.h"

namespace {

using svctest::StdoutCapture;
using testsupport::Sys;
using Files = std::map<std::string, std::string>; // name -> contents

// The state of the rotating log when a message is written.
enum class Log {
    kNone,        // application mode: no handle
    kClosed,      // service mode between callbacks
    kOpen,        // service mode inside a callback
    kWriteFails,  // the write to the file fails
    kLengthFails, // the write reaches the limit, the length query after it fails
    kReopenFails, // the write reaches the limit and the rotation's open fails
};

struct Outcome {
    std::string out; // standard output
    Files files;     // the log directory
};

class Output : public svctest::ServiceTest, protected testsupport::TempDir {
protected:
    void SetUp() override {
        svctest::ServiceTest::SetUp();
        ASSERT_TRUE(Make("trelvox-output-"));
    }

    // Writes `text` with `say` with the log in the given state, in a
    // directory of its own named `run`.
    template <typename Say> Outcome Run(Log log, const std::string &run, Say say) {
        std::string dir = Path(run);
        EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
        if (log != Log::kNone) {
            bool atLimit = log == Log::kLengthFails || log == Log::kReopenFails;
            uint32_t limit = atLimit ? 1 : 50u << 20;
            Clt()->logHandle = CliLogInit((dir + "/Trelvox.log").c_str(), limit, 5);
            EXPECT_NE(Clt()->logHandle, nullptr);
            if (log != Log::kClosed) {
                EXPECT_TRUE(CliLogOpen(Clt()->logHandle));
            }
        }
        Outcome outcome;
        {
            // The write to the file is the first write of say(); the
            // length query and the rotation's open fail every time.
            testsupport::SysFaults faults;
            switch (log) {
            case Log::kWriteFails:
                faults.FailNth(Sys::write, 1, ENOSPC);
                break;
            case Log::kLengthFails:
                faults.FailFrom(Sys::statx, 1, EIO);
                break;
            case Log::kReopenFails:
                faults.FailFrom(Sys::open, 1, EACCES);
                break;
            default:
                break;
            }
            StdoutCapture capture;
            say();
            outcome.out = capture.Take();
        }
        CliLogFree(&Clt()->logHandle);
        for (const auto &entry : std::filesystem::directory_iterator(dir)) {
            outcome.files[entry.path().filename()] = testsupport::ReadFile(entry.path());
        }
        return outcome;
    }
};

TEST_F(Output, LogTextGoesWhereLogStrSendsAMessage) {
    const std::string text = "100% {done} %s\n";
    struct Case {
        const char *name;
        Log log;
        bool toStdout;
        Files files;
    };
    const Case cases[] = {
        {"application mode", Log::kNone, true, {}},
        {"log closed", Log::kClosed, true, {}},
        {"log open", Log::kOpen, false, {{"Trelvox.log", text}}},
        {"write fails", Log::kWriteFails, true, {{"Trelvox.log", ""}}},
        // Text that reached the file is never written again elsewhere.
        {"length query fails", Log::kLengthFails, false, {{"Trelvox.log", text}}},
        {"rotation cannot reopen", Log::kReopenFails, false, {{"Trelvox.01.log", text}}},
    };
    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome viaText = Run(c.log, std::to_string(run++), [&] {
            LogText(Clt(), text.data(), static_cast<uint32_t>(text.size()));
        });
        Outcome viaStr = Run(c.log, std::to_string(run++), [&] { LogStr("%s", text.c_str()); });
        EXPECT_EQ(viaText.out, c.toStdout ? text : "");
        EXPECT_EQ(viaText.files, c.files);
        EXPECT_EQ(viaText.out, viaStr.out);
        EXPECT_EQ(viaText.files, viaStr.files);
    }
}

TEST_F(Output, StandardOutputKeepsTheOrderOfEverythingPrinted) {
    // Text that stdio still holds goes out before LogText's bytes, and
    // LogText's before what is printed after it.
    StdoutCapture capture;
    printf("a,");
    LogText(Clt(), "b,", 2);
    fputs("c,", stdout);
    LogStr("%s,", "d");
    LogText(Clt(), "e\n", 2);
    putchar('f');
    LogEventText(Clt(), "g{5E6A1B2C}h");
    printf("i");
    EXPECT_EQ(capture.Take(), "a,b,c,d,e\nfg03/12/20 11:21:16  hi");
}

TEST_F(Output, AStdoutWithoutADescriptorStillGetsTheText) {
    // stdout replaced by a memory stream, which has no descriptor: the text
    // reaches it through stdio, in order with what LogStr and printf put.
    char *text = nullptr;
    size_t length = 0;
    FILE *memory = open_memstream(&text, &length);
    ASSERT_NE(memory, nullptr);
    FILE *saved = stdout;
    stdout = memory;
    printf("a,");
    LogText(Clt(), "b,", 2);
    LogStr("%s,", "c");
    LogEventText(Clt(), "d{5E6A1B2C}");
    stdout = saved;
    fclose(memory);
    EXPECT_EQ(std::string(text, length), "a,b,c,d03/12/20 11:21:16  ");
    free(text);
}

} // namespace
