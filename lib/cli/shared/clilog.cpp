// The rotating log file.
#include "lib/cli/shared/clilog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "lib/cli/osx/osbase.h"
#include "lib/cli/shared/clibase.h"
#include "lib/cli/shared/clifile.h"

namespace {

// Open the current file keeping its contents, or create it; the writes go to
// its end, wherever someone else has left it.
constexpr uint32_t kOpenFlags = 0x00130420 | CliFileFlagAppend;
// Create the current file, or empty it.
constexpr uint32_t kCreateFlags = 0x00130120 | CliFileFlagAppend;
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

// The open file's identity and true size become the log's; false when they
// cannot be had.
bool Measure(CliLogFile *log) {
    OsFileIdentity identity;
    if (!OsFileGetIdentity(log->fileHandle, &identity)) {
        return false;
    }
    log->countedSize = identity.size;
    log->fileDevice = identity.device;
    log->fileInode = identity.inode;
    log->identityKnown = true;
    return true;
}

void StartCheckPeriod(CliLogFile *log, uint64_t nowMs) {
    log->checkedAtMs = nowMs;
    log->writtenSinceCheck = 0;
}

// The clock for the checks; an unreadable one reads 0, which makes the
// next write check again.
uint64_t NowMs() {
    uint64_t ms = 0;
    return OsGetCoarseMonotonicMs(&ms) ? ms : 0;
}

void SyncDirectory(const CliLogFile *log) {
    OsDirSync(log->dirName[0] != '\0' ? log->dirName : ".");
}

// Moves the current file to number 01 and the older ones up, then opens a
// new empty current file.
bool MoveAndStart(CliLogFile *log) {
    uint32_t top = log->rotatedOnce ? log->fileCount - 1 : kHighestNumber;
    if (ResumeIsSafe(log)) {
        top = log->resumeFrom - 1;
    }
    log->rotatedOnce = true;
    // The file that becomes number 01 is whole on disk before any name
    // moves; a failure to sync keeps nothing from rotating.
    OsFileSync(log->fileHandle);
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
    if (log->fileHandle == nullptr) {
        return false;
    }
    // The moves and the new file are made durable together: a power cut
    // after the rotation finds every file under its new name.
    SyncDirectory(log);
    log->countedSize = 0;
    log->identityKnown = false;
    Measure(log); // when it fails, the next check learns the identity
    StartCheckPeriod(log, NowMs());
    return true;
}

// A rotation cut short between two renames would leave a predecessor to be
// deleted one rotation early by the next run; signals wait until it is done.
bool Rotate(CliLogFile *log) {
    OsSignalHold hold;
    OsSignalsHold(&hold);
    bool rotated = MoveAndStart(log);
    OsSignalsRelease(&hold);
    return rotated;
}

// The file at the path, opened for appending (created, with one missing
// directory level, if need be) and positioned at its end; null on failure.
OsFile *OpenAtPath(const CliLogFile *log) {
    OsFile *handle = CliFileOpen(log->curPath, kOpenFlags);
    if (handle != nullptr && !CliFileSeekEnd(handle)) {
        CliFileClose(handle);
        return nullptr;
    }
    return handle;
}

// Makes handle the current file: its size is measured and the file rotated
// at once if it is at the limit. A failed length query is reported, with
// the handle left open; the next write then asks again.
bool Adopt(CliLogFile *log, OsFile *handle) {
    log->fileHandle = handle;
    log->identityKnown = false;
    bool measured = Measure(log);
    StartCheckPeriod(log, NowMs());
    if (log->sizeLimit == 0) {
        return true;
    }
    if (!measured) {
        log->countedSize = log->sizeLimit;
        return false;
    }
    return log->countedSize < log->sizeLimit || Rotate(log);
}

// The path names another file or none: the file at the path (created if
// missing) becomes the current one. When it cannot be opened, the text goes
// on into the open file as long as that still has a name (it was moved
// away); a deleted one would keep the text from everyone, so it is closed
// instead and the caller keeps the text.
void ReplaceFile(CliLogFile *log) {
    OsFile *handle = OpenAtPath(log);
    if (handle == nullptr) {
        int error = errno;
        OsFileIdentity open;
        if (!OsFileGetIdentity(log->fileHandle, &open) || open.links == 0) {
            CliLogClose(log);
        }
        errno = error; // why the path did not open
        return;
    }
    CliLogClose(log);
    Adopt(log, handle);
}

// Whether the path still names the open file. If so, the count takes the
// file's true size (someone may have truncated it or written to it); if not
// (deleted, moved away, replaced), the file at the path takes over. When
// the answer cannot be had, the text goes on into the open file.
void CheckPath(CliLogFile *log, uint64_t nowMs) {
    StartCheckPeriod(log, nowMs);
    OsFileIdentity atPath;
    if (OsFilePathIdentity(log->curPath, &atPath)) {
        if (!log->identityKnown && !Measure(log)) {
            return;
        }
        if (atPath.device == log->fileDevice && atPath.inode == log->fileInode) {
            log->countedSize = atPath.size;
            return;
        }
    } else if (errno != ENOENT && errno != ENOTDIR) {
        return;
    }
    ReplaceFile(log);
}

bool CheckIsDue(const CliLogFile *log, uint32_t length, uint64_t *nowMs) {
    return !OsGetCoarseMonotonicMs(nowMs) || *nowMs - log->checkedAtMs >= kCliLogCheckEveryMs ||
           log->writtenSinceCheck + length > kCliLogCheckEveryBytes;
}

// How many of the bytes go into the current file before it may have to be
// rotated: all of them, except with rotation at line ends, where a write
// that reaches the limit stops after the first line end from the limit on,
// and never goes past the limit plus the overrun.
uint32_t ChunkBeforeRotation(const CliLogFile *log, const char *bytes, uint32_t length) {
    if (!log->atLineEnds || log->sizeLimit == 0 || log->countedSize + length < log->sizeLimit) {
        return length;
    }
    uint64_t cap = uint64_t{log->sizeLimit} + log->maxOverrun;
    uint64_t room = log->countedSize < cap ? cap - log->countedSize : 1;
    uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(length, room));
    // The first byte at which the file reaches the limit.
    uint64_t from =
        log->countedSize + 1 >= log->sizeLimit ? 0 : log->sizeLimit - log->countedSize - 1;
    if (from < chunk) {
        const void *end = memchr(bytes + from, '\n', chunk - from);
        if (end != nullptr) {
            return static_cast<uint32_t>(static_cast<const char *>(end) - bytes) + 1;
        }
    }
    return chunk;
}

