// The one seam through which the code reaches the system calls that tests
// must be able to fail on purpose: production code calls gOsSys.x(...)
// instead of x(...). The table holds the real calls and is constant
// initialised, so the seam works even for code that runs before dynamic
// initialisation; only test and benchmark programs replace entries
// (tests/support/sys_faults.h fails the Nth call of any entry).
#pragma once

#include <pthread.h>
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
    // Also the service's writes to standard output.
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
    // The system log, one message sent without waiting (OsSysLogSend): 0
    // when the receiver took it, otherwise the error number.
    int (*syslog_send)(const char *ident, int facility, int priority, const char *text);
    // The service's wait primitives; they return an error number.
    int (*pthread_mutex_init)(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr);
    int (*pthread_cond_init)(pthread_cond_t *cond, const pthread_condattr_t *attr);
};

// The table in force; starts as the real system calls.
extern constinit OsSysTable gOsSys;
// The real system calls, for restoring and for replacements that pass
// through.
extern const OsSysTable gOsSysReal;
