// The command-line runtime: state record, exit sequence, options, signals,
// console output, prompts, progress, I/O control and status texts.
//
// Every tool built on the runtime supplies the tool hooks of
// lib/cli/shared/cli_upcalls.h; the runtime reaches the tool only through
// them.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "lib/cli/shared/clibase.h"

// ---------------------------------------------------------------------------
// Records owned by the option, signal and redirection code. They are declared
// here because CliGlobals embeds them.
// ---------------------------------------------------------------------------

// One parsed option letter and its argument (which points into argv).
struct CliOptSlot {
    char letter;         // 0 marks an empty slot
    const char *argText; // null when the option has no argument
};

// One row of a help-argument table; a null keyword ends the table.
struct CliOptHelpEntry {
    const char *keyword;
    uint32_t entryFlags;
};
inline constexpr uint32_t kCliOptPasswordRequired = 0x1;

// The tool's signal callback; receives the portable signal index.
using CliSignalFn = void (*)(uint32_t index);

// One entry of the portable signal table.
struct CliSignalSlot {
    bool isSet;
    bool keepDefault;
    CliSignalFn onSignal;
};

// Saved state of one redirected standard stream.
struct CliStreamRedir {
    int32_t savedFd;
    int32_t stdFd;
    FILE *stdStream;
    FILE *redirFile; // null while the stream is not redirected
};

inline constexpr uint32_t kCliOptSlotCount = 50;
inline constexpr uint32_t kCliSignalCount = 8;
inline constexpr uint32_t kCliNameSize = 32;

// The runtime's state record behind gCli. Allocated zero-filled by CliInit.
struct CliGlobals {
    CliOptSlot optSlots[kCliOptSlotCount];
    uint8_t optCount;
    int8_t verbosity; // 0 quiet, 1 verbose, 100 debug, -1 (255) disabled
    char errPrefix[kCliNameSize];
    char progName[kCliNameSize];
    int8_t helpRequested;
    uint32_t helpFlags;
    CliSignalSlot signalSlots[kCliSignalCount];
    CliStreamRedir outRedir;
    CliStreamRedir errRedir;
    CliStreamRedir inRedir;
    uint64_t progressDone;
    uint32_t progressTotal;
    uint32_t progressLabelLen;
    int32_t progressShownLen;
    int32_t progressLastPct;
    uint32_t hbaPayloadMax;
    uint16_t channel;
    bool listRequested;
};

extern CliGlobals *gCli;
extern void *gClt; // the tool's own record; the tool casts it

// Verbosity levels.
inline constexpr uint8_t kCliVerbosityQuiet = 0;
inline constexpr uint8_t kCliVerbosityVerbose = 1;
inline constexpr uint8_t kCliVerbosityDebug = 100;
inline constexpr uint8_t kCliVerbosityDisabled = 255;

// Help display flags for CliTermDispCliHelp.
inline constexpr uint32_t kCliHelpBanner = 0x1;
inline constexpr uint32_t kCliHelpDescription = 0x2;
inline constexpr uint32_t kCliHelpOptions = 0x4;
inline constexpr uint32_t kCliHelpExamples = 0x8;

#define CLI_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))

// ---------------------------------------------------------------------------
// State, start-up and exit
// ---------------------------------------------------------------------------

// Allocates gCli and the tool's record (CltGlobalsSize bytes). Returns 1, or
// ends the process with status 1 when an allocation fails.
bool CliInit();

// The one exit sequence: CltExit, both records freed, both pointers emptied,
// then exit(status).
[[noreturn]] void CliExit(int32_t status);
[[noreturn]] void CliTermExit(int32_t status);
// The exit of a signal handler: only what is safe in signal context, so
// neither the tool's clean-up, nor freeing, nor stdio (a stream interrupted
// in the middle of a flush would write its bytes twice). The system
// releases every descriptor, and files written without buffering already
// hold every byte. _exit(status).
[[noreturn]] void CliTermExitFromSignal(int32_t status);
[[noreturn]] void CliPrintErrorExit(int32_t status, const char *format, ...) CLI_PRINTF(2, 3);
// Options text on stdout, then the message as an error line, then exit.
[[noreturn]] void CliPrintErrorCli(int32_t status, const char *format, ...) CLI_PRINTF(2, 3);

void *CliMemAllocReqd(uint64_t size);
FILE *CliFOpenReqd(const char *path, const char *mode);

bool CliVerbositySet(uint8_t level);
bool CliVerbositySetDebug();
bool CliVerbosityEnabled(uint8_t level);
void CliOptVerbosityDis();

