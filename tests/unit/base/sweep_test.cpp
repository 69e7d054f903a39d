// A write of the rotating log that rotates, with each of its system calls
// failed in turn: whatever fails, no kept file is lost, no message is in a
// file twice or out of order, a message that is not in a file is reported
// unwritten, and once the next open has run, the files are exactly as after
// a rotation that went through (or, the message unwritten, as before it).
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lib/cli/shared/clilog.h"
#include "tests/support/sys_faults.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Sys;
using testsupport::SysFaults;
using Files = std::map<std::string, std::string>; // name -> contents

// Oldest first: t.04.log holds "A", the current file is empty; the message
// fills the current file to its limit, so the write rotates.
const Files kBefore = {
    {"t.04.log", "A"}, {"t.03.log", "B"}, {"t.02.log", "C"}, {"t.01.log", "D"}, {"t.log", ""}};
const Files kAfter = {
    {"t.04.log", "B"}, {"t.03.log", "C"}, {"t.02.log", "D"}, {"t.01.log", "EEEE"}, {"t.log", ""}};
constexpr char kMessage[] = "EEEE";

class RotatingWriteSweep : public ::testing::Test, protected testsupport::TempDir {
protected:
    Files Dir() const {
        Files files;
        for (const auto &entry : std::filesystem::directory_iterator(Root())) {
            files[entry.path().filename()] = testsupport::ReadFile(entry.path());
        }
        return files;
    }

    // A fresh directory and an open log in the state kBefore.
    CliLogFile *Prepare() {
        EXPECT_TRUE(Make("clilog-sweep."));
        for (const auto &[name, contents] : kBefore) {
            Write(name, contents);
        }
        CliLogFile *log = CliLogInit(Path("t.log").c_str(), 4, 5);
        EXPECT_NE(log, nullptr);
        EXPECT_TRUE(CliLogOpen(log));
        return log;
    }
};

TEST_F(RotatingWriteSweep, EveryCallFailedInTurnLosesNothingAndLeavesNothingHalfDone) {
    // A clean run counts the calls the write makes.
    std::map<Sys, uint32_t> calls;
    {
        CliLogFile *log = Prepare();
        SysFaults faults;
        ASSERT_TRUE(CliLogWrite(log, kMessage, 4));
        for (uint32_t i = 0; i < testsupport::kSysEntryCount; ++i) {
            if (uint32_t n = faults.Calls(static_cast<Sys>(i)); n != 0) {
                calls[static_cast<Sys>(i)] = n;
            }
        }
        CliLogFree(&log);
        ASSERT_EQ(Dir(), kAfter);
    }
    // The write, the length query, the moves, the deletion and the new
    // current file at least.
    for (Sys needed : {Sys::write, Sys::statx, Sys::rename, Sys::unlink, Sys::open}) {
        ASSERT_NE(calls.count(needed), 0u) << testsupport::SysName(needed);
    }
    for (const auto &[entry, count] : calls) {
        for (uint32_t n = 1; n <= count; ++n) {
            SCOPED_TRACE(std::string(testsupport::SysName(entry)) + " call " + std::to_string(n));
            CliLogFile *log = Prepare();
            bool written;
            {
                SysFaults faults;
                faults.FailNth(entry, n, EIO);
                written = CliLogWrite(log, kMessage, 4);
                EXPECT_EQ(faults.Failures(), 1u);
            }
            // Right after the failure: the kept files are all there, each
            // message at most once and in order, the new one in a file or
            // reported unwritten, and no name but the log's own.
            Files now = Dir();
            std::string joined;
            for (const char *name : {"t.04.log", "t.03.log", "t.02.log", "t.01.log", "t.log"}) {
                if (now.count(name) != 0 && !now[name].empty()) {
                    joined += now[name] + "|";
                }
                now.erase(name);
            }
            EXPECT_TRUE(now.empty()) << "stray " << now.begin()->first;
            EXPECT_TRUE(joined == "A|B|C|D|" || joined == "A|B|C|D|EEEE|" ||
                        joined == "B|C|D|EEEE|")
                << joined;
            if (joined == "A|B|C|D|") {
                EXPECT_FALSE(written) << "a message in no file is reported unwritten";
            }
            // The next open (the service's next driver connection) finishes
            // what the failure interrupted.
            if (!CliLogIsOpen(log)) {
                EXPECT_TRUE(CliLogOpen(log));
            } else {
                EXPECT_TRUE(CliLogCheckLength(log));
            }
            EXPECT_EQ(Dir(), joined == "A|B|C|D|" ? kBefore : kAfter);
            CliLogFree(&log);
        }
    }
}

} // namespace
