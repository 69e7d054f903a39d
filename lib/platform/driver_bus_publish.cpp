// The driver bus's publication of sockets: who may publish (the directory
// and each socket must belong to this process's user or to root, and the
// directory must not be writable by group or others), and the instances
// that the trusted sockets of the driver directory publish.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "lib/platform/driver_bus_directory.h"

namespace trelvox::platform::detail {
namespace {

bool TrustedUser(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// Whether sockets in the directory may be trusted; a problem is reported
// once per streak, and a trusted directory ends the streak.
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
                 TrustedUsers().c_str());
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        problem = "group or others may write to it";
        snprintf(extra, sizeof extra, " (mode %04o)", static_cast<unsigned>(st.st_mode & 07777));
    }
    if (problem == nullptr) {
        if (bus.problems.End()) {
            BusRecovery("the driver directory %s is watched and trusted again",
                        bus.directory.c_str());
        }
        return true;
    }
    DirectoryProblem(bus, kDirectoryUntrusted, "ignoring the driver directory %s: %s%s",
                     bus.directory.c_str(), problem, extra);
    return false;
}

} // namespace

Bus &TheBus() {
    // Never destroyed: a run loop may still deliver while the process exits.
    static Bus *bus = new Bus;
    return *bus;
}

void DirectoryProblem(Bus &bus, uint32_t kind, const char *format, ...) {
    if (!bus.problems.First(kind)) {
        return;
    }
    char line[480];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    BusProblem("%s", line);
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
            BusProblem("ignoring %s: it belongs to user %u, not to %s", path.c_str(),
                       static_cast<unsigned>(st.st_uid), TrustedUsers().c_str());
        }
        return;
    }
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        if (bus.refused.insert(name).second) {
            BusProblem("ignoring %s: the path is too long for a socket", path.c_str());
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
    InstanceId id = PublishInstance(MakeSocketInstance(path, name.substr(0, name.find('.'))));
    bus.published[name] = Publication{id, st.st_dev, st.st_ino};
}

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

} // namespace trelvox::platform::detail
