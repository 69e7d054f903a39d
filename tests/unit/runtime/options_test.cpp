// Command-line options: tokenising, program names, the runtime's own -h, -?
// and -v, the help password, and the handlers for a tool's own options.
// Everything that can end the process runs in a child and is judged by its
// standard output, standard error and exit status.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/cli/shared/cli.h"
#include "tests/hooks/test_hooks.h"
#include "tests/support/child_process.h"
#include "tests/support/runtime_fixture.h"

namespace {

using testsupport::ChildOptions;
using testsupport::ChildResult;
using testsupport::RunInChild;

constexpr char kProgram[] = "/usr/local/bin/logtool";
constexpr char kPrefix[] = "LOGTOOL: ";
constexpr char kPassword[] = "qwixmerbs";

std::string Banner() {
    return "\n\nTrelvox Logging Service (Mar 10 2020)\n\n";
}

std::string FullHelp() {
    return Banner() + testhooks::kDescriptionText + "\n" + testhooks::kOptionsText +
           testhooks::kExamplesText;
}

// What the pre-processing left: the slots, then the runtime's fields.
std::string State() {
    std::string s = "slots";
    for (uint32_t i = 0; i < gCli->optCount; ++i) {
        const CliOptSlot &slot = gCli->optSlots[i];
        s += std::string(" ") + slot.letter;
        if (slot.argText != nullptr) {
            s += std::string("=") + slot.argText;
        }
    }
    char fields[200];
    snprintf(fields, sizeof fields, "; v=%d h=%d flags=%08x prefix='%s' name='%s'\n",
             gCli->verbosity, gCli->helpRequested, gCli->helpFlags, gCli->errPrefix,
             gCli->progName);
    return s + fields;
}

// Runs the option handling of a tool in a child: the tool's set-up
// (before), pre-processing (argv includes argv[0]), the state on the side
// channel, the tool's loop, post-processing. input goes to standard input.
ChildResult RunOptions(const std::vector<std::string> &words, const std::string &input = "",
                       void (*before)() = nullptr, void (*toolLoop)() = nullptr) {
    ChildOptions options;
    options.input = input;
    return RunInChild(
        [&] {
            CliInit();
            if (before != nullptr) {
                before();
            }
            std::vector<const char *> argv;
            for (const std::string &word : words) {
                argv.push_back(word.c_str());
            }
            CliOptPreProcess(static_cast<int32_t>(argv.size()), argv.data());
            testsupport::SideChannelWrite(State());
            if (toolLoop != nullptr) {
                toolLoop();
            }
            CliOptPostProcess();
            testsupport::SideChannelWrite("post\n");
        },
        options);
}

std::vector<std::string> Args(std::initializer_list<const char *> words) {
    std::vector<std::string> argv = {kProgram};
    argv.insert(argv.end(), words.begin(), words.end());
    return argv;
}

// A command-line error: the options text, then the prefixed line, status 1.
void ExpectCliError(const ChildResult &r, const std::string &message,
                    const std::string &outBefore = "", const std::string &prefix = kPrefix) {
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, outBefore + testhooks::kOptionsText);
    EXPECT_EQ(r.err, prefix + message + "\n");
    // The exit sequence ran; nothing after the failing call did.
    EXPECT_EQ(r.side.substr(r.side.size() < 8 ? 0 : r.side.size() - 8), "CltExit\n");
    EXPECT_EQ(r.side.find("post"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Tokenising
// ---------------------------------------------------------------------------

TEST(OptionTokenTest, SlotsInCommandLineOrder) {
    struct Case {
        std::vector<std::string> argv;
        const char *slots;
    };
    const Case cases[] = {
        {Args({}), "slots"},
        {Args({"-"}), "slots"},
        {Args({"-", "-"}), "slots"},
        {Args({"-ab"}), "slots a b"},
        {Args({"-ab:x"}), "slots a b=x"},
        {Args({"-ab=x"}), "slots a b=x"},
        {Args({"-ab", "x"}), "slots a b=x"},
        {Args({"-a", ""}), "slots a="},
        {Args({"-a:"}), "slots a="},
        {Args({"-a=b:c=d"}), "slots a=b:c=d"},
        {Args({"-a", "x", "-b", "y z"}), "slots a=x b=y z"},
        {Args({"-a", "-b", "-a"}), "slots a b a"},
        {Args({"-9#Z", "-s"}), "slots 9 # Z s"},
        {Args({"-s", "-1"}), "slots s 1"},
        {Args({"-a", ":x"}), "slots a=:x"},
        {Args({"-a", "-:x"}), "slots a=x"},
        {Args({"-a", "-=x"}), "slots a=x"},
        {Args({"-a", "x", "-"}), "slots a=x"},
    };
    for (const Case &c : cases) {
        std::string words;
        for (const std::string &w : c.argv) {
            words += "[" + w + "]";
        }
        SCOPED_TRACE(words);
        ChildResult r = RunOptions(c.argv);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.side, std::string(c.slots) + "; v=0 h=0 flags=00000000 prefix='LOGTOOL: ' " +
                              "name='logtool'\npost\n");
    }
}

TEST(OptionTokenTest, ArgumentsPointIntoArgv) {
    ChildResult r = RunInChild([] {
        CliInit();
        const char *argv[] = {kProgram, "-ab:one", "-c", "two"};
        CliOptPreProcess(4, argv);
        bool inPlace = gCli->optCount == 3 && gCli->optSlots[1].argText == argv[1] + 4 &&
                       gCli->optSlots[2].argText == argv[3] && gCli->optSlots[0].argText == nullptr;
        testsupport::SideChannelWrite(inPlace ? "in place\n" : "copied\n");
    });
    EXPECT_EQ(r.side, "in place\n");
}

TEST(OptionTokenTest, Errors) {
    struct Case {
        std::vector<std::string> argv;
        const char *message;
    };
    const Case cases[] = {
        {Args({"--x"}), "Multiple '-' specified."},
        {Args({"--"}), "Multiple '-' specified."},
        {Args({"-a-b"}), "Multiple '-' specified."},
        {Args({"-a", "-b-"}), "Multiple '-' specified."},
        {Args({"a"}), "Options must be preceded with a '-' (a)."},
        {Args({""}), "Options must be preceded with a '-' ()."},
        {Args({"-:x"}), "Options must be preceded with a '-' (x)."},
        {Args({"-a", "x", "y"}), "Options must be preceded with a '-' (y)."},
        {Args({"-a:x", "y"}), "Options must be preceded with a '-' (y)."},
        {Args({"-a=x", "-:y"}), "Options must be preceded with a '-' (y)."},
        {Args({"-a", "%s%n"}), nullptr}, // accepted: a percent sign is just text
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv.back());
        ChildResult r = RunOptions(c.argv);
        if (c.message == nullptr) {
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(r.side.substr(0, 13), "slots a=%s%n;");
            continue;
        }
        ExpectCliError(r, c.message);
    }
    // Percent signs in a refused argument are printed as they are.
    ExpectCliError(RunOptions(Args({"-a", "b", "%d%s"})),
                   "Options must be preceded with a '-' (%d%s).");
}

TEST(OptionTokenTest, FiftyLettersAndNoMore) {
    std::string fifty(50, 'x');
    fifty[10] = 'v'; // runtime options count until they are removed
    fifty[20] = 'h';
    ChildResult ok = RunOptions(Args({("-" + fifty).c_str()}));
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_EQ(ok.side.substr(0, 8), "slots x ");
    EXPECT_NE(ok.side.find("v=1 h=1"), std::string::npos);
    // 48 slots are left for the tool.
    EXPECT_EQ(ok.side.find(";"), std::string("slots").size() + 48 * 2);
    EXPECT_EQ(ok.out, FullHelp());

    ExpectCliError(RunOptions(Args({("-" + fifty + "y").c_str()})), "Too many options.");
    ExpectCliError(RunOptions(Args({("-" + fifty).c_str(), "-z"})), "Too many options.");
    // Arguments take no slot.
    ChildResult args = RunOptions(Args({("-" + std::string(49, 'x')).c_str(), "-y", "arg"}));
    EXPECT_EQ(args.exitCode, 0);
    EXPECT_NE(args.side.find(" y=arg;"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Program names
// ---------------------------------------------------------------------------

TEST(ProgramNameTest, PrefixAndNameFromArgvZero) {
    const std::string n29(29, 'n');
    const std::string n30(30, 'n');
    const std::string n31(31, 'n');
    const std::string n32(32, 'n');
    auto upper = [](std::string s) {
        for (char &c : s) {
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        return s;
    };
    struct Case {
        std::string argv0;
        std::string prefix;
        std::string name;
    };
    const Case cases[] = {
        {"/usr/local/bin/logtool", "LOGTOOL: ", "logtool"},
        {"logtool", "LOGTOOL: ", "logtool"},
        {"tool.bin", "TOOL: ", "tool"},
        {"/opt/x.d/tool", "TOOL: ", "tool"},
        {"a.b.c", "A.B: ", "a.b"},
        {".tool", ".TOOL: ", ".tool"},
        {"./bin/Mixed-Case_1", "MIXED-CASE_1: ", "Mixed-Case_1"},
        {"/x/" + n29, upper(n29) + ": ", n29},
        {"/x/" + n30, upper(n30), n30},
        {"/x/" + n31, upper(n31), n31},
        {"/x/" + n32, "", ""},
        {"/x/" + n29 + ".exe", upper(n29) + ": ", n29},
        {"/x/" + n32 + ".exe", "", ""},
        // An empty base name still gets the separator.
        {"", ": ", ""},
        {"/usr/bin/", ": ", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv0);
        ChildResult r = RunOptions({c.argv0});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.side, "slots; v=0 h=0 flags=00000000 prefix='" + c.prefix + "' name='" +
                              c.name + "'\npost\n");
    }
}

TEST(ProgramNameTest, ErrorLinesCarryThePrefix) {
    ExpectCliError(RunOptions({"/x/tool.bin", "stray"}),
                   "Options must be preceded with a '-' (stray).", "", "TOOL: ");
    // A name too long for the prefix leaves the line bare.
    ExpectCliError(RunOptions({"/x/" + std::string(32, 'n'), "stray"}),
                   "Options must be preceded with a '-' (stray).", "", "");
}

TEST(ProgramNameTest, NoArgumentVector) {
    ChildResult r = RunInChild([] {
        CliInit();
        CliOptPreProcess(0, nullptr);
        testsupport::SideChannelWrite(State());
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "slots; v=0 h=0 flags=00000000 prefix='' name=''\n");
}

// ---------------------------------------------------------------------------
// Verbosity
// ---------------------------------------------------------------------------

TEST(VerbosityOptionTest, LevelsAndErrors) {
    struct Case {
        std::vector<std::string> argv;
        const char *side; // null: the error message below
        const char *message;
    };
    const Case cases[] = {
        {Args({"-v"}), "slots; v=1", nullptr},
        {Args({"-v", "1"}), "slots; v=1", nullptr},
        {Args({"-v", "100"}), "slots; v=100", nullptr},
        {Args({"-v:100"}), "slots; v=100", nullptr},
        {Args({"-v=100"}), "slots; v=100", nullptr},
        {Args({"-v", " 0x64 "}), "slots; v=100", nullptr},
        {Args({"-vs"}), "slots s; v=1", nullptr},
        {Args({"-sv", "1", "-t"}), "slots s t; v=1", nullptr},
        {Args({"-v", "file"}), nullptr, "Invalid verbosity level."},
        {Args({"-v", "2"}), nullptr, "Invalid verbosity level."},
        {Args({"-v", "0"}), nullptr, "Invalid verbosity level."},
        {Args({"-v="}), nullptr, "Invalid verbosity level."},
        {Args({"-v=-1"}), nullptr, "Invalid verbosity level."},
        {Args({"-v=255"}), nullptr, "Invalid verbosity level."},
        {Args({"-v", "-v"}), nullptr, "Multiple -v options are not allowed."},
        {Args({"-vv"}), nullptr, "Multiple -v options are not allowed."},
        {Args({"-v", "1", "-s", "-v", "1"}), nullptr, "Multiple -v options are not allowed."},
    };
    for (const Case &c : cases) {
        std::string words;
        for (const std::string &w : c.argv) {
            words += "[" + w + "]";
        }
        SCOPED_TRACE(words);
        ChildResult r = RunOptions(c.argv);
        if (c.side == nullptr) {
            ExpectCliError(r, c.message);
            continue;
        }
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.side.substr(0, strlen(c.side) + 1), std::string(c.side) + " ");
        // Verbose output shows the banner after the tool's loop.
        EXPECT_EQ(r.out, Banner());
        EXPECT_EQ(r.err, "");
    }
}

TEST(VerbosityOptionTest, DisabledLeavesTheLetterToTheTool) {
    ChildResult r = RunOptions(Args({"-v", "2", "-v"}), "", [] { CliOptVerbosityDis(); });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side.substr(0, r.side.find(" h=")), "slots v=2 v; v=-1");
    EXPECT_EQ(r.out, ""); // no banner
}

// ---------------------------------------------------------------------------
// Help and the help password
// ---------------------------------------------------------------------------

TEST(HelpOptionTest, HelpIsShownOnceAfterTheToolsLoop) {
    struct Case {
        std::vector<std::string> argv;
        const char *flags;
    };
    const Case cases[] = {
        {Args({"-h"}), "00000000"},       {Args({"-?"}), "00000000"},
        {Args({"-h", "-?"}), "00000000"}, {Args({"-h", "oem"}), "00000002"},
        {Args({"-h:O"}), "00000002"},     {Args({"-?=OEm"}), "00000002"},
        {Args({"-hv"}), "00000000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv.back());
        ChildResult r = RunOptions(c.argv);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, FullHelp()); // no prompt, help once, no extra banner
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.side.find(std::string("h=1 flags=") + c.flags), std::string::npos);
        EXPECT_EQ(r.side.substr(r.side.size() - 8), "CltExit\n");
        EXPECT_EQ(r.side.find("post"), std::string::npos);
    }
}

TEST(HelpOptionTest, Errors) {
    struct Case {
        std::vector<std::string> argv;
        const char *message;
    };
    const Case cases[] = {
        {Args({"-h", "-h"}), "Multiple -h options are not allowed."},
        {Args({"-??"}), "Multiple -? options are not allowed."},
        {Args({"-h", "x"}), "Invalid option -h x."},
        {Args({"-h:"}), "Invalid option -h ."},
        {Args({"-h", "testing"}), "Invalid option -h testing."},
        {Args({"-?", "oemx"}), "Invalid option -? oemx."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv.back());
        ExpectCliError(RunOptions(c.argv), c.message);
    }
}

TEST(HelpOptionTest, PasswordPrompt) {
    struct Case {
        const char *input;
        bool accepted;
    };
    const std::string longLine = std::string(kPassword) + std::string(23, 'x') + "\n";
    const std::string longerLine = std::string(kPassword) + std::string(40, ' ') + "\n";
    const Case cases[] = {
        {"qwixmerbs\n", true},
        {"QWIXMERBS\n", true},
        {"QwIxMeRbS", true}, // end of input right after the text
        {"qwixmerbs\r\n", true},
        {"wrong\n", false},
        {"\n", false},
        {"", false}, // end of input
        {"qwixmerb\n", false},
        {"qwixmerbss\n", false},
        {" qwixmerbs\n", false},
        {longLine.c_str(), false}, // 32 characters
        {longerLine.c_str(), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("input '") + c.input + "'");
        ChildResult r = RunOptions(Args({"-h", "t"}), c.input);
        if (!c.accepted) {
            ExpectCliError(r, "Invalid help password.", "Password: ");
            continue;
        }
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "Password: " + FullHelp());
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.side.find("h=1 flags=ffffffff"), std::string::npos);
    }
}

