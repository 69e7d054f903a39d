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
        {unix_err(4000), "error 0x0000CFA0"},                       // no such errno
        {kIOReturnNoDevice, "the driver is not there"},
        {kIOReturnTimeout, "the driver did not answer in time"},
        {kIOReturnNotPermitted, "the driver is served by a process that is not trusted"},
        {kIOReturnAborted, "cut short by a stop"},
        {kIOReturnError, "general error (on the driver bus: an impossible reply)"},
        {KERN_SUCCESS, "success"},
        {static_cast<mach_error_t>(0xE00002D8), "error 0xE00002D8"}, // a driver's own
        {static_cast<mach_error_t>(0xE00002FF), "error 0xE00002FF"},
        {static_cast<mach_error_t>(0x12345678), "error 0x12345678"},
        {-1, "error 0xFFFFFFFF"},
    };
    for (const Case &c : cases) {
        const char *text = mach_error_string(c.code);
        ASSERT_NE(text, nullptr) << c.text;
        EXPECT_EQ(std::string(text), c.text);
    }
}

} // namespace