// snprintf semantics; returns the full length of the version text.
int32_t CliSprintVersion(char *buffer, uint32_t size);
void CliSprintBanner(char *buffer, uint32_t size);

extern const char *const gCliProductBanner;
extern const char *const gCliVersionText;

// ---------------------------------------------------------------------------
// Console output, messages and redirection
// ---------------------------------------------------------------------------

extern const char *const gBlankLine;

void CliPrint(const char *format, ...) CLI_PRINTF(1, 2);
void CliPrint2(const char *format, ...) CLI_PRINTF(1, 2);
void CliPrintError(const char *format, ...) CLI_PRINTF(1, 2);
void CliPrintError2(const char *format, ...) CLI_PRINTF(1, 2);
void CliPrintVerbose(uint8_t level, const char *format, ...) CLI_PRINTF(2, 3);
void CliPrintVerbose2(uint8_t level, const char *format, ...) CLI_PRINTF(2, 3);
void CliPrintVerboseV(uint8_t level, const char *format, va_list args) CLI_PRINTF(2, 0);
void CliPrintVerbose2V(uint8_t level, const char *format, va_list args) CLI_PRINTF(2, 0);
void CliDbgPrint(const char *format, ...) CLI_PRINTF(1, 2);
void CliDbgPrint2(const char *format, ...) CLI_PRINTF(1, 2);
void CliPrintSectionHdr(char ch, uint8_t count, const char *format, ...) CLI_PRINTF(3, 4);
[[noreturn]] void CliPrintErrorFunc(const char *name);

// The hex renderers of clibase.h printed through CliPrint2.
void CliPrintHexStr(const void *data, uint32_t length, char separator);
void CliPrintHexStr2(const void *data, uint32_t length, char separator, uint8_t bytesPerLine,
                     uint8_t indent, uint32_t flags);
void CliPrintHexDump2(const void *data, uint32_t length, uint8_t unitsPerLine, uint8_t indent,
                      uint32_t flags);
void CliPrintHexDump(const void *data, uint32_t length, uint8_t unitsPerLine, uint32_t flags);

bool CliStreamRedirect(const char *path, FILE *stream, int32_t stdFd, bool writeMode,
                       CliStreamRedir *rec);
bool CliStreamRestore(CliStreamRedir *rec);
bool CliConsoleRedirect(const char *outPath, const char *errPath, const char *inPath);
bool CliConsoleRestore();

// ---------------------------------------------------------------------------
// Command-line options
// ---------------------------------------------------------------------------
// CliOptPreProcess splits argv into gCli->optSlots (one slot per option
// letter, in command-line order; arguments point into argv), sets errPrefix
// and progName from argv[0], and takes the runtime's own options: -h and -?
// (help, with an optional help argument) and -v (verbosity). The tool then
// walks the remaining slots with the handlers below and calls
// CliOptPostProcess. Every error ends the process through CliPrintErrorCli
// with status 1; none returns a failure.

// The help arguments: "test" (asks for the help password) and "oem".
extern const CliOptHelpEntry gCliOptHelpTable[];

// Returns 1 (0 only without CliInit).
bool CliOptPreProcess(int32_t argc, const char *const *argv);
// Shows the full help and exits with status 0 when help was asked for;
// otherwise shows the banner when verbose output is on. Returns 1.
bool CliOptPostProcess();
// Removes a slot of gCli->optSlots; later slots move down one place. A
// pointer outside the array is ignored.
void CliOptRemove(CliOptSlot *slot);
// The one row whose keyword the slot's argument abbreviates (ignoring
// case), or null when none or several do.
const CliOptHelpEntry *CliOptArgMatchTable(const CliOptSlot *slot, const CliOptHelpEntry *table);
// 1 when the argument abbreviates keyword with at least minLen characters.
bool CliOptArgMatch(const CliOptSlot *slot, const char *keyword, uint32_t minLen);

// Option handlers: each returns only when the slot is acceptable.
bool CliOptArgNotReqd(const CliOptSlot *slot);
bool CliOptArgReqd(const CliOptSlot *slot);
bool CliOptGetChannel(const CliOptSlot *slot); // argument into gCli->channel (1..65535)
void CliOptListDirectors(const CliOptSlot *slot);
void CliOptListAdapters(const CliOptSlot *slot);
bool CliOptNoMultiple(const CliOptSlot *slot); // no later slot has the same letter
[[noreturn]] void CliOptInvalid(const CliOptSlot *slot);

// ---------------------------------------------------------------------------
// Signals
// ---------------------------------------------------------------------------
// The table gCli->signalSlots is indexed by the portable signal index (see
// lib/cli/osx/os.h). Configure it after CliInit, then call CliSignalHook.

