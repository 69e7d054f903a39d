// Stand-in for the BSD file flags (chflags and the st_flags field of stat),
// which this platform does not have. The two immutable flags map to the
// inode's immutable attribute where the file system supports it; every
// other flag has no counterpart here and makes chflags fail, never succeed
// without effect.
#pragma once

#include <cstdint>

inline constexpr uint32_t UF_IMMUTABLE = 0x00000002; // file may not be changed
inline constexpr uint32_t SF_ARCHIVED = 0x00010000;  // file is archived
inline constexpr uint32_t SF_IMMUTABLE = 0x00020000; // file may not be changed

// Sets the file flags of path to exactly flags (following symbolic links):
// 0, or -1 with errno set. EOPNOTSUPP for a flag without counterpart and for
// a file system without the immutable attribute; nothing is changed then.
// Inode attributes that have no BSD flag are left as they are.
int chflags(const char *path, uint32_t flags);

// The BSD view of an open file's flags: UF_IMMUTABLE | SF_IMMUTABLE when the
// inode is immutable, otherwise 0. Returns 0, or -1 with errno set (and
// *flags 0) when the file system keeps no such attributes.
int BsdFileFlags(int fd, uint32_t *flags);
