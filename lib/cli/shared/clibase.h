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
// The reverse for text from outside: writes src with C-style escapes (a
// doubled backslash for the backslash, \n \r \t, and \xHH in lower-case
// hex for every other byte below 0x20, for 0x7f and for every byte of 0x80
// and above), so that the result is printable ASCII (and so valid UTF-8)
// and one line. Always NUL-terminates when size > 0 and never cuts an escape
// in half: what does not fit is left off whole. True when all of src
// fitted; a null src is the empty text.
bool CliStrEscape(char *dst, uint32_t size, const char *src);

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
// Every conversion works byte by byte in the C locale, returns 1 on success
// and writes its result only on success.

// Whole-text tests: 1 when every byte belongs to the class (or, with
// allowWhite, is white space). The empty text passes; the text must not be null.
bool CliStrIsHex(const char *str, bool allowWhite);          // 0-9 A-F a-f
bool CliStrIsNumeric(const char *str, bool allowWhite);      // 0-9
bool CliStrIsAlpha(const char *str, bool allowWhite);        // A-Z a-z
bool CliStrIsAlphanumeric(const char *str, bool allowWhite); // 0-9 A-Z a-z

// Scanners: return a pointer into str (the terminator when nothing stops them).
char *CliStrSkipWhite(const char *str);           // first byte that is not white
char *CliStrSkipNonWhite(const char *str);        // first white byte
char *CliStrSkipNum(const char *str, bool isHex); // first byte that is not a digit

// Whole-text integer conversions. The text is optional white space, an
// optional sign, digits, optional white space. It is hexadecimal when "0x"
// (either case) stands at the first or second byte of the number (after a
// sign); otherwise decimal (a leading zero is not octal). A '-' before an
// unsigned value negates it modulo the width. A null text or a null result
// pointer fails.
bool CliStrToSByte(const char *text, int8_t *out);
bool CliStrToSWord(const char *text, int16_t *out);
bool CliStrToSDword(const char *text, int32_t *out);
bool CliStrToSQword(const char *text, int64_t *out);
bool CliStrToByte(const char *text, uint8_t *out);
bool CliStrToWord(const char *text, uint16_t *out);
bool CliStrToDword(const char *text, uint32_t *out);
bool CliStrToQword(const char *text, uint64_t *out);
// The C library's strtod syntax between optional white space; fails when the
// conversion overflows or underflows.
bool CliStrToDouble(const char *text, double *out);

// Parses a list of values into maxUnits units of unitSize bytes (1, 2 or 4,
// host byte order). Values are separated by white space and by any byte of
// separators (null: none); with ranges, "a-b" (a < b) stands for a..b. With
// a null separator set and radix 16 the text is packed hexadecimal, two
// digits per byte of a unit, each value optionally prefixed by "0x".
// count (optional): 0 on entry for any number of units, otherwise the exact
// number required; receives the number stored on success. On failure out
// keeps the units stored so far and count is not written.
bool CliStrToData(const char *text, void *out, uint32_t maxUnits, uint32_t *count,
                  const char *separators, uint8_t radix, uint8_t unitSize, bool ranges);
// CliStrToData with unit size 1, ranges off, radix 10 or 16.
bool CliStrToDecimalBytes(const char *text, void *out, uint32_t maxUnits, uint32_t *count,
                          const char *separators);
bool CliStrToHexBytes(const char *text, void *out, uint32_t maxUnits, uint32_t *count,
                      const char *separators);

// ---------------------------------------------------------------------------
// Text formatting and hex dumps
// ---------------------------------------------------------------------------
// Bounded printf: 1 when the whole text and its terminator fit; otherwise 0
// with the truncated, terminated text (nothing at all for size 0). The Cat
// forms format behind the text already in the buffer; they return 0 without
// writing when the buffer holds no terminator within size.
bool CliSprintStr(char *buffer, uint32_t size, const char *format, ...) CLI_PRINTF(3, 4);
bool CliSprintStrV(char *buffer, uint32_t size, const char *format, va_list args) CLI_PRINTF(3, 0);
bool CliSprintStrCat(char *buffer, uint32_t size, const char *format, ...) CLI_PRINTF(3, 4);
bool CliSprintStrCatV(char *buffer, uint32_t size, const char *format, va_list args)
    CLI_PRINTF(3, 0);

// Writes value in decimal, with a ',' between groups of three digits when
// grouping is set (at most 21 bytes, 27 with grouping). Returns the address
// of the terminator written; when the text does not fit it stores the empty
// text (size permitting) and returns null.
char *CliSprintDecimal(char *buffer, uint32_t size, uint64_t value, bool grouping);
// Writes a byte count in the largest fitting unit of 1024: "512  B", "1 KB",
// "1.46 KB", "3.50 TB". Same result rule as CliSprintStr.
bool CliSprintCapacity(char *buffer, uint32_t size, uint64_t bytes);

// Flags of the hex strings with line structure.
inline constexpr uint32_t kCliHexStrChars = 0x0001; // bytes as characters
inline constexpr uint32_t kCliHexStrNoFirstIndent = 0x0002;

