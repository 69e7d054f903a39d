// Notification left out of the build: no service manager to tell.
#include "lib/cli/osx/osnotify.h"

#include <cerrno>

bool OsNotifyAvailable() {
    return false;
}

int OsNotifySend(const char *) {
    return ENOTCONN;
}

uint64_t OsNotifyWatchdogUsec() {
    return 0;
}
