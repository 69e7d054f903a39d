// The base library: characters, bounded strings, heap blocks, number and
// data parsing, formatting, checksums, and the stream and path helpers.
//
// Strings are NUL-terminated bytes in the C locale. Every function that
// writes text into caller memory takes the destination's size in bytes and
// succeeds only if the text and its terminator fit.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#ifndef CLI_PRINTF
#define CLI_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

// ---------------------------------------------------------------------------
// Characters, strings and memory
// ---------------------------------------------------------------------------

bool CliChIsLower(char ch);
bool CliChIsUpper(char ch);
bool CliChIsDigit(char ch);
bool CliChIsHexDigit(char ch);
bool CliChIsAlpha(char ch);
bool CliChIsWhite(char ch);                   // TAB, LF, CR and space only
bool CliChIsPrint(char ch);                   // 0x20 to 0x7E
bool CliChIsMember(char ch, const char *set); // NUL is never a member

char CliChToUpper(char ch);
char CliChToLower(char ch);
void CliStrToUpper(char *str);
void CliStrToLower(char *str);

uint32_t CliStrLen(const char *str);  // null has length 0
uint32_t CliStrSize(const char *str); // length + 1; null has size 0

// All-or-nothing: on failure nothing is written. CliStrCpy fills the whole
// destination (NUL padding). A null source needs no room: CliStrCpy stores
// the empty text, CliStrCat leaves the destination alone.
bool CliStrCpy(char *dst, uint32_t dstSize, const char *src);
bool CliStrCat(char *dst, uint32_t dstSize, const char *src);
bool CliChCat(char *dst, uint32_t dstSize, char ch);
// Copies srcLen bytes with leading white space and trailing white space or
// NUL dropped; overlap-safe. On lack of room dst holds the empty text.
bool CliStrCpyAndTrim(char *dst, uint32_t dstSize, const void *src, uint32_t srcLen);
// Copies src resolving the escapes \a \b \f \n \r \t \v \" \' \? and \\.
bool CliStrCpyAndEsc(char *dst, uint32_t dstSize, const char *src);

char *CliStrTrim(char *str); // returns the new terminator's address
void CliStrRmvChar(char *str, char ch);

char *CliStrSearchCs(const char *str, const char *needle);
char *CliStrSearchCi(const char *str, const char *needle);
char *CliStrSearchReverseCs(const char *str, const char *needle);
char *CliStrSearchReverseCi(const char *str, const char *needle);

void *CliMemAlloc(uint64_t size); // zero-filled; null for size 0
void CliMemFree(void *block);
void CliStrFree(char *str);
char *CliStrDup(const char *str);
char *CliStrAlloc(const char *format, ...) CLI_PRINTF(1, 2);
// Replaces *block by a zero-filled block of newSize carrying the old bytes.
uint64_t CliMemGrow(void **block, uint64_t oldSize, uint64_t newSize);

// ---------------------------------------------------------------------------
// Number and data parsing
// ---------------------------------------------------------------------------
// (declarations added with the number parsers)

// ---------------------------------------------------------------------------
// Text formatting and hex dumps
// ---------------------------------------------------------------------------
// (declarations added with the formatters)

// ---------------------------------------------------------------------------
// Checksums, CRC-32, byte order and month names
// ---------------------------------------------------------------------------
// (declarations added with the checksums)

// ---------------------------------------------------------------------------
// File streams
// ---------------------------------------------------------------------------

FILE *CliFOpen(const char *path, const char *mode); // null for a null path
void CliFClose(FILE *stream);                       // ignores null
void CliFFlush(FILE *stream);                       // ignores null

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------
// (declarations added with the path functions)
