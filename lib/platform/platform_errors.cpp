// Texts of results: the C library's description of a Unix error carried by
// unix_err, a plain description of the results the stand-in gives, and for
// any other, a driver's own, its number and the platform's name for it. Every text is constant or
// built into a buffer of the calling thread: nothing is allocated, and any thread may ask.
#include <array>
#include <cstdio>
#include <cstring>

#include "lib/platform/iokit.h"

namespace {

struct ResultText {
    mach_error_t code;
    const char *text;
};

constexpr ResultText kTexts[] = {
    {kIOReturnSuccess, "success"},
    {kIOReturnBadArgument, "invalid argument"},
    {kIOReturnUnsupported, "not supported"},
    {kIOReturnNotOpen, "the connection is not open"},
    {kIOReturnNoDevice, "the driver is not there"},
    {kIOReturnTimeout, "the driver did not answer in time"},
    {kIOReturnAborted, "cut short by a stop"},
    {kIOReturnNotPermitted, "the driver is served by a process that is not trusted"},
    {kDriverBusImpossibleReply, "an impossible reply on the driver bus"},
    {kDriverBusRefused, "the driver refuses connections"},
    {kDriverBusClosed, "the driver closed the connection"},
    // Only drivers give these: the stand-in never does.
    {kIOReturnError, "the driver's own error 0xE00002BC: general error"},
    {kIOReturnNoMemory, "the driver's own error 0xE00002BD: no memory"},
    {kIOReturnNotResponding, "the driver's own error 0xE00002ED: not responding"},
};

// Where the error subsystem for Unix errors puts its codes: (3 << 14) | errno.
constexpr mach_error_t kUnixErrBase = unix_err(0);
constexpr mach_error_t kUnixErrMask = ~static_cast<mach_error_t>(0x3FFF);

// "the driver's own error 0xE00002XX" for the common results of drivers,
// made when the program is built.
constexpr uint32_t kCommonBase = 0xE0000200u;
constexpr size_t kCommonCount = 256;
constexpr char kDriverPrefix[] = "the driver's own error 0x";
constexpr size_t kPrefixLength = sizeof kDriverPrefix - 1;
constexpr size_t kNumberTextSize = kPrefixLength + 8 + 1;
using NumberText = std::array<char, kNumberTextSize>;

constexpr NumberText MakeNumberText(uint32_t code) {
    NumberText text{};
    for (size_t i = 0; i < kPrefixLength; ++i) {
        text[i] = kDriverPrefix[i];
    }
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < 8; ++i) {
        text[kPrefixLength + i] = kDigits[(code >> (28 - 4 * i)) & 0xF];
    }
    text[kPrefixLength + 8] = '\0';
    return text;
}

constexpr std::array<NumberText, kCommonCount> MakeCommonTexts() {
    std::array<NumberText, kCommonCount> texts{};
    for (size_t i = 0; i < kCommonCount; ++i) {
        texts[i] = MakeNumberText(kCommonBase + static_cast<uint32_t>(i));
    }
    return texts;
}

constexpr std::array<NumberText, kCommonCount> kCommonTexts = MakeCommonTexts();

thread_local NumberText tOtherText;

} // namespace

const char *mach_error_string(mach_error_t error) {
    for (const ResultText &entry : kTexts) {
        if (entry.code == error) {
            return entry.text;
        }
    }
    if ((error & kUnixErrMask) == kUnixErrBase) {
        // A static text, or null for a number the C library does not know.
        const char *text = strerrordesc_np(error & 0x3FFF);
        return text != nullptr ? text : "a system error without a name";
    }
    uint32_t code = static_cast<uint32_t>(error);
    if (code - kCommonBase < kCommonCount) {
        return kCommonTexts[code - kCommonBase].data();
    }
    tOtherText = MakeNumberText(code);
    return tOtherText.data();
}
