#include "lib/cli/osx/ossys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "lib/cli/osx/osmessage.h"

namespace {

int RealOpen(const char *path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int RealStat(const char *path, struct stat *st) {
    return ::stat(path, st);
}
int RealFstat(int fd, struct stat *st) {
    return ::fstat(fd, st);
}
int RealStatx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *out) {
    return ::statx(dirfd, path, flags, mask, out);
}

} // namespace

// constexpr so that gOsSys below is constant-initialised: the seam works
// even for code that runs before dynamic initialisation.
constexpr OsSysTable gOsSysReal = {
    .calloc = ::calloc,
    .open = RealOpen,
    .close = ::close,
    .read = ::read,
    .write = ::write,
    .lseek = ::lseek,
    .fstat = RealFstat,
    .stat = RealStat,
    .mkdir = ::mkdir,
    .rename = ::rename,
    .unlink = ::unlink,
    .dup = ::dup,
    .dup2 = ::dup2,
    .fopen = ::fopen,
    .time = ::time,
    .statx = RealStatx,
    .clock_gettime = ::clock_gettime,
    .syslog_send = OsSysLogSend,
    .pthread_mutex_init = ::pthread_mutex_init,
    .pthread_cond_init = ::pthread_cond_init,
};

constinit OsSysTable gOsSys = gOsSysReal;
