// The power-cut model of the test file system: see power_cut.h.
#include "power_cut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace faultfs {

void PowerCut::Start() {
    std::lock_guard lock(mutex_);
    on_ = true;
}

bool PowerCut::On() {
    std::lock_guard lock(mutex_);
    return on_;
}

off_t PowerCut::SizeLocked(ino_t ino, off_t size) {
    auto found = changes_.find(ino);
    if (found == changes_.end()) {
        return size;
    }
    for (const Change &change : found->second) {
        size = change.truncate
                   ? change.offset
                   : std::max(size, change.offset + static_cast<off_t>(change.data.size()));
    }
    return size;
}

off_t PowerCut::Size(ino_t ino, off_t size) {
    std::lock_guard lock(mutex_);
    return SizeLocked(ino, size);
}

ssize_t PowerCut::Write(int fd, const char *data, size_t length, off_t offset) {
    std::lock_guard lock(mutex_);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return -errno;
    }
    if ((fcntl(fd, F_GETFL) & O_APPEND) != 0) {
        offset = SizeLocked(st.st_ino, st.st_size);
    }
    std::vector<Change> &changes = changes_[st.st_ino];
    // A write that continues the last one joins it: a log's appends stay
    // one change.
    if (!changes.empty() && !changes.back().truncate &&
        changes.back().offset + static_cast<off_t>(changes.back().data.size()) == offset) {
        changes.back().data.append(data, length);
    } else {
        changes.push_back({false, offset, std::string(data, length)});
    }
    return static_cast<ssize_t>(length);
}

void PowerCut::Truncate(ino_t ino, off_t length) {
    std::lock_guard lock(mutex_);
    changes_[ino].push_back({true, length, {}});
}

ssize_t PowerCut::Read(int fd, char *buffer, size_t length, off_t offset) {
    std::lock_guard lock(mutex_);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return -errno;
    }
    off_t size = SizeLocked(st.st_ino, st.st_size);
    if (offset >= size) {
        return 0;
    }
    length = std::min<size_t>(length, static_cast<size_t>(size - offset));
    memset(buffer, 0, length);
    ssize_t got = pread(fd, buffer, length, offset);
    if (got < 0) {
        return -errno;
    }
    auto found = changes_.find(st.st_ino);
    if (found == changes_.end()) {
        return static_cast<ssize_t>(length);
    }
    const off_t end = offset + static_cast<off_t>(length);
    for (const Change &change : found->second) {
        if (change.truncate) {
            if (change.offset < end) {
                off_t from = std::max(change.offset, offset);
                memset(buffer + (from - offset), 0, static_cast<size_t>(end - from));
            }
            continue;
        }
        off_t from = std::max(change.offset, offset);
        off_t to = std::min(change.offset + static_cast<off_t>(change.data.size()), end);
        if (from < to) {
            memcpy(buffer + (from - offset), change.data.data() + (from - change.offset),
                   static_cast<size_t>(to - from));
        }
    }
    return static_cast<ssize_t>(length);
}

int PowerCut::Sync(int fd) {
    std::lock_guard lock(mutex_);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return -errno;
    }
    auto found = changes_.find(st.st_ino);
    if (found != changes_.end()) {
        // A descriptor of the same file without O_APPEND, so that each
        // change lands at its own offset.
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        int out = open(self.c_str(), O_WRONLY);
        if (out < 0) {
            return -errno;
        }
        for (const Change &change : found->second) {
            int result = change.truncate
                             ? ftruncate(out, change.offset)
                             : (pwrite(out, change.data.data(), change.data.size(),
                                       change.offset) == static_cast<ssize_t>(change.data.size())
                                    ? 0
                                    : -1);
            if (result != 0) {
                int error = errno;
                close(out);
                return -error;
            }
        }
        close(out);
        changes_.erase(found);
    }
    return fdatasync(fd) == 0 ? 0 : -errno;
}

std::string PowerCut::Keep(const std::string &path) {
    std::string kept = stash_ + "/" + std::to_string(++stashed_);
    return link(path.c_str(), kept.c_str()) == 0 ? kept : std::string();
}

int PowerCut::Create(const std::string &path, const std::function<int()> &create) {
    std::lock_guard lock(mutex_);
    bool existed = access(path.c_str(), F_OK) == 0;
    int result = create();
    if (result >= 0 && on_ && !existed) {
        undo_.push_back([path] { unlink(path.c_str()); });
    }
    return result;
}

int PowerCut::MakeDir(const std::string &path, mode_t mode) {
    std::lock_guard lock(mutex_);
    if (mkdir(path.c_str(), mode) != 0) {
        return -errno;
    }
    if (on_) {
        undo_.push_back([path] { rmdir(path.c_str()); });
    }
    return 0;
}

int PowerCut::Unlink(const std::string &path) {
    std::lock_guard lock(mutex_);
    std::string kept = on_ ? Keep(path) : std::string();
    if (unlink(path.c_str()) != 0) {
        int error = errno;
        if (!kept.empty()) {
            unlink(kept.c_str());
        }
        return -error;
    }
    if (!kept.empty()) {
        undo_.push_back([path, kept] { rename(kept.c_str(), path.c_str()); });
    }
    return 0;
}

int PowerCut::Rename(const std::string &from, const std::string &to) {
    std::lock_guard lock(mutex_);
    std::string replaced = on_ && access(to.c_str(), F_OK) == 0 ? Keep(to) : std::string();
    if (rename(from.c_str(), to.c_str()) != 0) {
        int error = errno;
        if (!replaced.empty()) {
            unlink(replaced.c_str());
        }
        return -error;
    }
    if (on_) {
        undo_.push_back([from, to, replaced] {
            rename(to.c_str(), from.c_str());
            if (!replaced.empty()) {
                rename(replaced.c_str(), to.c_str());
            }
        });
    }
    return 0;
}

void PowerCut::Commit() {
    std::lock_guard lock(mutex_);
    undo_.clear();
}

void PowerCut::Cut() {
    std::lock_guard lock(mutex_);
    changes_.clear();
    for (auto undo = undo_.rbegin(); undo != undo_.rend(); ++undo) {
        (*undo)();
    }
    undo_.clear();
    on_ = false;
}

} // namespace faultfs
