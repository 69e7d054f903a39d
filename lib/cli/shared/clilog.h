// The rotating log: a text file with a size limit and numbered
// predecessors. When the current file reaches the limit it becomes number
// 01, older numbers move up by one, the oldest is deleted, and an empty
// current file takes its place. Nothing here prints; every operation returns
// a success flag.
#pragma once

#include <cstdint>

#include "lib/cli/osx/osfile.h"

inline constexpr uint32_t kCliLogPathSize = 1024;
inline constexpr uint32_t kCliLogBaseSize = 64;
inline constexpr uint32_t kCliLogExtSize = 16;
inline constexpr uint32_t kCliLogMaxFiles = 100;

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
};

// A new closed handle, or null: for a null path, a path of more than 1020
// characters, a base name of 64 or an extension of 16 characters or more,
// and a file count of 0 or above 100. With a size limit at least 2 files are
// kept. Nothing is opened or created on disk.
CliLogFile *CliLogInit(const char *path, uint32_t sizeLimit, uint32_t fileCount);
// Opens (or creates, with one missing directory level) the current file at
// its end, then checks the length, so a file already at the limit is rotated
// at once. Every failure leaves the handle closed.
bool CliLogOpen(CliLogFile *log);
bool CliLogIsOpen(const CliLogFile *log);
// Writes the bytes in one call and then checks the length. Fails without
// writing for a closed or null handle, null data or a length of 0. A 0
// after the write means the bytes are in the file but the length check or
// the rotation failed.
bool CliLogWrite(CliLogFile *log, const void *data, uint32_t length);
// Rotates when the file has reached the limit. A failed rotation leaves the
// handle closed with the files moved so far left where they are; the next
// rotation completes it.
bool CliLogCheckLength(CliLogFile *log);
void CliLogClose(CliLogFile *log); // null is ignored; the handle stays usable
void CliLogFree(CliLogFile **log); // closes, frees and empties the pointer
