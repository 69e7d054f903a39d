// Command-line options: tokenising argv into option slots, the runtime's own
// options (-h, -?, -v), and the handlers a tool uses for its own.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cliterm.h"

const CliOptHelpEntry gCliOptHelpTable[] = {
    {"test", 0xFFFFFFFFu},
    {"oem", 0x00000002u},
    {nullptr, 0},
};

namespace {

constexpr char kHelpPassword[] = "qwixmerbs";
constexpr uint32_t kPasswordSize = 32;
constexpr uint32_t kHelpFull =
    kCliHelpBanner | kCliHelpDescription | kCliHelpOptions | kCliHelpExamples;
// Only the banner bit has an effect; the high bit marks the verbose banner.
constexpr uint32_t kHelpVerboseBanner = 0x80000000u | kCliHelpBanner;

bool IsOptionsSlot(const CliOptSlot *slot) {
    return gCli != nullptr && slot >= gCli->optSlots && slot < gCli->optSlots + kCliOptSlotCount;
}

// True when a slot after index, below optCount, holds the letter.
bool LaterSlotHasLetter(uint32_t index, char letter) {
    for (uint32_t later = index + 1; later < gCli->optCount; ++later) {
        if (gCli->optSlots[later].letter == letter) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void MultipleOptions(char letter) {
    CliPrintErrorCli(1, "Multiple -%c options are not allowed.", letter);
}

// errPrefix: base name without extension, upper case, then ": " when it
// fits; progName: the same name unchanged. Each stays empty when the name
// does not fit.
void SetProgramNames(const char *argv0) {
    gCli->errPrefix[0] = '\0';
    gCli->progName[0] = '\0';
    if (CliFBaseName(gCli->errPrefix, kCliNameSize, argv0, false) != nullptr) {
        CliStrToUpper(gCli->errPrefix);
        CliStrCat(gCli->errPrefix, kCliNameSize, ": ");
    }
    CliFBaseName(gCli->progName, kCliNameSize, argv0, false);
}

// The cursor designates the most recent option slot.
class Tokeniser {
public:
    void Word(const char *word) {
        if (word[0] != '-') {
            Argument(word);
            return;
        }
        for (const char *p = word + 1; *p != '\0'; ++p) {
            if (*p == '-') {
                CliPrintErrorCli(1, "Multiple '-' specified.");
            }
            if (*p == ':' || *p == '=') {
                Argument(p + 1);
                return;
            }
            Letter(*p);
        }
    }

private:
    void Letter(char letter) {
        if (gCli->optCount >= kCliOptSlotCount) {
            CliPrintErrorCli(1, "Too many options.");
        }
        if (gCli->optSlots[cursor_].letter != '\0') {
            ++cursor_;
        }
        gCli->optSlots[cursor_].letter = letter;
        gCli->optSlots[cursor_].argText = nullptr;
        ++gCli->optCount;
    }

    void Argument(const char *text) {
        CliOptSlot &slot = gCli->optSlots[cursor_];
        if (slot.letter == '\0' || slot.argText != nullptr) {
            CliPrintErrorCli(1, "Options must be preceded with a '-' (%s).", text);
        }
        slot.argText = text;
    }

    uint32_t cursor_ = 0;
};

// Prompts for the help password on standard input; 1 when it matches in
// any letter case.
bool HelpPasswordGiven() {
    fputs("Password: ", stdout);
    fflush(stdout);
    char typed[kPasswordSize] = {};
    if (!CliFGetLine(stdin, typed, sizeof typed, nullptr)) {
        typed[0] = '\0';
    }
    CliStrToLower(typed);
    return strcmp(typed, kHelpPassword) == 0;
}

void TakeHelpOption(uint32_t index) {
    const CliOptSlot &slot = gCli->optSlots[index];
    if (LaterSlotHasLetter(index, slot.letter)) {
        MultipleOptions(slot.letter);
    }
    gCli->helpRequested = 1;
    if (slot.argText == nullptr) {
        return;
    }
    const CliOptHelpEntry *row = CliOptArgMatchTable(&slot, gCliOptHelpTable);
    if (row == nullptr) {
        CliPrintErrorCli(1, "Invalid option -%c %s.", slot.letter, slot.argText);
    }
    if ((row->entryFlags & kCliOptPasswordRequired) != 0 && !HelpPasswordGiven()) {
        CliPrintErrorCli(1, "Invalid help password.");
    }
    gCli->helpFlags |= row->entryFlags;
}

void TakeVerbosityOption(uint32_t index) {
    const CliOptSlot &slot = gCli->optSlots[index];
    if (LaterSlotHasLetter(index, slot.letter)) {
        MultipleOptions(slot.letter);
    }
    if (slot.argText == nullptr) {
        gCli->verbosity = static_cast<int8_t>(kCliVerbosityVerbose);
        return;
    }
    int8_t level = 0;
    if (!CliStrToSByte(slot.argText, &level) ||
        static_cast<uint8_t>(gCli->verbosity) == kCliVerbosityDisabled ||
        (level != kCliVerbosityVerbose && level != kCliVerbosityDebug)) {
        CliPrintErrorCli(1, "Invalid verbosity level.");
    }
    gCli->verbosity = level;
}

} // namespace

bool CliOptPreProcess(int32_t argc, const char *const *argv) {
    if (gCli == nullptr) {
        return false;
    }
    SetProgramNames(argc > 0 && argv != nullptr ? argv[0] : nullptr);

    Tokeniser tokeniser;
    for (int32_t i = 1; argv != nullptr && i < argc; ++i) {
        if (argv[i] != nullptr) {
            tokeniser.Word(argv[i]);
        }
    }

    uint32_t index = 0;
    while (index < gCli->optCount) {
        char letter = gCli->optSlots[index].letter;
        if ((letter == 'h' || letter == '?') && gCli->helpRequested >= 0) {
            TakeHelpOption(index);
        } else if (letter == 'v' &&
                   static_cast<uint8_t>(gCli->verbosity) != kCliVerbosityDisabled) {
            TakeVerbosityOption(index);
        } else {
            ++index;
            continue;
        }
        // The next slot has moved into this index.
        CliOptRemove(&gCli->optSlots[index]);
    }
    return true;
}

bool CliOptPostProcess() {
    if (gCli == nullptr) {
        return true;
    }
    if (gCli->helpRequested > 0) {
        CliTermDispCliHelp(kHelpFull);
        CliExit(0);
    }
    uint8_t level = static_cast<uint8_t>(gCli->verbosity);
    if (level == kCliVerbosityVerbose || level == kCliVerbosityDebug) {
        CliTermDispCliHelp(kHelpVerboseBanner);
    }
    return true;
}

void CliOptRemove(CliOptSlot *slot) {
    if (!IsOptionsSlot(slot)) {
        return;
    }
    CliOptSlot *end = gCli->optSlots + kCliOptSlotCount;
    memmove(slot, slot + 1, static_cast<size_t>(end - slot - 1) * sizeof *slot);
    if (gCli->optCount > 0) {
        --gCli->optCount;
    }
}

const CliOptHelpEntry *CliOptArgMatchTable(const CliOptSlot *slot, const CliOptHelpEntry *table) {
    if (slot == nullptr || table == nullptr) {
        return nullptr;
    }
    size_t argLen = slot->argText == nullptr ? 0 : strlen(slot->argText);
    const CliOptHelpEntry *found = nullptr;
    uint32_t matches = 0;
    for (const CliOptHelpEntry *row = table; row->keyword != nullptr; ++row) {
        size_t keyLen = strlen(row->keyword);
        bool match =
            argLen == 0 ? keyLen == 0
                        : keyLen >= argLen && strncasecmp(row->keyword, slot->argText, argLen) == 0;
        if (match) {
            found = row;
            ++matches;
        }
    }
    return matches == 1 ? found : nullptr;
}

bool CliOptArgMatch(const CliOptSlot *slot, const char *keyword, uint32_t minLen) {
    if (slot == nullptr || slot->argText == nullptr || keyword == nullptr || minLen == 0) {
        return false;
    }
    size_t argLen = strlen(slot->argText);
    size_t keyLen = strlen(keyword);
    return argLen >= minLen && keyLen >= minLen && argLen <= keyLen &&
           strncasecmp(slot->argText, keyword, argLen) == 0;
}

bool CliOptArgNotReqd(const CliOptSlot *slot) {
    if (slot->argText != nullptr) {
        CliPrintErrorCli(1, "Option -%c does not require an argument.", slot->letter);
    }
    return true;
}

bool CliOptArgReqd(const CliOptSlot *slot) {
    if (slot->argText == nullptr) {
        CliPrintErrorCli(1, "Option -%c requires an argument.", slot->letter);
    }
    return true;
}

bool CliOptGetChannel(const CliOptSlot *slot) {
    CliOptArgReqd(slot);
    uint16_t channel = 0;
    if (!CliStrToWord(slot->argText, &channel) || channel == 0) {
        CliPrintErrorCli(1, "Invalid channel number.");
    }
    gCli->channel = channel;
    return true;
}

void CliOptListDirectors(const CliOptSlot *slot) {
    CliOptArgNotReqd(slot);
    gCli->listRequested = true;
}

void CliOptListAdapters(const CliOptSlot *slot) {
    CliOptArgNotReqd(slot);
    gCli->listRequested = true;
}

bool CliOptNoMultiple(const CliOptSlot *slot) {
    if (IsOptionsSlot(slot) &&
        LaterSlotHasLetter(static_cast<uint32_t>(slot - gCli->optSlots), slot->letter)) {
        MultipleOptions(slot->letter);
    }
    return true;
}

void CliOptInvalid(const CliOptSlot *slot) {
    if (slot->argText != nullptr) {
        CliPrintErrorCli(1, "Invalid option -%c %s.", slot->letter, slot->argText);
    }
    CliPrintErrorCli(1, "Invalid option -%c.", slot->letter);
}
