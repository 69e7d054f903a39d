// Messages to the daemons that look after a service: the system log and the
// service manager's notification socket. Each message is one datagram on a
// Unix-domain socket, sent without waiting: a receiver that has stopped
// reading (stuck, restarting) never holds the sender up; it refuses the
// message instead, and the sender decides what to do about that.
#pragma once

#include <cstddef>

// Where the C library sends the system log.
inline constexpr char kOsSysLogPath[] = "/dev/log";

// Who sends: each has a socket of its own, so that messages one receiver
// leaves unread never hold up those for another.
enum class OsSender { kSysLog, kNotify };

// Sends one datagram to the socket at path (a first '@' names the abstract
// namespace) without waiting, from the sender's own socket, kept open for the purpose. 0 when the
// receiver took it, otherwise the error number: EAGAIN or ENOBUFS while its queue is full, ENOENT
// or ECONNREFUSED when nobody receives there. A path that names a stream socket gets the bytes and
// a NUL terminator as one record.
int OsDatagramSend(OsSender sender, const char *path, const void *data, size_t length);

// Sends one message to the system log as the C library's syslog forms it
// ("<facility|priority>Mmm dd hh:mm:ss ident: text", local time), without
// waiting and without a console to fall back on. 0, or the error number of
// OsDatagramSend. Texts are cut to 1024 bytes.
int OsSysLogSend(const char *ident, int facility, int priority, const char *text);
