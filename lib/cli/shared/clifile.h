// File handles over the OS file layer, and the path functions built on the
// base library's path splitting.
#pragma once

#include <cstdint>

#include "lib/cli/osx/osfile.h"

// ---------------------------------------------------------------------------
// File handles
// ---------------------------------------------------------------------------

// Opens path with the open-flag word (osfile.h). When the flags ask for the
// file to be created, its parent directory is created first if missing
// (only the immediate parent). Null for a null path and on failure.
OsFile *CliFileOpen(const char *path, uint32_t flags);
void CliFileClose(OsFile *handle); // ignores null
// One write call; 1 only when exactly len bytes were written. A negative
// len fails without writing.
bool CliFileWrite(OsFile *handle, const void *data, int32_t len);
// Seeks only move forward: the offset is taken as unsigned.
bool CliFileSeekEnd(OsFile *handle);
bool CliFileSeekCur(OsFile *handle, uint32_t offset);
bool CliFileSeekSet(OsFile *handle, uint32_t offset);
// Reads up to size bytes in one call, after seeking to offset from the
// start unless offset is -1. When count is given and holds a non-zero value,
// exactly that many bytes must arrive; on success count receives the number
// read. 0 on a failed seek or read or a wrong count (the bytes read are in
// buf even then).
bool CliFileRead(OsFile *handle, int32_t offset, void *buf, uint32_t size, uint32_t *count);
// Sets length to 0, then the file's size (low 32 bits).
bool CliFileGetLength(OsFile *handle, uint32_t *length);

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------

// The same as CliFBaseDir, CliFBaseName and CliFExt (clibase.h).
char *CliFileBaseDir(char *dst, uint32_t size, const char *path);
char *CliFileBaseName(char *dst, uint32_t size, const char *path, bool withExt);
char *CliFileExt(char *dst, uint32_t size, const char *path, bool withDot);

// Builds dir, '/', name into dst. dir and name are trimmed of white space
// and their backslashes become '/'; a '/' is added after dir unless it ends
// in one; name may be null (dst is then the directory with its '/'). Fails
// for a directory shorter than 2 characters (so "", "." and "/" are
// refused), for dir or name of 1024 characters or more, and when the result
// does not fit in size. After a failure dst may hold the directory part.
bool CliFileMakePath(char *dst, uint32_t size, const char *dir, const char *name);
// Rewrites every '/' and backslash of path to sep ('/' or backslash; any
// other value counts as '/'). A null path is ignored.
void CliFileConvertPath(char *path, char sep);