// Routes the index's signal to fn (a null fn ignores it). Index above 7: no-op.
void CliSignalInit(uint32_t index, CliSignalFn fn);
// Leaves the index's signal at the disposition the process inherited.
void CliSignalDefault(uint32_t index);
// Installs the dispositions of all eight indexes. Unconfigured SIGINT,
// SIGTERM and SIGQUIT are ignored; unconfigured SIGABRT and SIGKILL end the
// process at once with status 1 (CliTermExitFromSignal); unconfigured
// SIGHUP, SIGPIPE and SIGXFSZ keep the disposition the process inherited.
void CliSignalHook();
// The process-level handler behind every hooked signal.
void CliSignalHandler(int32_t sig);

// ---------------------------------------------------------------------------
// Prompts and progress
// ---------------------------------------------------------------------------
// Interactive prompts on stdout, answers read as lines (at most 31
// characters) from stdin. Each asks again until the answer is acceptable and
// returns 1 with it, or 0 when the read fails or stdin ends first; out is
// then left unchanged.
//
// One character, compared with allowed without regard to letter case and
// stored as typed; with allowed null or empty any answer of at most one
// character is taken (the empty answer as 0). out may be null.
bool CliSelectChar(const char *prompt, char *out, const char *allowed);
// "y"/"yes" stores 1 and "n"/"no" stores 0, in any letter case.
bool CliSelectBool(const char *prompt, bool *out);
// A number (decimal, or hexadecimal after "0x") within min..max. The answer
// cancel (may be null; compared without regard to letter case) returns 0.
bool CliSelectNum(const char *prompt, uint32_t *out, uint32_t min, uint32_t max,
                  const char *cancel);

// A one-line percentage display on stdout, shown only on a terminal and, for
// a non-zero level, only when that verbosity is enabled. Start writes the
// label and "0%" and returns 1 when the display is shown; increments redraw
// the number with backspaces when it changes (0 when no display is active);
// stop with newline set moves to a new line and ends the display, with
// newline 0 blanks label and number. Nothing is flushed.
bool CliProgressStart(uint32_t total, uint8_t level, const char *format, ...) CLI_PRINTF(3, 4);
bool CliProgressIncrement(uint32_t amount);
void CliProgressStop(bool newline);

// ---------------------------------------------------------------------------
// I/O control
// ---------------------------------------------------------------------------
// Requests to adapter drivers through their user client. A request is built
// in a resource record (CliIoctlInitTs returns its data area for the caller
// to fill) and sent through a handle (CliIoctlSendTs). The wire formats are
// in lib/cli/shared/cli_ioctl_wire.h. A null resource pointer means
// gCliIoctlBuffer everywhere.

// Request classes; kCliIoctlClassEnd ends the tool's class list.
inline constexpr uint32_t kCliIoctlClassInline = 0; // data inside the method buffers
inline constexpr uint32_t kCliIoctlClassRead = 1;   // data by address, driver to caller
inline constexpr uint32_t kCliIoctlClassWrite = 2;  // data by address, caller to driver
inline constexpr uint32_t kCliIoctlClassNone = 3;   // nothing is built or sent
inline constexpr uint32_t kCliIoctlClassCsmi = 4;
inline constexpr uint32_t kCliIoctlClassHba = 5;
inline constexpr uint32_t kCliIoctlClassVda = 6;
inline constexpr uint32_t kCliIoctlClassVsa = 7;
inline constexpr uint32_t kCliIoctlClassRaw = 8;
inline constexpr uint32_t kCliIoctlClassSized = 9; // counts for the payload size only
inline constexpr uint32_t kCliIoctlClassEnd = 10;

// Class 0 access kinds: 1 and 2 read, 4 and 8 write.
inline constexpr uint32_t kCliIoctlInlineMax = 3072; // largest class 0 data length
inline constexpr uint32_t kCliIoctlHbaPayloadMin = 512;
inline constexpr uint32_t kCliIoctlTunnelHdrSize = 64;
inline constexpr uint32_t kCliIoctlRemoteBlockSize = 416;

struct CliIoctlTunnelHdr;
struct CliIoctlRemoteBlock;

// The buffers and layout of one request at a time.
struct CliIoctlResource {
    void *inBuf;  // method input buffer
    void *outBuf; // method output buffer
    uint32_t inSize;
    uint32_t outSize;
    void *payload; // null when payloadSize is 0
    uint32_t payloadSize;
    uint32_t selector;                // method selector of the request built last
    void *classData;                  // where the class's data start
    CliIoctlRemoteBlock *remoteBlock; // remote delivery only
    CliIoctlTunnelHdr *tunnelHdr;     // tunnel mode only
    uint32_t dataOffset;              // tunnel mode: payload start to data area
    void *dataArea;                   // the request the caller fills
};

