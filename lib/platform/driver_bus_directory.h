// Inside the driver bus: the state of the driver directory's watch and of
// the instances its sockets publish, shared by the watch
// (driver_bus_watch.cpp) and the publication of sockets
// (driver_bus_publish.cpp). Not for callers of iokit.h.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "lib/platform/driver_bus_socket.h"
#include "lib/platform/driver_registry.h"

namespace trelvox::platform::detail {

struct Publication {
    InstanceId id;
    dev_t device;
    ino_t inode;
};

// The problems of the directory and its watch, reported once per streak;
// the streak ends when the watch stands over a trusted directory.
enum DirectoryProblem : uint32_t {
    kDirectoryUntrusted = 1,
    kDirectoryNotADirectory = 2,
    kDirectoryCannotBeMade = 4,
    kDirectoryCannotBeWatched = 8,
    kDirectoryGone = 16,
    kDirectoryParentUnwatched = 32,
};

// The bus's state; every member is guarded by `mutex`. Lock order: this
// mutex before the registry's.
struct Bus {
    std::mutex mutex;
    std::string directory;
    int inotifyFd = -1;
    int directoryWatch = -1; // inotify watch of the directory; -1 while it is away
    int parentWatch = -1;    // inotify watch of its parent while it is away
    uint64_t watchId = 0;    // the port watch of inotifyFd
    uint64_t retryId = 0;    // the port timer of the next attempt to watch; 0: none
    uint64_t retrySeq = 0;   // tells a cancelled attempt from the armed one
    std::map<std::string, Publication> published;
    std::set<std::string> refused; // names already reported as not trusted
    ProblemStreak problems;
};

Bus &TheBus();

// Reports a problem of the directory unless this kind was reported in the
// current streak.
void DirectoryProblem(Bus &bus, uint32_t kind, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Publishes the socket of that name in the directory if it is one and may
// be trusted.
void Consider(Bus &bus, const std::string &name);
// Unpublishes the socket of that name.
void Forget(Bus &bus, const std::string &name);
void ForgetAll(Bus &bus);
// Brings the publications in line with the directory's contents, or
// unpublishes them all while the directory is not trusted. Called while the
// directory is watched: a trusted directory ends a streak of problems.
void Rescan(Bus &bus);

} // namespace trelvox::platform::detail
