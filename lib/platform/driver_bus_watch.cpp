// The driver bus's watch of the driver directory: sockets present at start
// are published at once, later ones as inotify reports them, on the thread
// that runs the notification port's run-loop source. Removing a socket
// unpublishes its instance. A full event queue or a change of the directory's
// own owner or mode leads to a fresh scan. A directory that is removed or
// moved away unpublishes everything, and its parent is watched until a
// directory of that name is there again, which is then watched and scanned.
// The watch is never given up: when it cannot be set (the directory cannot
// be made, inotify's limits, permissions) it is tried again at every retry
// interval, on the monotonic clock through a port timer, until it stands.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/platform/bus_frames.h"
#include "lib/platform/driver_bus.h"
#include "lib/platform/driver_bus_directory.h"
#include "lib/platform/platform_state.h"

namespace trelvox::platform {
namespace {

using detail::Bus;
using detail::TheBus;

constexpr char kDefaultDirectory[] = "/run/trelvox";
constexpr uint32_t kWatchMask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The parent, while the directory is away: a directory of its name
// arriving, or the parent itself going.
constexpr uint32_t kParentMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::atomic<uint32_t> gWatchRetryMs{kDriverBusWatchRetryMs};

bool WatchStands(uint64_t id) {
    detail::RegistryState &state = detail::State();
    std::lock_guard lock(state.mutex);
    return state.watches.count(id) != 0;
}

// "trying again every 5 s", for the messages of a watch that is retried.
struct RetryText {
    RetryText() {
        uint32_t ms = gWatchRetryMs.load();
        if (ms % 1000 == 0) {
            snprintf(text, sizeof text, "trying again every %u s",
                     static_cast<unsigned>(ms / 1000));
        } else {
            snprintf(text, sizeof text, "trying again every %u ms", static_cast<unsigned>(ms));
        }
    }
    char text[40];
};

bool StartLocked(Bus &bus);

// Takes the watch down and unpublishes what it published; an attempt to
// watch that is armed is cancelled. The streak of problems goes on.
void CloseWatch(Bus &bus) {
    if (bus.retryId != 0) {
        RemovePortTimer(bus.retryId);
        bus.retryId = 0;
    }
    if (bus.watchId != 0) {
        RemovePortWatch(bus.watchId);
        bus.watchId = 0;
    }
    if (bus.inotifyFd >= 0) {
        close(bus.inotifyFd);
        bus.inotifyFd = -1;
    }
    bus.directoryWatch = -1;
    bus.parentWatch = -1;
    detail::ForgetAll(bus);
}

// Tries to watch again once the retry interval has passed.
void ArmRetry(Bus &bus) {
    uint64_t seq = ++bus.retrySeq;
    bus.retryId = AddPortTimer(bus::MonotonicMs() + gWatchRetryMs.load(), [seq] {
        Bus &bus = TheBus();
        std::lock_guard lock(bus.mutex);
        if (bus.retryId != 0 && bus.retrySeq == seq) {
            bus.retryId = 0;
            StartLocked(bus);
        }
    });
}

// The watch could not be set: say so once in the streak and try again later.
void WatchFailed(Bus &bus, int error) {
    detail::DirectoryProblem(bus, detail::kDirectoryCannotBeWatched,
                             "cannot watch the driver directory %s: %s; %s", bus.directory.c_str(),
                             strerror(error), RetryText().text);
    CloseWatch(bus);
    ArmRetry(bus);
}

// The directory's parent and its own name within it.
std::string ParentOf(const std::string &directory) {
    size_t slash = directory.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : directory.substr(0, slash);
}

std::string NameOf(const std::string &directory) {
    size_t slash = directory.rfind('/');
    return slash == std::string::npos ? directory : directory.substr(slash + 1);
}

// Watches the directory again if it is back, and publishes what it holds.
void TryReturn(Bus &bus) {
    struct stat st {};
    if (stat(bus.directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return;
    }
    int watch = inotify_add_watch(bus.inotifyFd, bus.directory.c_str(), kWatchMask);
    if (watch < 0) {
        WatchFailed(bus, errno);
        return;
    }
    bus.directoryWatch = watch;
    inotify_rm_watch(bus.inotifyFd, bus.parentWatch);
    bus.parentWatch = -1;
    detail::Rescan(bus);
}

// The directory has gone and its parent cannot be watched for its return
// (or has gone too): the whole watch is tried again later.
void ParentLost(Bus &bus, int error) {
    detail::DirectoryProblem(bus, detail::kDirectoryParentUnwatched,
                             "the driver directory %s has gone and %s cannot be watched (%s); %s",
                             bus.directory.c_str(), ParentOf(bus.directory).c_str(),
                             strerror(error), RetryText().text);
    CloseWatch(bus);
    ArmRetry(bus);
}

// The directory was removed or moved away: its drivers are gone, and the
// parent is watched for its return.
void AwaitReturn(Bus &bus) {
    detail::ForgetAll(bus);
    if (bus.directoryWatch >= 0) {
        // A directory moved elsewhere would still be watched there.
        inotify_rm_watch(bus.inotifyFd, bus.directoryWatch);
        bus.directoryWatch = -1;
    }
    bus.parentWatch =
        inotify_add_watch(bus.inotifyFd, ParentOf(bus.directory).c_str(), kParentMask);
    if (bus.parentWatch < 0) {
        ParentLost(bus, errno);
        return;
    }
    detail::DirectoryProblem(bus, detail::kDirectoryGone,
                             "the driver directory %s has gone; drivers will be found there again "
                             "once it is back",
                             bus.directory.c_str());
    TryReturn(bus); // it may be back already
}

// Runs on the run loop's thread when the inotify descriptor is readable.
void OnDirectoryEvents() {
    Bus &bus = TheBus();
    std::lock_guard lock(bus.mutex);
    if (bus.inotifyFd < 0) {
        return;
    }
    bool rescan = false;
    bool gone = false;
    bool back = false;
    bool parentGone = false;
    const std::string name = NameOf(bus.directory);
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        ssize_t n = read(bus.inotifyFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                rescan = true;
                continue;
            }
            if (event->wd == bus.parentWatch) {
                back = back || (event->len > 0 && name == event->name);
                parentGone =
                    parentGone || (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0;
                continue;
            }
            if (event->wd != bus.directoryWatch) {
                continue; // a watch given up earlier
            }
            if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                gone = true;
                continue;
            }
            if (event->len == 0) {
                rescan = rescan || (event->mask & IN_ATTRIB) != 0; // the directory itself
                continue;
            }
            std::string name(event->name);
            if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
                detail::Forget(bus, name);
            } else {
                detail::Consider(bus, name);
            }
        }
    }
    if (gone) {
        AwaitReturn(bus);
    } else if (parentGone) {
        ParentLost(bus, ENOENT);
    } else if (bus.parentWatch >= 0) {
        if (back || rescan) {
            TryReturn(bus);
        }
    } else if (rescan) {
        detail::Rescan(bus);
    }
}

