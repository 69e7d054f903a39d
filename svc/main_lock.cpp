// One service per log directory: two copies rotating the same files destroy
// each other's logs. Service mode holds two exclusive locks for as long as it
// runs, both released by the system when the process ends, so a copy that
// died never keeps the next one out:
// - the lock file in the runtime directory that the service manager makes
//   for it, which names the holder for the copy it keeps out;
// - the log directory itself, locked through a descriptor of its own. The
//   lock file and its directory can be deleted under a running copy (the
//   service manager removes its runtime directory when a copy it started
//   stops); the log directory a copy writes into cannot be, while that copy
//   has its files open in it.
// Every second the service checks that both paths still name what it locked
// and takes the lock again on what they name now; when another copy holds
// it, this copy stops. The checks touch the log directory, and so run where
// the log file is written: on the log's writer.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lib/cli/shared/clifile.h"
#include "svc/clt.h"

namespace {

constexpr char kLockPath[] = "/run/trelvoxlogd/trelvoxlogd.pid";
// Open or create the lock file (and its directory), read and write.
constexpr uint32_t kLockFlags = 0x00130420;
constexpr uint64_t kCheckEveryMs = 1000;

enum class Lock { kTaken, kHeldElsewhere, kUnavailable };

// What the checks of every thread share, under gMutex (gNextCheckMs is read
// without it, so that a check that is not due costs one load).
std::mutex gMutex;
std::atomic<uint64_t> gNextCheckMs{0};
int gDirFd = -1; // the locked log directory
// Whether gDirFd holds a lock: until it does, every check is due, so that
// the directory is locked before the first line is written into it.
std::atomic<bool> gDirHeld{false};
OsFileIdentity gDirIdentity;
bool gFileWarned = false; // the lock file could not be had, and that was said

// Takes the lock file at its path; *holder names another copy that has it.
Lock LockFile(CltGlobals *clt, int32_t *holder, int *error) {
    OsFile *handle = CliFileOpen(kLockPath, kLockFlags);
    if (handle != nullptr && OsFileLockExclusive(handle, holder)) {
        CliFileClose(clt->lockHandle);
        clt->lockHandle = handle;
        return Lock::kTaken;
    }
    *error = errno;
    CliFileClose(handle);
    return *error == EAGAIN ? Lock::kHeldElsewhere : Lock::kUnavailable;
}

// The directory the log file is in; false when the path names none.
bool LogDirectory(const CltGlobals *clt, char *dir, size_t size) {
    const char *slash = strrchr(clt->logPath, '/');
    if (slash == nullptr || static_cast<size_t>(slash - clt->logPath) + 2 > size) {
        return false;
    }
    size_t length = slash == clt->logPath ? 1 : static_cast<size_t>(slash - clt->logPath);
    memcpy(dir, clt->logPath, length);
    dir[length] = '\0';
    return true;
}

// Takes the lock of the log directory, made as the log file makes it when
// it is missing (the service's alone), so that the lock is held before the
// first line is written.
Lock LockDirectory(const char *dir, int *error) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && mkdir(dir, 0700) == 0) {
        fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    struct stat st;
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &st) != 0) {
        *error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return *error == EWOULDBLOCK ? Lock::kHeldElsewhere : Lock::kUnavailable;
    }
    if (gDirFd >= 0) {
        close(gDirFd);
    }
    gDirFd = fd;
    gDirHeld.store(true);
    gDirIdentity =
        OsFileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, 0};
    return Lock::kTaken;
}

bool SameFile(const OsFileIdentity &a, const OsFileIdentity &b) {
    return a.device == b.device && a.inode == b.inode;
}

// Whether the path still names the file this copy holds locked.
bool StillHeld(OsFile *handle, const char *path) {
    OsFileIdentity held;
    OsFileIdentity now;
    return handle != nullptr && OsFileGetIdentity(handle, &held) &&
           OsFilePathIdentity(path, &now) && SameFile(held, now);
}

