// Descriptor files, file-system operations by name, attributes and times.
#include "lib/cli/osx/osfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/clibase.h"
#include "lib/platform/bsd_flags.h"

namespace {

// What OsFileOpen returns for a directory: not a handle.
OsFile gDirMarker = {-1, {}};

bool IsHandle(const OsFile *handle) {
    return handle != nullptr && handle != &gDirMarker;
}

OsFile *EnsureDirectory(const char *path) {
    int fd = gOsSys.open(path, O_RDONLY | O_DIRECTORY, 0);
    if (fd >= 0) {
        gOsSys.close(fd);
        return &gDirMarker;
    }
    if (errno != ENOENT) {
        return nullptr; // ENOTDIR and every other error
    }
    // Owner-only: a process without the capability to override permissions
    // (a service whose capabilities were dropped) must still be able to
    // create its files in the directory it made; nobody else gets in.
    return gOsSys.mkdir(path, 0700) == 0 ? &gDirMarker : nullptr;
}

// Asks about the open file fd, or (fd -1) the file path names, for the
// fields in mask alone and never for the times: the rotating log asks often,
// and on Linux 6.13 and later a file whose times have been looked at gets a
// fine-grained time stamp on its next write, which dirties the inode on
// every write (an fstat asks for the times). Where statx does not exist
// (ENOSYS) or a sandbox refuses it (EPERM), or it leaves out a field asked
// for, fstat or stat gives the same answer.
bool Query(int fd, const char *path, unsigned int mask, OsFileIdentity *out) {
    struct statx sx;
    int result = fd >= 0 ? gOsSys.statx(fd, "", AT_EMPTY_PATH, mask, &sx)
                         : gOsSys.statx(AT_FDCWD, path, 0, mask, &sx);
    if (result == 0) {
        if ((sx.stx_mask & mask) == mask) {
            out->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
            out->inode = sx.stx_ino;
            out->size = sx.stx_size;
            out->links = sx.stx_nlink;
            return true;
        }
    } else if (errno != ENOSYS && errno != EPERM) {
        return false;
    }
    struct stat st;
    if ((fd >= 0 ? gOsSys.fstat(fd, &st) : gOsSys.stat(path, &st)) != 0) {
        return false;
    }
    out->device = st.st_dev;
    out->inode = st.st_ino;
    out->size = static_cast<uint64_t>(st.st_size);
    out->links = st.st_nlink;
    return true;
}

constexpr unsigned int kIdentityMask = STATX_INO | STATX_SIZE | STATX_NLINK;

} // namespace

OsFile *OsFileOpen(const char *path, uint32_t flags) {
    if (path == nullptr) {
        return nullptr;
    }
    if ((flags & CliFileFlagDir) != 0) {
        return EnsureDirectory(path);
    }
    OsFile *handle = static_cast<OsFile *>(CliMemAlloc(sizeof(OsFile)));
    if (handle == nullptr) {
        return nullptr;
    }
    size_t keep = strnlen(path, kOsFilePathSize - 1);
    memcpy(handle->pathText, path, keep);
    handle->pathText[keep] = '\0';

    bool write = (flags & (CliFileFlagWrite | kOsFileFlagWriteAlt)) != 0;
    int osFlags = write ? O_RDWR : O_RDONLY;
    if ((flags & CliFileFlagCreateNew) != 0) {
        osFlags |= O_CREAT | O_EXCL;
    }
    if ((flags & CliFileFlagCreateAlways) != 0) {
        osFlags |= O_CREAT | O_TRUNC;
    }
    if ((flags & CliFileFlagOpenAlways) != 0) {
        osFlags |= O_CREAT;
    }
    if ((flags & CliFileFlagTruncate) != 0) {
        osFlags |= O_TRUNC;
    }
    if ((flags & CliFileFlagAppend) != 0) {
        osFlags |= O_APPEND;
    }
    mode_t mode = (osFlags & O_CREAT) != 0 ? (write ? 0644 : 0444) : 0;
    int fd = gOsSys.open(path, osFlags, mode);
    if (fd < 0) {
        int err = errno;
        CliMemFree(handle);
        errno = err;
        return nullptr;
    }
    handle->descriptor = fd;
    return handle;
}

void OsFileClose(OsFile *handle) {
    if (!IsHandle(handle)) {
        return;
    }
    gOsSys.close(handle->descriptor);
    CliMemFree(handle);
}

bool OsFileWrite(OsFile *handle, const void *data, uint32_t len, uint32_t *written) {
    if (!IsHandle(handle) || (data == nullptr && len != 0)) {
        return false;
    }
    ssize_t n = gOsSys.write(handle->descriptor, data, len);
    if (n < 0) {
        return false;
    }
    if (written != nullptr) {
        *written = static_cast<uint32_t>(n);
    }
    return true;
}

