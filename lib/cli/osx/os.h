// The OS layer's user-client transport and signal mapping.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Signal mapping
// ---------------------------------------------------------------------------
// (declarations added with the signal table)

// ---------------------------------------------------------------------------
// User-client transport
// ---------------------------------------------------------------------------
// (declarations added with the I/O-control transport)
