// Option tokenising and the runtime's own options fed arbitrary argument
// vectors, compared with a model of the rules: the slots left for the tool
// (letters and the very argument texts inside argv), the help request and
// flags, the verbosity, the program names, and for every error the exact
// output: the tool's options text on standard output, then the error line
// behind the program's prefix on standard error, and the end of the
// process through the exit sequence with the tool's clean-up hook.
//
// An error ends the process through the runtime's exit sequence, whose
// first step is the tool's clean-up hook; this program's hook jumps back
// into the target (fuzz/support/fuzz_hooks.h), so every input runs in the
// one process, and standard input and output are memory streams.
//
// Input: a flags byte (bit 0: the tool takes -h and -? itself; bit 1: the
// tool has disabled -v; bit 2: the service's loop over the slots follows,
// which accepts only -s once; bit 3: the options' post-processing follows),
// a length byte and that many bytes of standard input (for the help
// password), then the argument vector, its words separated by NUL bytes
// (the first is the program's name).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_hooks.h"
#include "fuzz/support/fuzz_support.h"
#include "lib/cli/shared/cli.h"

using fuzzsupport::Quote;

namespace {

constexpr char kPassword[] = "qwixmerbs";
constexpr char kPrompt[] = "Password: ";

// ---- The model ---------------------------------------------------------------

struct Slot {
    char letter = 0;
    bool hasArg = false;
    size_t word = 0; // the argument: argv[word] + offset
    size_t offset = 0;
};

struct Expected {
    std::vector<Slot> slots;
    int8_t helpRequested = 0;
    uint32_t helpFlags = 0;
    int8_t verbosity = 0;
    std::string errPrefix;
    std::string progName;
    std::string out; // standard output before any error
    bool failed = false;
    std::string message; // the error message
};

std::string Upper(std::string s) {
    for (char &c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

std::string Lower(std::string s) {
    for (char &c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// The program's name: argv[0]'s base name without its extension; false
// when it does not fit 32 bytes.
bool NameOf(const std::string &argv0, std::string *name) {
    size_t slash = argv0.rfind('/');
    std::string base = slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot != 0) {
        base = base.substr(0, dot);
    }
    if (base.size() + 1 > kCliNameSize) {
        return false;
    }
    *name = base;
    return true;
}

class Model {
public:
    Model(const std::vector<std::string> &words, const std::string &input, uint8_t flags)
        : words_(words), input_(input) {
        e_.helpRequested = (flags & 1) ? -1 : 0;
        e_.verbosity = (flags & 2) ? static_cast<int8_t>(-1) : 0;
    }

    Expected Run(bool serviceLoop) {
        std::string name;
        if (!words_.empty() && NameOf(words_[0], &name)) {
            e_.progName = name;
            e_.errPrefix = Upper(name);
            if (e_.errPrefix.size() + 2 + 1 <= kCliNameSize) {
                e_.errPrefix += ": ";
            }
        }
        if (Tokenise() && BuiltIns() && serviceLoop) {
            ServiceLoop();
        }
        return e_;
    }

private:
    bool Fail(const std::string &message) {
        e_.failed = true;
        e_.message = message;
        return false;
    }

    bool Tokenise() {
        size_t cursor = 0;
        auto argument = [&](size_t word, size_t offset) {
            if (slots_.size() <= cursor || slots_[cursor].hasArg) {
                return Fail("Options must be preceded with a '-' (" + words_[word].substr(offset) +
                            ").");
            }
            slots_[cursor].hasArg = true;
            slots_[cursor].word = word;
            slots_[cursor].offset = offset;
            return true;
        };
        for (size_t w = 1; w < words_.size(); ++w) {
            const std::string &word = words_[w];
            if (word.empty() || word[0] != '-') {
                if (!argument(w, 0)) {
                    return false;
                }
                continue;
            }
            for (size_t i = 1; i < word.size(); ++i) {
                char c = word[i];
                if (c == '-') {
                    return Fail("Multiple '-' specified.");
                }
                if (c == ':' || c == '=') {
                    if (!argument(w, i + 1)) {
                        return false;
                    }
                    break;
                }
                if (slots_.size() == kCliOptSlotCount) {
                    return Fail("Too many options.");
                }
                Slot s;
                s.letter = c;
                slots_.push_back(s);
                cursor = slots_.size() - 1;
            }
        }
        return true;
    }

    bool LaterHas(size_t index, char letter) const {
        for (size_t j = index + 1; j < slots_.size(); ++j) {
            if (slots_[j].letter == letter) {
                return true;
            }
        }
        return false;
    }

    std::string Arg(const Slot &s) const { return words_[s.word].substr(s.offset); }

    // The next line of standard input as the prompt reads it: at most 31
    // bytes up to and with the line end, cut at NUL, LF and CR.
    std::string ReadLine() {
        size_t take = 0;
        while (take < 31 && inputPos_ + take < input_.size()) {
            if (input_[inputPos_ + take++] == '\n') {
                break;
            }
        }
        std::string line = input_.substr(inputPos_, take);
        inputPos_ += take;
        line = line.substr(0, line.find('\0'));
        line = line.substr(0, line.find('\n'));
        return line.substr(0, line.find('\r'));
    }

    bool BuiltIns() {
        size_t i = 0;
        while (i < slots_.size()) {
            Slot s = slots_[i];
            if ((s.letter == 'h' || s.letter == '?') && e_.helpRequested >= 0) {
                if (LaterHas(i, s.letter)) {
                    return Fail(std::string("Multiple -") + s.letter + " options are not allowed.");
                }
                e_.helpRequested = 1;
                if (s.hasArg) {
                    std::string arg = Arg(s);
                    static const struct {
                        const char *keyword;
                        uint32_t flags;
                    } kRows[] = {{"test", 0xFFFFFFFFu}, {"oem", 0x2u}};
                    int matches = 0;
                    uint32_t rowFlags = 0;
                    for (const auto &row : kRows) {
                        std::string k = row.keyword;
                        if (!arg.empty() && k.size() >= arg.size() &&
                            Lower(k.substr(0, arg.size())) == Lower(arg)) {
                            ++matches;
                            rowFlags = row.flags;
                        }
                    }
                    if (matches != 1) {
                        return Fail(std::string("Invalid option -") + s.letter + " " + arg + ".");
                    }
                    if (rowFlags & 1) {
                        e_.out += kPrompt;
                        if (Lower(ReadLine()) != kPassword) {
                            return Fail("Invalid help password.");
                        }
                    }
                    e_.helpFlags |= rowFlags;
                }
            } else if (s.letter == 'v' && e_.verbosity != -1) {
                if (LaterHas(i, 'v')) {
                    return Fail("Multiple -v options are not allowed.");
                }
                if (!s.hasArg) {
                    e_.verbosity = 1;
                } else {
                    // The level's own syntax is the number parser's, fuzzed
                    // on its own.
                    int8_t level;
                    if (!CliStrToSByte(Arg(s).c_str(), &level) || (level != 1 && level != 100)) {
                        return Fail("Invalid verbosity level.");
                    }
                    e_.verbosity = level;
                }
            } else {
                ++i;
                continue;
            }
            slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        e_.slots = slots_;
        return true;
    }

    // The service's loop: every slot once, no repeats, only 's'.
    void ServiceLoop() {
        for (size_t i = 0; i < slots_.size(); ++i) {
            const Slot &s = slots_[i];
            if (LaterHas(i, s.letter)) {
                Fail(std::string("Multiple -") + s.letter + " options are not allowed.");
                return;
            }
            if (s.letter != 's') {
                Fail(std::string("Invalid option -") + s.letter +
                     (s.hasArg ? std::string(" ").append(Arg(s)).append(".") : std::string(".")));
                return;
            }
        }
    }

    const std::vector<std::string> &words_;
    const std::string &input_;
    size_t inputPos_ = 0;
    std::vector<Slot> slots_;
    Expected e_;
};

// The error line as the runtime writes it: the message cut to 127
// characters, a line end when there is room, and the program's prefix in
// front of every line of it.
std::string ErrorOutput(const std::string &prefix, const std::string &message) {
    std::string text = message.substr(0, message.find('\0')).substr(0, 127);
    if (text.size() < 127) {
        text += '\n';
    }
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        out += prefix + text.substr(at, end - at);
        at = end;
    }
    return out;
}

// ---- The run -----------------------------------------------------------------

struct Run {
    int argc;
    const char *const *argv;
    uint8_t flags;
    bool ranPost; // reached the post-processing
};

void Parse(void *context) {
    auto *run = static_cast<Run *>(context);
    if (run->flags & 1) {
        gCli->helpRequested = -1;
    }
    if (run->flags & 2) {
        CliOptVerbosityDis();
    }
    CliOptPreProcess(run->argc, run->argv);
    if (run->flags & 4) {
        for (uint32_t i = 0; i < gCli->optCount; ++i) {
            CliOptNoMultiple(&gCli->optSlots[i]);
            if (gCli->optSlots[i].letter != 's') {
                CliOptInvalid(&gCli->optSlots[i]);
            }
        }
    }
    if (run->flags & 8) {
        run->ranPost = true;
        CliOptPostProcess();
    }
}

// A memory stream for the runtime's standard stream, and its text.
class Capture {
public:
    Capture() : file_(open_memstream(&text_, &length_)) {
        FUZZ_CHECK(file_ != nullptr, "cannot open a memory stream");
    }
    FILE *File() { return file_; }
    std::string Take() {
        fclose(file_);
        std::string out(text_, length_);
        free(text_);
        return out;
    }

private:
    char *text_ = nullptr;
    size_t length_ = 0;
    FILE *file_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::Reader in(data, size);
    uint8_t flags = in.Byte();
    std::string input = in.Take(in.Byte());
    std::string rest = in.Rest();
    std::vector<std::string> words;
    for (size_t at = 0; at <= rest.size() && !rest.empty();) {
        size_t nul = rest.find('\0', at);
        size_t end = nul == std::string::npos ? rest.size() : nul;
        words.push_back(rest.substr(at, end - at));
        at = end + 1;
    }
    // Each word on the heap at exactly its size, as argv holds them.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<const char *> argv;
    for (const std::string &w : words) {
        storage.emplace_back(new char[w.size() + 1]);
        memcpy(storage.back().get(), w.c_str(), w.size() + 1);
        argv.push_back(storage.back().get());
    }
    argv.push_back(nullptr);

    Expected want = Model(words, input, flags).Run((flags & 4) != 0);

    // Standard input holds the typed text (a stream of no bytes at all when
    // there is none); standard output and error are captured.
    std::string inputCopy = input.empty() ? std::string(1, '\0') : input;
    FILE *typed = fmemopen(inputCopy.data(), input.size() == 0 ? 1 : input.size(), "r");
    FUZZ_CHECK(typed != nullptr, "cannot open the typed input");
    if (input.empty()) {
        fgetc(typed); // leave it at its end
    }
    Capture out, err;
    FILE *savedIn = stdin, *savedOut = stdout, *savedErr = stderr;
    stdin = typed;
    stdout = out.File();
    stderr = err.File();

    CliInit();
    uint64_t hooksBefore = fuzzsupport::ExitHookCalls();
    Run run{static_cast<int>(words.size()), argv.data(), flags, false};
    bool exited = fuzzsupport::CatchExit(Parse, &run);

    fflush(stdout);
    fflush(stderr);
    stdin = savedIn;
    stdout = savedOut;
    stderr = savedErr;
    fclose(typed);
    std::string gotOut = out.Take();
    std::string gotErr = err.Take();

    std::string detail = "argv";
    for (const std::string &w : words) {
        detail += ' ';
        detail += Quote(w);
    }
    detail += ", input " + Quote(input) + ", flags " + std::to_string(flags) + "\nstdout " +
              Quote(gotOut) + "\nstderr " + Quote(gotErr) +
              (want.failed ? "\nmodel fails with " + Quote(want.message) : "\nmodel succeeds");

    FUZZ_CHECK(gCli != nullptr, detail + ": the records were freed before the hook");
    FUZZ_CHECK(want.progName == gCli->progName, detail + ": progName " + Quote(gCli->progName));
    FUZZ_CHECK(want.errPrefix == gCli->errPrefix, detail + ": errPrefix " + Quote(gCli->errPrefix));
    if (want.failed) {
        FUZZ_CHECK(exited && !run.ranPost, detail + ": did not end the process");
        FUZZ_CHECK(fuzzsupport::ExitHookCalls() == hooksBefore + 1, detail + ": hook calls");
        FUZZ_CHECK(gotOut == want.out + fuzzsupport::kFuzzOptionsText, detail + ": stdout");
        FUZZ_CHECK(gotErr == ErrorOutput(want.errPrefix, want.message), detail + ": stderr");
    } else {
        FUZZ_CHECK(gotErr.empty(), detail + ": wrote to stderr");
        FUZZ_CHECK(gCli->optCount == want.slots.size(),
                   detail + ": " + std::to_string(gCli->optCount) + " slots");
        for (size_t i = 0; i < want.slots.size(); ++i) {
            const Slot &s = want.slots[i];
            const CliOptSlot &got = gCli->optSlots[i];
            const char *arg = s.hasArg ? argv[s.word] + s.offset : nullptr;
            FUZZ_CHECK(got.letter == s.letter && got.argText == arg,
                       detail + ": slot " + std::to_string(i) + " is " + Quote(&got.letter, 1) +
                           " " + (got.argText ? Quote(got.argText) : std::string("(none)")));
        }
        FUZZ_CHECK(gCli->helpRequested == want.helpRequested, detail + ": help request");
        FUZZ_CHECK(gCli->helpFlags == want.helpFlags, detail + ": help flags");
        FUZZ_CHECK(gCli->verbosity == want.verbosity, detail + ": verbosity");
        // Post-processing ends the process with the help, or shows the
        // banner when verbose output is on, or does nothing.
        bool help = want.helpRequested > 0;
        bool banner = want.verbosity == 1 || want.verbosity == 100;
        FUZZ_CHECK(exited == (run.ranPost && help), detail + ": exit");
        if (!run.ranPost || (!help && !banner)) {
            FUZZ_CHECK(gotOut == want.out, detail + ": stdout");
        } else {
            FUZZ_CHECK(gotOut.compare(0, want.out.size(), want.out) == 0 &&
                           gotOut.find(gCliProductBanner) != std::string::npos,
                       detail + ": no banner");
        }
    }

    CliMemFree(gCli);
    CliMemFree(gClt);
    gCli = nullptr;
    gClt = nullptr;
    return 0;
}
