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
// Byte order: unconditional reversal, whatever the host's order.
uint16_t CliSwap2(uint16_t value);
uint32_t CliSwap4(uint32_t value);
uint64_t CliSwap8(uint64_t value);

// Additive checksums. Words are read in the host's byte order from data at
// any alignment; the dword sums ignore 1 to 3 trailing bytes.
uint8_t CliCalcByteCksum(const void *data, uint32_t length, uint8_t initial);
uint32_t CliCalcDwordCksum(const void *data, uint32_t length, uint32_t initial);
// Stores *field minus (initial + sum of the data) into *field and returns
// it. The field may lie inside the data: the same sum over the updated data
// is then 0.
uint8_t CliUpdateByteCksum(const void *data, uint32_t length, uint8_t initial, uint8_t *field);
uint32_t CliUpdateDwordCksum(const void *data, uint32_t length, uint32_t initial, uint32_t *field);
// XOR of every data byte and of the four bytes of initial.
uint8_t CliCalcByteXorCksum(const void *data, uint32_t length, uint32_t initial);

// CRC-32 with polynomial 0x04C11DB7, register preset to all ones, no
// reflection, final XOR with all ones. The CRC of no data is 0.
extern const uint32_t CliCrc32Lookup[256];
uint32_t CliCalcCrc32(const void *data, uint32_t length);

// English month names; CliGetMonthStr answers 1 to 12 with a name and every
// other number with the empty text (never null).
extern const char *const CliMonthStr[12];
const char *CliGetMonthStr(uint32_t month);

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
