// The tool hooks of the fuzz programs that stand in for a tool, and the
// seam through which a target survives the runtime's exit sequence: the
// runtime's every exit first calls the tool's clean-up hook CltExit, and
// while CatchExit runs a body, that hook jumps back into CatchExit instead
// of letting the process end.
#pragma once

#include <cstdint>

namespace fuzzsupport {

// The options text the stand-in tool's CltPrintOptions writes.
inline constexpr char kFuzzOptionsText[] = "\nOptions:\n\n -x                Fuzz option.\n\n";
inline constexpr uint32_t kFuzzToolRecordSize = 64;

// Runs body(context). Returns true when the body ended in the runtime's exit
// sequence (which was then cut short after CltExit: the runtime's records
// are still allocated and the caller releases them), false when it returned.
// The body's own frames must hold only trivially destructible objects,
// because they are left with longjmp.
bool CatchExit(void (*body)(void *), void *context);

// How many times CltExit ran in this process.
uint64_t ExitHookCalls();

} // namespace fuzzsupport
