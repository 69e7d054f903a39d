// The rotating log file.
#include "lib/cli/shared/clilog.h"

#include <cerrno>
#include <climits>
#include <cstdio>

#include "lib/cli/shared/clibase.h"
#include "lib/cli/shared/clifile.h"

namespace {

// Open the current file keeping its contents, or create it.
constexpr uint32_t kOpenFlags = 0x00130420;
// Create the current file, or empty it.
constexpr uint32_t kCreateFlags = 0x00130120;
// Numbers 01 to 99 are recognised when stale files are swept.
constexpr uint32_t kHighestNumber = 99;

// The name of numbered file i: dirName, baseName, ".%02u", extName.
bool NumberedName(const CliLogFile *log, char *dst, uint32_t number) {
    bool joined;
    if (CliStrLen(log->dirName) < 2) {
        // "" (a name in the working directory) and "/" are refused as
        // directories by CliFileMakePath; the name is simply appended.
        joined = CliStrCpy(dst, kCliLogPathSize, log->dirName) &&
                 CliStrCat(dst, kCliLogPathSize, log->baseName);
    } else {
        joined = CliFileMakePath(dst, kCliLogPathSize, log->dirName, log->baseName);
    }
    char suffix[8];
    snprintf(suffix, sizeof suffix, ".%02u", number);
    return joined && CliStrCat(dst, kCliLogPathSize, suffix) &&
           CliStrCat(dst, kCliLogPathSize, log->extName);
}

// Moves one file of the rotation: number i (0: the current file) moves up
// by one, or is deleted when that would pass the highest number kept.
bool ShiftFile(CliLogFile *log, uint32_t i) {
    const char *src = log->curPath;
    if (i != 0) {
        if (!NumberedName(log, log->srcPath, i)) {
            return false;
        }
        src = log->srcPath;
    }
    if (!OsFileExists(src)) {
        // Only a file known to be absent is skipped: skipping one that is
        // there could let the next rename replace it, or the final open
        // empty the current file.
        return errno == ENOENT;
    }
    if (i < log->fileCount - 1) {
        return NumberedName(log, log->dstPath, i + 1) && OsFileRename(src, log->dstPath, true);
    }
    return OsFileDelete(src);
}

// Whether the rotation that failed at number resumeFrom - 1 can carry on
// from there: when it was deleting, always; when it was moving, only while
// the name it was moving to is still free.
bool ResumeIsSafe(CliLogFile *log) {
    if (log->resumeFrom == 0) {
        return false;
    }
    if (log->resumeFrom - 1 >= log->fileCount - 1) {
        return true;
    }
    return NumberedName(log, log->dstPath, log->resumeFrom) && !OsFileExists(log->dstPath) &&
           errno == ENOENT;
}

} // namespace

CliLogFile *CliLogInit(const char *path, uint32_t sizeLimit, uint32_t fileCount) {
    if (path == nullptr || uint64_t{CliStrSize(path)} + 3 > kCliLogPathSize || fileCount == 0 ||
        fileCount > kCliLogMaxFiles) {
        return nullptr;
    }
    CliLogFile *log = static_cast<CliLogFile *>(CliMemAlloc(sizeof(CliLogFile)));
    if (log == nullptr) {
        return nullptr;
    }
    log->sizeLimit = sizeLimit;
    log->fileCount = sizeLimit != 0 && fileCount < 2 ? 2 : fileCount;
    log->fileHandle = nullptr;
    if (!CliStrCpy(log->curPath, sizeof log->curPath, path) ||
        CliFileBaseDir(log->dirName, sizeof log->dirName, path) == nullptr ||
        CliFileBaseName(log->baseName, sizeof log->baseName, path, false) == nullptr ||
        CliFileExt(log->extName, sizeof log->extName, path, true) == nullptr) {
        CliMemFree(log);
        return nullptr;
    }
    return log;
}

bool CliLogOpen(CliLogFile *log) {
    if (log == nullptr) {
        return false;
    }
    CliLogClose(log);
    log->fileHandle = CliFileOpen(log->curPath, kOpenFlags);
    if (log->fileHandle == nullptr) {
        return false;
    }
    if (!CliFileSeekEnd(log->fileHandle)) {
        // Left open, the next write would land at the start of the file,
        // over what it already holds.
        CliLogClose(log);
        return false;
    }
    return CliLogCheckLength(log);
}

bool CliLogIsOpen(const CliLogFile *log) {
    return log != nullptr && log->fileHandle != nullptr;
}

bool CliLogWrite(CliLogFile *log, const void *data, uint32_t length) {
    if (log == nullptr || data == nullptr || length == 0 || length > INT32_MAX) {
        return false;
    }
    if (!CliFileWrite(log->fileHandle, data, static_cast<int32_t>(length))) {
        return false;
    }
    return CliLogCheckLength(log);
}

bool CliLogCheckLength(CliLogFile *log) {
    if (log == nullptr || log->fileHandle == nullptr) {
        return false;
    }
    if (log->sizeLimit == 0) {
        return true;
    }
    // The full length: a file of 4 GiB and more must not look small.
    uint64_t length = 0;
    if (!OsFileGetLength64(log->fileHandle, &length)) {
        return false;
    }
    if (length < log->sizeLimit) {
        return true;
    }
    uint32_t top = log->rotatedOnce ? log->fileCount - 1 : kHighestNumber;
    if (ResumeIsSafe(log)) {
        top = log->resumeFrom - 1;
    }
    log->rotatedOnce = true;
    CliLogClose(log);
    // From the highest number down, so that every move goes to a free name.
    for (uint32_t i = top + 1; i-- > 0;) {
        if (!ShiftFile(log, i)) {
            log->resumeFrom = i + 1;
            return false;
        }
    }
    log->resumeFrom = 0;
    log->fileHandle = CliFileOpen(log->curPath, kCreateFlags);
    return log->fileHandle != nullptr;
}

void CliLogClose(CliLogFile *log) {
    if (log != nullptr) {
        CliFileClose(log->fileHandle);
        log->fileHandle = nullptr;
    }
}

void CliLogFree(CliLogFile **log) {
    if (log == nullptr || *log == nullptr) {
        return;
    }
    CliLogClose(*log);
    CliMemFree(*log);
    *log = nullptr;
}