bool OsFileLockExclusive(OsFile *handle, int32_t *holder) {
    if (holder != nullptr) {
        *holder = 0;
    }
    if (!IsHandle(handle)) {
        errno = EBADF;
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(handle->descriptor, F_SETLK, &lock) != 0) {
        int error = errno == EACCES ? EAGAIN : errno;
        struct flock held {};
        held.l_type = F_WRLCK;
        held.l_whence = SEEK_SET;
        if (error == EAGAIN && holder != nullptr &&
            fcntl(handle->descriptor, F_GETLK, &held) == 0 && held.l_type != F_UNLCK) {
            *holder = held.l_pid > 0 ? held.l_pid : 0;
        }
        errno = error;
        return false;
    }
    char text[24];
    int length = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    // The number is for people to read; the lock is what counts.
    if (ftruncate(handle->descriptor, 0) == 0) {
        ssize_t ignored = pwrite(handle->descriptor, text, static_cast<size_t>(length), 0);
        (void)ignored;
    }
    return true;
}

bool OsFileRead(OsFile *handle, void *buf, uint32_t size, uint32_t *got) {
    if (!IsHandle(handle) || (buf == nullptr && size != 0)) {
        return false;
    }
    ssize_t n = gOsSys.read(handle->descriptor, buf, size);
    if (n < 0) {
        return false;
    }
    if (got != nullptr) {
        *got = static_cast<uint32_t>(n);
    }
    return true;
}

bool OsFileSeek(OsFile *handle, uint32_t offset, uint8_t origin) {
    if (!IsHandle(handle)) {
        return false;
    }
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    return gOsSys.lseek(handle->descriptor, static_cast<off_t>(offset), whence) != -1;
}

bool OsFileGetLength64(OsFile *handle, uint64_t *length) {
    OsFileIdentity identity;
    if (!IsHandle(handle) || length == nullptr ||
        !Query(handle->descriptor, nullptr, STATX_SIZE, &identity)) {
        return false;
    }
    *length = identity.size;
    return true;
}

bool OsFileGetIdentity(OsFile *handle, OsFileIdentity *identity) {
    return IsHandle(handle) && identity != nullptr &&
           Query(handle->descriptor, nullptr, kIdentityMask, identity);
}

bool OsFilePathIdentity(const char *path, OsFileIdentity *identity) {
    return path != nullptr && identity != nullptr && Query(-1, path, kIdentityMask, identity);
}

bool OsFileGetLength(OsFile *handle, uint32_t *length) {
    uint64_t full = 0;
    if (length == nullptr || !OsFileGetLength64(handle, &full)) {
        return false;
    }
    *length = static_cast<uint32_t>(full);
    return true;
}

bool OsFileGetAttributes(OsFile *handle, uint32_t *attrs) {
    struct stat st;
    if (!IsHandle(handle) || attrs == nullptr || gOsSys.fstat(handle->descriptor, &st) != 0) {
        return false;
    }
    uint32_t out = CliFileAttrOwnerRead;
    if ((st.st_mode & S_IWUSR) != 0) {
        out |= CliFileAttrOwnerWrite;
    }
    if ((st.st_mode & S_IXUSR) != 0) {
        out |= CliFileAttrOwnerExec;
    }
    if ((out & (CliFileAttrOwnerWrite | CliFileAttrOwnerExec)) == 0) {
        out |= CliFileAttrReadOnly;
    }
    const char *slash = strrchr(handle->pathText, '/');
    const char *last = slash == nullptr ? handle->pathText : slash + 1;
    if (last[0] == '.') {
        out |= CliFileAttrHidden;
    }
    if ((st.st_mode & 0x4000) != 0) { // directories; block devices and sockets too
        out |= CliFileAttrDir;
    }
    uint32_t fileFlags = 0;
    if (BsdFileFlags(handle->descriptor, &fileFlags) == 0 && (fileFlags & SF_ARCHIVED) != 0) {
        out |= CliFileAttrArchived;
    }
    *attrs = out;
    return true;
}

bool OsFileSetAttributes(const char *path, uint32_t attrs) {
    if (path == nullptr) {
        return false;
    }
    uint32_t fileFlags = 0;
    if ((attrs & CliFileAttrArchived) != 0) {
        fileFlags |= SF_ARCHIVED;
    }
    if ((attrs & CliFileAttrReadOnly) != 0) {
        fileFlags |= UF_IMMUTABLE | SF_IMMUTABLE;
    }
    mode_t mode = 0;
    if ((attrs & CliFileAttrOwnerRead) != 0) {
        mode |= S_IRUSR;
    }
    if ((attrs & CliFileAttrOwnerWrite) != 0) {
        mode |= S_IWUSR;
    }
    if ((attrs & CliFileAttrOwnerExec) != 0) {
        mode |= S_IXUSR;
    }
    bool setFlags = fileFlags != 0;
    bool setMode = mode != 0;
    // An immutable file refuses chmod: permissions go first when the flags
    // make the file immutable, and after the flags (which clear it) otherwise.
    bool modeFirst = (fileFlags & UF_IMMUTABLE) != 0;
    struct stat before;
    if (setMode && modeFirst) {
        if (gOsSys.stat(path, &before) != 0 || chmod(path, mode) != 0) {
            return false;
        }
    }
    if (setFlags && chflags(path, fileFlags) != 0) {
        if (setMode && modeFirst) { // a failure leaves the permissions as they were
            int err = errno;
            chmod(path, before.st_mode & 07777);
            errno = err;
        }
        return false;
    }
    if (setMode && !modeFirst) {
        return chmod(path, mode) == 0;
    }
    return true;
}

