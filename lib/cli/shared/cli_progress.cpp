// The one-line percentage display: the label and a number that is redrawn
// in place by backspacing over it.
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

#include "lib/cli/shared/cli.h"

namespace {

constexpr uint32_t kLabelSize = 128;
constexpr uint32_t kPercentSize = 16;

void Repeat(char ch, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        putchar(ch);
    }
}

} // namespace

bool CliProgressStart(uint32_t total, uint8_t level, const char *format, ...) {
    if (gCli == nullptr) {
        return false;
    }
    if (!isatty(fileno(stdout)) || (level != 0 && !CliVerbosityEnabled(level))) {
        gCli->progressTotal = 0;
        return false;
    }
    gCli->progressDone = 0;
    gCli->progressTotal = total;
    gCli->progressLastPct = 0;

    char label[kLabelSize];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(label, sizeof label, format, args);
    va_end(args);
    if (length < 0) {
        label[0] = '\0';
    }
    gCli->progressLabelLen = CliStrLen(label);
    gCli->progressShownLen = 2;
    printf("%s0%%", label);
    return true;
}

bool CliProgressIncrement(uint32_t amount) {
    if (gCli == nullptr || gCli->progressTotal == 0) {
        return false;
    }
    uint64_t done = gCli->progressDone + amount;
    if (done > gCli->progressTotal) {
        done = gCli->progressTotal;
    }
    gCli->progressDone = done;
    uint64_t percent = done * 100 / gCli->progressTotal;
    if (percent == static_cast<uint64_t>(gCli->progressLastPct)) {
        return true;
    }
    char text[kPercentSize];
    int length = snprintf(text, sizeof text, "%d%%", static_cast<int>(percent));
    Repeat('\b', static_cast<uint32_t>(gCli->progressShownLen));
    fputs(text, stdout);
    gCli->progressShownLen = length;
    gCli->progressLastPct = static_cast<int32_t>(percent);
    return true;
}

void CliProgressStop(bool newline) {
    if (gCli == nullptr || gCli->progressTotal == 0) {
        return;
    }
    // Either way the display ends here, so that a later increment cannot
    // draw backspaces over whatever follows it.
    gCli->progressTotal = 0;
    if (newline) {
        putchar('\n');
        return;
    }
    uint64_t shown =
        uint64_t{gCli->progressLabelLen} + static_cast<uint32_t>(gCli->progressShownLen);
    Repeat('\b', shown);
    Repeat(' ', shown);
    Repeat('\b', shown);
}