TEST(HelpOptionTest, FlagsOfSeveralArgumentsAdd) {
    ChildResult r = RunOptions(Args({"-h", "oem", "-?", "TE"}), "qwixmerbs\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.side.find("h=1 flags=ffffffff"), std::string::npos);
    EXPECT_EQ(r.out, "Password: " + FullHelp());
}

TEST(HelpOptionTest, ToolThatTakesHelpItself) {
    ChildResult r = RunOptions(Args({"-h", "x", "-?"}), "", [] { gCli->helpRequested = -1; });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "slots h=x ?; v=0 h=-1 flags=00000000 prefix='LOGTOOL: ' "
                      "name='logtool'\npost\n");
    EXPECT_EQ(r.out, "");
}

// ---------------------------------------------------------------------------
// The tool's loop and the handlers
// ---------------------------------------------------------------------------

// The loop of a tool that accepts only -s, once.
void ServiceLoop() {
    for (uint32_t i = 0; i < gCli->optCount; ++i) {
        CliOptSlot *slot = &gCli->optSlots[i];
        CliOptNoMultiple(slot);
        if (slot->letter != 's') {
            CliOptInvalid(slot);
        }
    }
}

TEST(ToolLoopTest, UnknownOptionIsReportedBeforeHelp) {
    ExpectCliError(RunOptions(Args({"-h", "-z"}), "", nullptr, ServiceLoop), "Invalid option -z.");
    ExpectCliError(RunOptions(Args({"-s", "-z", "arg"}), "", nullptr, ServiceLoop),
                   "Invalid option -z arg.");
    ExpectCliError(RunOptions(Args({"-s", "-v", "-s"}), "", nullptr, ServiceLoop),
                   "Multiple -s options are not allowed.");
    ChildResult ok = RunOptions(Args({"-vs"}), "", nullptr, ServiceLoop);
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_EQ(ok.out, Banner());
    EXPECT_NE(ok.side.find("post\n"), std::string::npos);
}

