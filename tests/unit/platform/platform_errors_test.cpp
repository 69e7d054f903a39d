// Texts of results: Unix errors carried by unix_err, the stand-in's own
// results, and any other number.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "lib/platform/iokit.h"

namespace {

TEST(ResultTexts, EveryResultHasAText) {
    struct Case {
        mach_error_t code;
        const char *text;
    };
    const Case cases[] = {
        {unix_err(EMFILE), "Too many open files"},
        {unix_err(ENFILE), "Too many open files in system"},
        {unix_err(ENOBUFS), "No buffer space available"},
        {unix_err(ENOMEM), "Cannot allocate memory"},
        {static_cast<mach_error_t>(0xC018), "Too many open files"}, // as the platform codes it
        {unix_err(4000), "a system error without a name"},          // no such errno
        {kIOReturnNoDevice, "the driver is not there"},
        {kIOReturnTimeout, "the driver did not answer in time"},
        {kIOReturnNotPermitted, "the driver is served by a process that is not trusted"},
        {kIOReturnAborted, "cut short by a stop"},
        {kDriverBusImpossibleReply, "an impossible reply on the driver bus"},
        {kDriverBusRefused, "the driver refuses connections"},
        {kDriverBusClosed, "the driver closed the connection"},
        {KERN_SUCCESS, "success"},
        // Only a driver gives these; the stand-in's results never look alike.
        {kIOReturnError, "the driver's own error 0xE00002BC: general error"},
        {kIOReturnNoMemory, "the driver's own error 0xE00002BD: no memory"},
        {static_cast<mach_error_t>(0xE00002D8), "the driver's own error 0xE00002D8"},
        {static_cast<mach_error_t>(0xE00002FF), "the driver's own error 0xE00002FF"},
        {static_cast<mach_error_t>(0x12345678), "the driver's own error 0x12345678"},
        {-1, "the driver's own error 0xFFFFFFFF"},
    };
    for (const Case &c : cases) {
        const char *text = mach_error_string(c.code);
        ASSERT_NE(text, nullptr) << c.text;
        EXPECT_EQ(std::string(text), c.text);
    }
}

} // namespace
