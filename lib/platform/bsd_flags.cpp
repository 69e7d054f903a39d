// BSD file flags over the inode attribute ioctls.
#include "lib/platform/bsd_flags.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr uint32_t kImmutable = UF_IMMUTABLE | SF_IMMUTABLE;

// The inode attributes of fd, or -1 with errno (EOPNOTSUPP when the file
// system has none).
int GetInodeFlags(int fd, int *attr) {
    if (ioctl(fd, FS_IOC_GETFLAGS, attr) != 0) {
        if (errno == ENOTTY || errno == EINVAL) {
            errno = EOPNOTSUPP;
        }
        return -1;
    }
    return 0;
}

} // namespace

int chflags(const char *path, uint32_t flags) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if ((flags & ~kImmutable) != 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int attr = 0;
    int rc = GetInodeFlags(fd, &attr);
    if (rc == 0) {
        int want = (flags & kImmutable) != 0 ? (attr | FS_IMMUTABLE_FL) : (attr & ~FS_IMMUTABLE_FL);
        if (want != attr && ioctl(fd, FS_IOC_SETFLAGS, &want) != 0) {
            if (errno == ENOTTY) {
                errno = EOPNOTSUPP;
            }
            rc = -1;
        }
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

int BsdFileFlags(int fd, uint32_t *flags) {
    uint32_t out = 0;
    int attr = 0;
    int rc = GetInodeFlags(fd, &attr);
    if (rc == 0 && (attr & FS_IMMUTABLE_FL) != 0) {
        out = kImmutable;
    }
    if (flags != nullptr) {
        *flags = out;
    }
    return rc;
}
