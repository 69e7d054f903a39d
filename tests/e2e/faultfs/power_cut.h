// What a power cut would leave of the backing directory. Once started,
// data written to a file stays in memory here until the file is synced
// (fsync, fdatasync), and the names made, moved and removed can be undone
// until the directory is synced (fsyncdir; as on a journaling file system,
// that commits every name change so far). A cut drops the data and undoes
// the names, so the backing directory holds what survived.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace faultfs {

class PowerCut {
public:
    // stash: a directory on the backing directory's file system, where
    // removed and replaced files are kept (as hard links) to be restored.
    explicit PowerCut(std::string stash) : stash_(std::move(stash)) {}

    void Start();
    bool On();

    // Data of one file, by its backing inode; `size` is the backing file's.
    off_t Size(ino_t ino, off_t size);
    void Truncate(ino_t ino, off_t length);
    // By a descriptor of the backing file, each the bytes done or -errno:
    // keeps the write (at the end of the file, if opened to append); reads
    // the backing file with what is kept over it.
    ssize_t Write(int fd, const char *data, size_t length, off_t offset);
    ssize_t Read(int fd, char *buffer, size_t length, off_t offset);
    // Writes what is kept of the file to its backing file; 0 or -errno.
    int Sync(int fd);

    // Names, as backing paths: each runs the operation and notes its undo.
    int Create(const std::string &path, const std::function<int()> &create);
    int MakeDir(const std::string &path, mode_t mode);
    int Unlink(const std::string &path);
    int Rename(const std::string &from, const std::string &to);
    void Commit();

    // The power goes: the kept data is dropped, the name changes undone.
    void Cut();

private:
    struct Change {
        bool truncate;
        off_t offset; // the length, for a truncation
        std::string data;
    };
    off_t SizeLocked(ino_t ino, off_t size);
    std::string Keep(const std::string &path);

    std::mutex mutex_;
    bool on_ = false;
    std::string stash_;
    int stashed_ = 0;
    std::map<ino_t, std::vector<Change>> changes_;
    std::vector<std::function<void()>> undo_;
};

} // namespace faultfs
