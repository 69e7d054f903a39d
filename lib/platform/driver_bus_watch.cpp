// The driver bus's watch of the driver directory: sockets present at start
// are published at once, later ones as inotify reports them, on the thread
// that runs the notification port's run-loop source. Removing a socket
// unpublishes its instance. A full event queue or a change of the directory's
// own owner or mode leads to a fresh scan. A directory that is removed or
// moved away unpublishes everything, and its parent is watched until a
// directory of that name is there again, which is then watched and scanned.
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "lib/platform/driver_bus.h"
#include "lib/platform/driver_bus_socket.h"
#include "lib/platform/platform_state.h"

namespace trelvox::platform {
namespace {

constexpr char kDefaultDirectory[] = "/run/trelvox";
constexpr uint32_t kWatchMask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The parent, while the directory is away: a directory of its name arriving.
constexpr uint32_t kParentMask = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

struct Publication {
    InstanceId id;
    dev_t device;
    ino_t inode;
};

// The bus's state; every member is guarded by `mutex`. Lock order: this
// mutex before the registry's.
struct Bus {
    std::mutex mutex;
    std::string directory;
    int inotifyFd = -1;
    int directoryWatch = -1; // inotify watch of the directory; -1 while it is away
    int parentWatch = -1;    // inotify watch of its parent while it is away
    uint64_t watchId = 0;
    std::map<std::string, Publication> published;
    std::set<std::string> refused; // names already reported as not trusted
    bool directoryReported = false;
};

Bus &TheBus() {
    // Never destroyed: a run loop may still deliver while the process exits.
    static Bus *bus = new Bus;
    return *bus;
}

bool TrustedUser(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

bool WatchStands(uint64_t id) {
    detail::RegistryState &state = detail::State();
    std::lock_guard lock(state.mutex);
    return state.watches.count(id) != 0;
}

// Whether sockets in the directory may be trusted; the first failure of a
// streak is reported.
bool DirectoryTrusted(Bus &bus) {
    struct stat st {};
    const char *problem = nullptr;
    char extra[96] = "";
    if (stat(bus.directory.c_str(), &st) != 0) {
        problem = "it cannot be examined";
        snprintf(extra, sizeof extra, " (%s)", strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        problem = "it is not a directory";
    } else if (!TrustedUser(st.st_uid)) {
        problem = "it belongs to another user";
        snprintf(extra, sizeof extra, " (user %u, not %s)", static_cast<unsigned>(st.st_uid),
                 detail::TrustedUsers().c_str());
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        problem = "group or others may write to it";
        snprintf(extra, sizeof extra, " (mode %04o)", static_cast<unsigned>(st.st_mode & 07777));
    }
    if (problem == nullptr) {
        bus.directoryReported = false;
        return true;
    }
    if (!bus.directoryReported) {
        detail::BusMessage("ignoring the driver directory %s: %s%s", bus.directory.c_str(), problem,
                           extra);
        bus.directoryReported = true;
    }
    return false;
}

void Forget(Bus &bus, const std::string &name) {
    bus.refused.erase(name);
    auto it = bus.published.find(name);
    if (it == bus.published.end()) {
        return;
    }
    UnpublishInstance(it->second.id);
    bus.published.erase(it);
}

void ForgetAll(Bus &bus) {
    for (const auto &[name, publication] : bus.published) {
        UnpublishInstance(publication.id);
    }
    bus.published.clear();
    bus.refused.clear();
}

// Publishes the socket of that name if it is one and may be trusted.
void Consider(Bus &bus, const std::string &name) {
    if (name.empty() || name[0] == '.') {
        return;
    }
    if (!DirectoryTrusted(bus)) {
        return;
    }
    std::string path = bus.directory + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return; // gone again, or no socket: nothing to publish
    }
    if (!TrustedUser(st.st_uid)) {
        if (bus.refused.insert(name).second) {
            detail::BusMessage("ignoring %s: it belongs to user %u, not to %s", path.c_str(),
                               static_cast<unsigned>(st.st_uid), detail::TrustedUsers().c_str());
        }
        return;
    }
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        if (bus.refused.insert(name).second) {
            detail::BusMessage("ignoring %s: the path is too long for a socket", path.c_str());
        }
        return;
    }
    auto it = bus.published.find(name);
    if (it != bus.published.end()) {
        if (it->second.device == st.st_dev && it->second.inode == st.st_ino) {
            return; // already published
        }
        UnpublishInstance(it->second.id);
        bus.published.erase(it);
    }
    bus.refused.erase(name);
    InstanceId id =
        PublishInstance(detail::MakeSocketInstance(path, name.substr(0, name.find('.'))));
    bus.published[name] = Publication{id, st.st_dev, st.st_ino};
}

// Brings the publications in line with the directory's contents.
void Rescan(Bus &bus) {
    if (!DirectoryTrusted(bus)) {
        ForgetAll(bus);
        return;
    }
    std::vector<std::string> names;
    if (DIR *dir = opendir(bus.directory.c_str())) {
        while (dirent *entry = readdir(dir)) {
            names.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    std::set<std::string> present(names.begin(), names.end());
    std::vector<std::string> gone;
    for (const auto &[name, publication] : bus.published) {
        if (present.count(name) == 0) {
            gone.push_back(name);
        }
    }
    for (const std::string &name : gone) {
        Forget(bus, name);
    }
    for (const std::string &name : names) {
        Consider(bus, name);
    }
}

void StopLocked(Bus &bus) {
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
    ForgetAll(bus);
    bus.directoryReported = false;
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
        return;
    }
    bus.directoryWatch = watch;
    inotify_rm_watch(bus.inotifyFd, bus.parentWatch);
    bus.parentWatch = -1;
    Rescan(bus);
}

// The directory was removed or moved away: its drivers are gone, and the
// parent is watched for its return.
void AwaitReturn(Bus &bus) {
    ForgetAll(bus);
    if (bus.directoryWatch >= 0) {
        // A directory moved elsewhere would still be watched there.
        inotify_rm_watch(bus.inotifyFd, bus.directoryWatch);
        bus.directoryWatch = -1;
    }
    std::string parent = ParentOf(bus.directory);
    bus.parentWatch = inotify_add_watch(bus.inotifyFd, parent.c_str(), kParentMask);
    if (bus.parentWatch < 0) {
        detail::BusMessage("the driver directory %s has gone and %s cannot be watched (%s); no "
                           "more drivers will be found there",
                           bus.directory.c_str(), parent.c_str(), strerror(errno));
        StopLocked(bus);
        return;
    }
    detail::BusMessage("the driver directory %s has gone; drivers will be found there again "
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
                Forget(bus, name);
            } else {
                Consider(bus, name);
            }
        }
    }
    if (gone) {
        AwaitReturn(bus);
    } else if (bus.parentWatch >= 0) {
        if (back || rescan) {
            TryReturn(bus);
        }
    } else if (rescan) {
        Rescan(bus);
    }
}

// Creates the directory (owner-only write) when it is missing.
bool EnsureDirectory(const std::string &directory) {
    struct stat st {};
    if (stat(directory.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            detail::BusMessage("the driver directory %s is not a directory", directory.c_str());
            return false;
        }
        return true;
    }
    if (errno == ENOENT && mkdir(directory.c_str(), 0755) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        return true;
    }
    detail::BusMessage("cannot create the driver directory %s: %s (TRELVOX_DRIVER_DIR names "
                       "another)",
                       directory.c_str(), strerror(errno));
    return false;
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
    // A watch that the registry has forgotten (tests reset it) is replaced.
    StopLocked(bus);
    bus.directory = DriverBusDirectory();
    if (!EnsureDirectory(bus.directory)) {
        return false;
    }
    bus.inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (bus.inotifyFd >= 0) {
        bus.directoryWatch = inotify_add_watch(bus.inotifyFd, bus.directory.c_str(), kWatchMask);
    }
    if (bus.inotifyFd < 0 || bus.directoryWatch < 0) {
        detail::BusMessage("cannot watch the driver directory %s: %s", bus.directory.c_str(),
                           strerror(errno));
        StopLocked(bus);
        return false;
    }
    // Events that arrive during the scan are handled later; publishing is
    // idempotent for a socket that is already published.
    Rescan(bus);
    bus.watchId = AddPortWatch(bus.inotifyFd, OnDirectoryEvents);
    return true;
}

void StopDriverBus() {
    Bus &bus = TheBus();
    std::lock_guard lock(bus.mutex);
    StopLocked(bus);
}

} // namespace trelvox::platform
