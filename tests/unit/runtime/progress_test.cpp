// The percentage display, checked byte for byte on a pseudo-terminal and
// absent when stdout is a file or a pipe.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "lib/cli/shared/cli.h"
#include "tests/support/child_process.h"

namespace {

using testsupport::RunInChild;
using testsupport::SideChannelWrite;

struct Screen {
    std::string screen; // the exact bytes written to stdout
    std::string side;   // what the child reported
};

// Runs body in a child whose stdout is the slave side of a fresh
// pseudo-terminal in raw mode (no line-end translation), after CliInit.
Screen OnTerminal(const std::function<void()> &body, int8_t verbosity = 0) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed: errno " << errno;
        return {};
    }
    termios mode{};
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);

    auto child = RunInChild([&] {
        fflush(stdout);
        dup2(slave, STDOUT_FILENO);
        close(slave);
        close(master);
        CliInit();
        gCli->verbosity = verbosity;
        body();
        fflush(stdout);
    });
    EXPECT_EQ(child.exitCode, 0);
    close(slave);

    // The child is gone; everything it wrote is waiting on the master.
    std::string screen;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    char buffer[4096];
    for (;;) {
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        screen.append(buffer, static_cast<size_t>(got));
    }
    close(master);
    return {screen, child.side};
}

void Report(bool flag) {
    SideChannelWrite(flag ? "1" : "0");
}

std::string Backspaces(size_t count) {
    return std::string(count, '\b');
}

TEST(Progress, StartShowsLabelAndZero) {
    Screen run = OnTerminal([] { Report(CliProgressStart(200, 0, "Copying ")); });
    EXPECT_EQ(run.screen, "Copying 0%");
    EXPECT_EQ(run.side, "1");
}

TEST(Progress, RedrawsOnlyWhenThePercentageChanges) {
    struct Case {
        int increments;
        std::string screen;
    };
    const Case cases[] = {
        {1, "Copying 0%"},
        {2, "Copying 0%\b\b1%"},
        {3, "Copying 0%\b\b1%"},
        {6, "Copying 0%\b\b1%\b\b2%\b\b3%"},
        {20, "Copying 0%\b\b1%\b\b2%\b\b3%\b\b4%\b\b5%\b\b6%\b\b7%\b\b8%\b\b9%\b\b10%"},
    };
    for (const Case &c : cases) {
        Screen run = OnTerminal([&] {
            CliProgressStart(200, 0, "Copying ");
            for (int i = 0; i < c.increments; ++i) {
                Report(CliProgressIncrement(1));
            }
        });
        EXPECT_EQ(run.screen, c.screen) << c.increments;
        EXPECT_EQ(run.side, std::string(c.increments, '1'));
    }
}

TEST(Progress, FullRunEndsAtOneHundred) {
    Screen run = OnTerminal([] {
        CliProgressStart(200, 0, "Copying ");
        for (int i = 0; i < 200; ++i) {
            CliProgressIncrement(1);
        }
    });
    std::string expect = "Copying 0%";
    std::string shown = "0%";
    for (int percent = 1; percent <= 100; ++percent) {
        expect += Backspaces(shown.size());
        shown = std::to_string(percent) + "%";
        expect += shown;
    }
    EXPECT_EQ(run.screen, expect);
    EXPECT_EQ(run.screen.substr(run.screen.size() - 13), "\b\b\b99%\b\b\b100%");
}

TEST(Progress, IncrementsBeyondTheTotalStopAtOneHundred) {
    Screen run = OnTerminal([] {
        CliProgressStart(10, 0, "Copying ");
        Report(CliProgressIncrement(25));
        fflush(stdout);
        SideChannelWrite(gCli->progressDone == 10 ? "+" : "-");
        Report(CliProgressIncrement(1));
        Report(CliProgressIncrement(0xFFFFFFFFu));
        SideChannelWrite(gCli->progressDone == 10 ? "+" : "-");
    });
    EXPECT_EQ(run.screen, "Copying 0%\b\b100%");
    EXPECT_EQ(run.side, "1+11+");
}

TEST(Progress, LargeTotalsDoNotOverflow) {
    Screen run = OnTerminal([] {
        CliProgressStart(0xFFFFFFFFu, 0, "%s", "");
        CliProgressIncrement(0x80000000u);
        CliProgressIncrement(0xFFFFFFFFu);
    });
    EXPECT_EQ(run.screen, "0%\b\b50%\b\b\b100%");
}

