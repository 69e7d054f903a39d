// The seam through which the runtime reaches the system calls that tests
// must be able to fail on purpose. Production code calls gOsSys.x(...);
// a test swaps one entry (see OsSysOverride) to make the Nth call fail.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>

struct OsSysTable {
    void *(*calloc)(size_t count, size_t size);
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void *buf, size_t len);
    ssize_t (*write)(int fd, const void *buf, size_t len);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fstat)(int fd, struct stat *st);
    int (*stat)(const char *path, struct stat *st);
    int (*mkdir)(const char *path, mode_t mode);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    int (*dup)(int fd);
    int (*dup2)(int fd, int fd2);
    FILE *(*fopen)(const char *path, const char *mode);
    time_t (*time)(time_t *out);
    // statx(2); the length query asks it for the size alone.
    int (*statx)(int dirfd, const char *path, int flags, unsigned int mask, struct statx *out);
    // The rotating log's clock (a coarse monotonic one: no system call).
    int (*clock_gettime)(clockid_t clock, struct timespec *out);
};

// The table in force; starts as the real system calls.
extern OsSysTable gOsSys;
// The real system calls, for restoring and for overrides that pass through.
extern const OsSysTable gOsSysReal;

// Restores gOsSys to the real calls when it goes out of scope.
struct OsSysOverride {
    OsSysOverride() = default;
    OsSysOverride(const OsSysOverride &) = delete;
    OsSysOverride &operator=(const OsSysOverride &) = delete;
    ~OsSysOverride() { gOsSys = gOsSysReal; }
};
