// File handles: the OS file layer plus creation of a missing parent
// directory.
#include "lib/cli/shared/clifile.h"

#include <climits>
#include <cstring>

#include "lib/cli/osx/osfile.h"

namespace {

constexpr uint32_t kCreateFlags =
    CliFileFlagCreateAlways | CliFileFlagCreateNew | CliFileFlagOpenAlways;

// Makes sure the directory that holds path exists, creating it (one level)
// when missing. A path whose only '/' is its first character, or that has
// none, needs nothing.
bool EnsureParent(const char *path) {
    const char *slash = strrchr(path, '/');
    if (slash == nullptr || slash == path) {
        return true;
    }
    char dir[PATH_MAX];
    size_t len = static_cast<size_t>(slash - path) + 1; // the '/' included
    if (len >= sizeof dir) {
        return true; // no such directory can exist: the open itself fails
    }
    memcpy(dir, path, len);
    dir[len] = '\0';
    return OsFileOpen(dir, CliFileFlagDir) != nullptr;
}

} // namespace

OsFile *CliFileOpen(const char *path, uint32_t flags) {
    if (path == nullptr) {
        return nullptr;
    }
    if ((flags & CliFileFlagDir) == 0 && (flags & kCreateFlags) != 0 && !EnsureParent(path)) {
        return nullptr;
    }
    return OsFileOpen(path, flags);
}

void CliFileClose(OsFile *handle) {
    if (handle != nullptr) {
        OsFileClose(handle);
    }
}

bool CliFileWrite(OsFile *handle, const void *data, int32_t len) {
    if (handle == nullptr || len < 0) {
        return false;
    }
    uint32_t written = 0;
    return OsFileWrite(handle, data, static_cast<uint32_t>(len), &written) &&
           written == static_cast<uint32_t>(len);
}

bool CliFileSeekEnd(OsFile *handle) {
    return handle != nullptr && OsFileSeek(handle, 0, 2);
}

bool CliFileSeekCur(OsFile *handle, uint32_t offset) {
    return handle != nullptr && OsFileSeek(handle, offset, 1);
}

bool CliFileSeekSet(OsFile *handle, uint32_t offset) {
    return handle != nullptr && OsFileSeek(handle, offset, 0);
}

bool CliFileRead(OsFile *handle, int32_t offset, void *buf, uint32_t size, uint32_t *count) {
    if (handle == nullptr) {
        return false;
    }
    if (offset != -1 && !OsFileSeek(handle, static_cast<uint32_t>(offset), 0)) {
        return false;
    }
    uint32_t got = 0;
    if (!OsFileRead(handle, buf, size, &got)) {
        return false;
    }
    if (count != nullptr) {
        if (*count != 0 && *count != got) {
            return false;
        }
        *count = got;
    }
    return true;
}

bool CliFileGetLength(OsFile *handle, uint32_t *length) {
    if (length == nullptr) {
        return false;
    }
    *length = 0;
    return handle != nullptr && OsFileGetLength(handle, length);
}