// Runs one handler on slot `index` of the parsed words.
struct HandlerCase {
    std::vector<std::string> argv;
    uint32_t index;
    void (*handler)(const CliOptSlot *);
    const char *message; // null: accepted
    const char *result;  // what the accepted handler left (side channel)
};

ChildResult RunHandler(const HandlerCase &c) {
    return RunInChild([&c] {
        CliInit();
        std::vector<const char *> argv;
        for (const std::string &word : c.argv) {
            argv.push_back(word.c_str());
        }
        CliOptPreProcess(static_cast<int32_t>(argv.size()), argv.data());
        c.handler(&gCli->optSlots[c.index]);
        char text[64];
        snprintf(text, sizeof text, "channel=%u list=%d\n", gCli->channel, gCli->listRequested);
        testsupport::SideChannelWrite(text);
    });
}

void NotReqd(const CliOptSlot *s) {
    EXPECT_TRUE(CliOptArgNotReqd(s));
}
void Reqd(const CliOptSlot *s) {
    EXPECT_TRUE(CliOptArgReqd(s));
}
void Channel(const CliOptSlot *s) {
    EXPECT_TRUE(CliOptGetChannel(s));
}
void NoMultiple(const CliOptSlot *s) {
    EXPECT_TRUE(CliOptNoMultiple(s));
}
void Invalid(const CliOptSlot *s) {
    CliOptInvalid(s);
}

