// Path joining and separator conversion; the splitting functions under the
// file module's names.
#include "lib/cli/shared/clibase.h"
#include "lib/cli/shared/clifile.h"

namespace {

constexpr uint32_t kWorkSize = 1024;

void SlashesForward(char *text) {
    for (; *text != '\0'; ++text) {
        if (*text == '\\') {
            *text = '/';
        }
    }
}

} // namespace

char *CliFileBaseDir(char *dst, uint32_t size, const char *path) {
    return CliFBaseDir(dst, size, path);
}

char *CliFileBaseName(char *dst, uint32_t size, const char *path, bool withExt) {
    return CliFBaseName(dst, size, path, withExt);
}

char *CliFileExt(char *dst, uint32_t size, const char *path, bool withDot) {
    return CliFExt(dst, size, path, withDot);
}

bool CliFileMakePath(char *dst, uint32_t size, const char *dir, const char *name) {
    if (dst == nullptr || size == 0) {
        return false;
    }
    char work[kWorkSize];
    if (!CliStrCpy(work, sizeof work, dir)) {
        return false;
    }
    CliStrTrim(work);
    if (!CliStrCpy(dst, size, work)) {
        return false;
    }
    SlashesForward(dst);
    if (CliStrLen(dst) < 2) {
        return false;
    }
    if (dst[CliStrLen(dst) - 1] != '/' && !CliStrCat(dst, size, "/")) {
        return false;
    }
    if (name == nullptr) {
        return true;
    }
    if (!CliStrCpy(work, sizeof work, name)) {
        return false;
    }
    CliStrTrim(work);
    SlashesForward(work);
    return CliStrCat(dst, size, work);
}

void CliFileConvertPath(char *path, char sep) {
    if (path == nullptr) {
        return;
    }
    if (sep != '\\') {
        sep = '/';
    }
    for (; *path != '\0'; ++path) {
        if (*path == '/' || *path == '\\') {
            *path = sep;
        }
    }
}