// Flags of the hex dumps.
inline constexpr uint32_t kCliHexDumpWords = 0x0002;        // 16-bit units, "%04X"
inline constexpr uint32_t kCliHexDumpDwords = 0x0004;       // 32-bit units, "%08X"
inline constexpr uint32_t kCliHexDumpUnitPrefix = 0x0010;   // "0x" before every unit
inline constexpr uint32_t kCliHexDumpAddrPrefix = 0x0020;   // "0x" in the address column
inline constexpr uint32_t kCliHexDumpOffsetPrefix = 0x0040; // "0x" in the offset column
inline constexpr uint32_t kCliHexDumpAddress = 0x0100;
inline constexpr uint32_t kCliHexDumpOffset = 0x0200;
inline constexpr uint32_t kCliHexDumpChars = 0x0400;
inline constexpr uint32_t kCliHexDumpNoFirstIndent = 0x0800;
inline constexpr uint32_t kCliHexDumpPacked = 0x1000; // no space between units

// Hex renderers. The buffer forms (CliSprint...) build the text element by
// element and stop at the first element that does not fit: 0, and the
// buffer holds the terminated text written so far. They never write past
// size, and size 0 always fails. The renderers with line structure clear
// the buffer first and succeed with the empty text when there is nothing to
// show; a count per line of 0 with data to show fails with the empty text.
// The Cat forms render behind the text already in the buffer. The console
// forms (CliPrintHex..., cli.h) print the same text through CliPrint2.
bool CliSprintHexStr(char *buffer, uint32_t size, const void *data, uint32_t length,
                     char separator);
bool CliSprintHexStrCat(char *buffer, uint32_t size, const void *data, uint32_t length,
                        char separator);

bool CliSprintHexStr2(char *buffer, uint32_t size, const void *data, uint32_t length,
                      char separator, uint8_t bytesPerLine, uint8_t indent, uint32_t flags);
bool CliSprintHexStr2Cat(char *buffer, uint32_t size, const void *data, uint32_t length,
                         char separator, uint8_t bytesPerLine, uint8_t indent, uint32_t flags);

bool CliSprintHexDump2(char *buffer, uint32_t size, const void *data, uint32_t length,
                       uint8_t unitsPerLine, uint8_t indent, uint32_t flags);
bool CliSprintHexDump(char *buffer, uint32_t size, const void *data, uint32_t length,
                      uint8_t unitsPerLine, uint32_t flags);
bool CliSprintHexDump2Cat(char *buffer, uint32_t size, const void *data, uint32_t length,
                          uint8_t unitsPerLine, uint8_t indent, uint32_t flags);
bool CliSprintHexDumpCat(char *buffer, uint32_t size, const void *data, uint32_t length,
                         uint8_t unitsPerLine, uint32_t flags);

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

// Every function below fails (0) for a null stream.
bool CliFWrite(FILE *stream, const void *data, uint32_t len); // all len bytes or 0
bool CliFSeekEnd(FILE *stream);
// Forward from the current position / to an absolute position.
bool CliFSeekCur(FILE *stream, uint64_t offset);
bool CliFSeekSet(FILE *stream, uint64_t offset);
// One line with its '\n' into buf (size counts the terminator, at least 1);
// a longer line comes back in pieces. *atEnd (optional) tells whether the
// stream is at end of file afterwards. 0 only on a read error; end of file,
// even with nothing read, is success with an empty or partial text.
bool CliFReadLine(FILE *stream, char *buf, uint32_t size, bool *atEnd);
// As CliFReadLine, but the text is cut at its first LF and then at its first
// CR, so the line end never appears in buf.
bool CliFGetLine(FILE *stream, char *buf, uint32_t size, bool *atEnd);
// Seeks to the end and reports that position; the stream stays at its end.
bool CliFGetLength64(FILE *stream, uint64_t *length);
// Low 32 bits of the length; a length whose low 32 bits are all ones fails.
bool CliFGetLength(FILE *stream, uint32_t *length);
// Reads up to len bytes from the absolute offset. When count is given and
// holds a non-zero value, that many bytes must be available from offset or
// the call fails. On success count (if given) receives the bytes read; when
// nothing is available from offset the call succeeds and leaves it alone.
bool CliFRead(FILE *stream, uint64_t offset, void *buf, uint32_t len, uint32_t *count);

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------
// A path splits at its last '/' into the directory part (with the '/') and
// the base name; the extension follows the base name's last '.' unless that
// '.' is its first character. Only '/' separates directories.
//
// With dst: copies the directory part into dst and returns the address of
// its terminator (dst itself, emptied, when there is no '/'); null, writing
// nothing, when it does not fit or size is 0. Without dst: the address of
// the base name inside path (null for a null path).
char *CliFBaseDir(char *dst, uint32_t size, const char *path);
// With dst and size: copies the base name (without its extension unless
// withExt) and returns dst, or null, writing nothing, when it does not fit.
// Without dst or size: the base name inside path, which includes any
// extension, so a request without extension gives null when the base name
// contains a '.' anywhere. A null path gives null.
char *CliFBaseName(char *dst, uint32_t size, const char *path, bool withExt);
// With dst and size: copies the extension (from its '.' when withDot) and
// zero-fills the rest of dst; returns dst (the empty text when there is no
// extension), or null, writing nothing, when it does not fit. Without dst
// or size: the extension inside path, or the terminator of path when there
// is none. A null path gives null.
char *CliFExt(char *dst, uint32_t size, const char *path, bool withDot);
