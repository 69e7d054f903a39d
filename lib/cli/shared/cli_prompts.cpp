// Interactive prompts: one character, yes or no, a number in a range.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "lib/cli/shared/cli.h"

namespace {

constexpr uint32_t kAnswerSize = 32;

enum class Read { Answer, LastAnswer, Failed };

// Writes the prompt and its suffix, then reads one answer line without its
// line end. LastAnswer: stdin has ended, so asking again would be pointless.
Read Ask(const char *prompt, const char *suffix, char (&answer)[kAnswerSize]) {
    printf("%s%s", prompt != nullptr ? prompt : "", suffix);
    // The prompt must be visible before the read also when stdout is a pipe.
    CliFFlush(stdout);
    bool atEnd = false;
    if (!CliFGetLine(stdin, answer, kAnswerSize, &atEnd)) {
        return Read::Failed;
    }
    return atEnd ? Read::LastAnswer : Read::Answer;
}

} // namespace

bool CliSelectChar(const char *prompt, char *out, const char *allowed) {
    for (;;) {
        char answer[kAnswerSize];
        Read read = Ask(prompt, ": ", answer);
        if (read == Read::Failed) {
            return false;
        }
        uint32_t length = CliStrLen(answer);
        bool accepted = false;
        if (length <= 1) {
            if (allowed == nullptr || allowed[0] == '\0') {
                accepted = true;
            } else {
                accepted = length == 1 && CliStrSearchCi(allowed, answer) != nullptr;
            }
        }
        if (accepted) {
            if (out != nullptr) {
                *out = answer[0];
            }
            return true;
        }
        if (read == Read::LastAnswer) {
            return false;
        }
    }
}

bool CliSelectBool(const char *prompt, bool *out) {
    for (;;) {
        char answer[kAnswerSize];
        Read read = Ask(prompt, " [y/n]: ", answer);
        if (read == Read::Failed) {
            return false;
        }
        CliStrToLower(answer);
        if (strcmp(answer, "yes") == 0 || strcmp(answer, "y") == 0) {
            *out = true;
            return true;
        }
        if (strcmp(answer, "no") == 0 || strcmp(answer, "n") == 0) {
            *out = false;
            return true;
        }
        if (read == Read::LastAnswer) {
            return false;
        }
    }
}

bool CliSelectNum(const char *prompt, uint32_t *out, uint32_t min, uint32_t max,
                  const char *cancel) {
    for (;;) {
        char answer[kAnswerSize];
        Read read = Ask(prompt, " ", answer);
        if (read == Read::Failed) {
            return false;
        }
        if (cancel != nullptr && strcasecmp(answer, cancel) == 0) {
            return false;
        }
        uint32_t value = 0;
        if (CliStrToDword(answer, &value) && value >= min && value <= max) {
            *out = value;
            return true;
        }
        if (read == Read::LastAnswer) {
            return false;
        }
    }
}