void HolderText(int32_t holder, char *text, size_t size) {
    if (holder > 0) {
        snprintf(text, size, "process %d", static_cast<int>(holder));
    } else {
        snprintf(text, size, "another process");
    }
}

} // namespace

void TakeServiceLock(CltGlobals *clt) {
    std::lock_guard<std::mutex> guard(gMutex);
    int32_t holder = 0;
    int error = 0;
    Lock file = LockFile(clt, &holder, &error);
    if (file == Lock::kUnavailable) {
        // Nowhere to keep a lock file (no /run, say): the log directory's
        // lock still keeps a second copy out once the directory exists.
        SysLog(LOG_WARNING, "Cannot lock %s (%s); a second copy of the service would go unnoticed",
               kLockPath, strerror(error));
        gFileWarned = true;
    }
    // The log directory's lock is taken by the first check, on the thread
    // that owns the log's file system (the log's writer), before the log
    // file is first opened: a stalled log disk must not hold up the start.
    if (file == Lock::kHeldElsewhere) {
        char holderText[32];
        HolderText(holder, holderText, sizeof holderText);
        SysLog(LOG_ERR, "Another copy of the service (%s) is logging already", holderText);
        CliPrintError("Another copy of the service (%s) is logging already", holderText);
        CliExit(1);
    }
    gNextCheckMs.store(0);
}

void KeepServiceLock(CltGlobals *clt) {
    if (!clt->serviceMode) {
        return; // application mode writes no log directory
    }
    uint64_t now = CltNowMs();
    if (now < gNextCheckMs.load(std::memory_order_relaxed) && gDirHeld.load()) {
        return;
    }
    std::lock_guard<std::mutex> guard(gMutex);
    if (now < gNextCheckMs.load() && gDirHeld.load()) {
        return; // another thread checked meanwhile
    }
    gNextCheckMs.store(now + kCheckEveryMs);
    int32_t holder = 0;
    int error = 0;
    Lock file = Lock::kTaken;
    if (!StillHeld(clt->lockHandle, kLockPath)) {
        file = LockFile(clt, &holder, &error);
        if (file == Lock::kTaken) {
            SysLog(LOG_WARNING, "The lock %s was removed; the service took it again", kLockPath);
            gFileWarned = false;
        } else if (file == Lock::kUnavailable && !gFileWarned) {
            SysLog(LOG_WARNING,
                   "Cannot lock %s (%s); a second copy of the service would go unnoticed",
                   kLockPath, strerror(error));
            gFileWarned = true;
        }
    }
    char dir[sizeof clt->logPath];
    OsFileIdentity nowDir;
    bool named = LogDirectory(clt, dir, sizeof dir) && OsFilePathIdentity(dir, &nowDir);
    bool ownDir = named && gDirFd >= 0 && SameFile(nowDir, gDirIdentity);
    if (file == Lock::kHeldElsewhere && ownDir) {
        // A copy started after the lock file was deleted took the new one;
        // the log directory is still this copy's, and that copy stops at
        // its own check of it. The file is taken again once it is free.
        file = Lock::kTaken;
        gNextCheckMs.store(now + kCheckEveryMs / 4);
    }
    // A missing directory is made by the lock, as the log file would make it.
    if (file != Lock::kHeldElsewhere && !ownDir && LogDirectory(clt, dir, sizeof dir) &&
        LockDirectory(dir, &error) == Lock::kHeldElsewhere) {
        file = Lock::kHeldElsewhere;
    }
    if (file == Lock::kHeldElsewhere) {
        // Another copy logs into the same directory now. Stop at once, from
        // whichever thread found it, without another byte into its files.
        char holderText[32];
        HolderText(holder, holderText, sizeof holderText);
        SysLog(LOG_ERR, "Another copy of the service (%s) took the lock; this copy stops",
               holderText);
        _exit(1);
    }
}