TEST(OptionHandlerTest, MessagesAndResults) {
    const HandlerCase cases[] = {
        {Args({"-a"}), 0, NotReqd, nullptr, "channel=0 list=0\n"},
        {Args({"-a", "x"}), 0, NotReqd, "Option -a does not require an argument.", nullptr},
        {Args({"-a:"}), 0, NotReqd, "Option -a does not require an argument.", nullptr},
        {Args({"-a", "x"}), 0, Reqd, nullptr, "channel=0 list=0\n"},
        {Args({"-a:"}), 0, Reqd, nullptr, "channel=0 list=0\n"},
        {Args({"-a"}), 0, Reqd, "Option -a requires an argument.", nullptr},
        {Args({"-c", "5"}), 0, Channel, nullptr, "channel=5 list=0\n"},
        {Args({"-c", "0x10"}), 0, Channel, nullptr, "channel=16 list=0\n"},
        {Args({"-c=65535"}), 0, Channel, nullptr, "channel=65535 list=0\n"},
        {Args({"-c"}), 0, Channel, "Option -c requires an argument.", nullptr},
        {Args({"-c", "0"}), 0, Channel, "Invalid channel number.", nullptr},
        {Args({"-c", "65536"}), 0, Channel, "Invalid channel number.", nullptr},
        {Args({"-c", "abc"}), 0, Channel, "Invalid channel number.", nullptr},
        {Args({"-c=-1"}), 0, Channel, "Invalid channel number.", nullptr},
        {Args({"-c:"}), 0, Channel, "Invalid channel number.", nullptr},
        {Args({"-l"}), 0, CliOptListDirectors, nullptr, "channel=0 list=1\n"},
        {Args({"-l", "x"}), 0, CliOptListDirectors, "Option -l does not require an argument.",
         nullptr},
        {Args({"-L"}), 0, CliOptListAdapters, nullptr, "channel=0 list=1\n"},
        {Args({"-L=x"}), 0, CliOptListAdapters, "Option -L does not require an argument.", nullptr},
        {Args({"-a", "-b", "-a"}), 0, NoMultiple, "Multiple -a options are not allowed.", nullptr},
        {Args({"-a", "-b", "-a"}), 2, NoMultiple, nullptr, "channel=0 list=0\n"},
        {Args({"-a", "-A"}), 0, NoMultiple, nullptr, "channel=0 list=0\n"},
        {Args({"-z"}), 0, Invalid, "Invalid option -z.", nullptr},
        {Args({"-z", "foo"}), 0, Invalid, "Invalid option -z foo.", nullptr},
        {Args({"-z="}), 0, Invalid, "Invalid option -z .", nullptr},
    };
    for (const HandlerCase &c : cases) {
        std::string words;
        for (const std::string &w : c.argv) {
            words += "[" + w + "]";
        }
        SCOPED_TRACE(words + " slot " + std::to_string(c.index));
        ChildResult r = RunHandler(c);
        if (c.message != nullptr) {
            ExpectCliError(r, c.message);
            continue;
        }
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.side, c.result);
    }
}

