// Tool hooks for the runtime's own test programs. They stand in for a tool
// and let a test see what the runtime called back.
#pragma once

#include <cstdint>

namespace testhooks {

// The options text CltPrintOptions writes.
inline constexpr char kOptionsText[] = "\nOptions:\n\n -x                Test option.\n\n";
inline constexpr char kDescriptionText[] = "Test tool description.";
inline constexpr char kExamplesText[] = "Examples: none.\n";
inline constexpr uint32_t kToolRecordSize = 48;

// How many times CltExit ran in this process. Each call also writes
// "CltExit\n" to the child side channel, so a test in a child process can
// count calls that happen during the exit itself.
extern int gExitCalls;

// Optional extra clean-up the test wants CltExit to run.
extern void (*gOnExit)();

} // namespace testhooks
