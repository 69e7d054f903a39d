// File handles over the OS file layer, and the path functions built on the
// base library's path splitting.
#pragma once

#include <cstdint>

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