TEST(OptionHandlerTest, NoMultipleIgnoresRemovedSlotsBeyondTheCount) {
    // Removal from a full array leaves the old last entry behind the count;
    // it is not a repeat.
    ChildResult r = RunInChild([] {
        CliInit();
        const char *argv[] = {kProgram, "-yABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefgijklmz"};
        CliOptPreProcess(2, argv);
        CliOptRemove(&gCli->optSlots[0]); // z at 48, and the stale z at 49
        if (gCli->optCount != 49 || gCli->optSlots[49].letter != 'z') {
            testsupport::SideChannelWrite("unexpected slots\n");
        }
        CliOptNoMultiple(&gCli->optSlots[48]);
        testsupport::SideChannelWrite("accepted\n");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "accepted\n");
}

// ---------------------------------------------------------------------------
// Slot removal and argument matching (no process exit involved)
// ---------------------------------------------------------------------------

class OptionStateTest : public testsupport::RuntimeTest {
protected:
    static std::string Letters(uint32_t n) {
        std::string s;
        for (uint32_t i = 0; i < n; ++i) {
            s += gCli->optSlots[i].letter == '\0' ? '.' : gCli->optSlots[i].letter;
        }
        return s;
    }
};

TEST_F(OptionStateTest, RemoveShiftsLaterSlotsDown) {
    const char *argv[] = {kProgram, "-abcde"};
    ASSERT_TRUE(CliOptPreProcess(2, argv));
    CliOptRemove(&gCli->optSlots[1]);
    EXPECT_EQ(gCli->optCount, 4);
    EXPECT_EQ(Letters(6), "acde..");
    CliOptRemove(&gCli->optSlots[0]);
    EXPECT_EQ(gCli->optCount, 3);
    EXPECT_EQ(Letters(4), "cde.");

    // A pointer outside the array changes nothing.
    CliOptSlot outside = {'q', nullptr};
    CliOptRemove(&outside);
    CliOptRemove(nullptr);
    CliOptRemove(gCli->optSlots + kCliOptSlotCount);
    EXPECT_EQ(gCli->optCount, 3);
    EXPECT_EQ(Letters(4), "cde.");
}

// The last entry of the array keeps its old contents.
TEST_F(OptionStateTest, RemoveFromAFullArray) {
    std::string word = "-" + std::string(49, 'a') + "z";
    const char *argv[] = {kProgram, word.c_str()};
    ASSERT_TRUE(CliOptPreProcess(2, argv));
    ASSERT_EQ(gCli->optCount, 50);
    CliOptRemove(&gCli->optSlots[49]);
    EXPECT_EQ(gCli->optCount, 49);
    EXPECT_EQ(gCli->optSlots[49].letter, 'z');
    CliOptRemove(&gCli->optSlots[0]);
    EXPECT_EQ(gCli->optSlots[48].letter, 'z');
}

TEST(OptionMatchTest, HelpTable) {
    struct Case {
        const char *arg;
        const char *keyword; // null: no row
    };
    const Case cases[] = {
        {"t", "test"},        {"TE", "test"},     {"Test", "test"}, {"test", "test"},
        {"testing", nullptr}, {"o", "oem"},       {"OEM", "oem"},   {"oemx", nullptr},
        {"", nullptr},        {nullptr, nullptr}, {"x", nullptr},   {"est", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arg == nullptr ? "(null)" : c.arg);
        CliOptSlot slot = {'h', c.arg};
        const CliOptHelpEntry *row = CliOptArgMatchTable(&slot, gCliOptHelpTable);
        if (c.keyword == nullptr) {
            EXPECT_EQ(row, nullptr);
        } else {
            ASSERT_NE(row, nullptr);
            EXPECT_STREQ(row->keyword, c.keyword);
        }
    }
    EXPECT_EQ(gCliOptHelpTable[0].entryFlags, 0xFFFFFFFFu);
    EXPECT_EQ(gCliOptHelpTable[1].entryFlags, 0x2u);
    EXPECT_EQ(gCliOptHelpTable[2].keyword, nullptr);
    CliOptSlot slot = {'h', "t"};
    EXPECT_EQ(CliOptArgMatchTable(nullptr, gCliOptHelpTable), nullptr);
    EXPECT_EQ(CliOptArgMatchTable(&slot, nullptr), nullptr);
}

TEST(OptionMatchTest, AmbiguousAndEmptyKeywords) {
    const CliOptHelpEntry table[] = {{"list", 1}, {"load", 2}, {"", 4}, {nullptr, 0}};
    struct Case {
        const char *arg;
        uint32_t flags; // 0: no row
    };
    const Case cases[] = {
        {"l", 0}, {"li", 1}, {"LOAD", 2}, {"", 4}, {nullptr, 4}, {"lists", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arg == nullptr ? "(null)" : c.arg);
        CliOptSlot slot = {'x', c.arg};
        const CliOptHelpEntry *row = CliOptArgMatchTable(&slot, table);
        EXPECT_EQ(row == nullptr ? 0u : row->entryFlags, c.flags);
    }
}

TEST(OptionMatchTest, KeywordAbbreviations) {
    struct Case {
        const char *arg;
        const char *keyword;
        uint32_t minLen;
        bool match;
    };
    const Case cases[] = {
        {"li", "list", 2, true},    {"l", "list", 2, false},     {"LIST", "list", 4, true},
        {"LiS", "list", 1, true},   {"lists", "list", 1, false}, {"x", "list", 1, false},
        {"list", "li", 2, false},   {"ab", "a", 2, false},       {"li", "list", 0, false},
        {"", "list", 1, false},     {nullptr, "list", 1, false}, {"li", nullptr, 1, false},
        {"list", "list", 5, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.arg == nullptr ? "(null)" : c.arg) + " / " +
                     (c.keyword == nullptr ? "(null)" : c.keyword) + " / " +
                     std::to_string(c.minLen));
        CliOptSlot slot = {'x', c.arg};
        EXPECT_EQ(CliOptArgMatch(&slot, c.keyword, c.minLen), c.match);
    }
    EXPECT_FALSE(CliOptArgMatch(nullptr, "list", 1));
}

} // namespace
