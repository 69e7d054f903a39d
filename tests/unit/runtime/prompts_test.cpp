// Interactive prompts answered through a pipe on stdin.
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "lib/cli/shared/cli.h"
#include "tests/support/child_process.h"

namespace {

using testsupport::ChildOptions;
using testsupport::RunInChild;
using testsupport::SideChannelWrite;

struct Outcome {
    std::string out;    // everything the prompt wrote
    std::string result; // "<flag> <value>" as reported by the child
};

// Runs one prompt in a child with the given stdin; the child reports the
// flag and the value of out (which starts as the sentinel "unset").
template <typename Body> Outcome Answer(const std::string &input, Body body) {
    ChildOptions options;
    options.input = input;
    auto child = RunInChild(
        [&] {
            CliInit();
            SideChannelWrite(body());
        },
        options);
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.err, "");
    return {child.out, child.side};
}

std::string Repeat(const std::string &text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::string SelectChar(const char *allowed) {
    char out = '#';
    bool ok = CliSelectChar("Pick", &out, allowed);
    return std::to_string(ok) + " " + (out == '\0' ? std::string("NUL") : std::string(1, out));
}

std::string SelectBool(bool initial) {
    bool out = initial;
    bool ok = CliSelectBool("Sure", &out);
    return std::to_string(ok) + " " + std::to_string(out);
}

std::string SelectNum(const char *cancel) {
    uint32_t out = 777;
    bool ok = CliSelectNum("Count", &out, 1, 10, cancel);
    return std::to_string(ok) + " " + std::to_string(out);
}

TEST(SelectChar, AnswersJudgedAgainstAllowed) {
    struct Case {
        const char *allowed;
        std::string input;
        int prompts;
        const char *result;
    };
    const Case cases[] = {
        {"yn", "Y\n", 1, "1 Y"},
        {"yn", "x\nyes\n\nn\n", 4, "1 n"},
        {"yn", "n", 1, "1 n"}, // final answer without a line end
        {"yn", "", 1, "0 #"},
        {"yn", "x\n", 2, "0 #"},  // input ends before an acceptable answer
        {"yn", "x\nq", 2, "0 #"}, // the last answer is judged, and fails
        {"aBc", "b\n", 1, "1 b"}, // case-insensitive, stored as typed
        {nullptr, "\n", 1, "1 NUL"},
        {nullptr, "ab\nc\n", 2, "1 c"},
        {nullptr, "", 1, "1 NUL"}, // the empty answer is acceptable
        {"", "\n", 1, "1 NUL"},
        // A line longer than 31 characters is read as two answers.
        {"yn", std::string(40, 'y') + "\ny\n", 3, "1 y"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("input \"" + c.input + "\"");
        Outcome got = Answer(c.input, [&] { return SelectChar(c.allowed); });
        EXPECT_EQ(got.out, Repeat("Pick: ", c.prompts));
        EXPECT_EQ(got.result, c.result);
    }
}

TEST(SelectBool, YesAndNoInAnyCase) {
    struct Case {
        std::string input;
        int prompts;
        const char *result;
    };
    // out starts opposite to the answer so that a store shows; failures
    // start it at 1 and must leave it there.
    const Case cases[] = {
        {"YES\n", 1, "1 1"},
        {"Y\n", 1, "1 1"},
        {"n\n", 1, "1 0"},
        {"No\n", 1, "1 0"},
        {"yep\nye\n y\n\nyes\n", 5, "1 1"},
        {"y", 1, "1 1"},
        {"", 1, "0 1"},
        {"maybe\n", 2, "0 1"},
        {"maybe", 1, "0 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("input \"" + c.input + "\"");
        bool initial = std::string(c.result) != "1 1";
        Outcome got = Answer(c.input, [&] { return SelectBool(initial); });
        EXPECT_EQ(got.out, Repeat("Sure [y/n]: ", c.prompts));
        EXPECT_EQ(got.result, c.result);
    }
}

TEST(SelectNum, RangeAndCancel) {
    struct Case {
        const char *cancel;
        std::string input;
        int prompts;
        const char *result;
    };
    const Case cases[] = {
        {"q", "0x0A\n", 1, "1 10"},  {"q", "11\n0\nabc\n 7 \n", 4, "1 7"},
        {"q", "1\n", 1, "1 1"},      {"q", "q\n", 1, "0 777"},
        {"q", "Q\n5\n", 1, "0 777"}, {nullptr, "q\n5\n", 2, "1 5"},
        {"q", "4", 1, "1 4"},        {"q", "", 1, "0 777"},
        {"q", "99\n", 2, "0 777"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("input \"" + c.input + "\"");
        Outcome got = Answer(c.input, [&] { return SelectNum(c.cancel); });
        EXPECT_EQ(got.out, Repeat("Count ", c.prompts));
        EXPECT_EQ(got.result, c.result);
    }
}

TEST(Prompts, ReadErrorEndsTheQuestion) {
    // stdin's descriptor is closed under the stream: every read fails.
    Outcome got = Answer("", [] {
        close(0);
        std::string result = SelectChar(nullptr);
        result += ",";
        result += SelectBool(true);
        result += ",";
        result += SelectNum(nullptr);
        return result;
    });
    EXPECT_EQ(got.result, "0 #,0 1,0 777");
    EXPECT_EQ(got.out, "Pick: Sure [y/n]: Count ");
}

} // namespace