// A connection body shared by every copy of a handle.
struct CliIoctlConn {
    uint32_t ioConnect; // open user-client connection, 0 when none
    uint32_t connKind;  // remote delivery requires 1
    uint32_t refCount;
};

struct CliIoctlHandle {
    CliIoctlConn *conn;
    bool tunnelMode;       // wrap class 5 and 8 requests in a tunnel header
    bool remoteMode;       // with tunnelMode: deliver to a remote device
    uint8_t tunnelTag;     // copied into every tunnel header
    uint32_t remoteTarget; // copied into the remote block
    uint8_t remoteLun;     // copied into the remote block
};

extern CliIoctlResource gCliIoctlBuffer;

// 1 when the tool's class list names the class before its end marker.
bool CliIoctlIsSupported(uint32_t ioctlClass);
// Payload bytes that the declared classes 4 to 9 need; sets hbaPayloadMax.
uint32_t CliIoctlPayloadSize();
CliIoctlResource *CliIoctlRsrcGet();
// Clears the record and allocates its buffers. For the default record a
// failure ends the process; an explicit record reports 0.
bool CliIoctlRsrcAlloc(CliIoctlResource *rsrc);
void CliIoctlRsrcFree(CliIoctlResource *rsrc);
// Clears the handle and gives it a fresh connection body (count 1).
bool CliIoctlHndInit(CliIoctlHandle *hnd, uint32_t kind);
// Drops one reference; the last one closes the connection and frees the body.
void CliIoctlHndRelease(CliIoctlHandle *hnd);
// Lays out and pre-fills a request; returns its data area, or null when it
// does not fit the record's buffers.
void *CliIoctlInitTs(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass,
                     uint32_t access, uint32_t code, uint32_t extra);
void *CliIoctlInit(CliIoctlHandle *hnd, uint32_t ioctlClass, uint32_t access, uint32_t code,
                   uint32_t extra);
// Sends the request built last. statusOut (may be null) receives the driver's
// status word of a class 4 request.
bool CliIoctlSendTs(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t ioctlClass,
                    uint32_t subArg, uint32_t *statusOut);
bool CliIoctlSend(CliIoctlHandle *hnd, uint32_t ioctlClass, uint32_t subArg, uint32_t *statusOut);
bool CliIoctlSendRemote(CliIoctlHandle *hnd, CliIoctlResource *rsrc, uint32_t timeout);

// Fixed request lengths and versions by function code.
uint32_t CliIoctlCsmiGetLen(uint32_t code);
uint32_t CliIoctlHbaGetLen(uint32_t code);
uint8_t CliIoctlHbaGetVer(uint32_t code);
uint8_t CliIoctlVdaGetVer(uint32_t code);
uint8_t CliIoctlVsaGetVer(uint32_t code);

// ---------------------------------------------------------------------------
// Status and state texts
// ---------------------------------------------------------------------------
// Each function returns a constant, program-owned text for a driver status,
// state or rate code; a code outside its table gives the function's fallback
// ("Unknown status", "Unknown component" or "Unknown"). None allocates.

extern const char *const CliHwIoctlStsStr[17]; // hardware-interface IOCTL status
extern const char *const CliFmApiStsStr[16];   // firmware-update API status
extern const char *const CliFmApiCtStr[6];     // firmware component type
extern const char *const CliFmApiCsStr[5];     // firmware component status, by code + 1
extern const char *const gCliSptReqStsStr[11]; // SCSI pass-through request status

const char *CliIoctlHwiStsStr(uint8_t code);
const char *CliIoctlFmApiStsStr(uint8_t code);
const char *CliIoctlFmApiCtStr(uint8_t code);
const char *CliIoctlFmApiCsStr(uint8_t code); // 255 stands for -1 ("pending")
const char *CliIoctlVdaStsStr(int32_t code);
const char *CliIoctlSptReqStsStr(uint8_t code);
const char *CliIoctlHbaStateStr(uint32_t code);
const char *CliIoctlHbaLocStsStr(uint8_t code);
const char *CliIoctlHbaDevCtrlStsStr(uint8_t code);
const char *CliIoctlHbaPhyStateStr(uint8_t code);
const char *CliIoctlHbaDiscStateStr(uint8_t code);
const char *CliIoctlHbaLinkRateStr(uint8_t code);
const char *CliIoctlHbaFcTopStr(uint32_t code);
const char *CliIoctlHbaPortStateStr(uint8_t code);
