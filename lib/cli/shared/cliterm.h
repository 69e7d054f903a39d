// Line writers: split a message buffer at line ends and write it out.
#pragma once

#include <cstdarg>
#include <cstdint>

// Each stores a terminator at buffer[size - 1] and modifies the buffer.
void CliTermDispMsg(char *buffer, uint32_t size);     // stdout, no flush
void CliTermDispVerbose(char *buffer, uint32_t size); // stdout, then flush
void CliTermDispError(char *buffer, uint32_t size);   // stderr, errPrefix per line

// Full help, selected by the kCliHelp* flags.
void CliTermDispCliHelp(uint32_t flags);
// Options text, then the message as an error line (does not exit).
void CliTermDispCliError(const char *format, va_list args);
