// The OS layer's user-client transport and signal mapping.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Signal mapping
// ---------------------------------------------------------------------------
// The runtime speaks of five portable signal indexes: 0 SIGINT, 1 SIGTERM,
// 2 SIGABRT, 3 SIGQUIT, 4 SIGKILL. kOsSignalNone stands for any other signal.
inline constexpr uint32_t kOsSignalCount = 5;
inline constexpr int32_t kOsSignalNone = 5;

// A process-level handler; receives the POSIX signal number.
using OsSignalHandlerFn = void (*)(int32_t sig);

// The portable index of a POSIX signal number, or kOsSignalNone.
int32_t OsSignalGet(int32_t sig);
// Installs handler for the index's POSIX signal; a null handler ignores the
// signal. An index above 4 installs nothing; a refusal by the system (as for
// SIGKILL) is accepted silently.
void OsSignalHook(uint32_t index, OsSignalHandlerFn handler);

// ---------------------------------------------------------------------------
// User-client transport
// ---------------------------------------------------------------------------
// (declarations added with the I/O-control transport)