// The length check after a write: rotates when the counted size reaches the
// limit (with rotation at line ends, once a line has ended there or the file
// is the overrun past the limit) and the file's true size confirms it.
bool CheckAfterWrite(CliLogFile *log, bool lineEnded) {
    if (log->sizeLimit == 0 || log->countedSize < log->sizeLimit) {
        return true;
    }
    if (log->atLineEnds && !lineEnded &&
        log->countedSize < uint64_t{log->sizeLimit} + log->maxOverrun) {
        return true;
    }
    return CliLogCheckLength(log);
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
    OsFile *handle = OpenAtPath(log);
    return handle != nullptr && Adopt(log, handle);
}

bool CliLogReopen(CliLogFile *log) {
    return CliLogOpen(log);
}

bool CliLogIsOpen(const CliLogFile *log) {
    return log != nullptr && log->fileHandle != nullptr;
}

bool CliLogWrite(CliLogFile *log, const void *data, uint32_t length) {
    CliLogWriteResult result;
    return CliLogWriteSome(log, data, length, &result);
}

bool CliLogWriteSome(CliLogFile *log, const void *data, uint32_t length,
                     CliLogWriteResult *result) {
    *result = CliLogWriteResult{};
    if (log == nullptr || log->fileHandle == nullptr || data == nullptr || length == 0 ||
        length > INT32_MAX) {
        result->error = EINVAL;
        return false;
    }
    const char *bytes = static_cast<const char *>(data);
    // The common case in one write: no check due, the limit not reached,
    // and the disk takes every byte. Anything else goes on below, a failed
    // write with its error rather than written again.
    uint64_t nowMs = 0;
    int failed = 0;
    if (!CheckIsDue(log, length, &nowMs) &&
        (log->sizeLimit == 0 || log->countedSize + length < log->sizeLimit)) {
        uint32_t written = 0;
        errno = 0;
        if (!OsFileWrite(log->fileHandle, bytes, length, &written) || written == 0) {
            failed = errno != 0 ? errno : ENOSPC;
        } else {
            log->countedSize += written;
            log->writtenSinceCheck += written;
            result->placed = written;
            if (written == length) {
                return true;
            }
        }
    }
    bool rotatedAsFull = false;
    while (result->placed < length && result->error == 0) {
        const char *rest = bytes + result->placed;
        uint32_t left = length - result->placed;
        if (CheckIsDue(log, left, &nowMs)) {
            errno = 0;
            CheckPath(log, nowMs);
            if (log->fileHandle == nullptr) {
                result->error = errno != 0 ? errno : EIO;
                break;
            }
        }
        uint32_t chunk = ChunkBeforeRotation(log, rest, left);
        uint32_t written = 0;
        errno = failed;
        bool wrote = failed == 0 && OsFileWrite(log->fileHandle, rest, chunk, &written);
        failed = 0;
        if (!wrote || written == 0) {
            int error = errno != 0 ? errno : ENOSPC;
            if (error == EINTR) {
                continue;
            }
            // A file that may not grow is full whatever its size; at the
            // limit, a full disk is met by the rotation, which deletes the
            // oldest file. Once per call: a new file refused too is an error.
            bool full =
                error == EFBIG || ((error == ENOSPC || error == EDQUOT) && log->sizeLimit != 0 &&
                                   log->countedSize >= log->sizeLimit);
            if (full && log->sizeLimit != 0 && !rotatedAsFull) {
                rotatedAsFull = true;
                result->fileFull = error == EFBIG;
                if (!Rotate(log)) {
                    result->error = errno != 0 ? errno : EIO;
                }
                continue;
            }
            result->error = error;
            break;
        }
        log->countedSize += written;
        log->writtenSinceCheck += written;
        result->placed += written;
        // A write cut short rotates at the limit wherever the line stands.
        bool lineEnded = rest[written - 1] == '\n' || written < chunk;
        errno = 0;
        if (!CheckAfterWrite(log, lineEnded)) {
            result->error = errno != 0 ? errno : EIO;
        }
    }
    return result->placed == length && result->error == 0;
}

void CliLogRotateAtLineEnds(CliLogFile *log, uint32_t maxOverrun) {
    if (log != nullptr) {
        log->atLineEnds = true;
        log->maxOverrun = maxOverrun;
    }
}

bool CliLogCheckLength(CliLogFile *log) {
    if (log == nullptr || log->fileHandle == nullptr) {
        return false;
    }
    if (log->sizeLimit == 0) {
        return true;
    }
    // The full length: a file of 4 GiB and more must not look small.
    if (!Measure(log)) {
        return false;
    }
    return log->countedSize < log->sizeLimit || Rotate(log);
}

bool CliLogSync(CliLogFile *log) {
    if (log == nullptr || log->fileHandle == nullptr) {
        errno = EBADF;
        return false;
    }
    return OsFileSync(log->fileHandle);
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
