#include "lib/cli/osx/osmessage.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kMaxText = 1024;

// The address of path; false when it does not fit.
bool AddressOf(const char *path, sockaddr_un *address, socklen_t *size) {
    size_t length = strlen(path);
    if (length == 0 || length >= sizeof address->sun_path) {
        return false;
    }
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, path, length);
    if (path[0] == '@') {
        address->sun_path[0] = '\0'; // abstract: no terminator belongs to the name
    }
    *size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (path[0] != '@'));
    return true;
}

// One record on a stream socket: connect and send must both go through at
// once, or the record is refused.
int StreamSend(const sockaddr_un &address, socklen_t size, const void *data, size_t length) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    char terminator = '\0';
    iovec parts[] = {{const_cast<void *>(data), length}, {&terminator, 1}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), size) != 0) {
        error = errno == EINPROGRESS ? EAGAIN : errno;
    } else {
        ssize_t sent = sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        error = sent < 0 ? errno : static_cast<size_t>(sent) < length + 1 ? EAGAIN : 0;
    }
    close(fd);
    return error;
}

// The socket each kind of message leaves from, made at its first send and
// kept for the life of the process: unconnected, it reaches whatever socket
// the path names at each send (a receiver that restarted too), and a message
// still gets out when the process has no descriptor left to make one. The
// datagrams a receiver leaves unread are charged to the socket that sent
// them, so each kind has its own: a stuck system log fills only its own
// socket and never keeps a notification back.
int SenderSocket(OsSender sender) {
    static int fds[] = {-1, -1};
    int &fd = fds[sender == OsSender::kNotify ? 1 : 0];
    if (fd < 0) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    return fd;
}

} // namespace

int OsDatagramSend(OsSender sender, const char *path, const void *data, size_t length) {
    sockaddr_un address;
    socklen_t size = 0;
    if (path == nullptr || !AddressOf(path, &address, &size)) {
        return EINVAL;
    }
    int fd = SenderSocket(sender);
    if (fd < 0) {
        return errno;
    }
    ssize_t sent = sendto(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr *>(&address), size);
    int error = sent < 0 ? errno : 0;
    if (error == EPROTOTYPE) {
        return StreamSend(address, size, data, length);
    }
    return error;
}

int OsSysLogSend(const char *ident, int facility, int priority, const char *text) {
    char stamp[32] = "";
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
        // The C library's form; %e pads the day with a blank.
        static constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d ", kMonths[local.tm_mon % 12],
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    }
    char datagram[kMaxText + 128];
    int length = snprintf(datagram, sizeof datagram, "<%d>%s%s: %.*s", facility | priority, stamp,
                          ident != nullptr ? ident : "", static_cast<int>(kMaxText),
                          text != nullptr ? text : "");
    if (length < 0) {
        return EINVAL;
    }
    size_t size = static_cast<size_t>(length) < sizeof datagram ? static_cast<size_t>(length)
                                                                : sizeof datagram - 1;
    return OsDatagramSend(OsSender::kSysLog, kOsSysLogPath, datagram, size);
}