bool OsFileGetTimes(OsFile *handle, OsFt *creation, OsFt *modification, OsFt *access) {
    struct stat st;
    if (!IsHandle(handle) || gOsSys.fstat(handle->descriptor, &st) != 0) {
        return false;
    }
    if (creation != nullptr) {
        *creation = 0;
    }
    if (modification != nullptr) {
        *modification = st.st_mtime;
    }
    if (access != nullptr) {
        *access = st.st_atime;
    }
    return true;
}

bool OsFileSetTimes(OsFile *handle, OsFt creation, OsFt access, OsFt modification) {
    (void)creation;
    if (!IsHandle(handle)) {
        return false;
    }
    struct utimbuf times;
    times.actime = access;
    times.modtime = modification;
    return utime(handle->pathText, &times) == 0;
}

bool OsFileSync(OsFile *handle) {
    if (!IsHandle(handle)) {
        errno = EBADF;
        return false;
    }
    return fdatasync(handle->descriptor) == 0;
}

bool OsDirSync(const char *path) {
    int fd = gOsSys.open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool synced = fsync(fd) == 0;
    int error = errno;
    gOsSys.close(fd);
    errno = error;
    return synced;
}

bool OsFileExists(const char *path) {
    struct stat st;
    return path != nullptr && gOsSys.stat(path, &st) == 0;
}

bool OsFileDelete(const char *path) {
    return path != nullptr && gOsSys.unlink(path) == 0;
}

bool OsFileRename(const char *from, const char *to, bool overwrite) {
    if (from == nullptr || to == nullptr) {
        return false;
    }
    // rename replaces an existing plain file atomically; removing the target
    // beforehand would lose it whenever the rename then fails.
    if (gOsSys.rename(from, to) == 0) {
        return true;
    }
    int err = errno;
    bool inTheWay = err == ENOTDIR || err == EISDIR || err == EEXIST || err == ENOTEMPTY;
    struct stat st;
    if (!overwrite || !inTheWay || gOsSys.stat(from, &st) != 0 || gOsSys.stat(to, &st) != 0) {
        errno = err;
        return false;
    }
    gOsSys.unlink(to); // outcome ignored: the rename decides
    return gOsSys.rename(from, to) == 0;
}

void *OsFileFind() {
    return nullptr;
}

bool OsFileTimetToOsFt(uint32_t time, OsFt *ft) {
    if (ft == nullptr) {
        return false;
    }
    *ft = static_cast<OsFt>(time);
    return true;
}

bool OsFileOsFtToTimet(OsFt ft, uint32_t *time) {
    if (time == nullptr) {
        return false;
    }
    *time = static_cast<uint32_t>(ft);
    return true;
}

bool OsFileGetCurrentOsFt(OsFt *ft) {
    time_t now = gOsSys.time(nullptr);
    if (ft == nullptr || now == static_cast<time_t>(-1)) {
        return false;
    }
    *ft = now;
    return true;
}

bool OsFileOsFtToDosTime(OsFt ft, uint16_t *date, uint16_t *time) {
    time_t t = static_cast<time_t>(ft);
    struct tm tm;
    if (date == nullptr || time == nullptr || gmtime_r(&t, &tm) == nullptr) {
        return false;
    }
    *date = static_cast<uint16_t>(((tm.tm_year + 1900 - 1980) << 9) + ((tm.tm_mon + 1) << 5) +
                                  tm.tm_mday);
    *time = static_cast<uint16_t>((tm.tm_hour << 11) + (tm.tm_min << 5) + tm.tm_sec / 2);
    return true;
}

bool OsFileDosTimeToOsFt(uint16_t date, uint16_t time, OsFt *ft) {
    if (ft == nullptr) {
        return false;
    }
    struct tm tm = {};
    tm.tm_isdst = 0;
    tm.tm_sec = (time & 0x1F) * 2;
    tm.tm_min = (time >> 5) & 0x3F;
    tm.tm_hour = (time >> 11) & 0x1F;
    tm.tm_mday = date & 0x1F;
    tm.tm_mon = ((date >> 5) & 0x0F) - 1;
    tm.tm_year = 1980 + ((date >> 9) & 0x7F) - 1900;
    *ft = mktime(&tm);
    return true;
}
