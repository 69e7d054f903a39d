// The rotating log: a text file with a size limit and numbered
// predecessors. When the current file reaches the limit it becomes number
// 01, older numbers move up by one, the oldest is deleted, and an empty
// current file takes its place. Nothing here prints; every operation returns
// a success flag.
//
// Other programs may truncate, delete or move the current file while it is
// open (an administrator, or log rotation by copy and truncate). Every write
// goes to the file's end, so a truncation leaves no hole; and before a write,
// once a second or once 64 KiB have been written, the log checks that its
// path still names the open file: it takes the file's true size, and opens
// (or creates) the file at the path when the open one was deleted or moved
// away. Between checks the size is counted as it is written.
//
// A write that the file takes only in part (the disk is full, or the file
// may not grow any more) is no failure of the whole: what it placed stays
// placed, the length check follows, and the rest goes on into the file (a
// new one, when that check rotated); a file that refuses to grow (EFBIG) is
// full whatever its size, and is rotated.
#pragma once

#include <cstdint>

#include "lib/cli/osx/osfile.h"

inline constexpr uint32_t kCliLogPathSize = 1024;
inline constexpr uint32_t kCliLogBaseSize = 64;
inline constexpr uint32_t kCliLogExtSize = 16;
inline constexpr uint32_t kCliLogMaxFiles = 100;
// How often the path is checked against the open file: at the first write
// after this much time, or before the write that would take the bytes
// written since the last check beyond this many.
inline constexpr uint64_t kCliLogCheckEveryMs = 1000;
inline constexpr uint32_t kCliLogCheckEveryBytes = 65536;

struct CliLogFile {
    char curPath[kCliLogPathSize];  // the current log file, as configured
    char srcPath[kCliLogPathSize];  // work area: the numbered file being moved
    char dstPath[kCliLogPathSize];  // work area: its new name
    char dirName[kCliLogPathSize];  // directory part with its final '/'
    char baseName[kCliLogBaseSize]; // file name without directory or extension
    char extName[kCliLogExtSize];   // extension with its dot, or empty
    OsFile *fileHandle;             // the open current file; null while closed
    uint32_t sizeLimit;             // bytes; 0: no limit, no rotation
    uint32_t fileCount;             // files kept, the current one included
    bool rotatedOnce;               // the stale-number sweep has run
    // 0, or 1 + the number at which a failed rotation stopped: the next
    // rotation carries on from there instead of starting over, so that a
    // predecessor already moved up is not deleted a second time.
    uint32_t resumeFrom;
    // The current file's size: measured at open and at each check, plus the
    // bytes written since. The file itself is asked only when this reaches
    // the limit.
    uint64_t countedSize;
    // The open file's identity, to tell whether the path still names it.
    bool identityKnown;
    uint64_t fileDevice;
    uint64_t fileInode;
    // The last check of the path: when (coarse monotonic milliseconds), and
    // the bytes written since.
    uint64_t checkedAtMs;
    uint64_t writtenSinceCheck;
    // Rotation at line ends (CliLogRotateAtLineEnds): a file that reaches the
    // limit inside a line is rotated after the write that ends the line, but
    // never grows more than maxOverrun bytes past the limit.
    bool atLineEnds;
    uint32_t maxOverrun;
};

// What one CliLogWriteSome did.
struct CliLogWriteResult {
    uint32_t placed; // leading bytes now in the log's files: never to be written again
    int error;       // errno of what stopped the write or the check after it; 0: none
    bool fileFull;   // the file refused to grow (EFBIG) and was rotated
};

// A new closed handle, or null: for a null path, a path of more than 1020
// characters, a base name of 64 or an extension of 16 characters or more,
// and a file count of 0 or above 100. With a size limit at least 2 files are
// kept. Nothing is opened or created on disk.
CliLogFile *CliLogInit(const char *path, uint32_t sizeLimit, uint32_t fileCount);
// Opens (or creates, with one missing directory level) the current file for
// appending, then checks the length, so a file already at the limit is
// rotated at once. A failed open or rotation leaves the handle closed; a
// failed length query leaves it open and reports 0. An open handle is
// closed first.
bool CliLogOpen(CliLogFile *log);
// Closes the current file if it is open and opens the file at the path
// again, creating it when missing (after it was moved away, say), as
// CliLogOpen does; the rotation's state is kept.
bool CliLogReopen(CliLogFile *log);
bool CliLogIsOpen(const CliLogFile *log);
// Writes the bytes in one call at the end of the file and rotates when the
// counted size reaches the limit and the file's true size confirms it. When
// a check of the path is due it runs first (see above). Fails without
// writing for a closed or null handle, null data or a length of 0, and when
// the check found the file deleted and could not open a new one (the handle
// is then closed). A 0 after the write means the bytes are in the file but
// the length query or the rotation failed.
bool CliLogWrite(CliLogFile *log, const void *data, uint32_t length);
// CliLogWrite that places what it can and says how far it got: a short
// write is counted and followed by the length check, which may rotate (and,
// on a full disk, the rotation frees the oldest file), and the rest goes on
// into the current file; EFBIG rotates once. Stops at the first error that
// remains. True when every byte is placed and every check passed.
bool CliLogWriteSome(CliLogFile *log, const void *data, uint32_t length, CliLogWriteResult *result);
// From now on the handle rotates at line ends: when the limit is reached
// inside a line, only the bytes up to that line's end go into the file
// before it rotates, and the rest into the new one. A file without line ends
// rotates once it is maxOverrun bytes past the limit. A write cut short by
// a full disk may still end a file inside a line.
void CliLogRotateAtLineEnds(CliLogFile *log, uint32_t maxOverrun);
// Asks the file for its size and rotates when it has reached the limit. A
// failed rotation leaves the handle closed with the files moved so far left
// where they are; the next rotation completes it.
bool CliLogCheckLength(CliLogFile *log);
// Makes what was written to the current file durable (fdatasync); false,
// with errno, for a closed handle or a failed sync. A rotation makes itself
// durable: the old file is synced before it is renamed, and the directory
// once the new current file exists.
bool CliLogSync(CliLogFile *log);
void CliLogClose(CliLogFile *log); // null is ignored; the handle stays usable
void CliLogFree(CliLogFile **log); // closes, frees and empties the pointer
