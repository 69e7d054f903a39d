// I/O-control handles and the connection body that their copies share.
#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"

bool CliIoctlHndInit(CliIoctlHandle *hnd, uint32_t kind) {
    if (hnd == nullptr) {
        return false;
    }
    *hnd = CliIoctlHandle{};
    auto *conn = static_cast<CliIoctlConn *>(CliMemAlloc(sizeof(CliIoctlConn)));
    if (conn == nullptr) {
        return false;
    }
    conn->ioConnect = 0;
    conn->connKind = kind;
    conn->refCount = 1;
    hnd->conn = conn;
    return true;
}

void CliIoctlHndRelease(CliIoctlHandle *hnd) {
    if (hnd == nullptr || hnd->conn == nullptr) {
        return;
    }
    CliIoctlConn *conn = hnd->conn;
    if (conn->refCount > 0) {
        --conn->refCount;
        if (conn->refCount == 0) {
            OsIoctlHndFree(hnd);
        }
    }
    if (conn->refCount == 0) {
        CliMemFree(conn);
        hnd->conn = nullptr;
    }
}
