// The OS file layer: unbuffered descriptor files opened with the runtime's
// portable open flags, file-system operations by name, the portable
// attribute word, and file-time conversions.
//
// Operations return a success flag (or null) and report nothing; after a
// failed system call errno is left as the system set it.
#pragma once

#include <cstdint>
#include <ctime>

// ---------------------------------------------------------------------------
// Open flags (combined by OR)
// ---------------------------------------------------------------------------

// The path names a directory that must exist; it is created (one level, no
// permission bits) if missing. No handle results; all other bits are ignored.
inline constexpr uint32_t CliFileFlagDir = 0x00000001;
inline constexpr uint32_t CliFileFlagCreateAlways = 0x00000100; // create or empty
inline constexpr uint32_t CliFileFlagCreateNew = 0x00000200;    // create; fail if it exists
inline constexpr uint32_t CliFileFlagOpenAlways = 0x00000400;   // open or create; keep contents
inline constexpr uint32_t CliFileFlagAppend = 0x00000800;       // every write goes to the end
inline constexpr uint32_t CliFileFlagTruncate = 0x00001000;     // empty an existing file
inline constexpr uint32_t CliFileFlagRead = 0x00010000;         // every handle can read
inline constexpr uint32_t CliFileFlagWrite = 0x00020000;        // read and write access
inline constexpr uint32_t kOsFileFlagWriteAlt = 0x00200000;     // same as CliFileFlagWrite

// ---------------------------------------------------------------------------
// Attribute word
// ---------------------------------------------------------------------------

inline constexpr uint32_t CliFileAttrDir = 0x00000001;        // read only: mode bit 14
inline constexpr uint32_t CliFileAttrArchived = 0x00000002;   // SF_ARCHIVED
inline constexpr uint32_t CliFileAttrHidden = 0x00000004;     // read only: name starts with '.'
inline constexpr uint32_t CliFileAttrReadOnly = 0x00000008;   // read: no owner write or execute;
                                                              // written: the immutable flags
inline constexpr uint32_t CliFileAttrOwnerRead = 0x00010000;  // 0400 (always read as set)
inline constexpr uint32_t CliFileAttrOwnerWrite = 0x00020000; // 0200
inline constexpr uint32_t CliFileAttrOwnerExec = 0x00040000;  // 0100

// ---------------------------------------------------------------------------
// Handles and times
// ---------------------------------------------------------------------------

// Seconds since 1970-01-01 00:00:00 UTC.
typedef int64_t OsFt;
static_assert(sizeof(time_t) == sizeof(OsFt), "OsFt is the platform's time_t");

inline constexpr uint32_t kOsFilePathSize = 1024;

// An open file. pathText keeps (at most 1023 characters of) the path it was
// opened with, for the operations that work by name.
struct OsFile {
    int32_t descriptor;
    char pathText[kOsFilePathSize];
};

// A handle, or null. With CliFileFlagDir the result only marks success: it
// is not a handle and is never used or closed (OsFileClose ignores it).
OsFile *OsFileOpen(const char *path, uint32_t flags);
// Closes the descriptor and frees the handle (null is ignored).
void OsFileClose(OsFile *handle);
// One write / read call, no retry: 1 with the bytes transferred in the
// optional out-value (0 at end of file for a read), 0 when the call fails.
bool OsFileWrite(OsFile *handle, const void *data, uint32_t len, uint32_t *written);
bool OsFileRead(OsFile *handle, void *buf, uint32_t size, uint32_t *got);
// origin 0: from the start, 1: from the current position, else from the end.
bool OsFileSeek(OsFile *handle, uint32_t offset, uint8_t origin);
// The file's size, low 32 bits.
bool OsFileGetLength(OsFile *handle, uint32_t *length);
// The file's full size (for callers that must not be misled by the wrap of
// OsFileGetLength).
bool OsFileGetLength64(OsFile *handle, uint64_t *length);

// What tells one file from another, with its size and its number of names.
struct OsFileIdentity {
    uint64_t device;
    uint64_t inode;
    uint64_t size;
    uint64_t links; // 0 for a file that was deleted while open
};
// The identity of the open file, and of the file that path names now
// (symbolic links followed; errno tells ENOENT from other failures).
bool OsFileGetIdentity(OsFile *handle, OsFileIdentity *identity);
bool OsFilePathIdentity(const char *path, OsFileIdentity *identity);

bool OsFileGetAttributes(OsFile *handle, uint32_t *attrs);
// By name: applies the archived/read-only flags and the owner permission
// bits the word asks for (group and other permissions are cleared). 1 when
// the word asks for nothing that can be applied.
bool OsFileSetAttributes(const char *path, uint32_t attrs);
// creation is always 0; modification and access from the descriptor.
bool OsFileGetTimes(OsFile *handle, OsFt *creation, OsFt *modification, OsFt *access);
// Sets access and modification time of the file named by pathText;
// creation is ignored. Note the order differs from OsFileGetTimes.
bool OsFileSetTimes(OsFile *handle, OsFt creation, OsFt access, OsFt modification);

// Takes the exclusive lock of the open file (a record lock on all of it,
// held until the handle is closed or the process ends, never inherited by
// a child) and writes the process id into it, for people to read. False when
// it cannot be had: errno EAGAIN when another process holds it, whose
// process id is then in *holder (0 when it cannot be told, as for a holder
// in another PID namespace).
bool OsFileLockExclusive(OsFile *handle, int32_t *holder);

// Makes what was written to the open file durable (its data, and the
// metadata needed to read it back: fdatasync); false with errno on failure.
bool OsFileSync(OsFile *handle);
// Makes the directory's entries durable (names created, renamed and
// deleted in it); false with errno on failure.
bool OsDirSync(const char *path);

bool OsFileExists(const char *path); // files and directories alike
bool OsFileDelete(const char *path);
// Renames from to to; a plain file named to is replaced in either mode.
// With overwrite, a target that the rename cannot replace by itself is
// removed first; a failed rename never removes the target.
bool OsFileRename(const char *from, const char *to, bool overwrite);
// File search is not offered on this platform: always null.
void *OsFileFind();

bool OsFileTimetToOsFt(uint32_t time, OsFt *ft); // zero-extends
bool OsFileOsFtToTimet(OsFt ft, uint32_t *time); // keeps the low 32 bits
bool OsFileGetCurrentOsFt(OsFt *ft);
// MS-DOS date and time of ft in UTC; years outside 1980-2107 wrap.
bool OsFileOsFtToDosTime(OsFt ft, uint16_t *date, uint16_t *time);
// The instant of a DOS date and time read as local standard time (mktime
// with daylight saving time not in effect); mktime's -1 is stored as is.
bool OsFileDosTimeToOsFt(uint16_t date, uint16_t time, OsFt *ft);
