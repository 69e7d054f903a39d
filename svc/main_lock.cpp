// One service per log directory: two copies rotating the same files destroy
// each other's logs. Service mode holds an exclusive lock for as long as it
// runs, in the runtime directory that the service manager makes for it
// (not in the log directory, which an administrator may delete and make
// again while the service runs). The lock dies with its process, so a copy
// that died never keeps the next one out.
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/cli/shared/clifile.h"
#include "svc/clt.h"

namespace {

constexpr char kLockPath[] = "/run/trelvoxlogd/trelvoxlogd.pid";
// Open or create the lock file (and its directory), read and write.
constexpr uint32_t kLockFlags = 0x00130420;

} // namespace

void TakeServiceLock(CltGlobals *clt) {
    clt->lockHandle = CliFileOpen(kLockPath, kLockFlags);
    int32_t holder = 0;
    if (clt->lockHandle != nullptr && OsFileLockExclusive(clt->lockHandle, &holder)) {
        return;
    }
    int error = errno;
    if (error != EAGAIN) {
        // Nowhere to keep a lock (no /run, say): the service runs, unguarded.
        SysLog(LOG_WARNING, "Cannot lock %s (%s); a second copy of the service would go unnoticed",
               kLockPath, strerror(error));
        CliFileClose(clt->lockHandle);
        clt->lockHandle = nullptr;
        return;
    }
    char holderText[32] = "another process";
    if (holder > 0) {
        snprintf(holderText, sizeof holderText, "process %d", static_cast<int>(holder));
    }
    SysLog(LOG_ERR, "Another copy of the service (%s) is logging already", holderText);
    CliPrintError("Another copy of the service (%s) is logging already", holderText);
    CliExit(1);
}
