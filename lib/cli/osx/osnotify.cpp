// Notification through the datagram socket that systemd names in
// NOTIFY_SOCKET: a path, or an abstract name after '@'. Sent from the OS
// layer's own socket without waiting, so a service manager that does not
// read never holds the service up, and from a socket that no system-log
// message ever fills.
#include "lib/cli/osx/osnotify.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/cli/osx/osmessage.h"

namespace {

const char *SocketPath() {
    static const char *path = [] {
        const char *value = getenv("NOTIFY_SOCKET");
        return value != nullptr && (value[0] == '/' || value[0] == '@') ? value : nullptr;
    }();
    return path;
}

} // namespace

bool OsNotifyAvailable() {
    return SocketPath() != nullptr;
}

int OsNotifySend(const char *text) {
    if (SocketPath() == nullptr) {
        return ENOTCONN;
    }
    return OsDatagramSend(OsSender::kNotify, SocketPath(), text, strlen(text));
}

uint64_t OsNotifyWatchdogUsec() {
    const char *usec = getenv("WATCHDOG_USEC");
    const char *pid = getenv("WATCHDOG_PID");
    if (usec == nullptr || (pid != nullptr && strtoll(pid, nullptr, 10) != getpid())) {
        return 0;
    }
    return strtoull(usec, nullptr, 10);
}
