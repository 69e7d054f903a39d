// Taking a path apart: directory part, base name and extension.
//
// The directory separator is '/' only; the extension separator is '.', and
// a '.' counts only when it is not the first character of the base name.
#include <cstring>

#include "lib/cli/shared/clibase.h"

namespace {

// The base name of path: the text after its last '/', or all of path.
const char *BaseOf(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// The extension's '.' inside base, or null when the base name has none.
const char *DotOf(const char *base) {
    const char *dot = strrchr(base, '.');
    return dot == nullptr || dot == base ? nullptr : dot;
}

} // namespace

char *CliFBaseDir(char *dst, uint32_t size, const char *path) {
    if (dst == nullptr) {
        return path == nullptr ? nullptr : const_cast<char *>(BaseOf(path));
    }
    if (size == 0) {
        return nullptr; // not even room for the terminator
    }
    if (path == nullptr) {
        dst[0] = '\0';
        return dst;
    }
    size_t dirLen = static_cast<size_t>(BaseOf(path) - path);
    if (uint64_t{dirLen} + 1 > size) {
        return nullptr;
    }
    memcpy(dst, path, dirLen);
    dst[dirLen] = '\0';
    return dst + dirLen;
}

char *CliFBaseName(char *dst, uint32_t size, const char *path, bool withExt) {
    if (path == nullptr) {
        return nullptr;
    }
    const char *base = BaseOf(path);
    if (dst == nullptr || size == 0) {
        // The name cannot be shortened in place: without its extension it is
        // only available when there is no '.' in it at all.
        if (!withExt && strchr(base, '.') != nullptr) {
            return nullptr;
        }
        return const_cast<char *>(base);
    }
    const char *dot = withExt ? nullptr : DotOf(base);
    size_t len = dot == nullptr ? strlen(base) : static_cast<size_t>(dot - base);
    if (uint64_t{len} + 1 > size) {
        return nullptr;
    }
    memmove(dst, base, len);
    dst[len] = '\0';
    return dst;
}

char *CliFExt(char *dst, uint32_t size, const char *path, bool withDot) {
    if (path == nullptr) {
        return nullptr;
    }
    const char *dot = DotOf(BaseOf(path));
    const char *ext = dot == nullptr ? path + strlen(path) : (withDot ? dot : dot + 1);
    if (dst == nullptr || size == 0) {
        return const_cast<char *>(ext);
    }
    size_t len = strlen(ext);
    if (uint64_t{len} + 1 > size) {
        return nullptr;
    }
    memmove(dst, ext, len);
    memset(dst + len, 0, size - len);
    return dst;
}