TEST(Progress, StopBlanksLabelAndPercentage) {
    Screen run = OnTerminal([] {
        CliProgressStart(100, 0, "Copying ");
        CliProgressIncrement(42);
        CliProgressStop(false);
        Report(CliProgressIncrement(1));
        CliProgressStop(false);
    });
    std::string blank = Backspaces(11) + std::string(11, ' ') + Backspaces(11);
    EXPECT_EQ(run.screen, "Copying 0%\b\b42%" + blank);
    EXPECT_EQ(run.side, "0");
}

TEST(Progress, StopWithNewlineEndsTheDisplay) {
    Screen run = OnTerminal([] {
        CliProgressStart(4, 0, "Step %d of %d: ", 1, 3);
        CliProgressIncrement(1);
        CliProgressStop(true);
        Report(CliProgressIncrement(1));
        CliProgressStop(false);
    });
    EXPECT_EQ(run.screen, "Step 1 of 3: 0%\b\b25%\n");
    EXPECT_EQ(run.side, "0");
}

TEST(Progress, LabelIsCutAt127Characters) {
    std::string longLabel(200, 'L');
    Screen run = OnTerminal([&] {
        CliProgressStart(2, 0, "%s", longLabel.c_str());
        CliProgressStop(false);
    });
    size_t shown = 127 + 2;
    EXPECT_EQ(run.screen, std::string(127, 'L') + "0%" + Backspaces(shown) +
                              std::string(shown, ' ') + Backspaces(shown));
}

TEST(Progress, ZeroTotalShowsButStaysInactive) {
    Screen run = OnTerminal([] {
        Report(CliProgressStart(0, 0, "Copying "));
        Report(CliProgressIncrement(5));
        CliProgressStop(false);
        CliProgressStop(true);
    });
    EXPECT_EQ(run.screen, "Copying 0%");
    EXPECT_EQ(run.side, "10");
}

TEST(Progress, RestartDoesNotEraseTheOldDisplay) {
    Screen run = OnTerminal([] {
        CliProgressStart(2, 0, "A ");
        CliProgressIncrement(1);
        CliProgressStart(2, 0, "B ");
        CliProgressIncrement(2);
    });
    EXPECT_EQ(run.screen, "A 0%\b\b50%B 0%\b\b100%");
}

TEST(Progress, VerbosityLevelGatesTheDisplay) {
    struct Case {
        int8_t verbosity;
        uint8_t level;
        bool shown;
    };
    const Case cases[] = {
        {0, 0, true},   {0, 1, false},    {1, 1, true},  {1, 100, false},
        {100, 1, true}, {100, 100, true}, {-1, 0, true}, {-1, 1, false},
    };
    for (const Case &c : cases) {
        Screen run = OnTerminal(
            [&] {
                Report(CliProgressStart(100, c.level, "Copying "));
                Report(CliProgressIncrement(50));
                CliProgressStop(false);
            },
            c.verbosity);
        SCOPED_TRACE("verbosity " + std::to_string(c.verbosity) + " level " +
                     std::to_string(c.level));
        if (c.shown) {
            EXPECT_EQ(run.side, "11");
            EXPECT_EQ(run.screen.substr(0, 15), "Copying 0%\b\b50%");
        } else {
            EXPECT_EQ(run.side, "00");
            EXPECT_EQ(run.screen, "");
        }
    }
}

TEST(Progress, NotShownWhenStdoutIsAFileOrPipe) {
    char path[] = "/tmp/progress_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    auto toFile = RunInChild([&] {
        dup2(fd, STDOUT_FILENO);
        CliInit();
        Report(CliProgressStart(200, 0, "Copying "));
        Report(CliProgressIncrement(100));
        CliProgressStop(false);
        CliProgressStop(true);
        SideChannelWrite(gCli->progressTotal == 0 ? "+" : "-");
    });
    EXPECT_EQ(toFile.side, "00+");
    off_t size = lseek(fd, 0, SEEK_END);
    EXPECT_EQ(size, 0);
    close(fd);
    unlink(path);

    auto toPipe = RunInChild([] {
        CliInit();
        Report(CliProgressStart(200, 0, "Copying "));
        Report(CliProgressIncrement(100));
        CliProgressStop(false);
    });
    EXPECT_EQ(toPipe.side, "00");
    EXPECT_EQ(toPipe.out, "");
}

} // namespace
