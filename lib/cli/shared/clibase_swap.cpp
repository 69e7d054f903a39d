// Byte-order reversal of 16-, 32- and 64-bit values.
#include "lib/cli/shared/clibase.h"

uint16_t CliSwap2(uint16_t value) {
    return static_cast<uint16_t>((value << 8) | (value >> 8));
}

uint32_t CliSwap4(uint32_t value) {
    return (value << 24) | ((value & 0x0000FF00u) << 8) | ((value & 0x00FF0000u) >> 8) |
           (value >> 24);
}

uint64_t CliSwap8(uint64_t value) {
    return (uint64_t{CliSwap4(static_cast<uint32_t>(value))} << 32) |
           CliSwap4(static_cast<uint32_t>(value >> 32));
}