// Creates the directory (owner-only write) when it is missing. A problem is
// reported once in the streak.
bool EnsureDirectory(Bus &bus) {
    const char *directory = bus.directory.c_str();
    struct stat st {};
    if (stat(directory, &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            detail::DirectoryProblem(bus, detail::kDirectoryNotADirectory,
                                     "the driver directory %s is not a directory; %s", directory,
                                     RetryText().text);
            return false;
        }
        return true;
    }
    if (errno == ENOENT && mkdir(directory, 0755) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        return true;
    }
    detail::DirectoryProblem(bus, detail::kDirectoryCannotBeMade,
                             "cannot create the driver directory %s: %s (TRELVOX_DRIVER_DIR names "
                             "another); %s",
                             directory, strerror(errno), RetryText().text);
    return false;
}

// Sets up the watch of the directory and publishes what is there; when it
// cannot, says so once in the streak and arms the next attempt.
bool StartLocked(Bus &bus) {
    CloseWatch(bus);
    bus.directory = DriverBusDirectory();
    if (!EnsureDirectory(bus)) {
        ArmRetry(bus);
        return false;
    }
    int error = Faults().failDirectoryWatch;
    if (error == 0) {
        bus.inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (bus.inotifyFd >= 0) {
            bus.directoryWatch =
                inotify_add_watch(bus.inotifyFd, bus.directory.c_str(), kWatchMask);
        }
        error = bus.inotifyFd < 0 || bus.directoryWatch < 0 ? errno : 0;
    }
    if (error != 0) {
        WatchFailed(bus, error);
        return false;
    }
    // Events that arrive during the scan are handled later; publishing is
    // idempotent for a socket that is already published.
    detail::Rescan(bus);
    bus.watchId = AddPortWatch(bus.inotifyFd, OnDirectoryEvents);
    return true;
}

} // namespace

std::string DriverBusDirectory() {
    const char *value = getenv("TRELVOX_DRIVER_DIR");
    if (value == nullptr || value[0] == '\0') {
        return kDefaultDirectory;
    }
    std::string directory = value;
    while (directory.size() > 1 && directory.back() == '/') {
        directory.pop_back();
    }
    return directory;
}

bool StartDriverBus() {
    Bus &bus = TheBus();
    std::lock_guard lock(bus.mutex);
    if (bus.watchId != 0 && WatchStands(bus.watchId)) {
        return true;
    }
    // A watch that the registry has forgotten (tests reset it) is replaced;
    // an armed retry is tried at once.
    return StartLocked(bus);
}

void StopDriverBus() {
    Bus &bus = TheBus();
    std::lock_guard lock(bus.mutex);
    CloseWatch(bus);
    bus.problems.End(); // a bus started again reports afresh
}

void SetDriverBusWatchRetry(uint32_t ms) {
    gWatchRetryMs.store(ms == 0 ? 1 : ms);
}

} // namespace trelvox::platform
