// faultfs: a passthrough file system over a backing directory whose every
// operation the tests can stall, slow down or fail while it runs, and that
// can play a power cut (control.h lists the commands).
//
//   faultfs --backing DIR --stash DIR --control SOCKET [--stalled] MOUNTPOINT
//
// --stalled mounts it with every operation waiting from the start. It runs
// in the foreground until unmounted or ended by SIGTERM.
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "faults.h"
#include "power_cut.h"

namespace faultfs {
namespace {

std::string gBacking;
Faults gFaults;
PowerCut *gPowerCut = nullptr;

std::string Backing(const char *path) {
    return gBacking + path;
}

int Result(int value) {
    return value < 0 ? -errno : value;
}

// The backing file's inode and size, by descriptor or else by path.
int Stat(const char *path, fuse_file_info *fi, struct stat *st) {
    return Result(fi != nullptr ? fstat(static_cast<int>(fi->fh), st)
                                : lstat(Backing(path).c_str(), st));
}

void *Init(fuse_conn_info *, fuse_config *cfg) {
    // No caching in the kernel: every call of the service reaches this
    // process, and what the tests read is what the service wrote.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->use_ino = 1;
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    cfg->direct_io = 1;
    return nullptr;
}

int GetAttr(const char *path, struct stat *st, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    if (int error = Stat(path, fi, st)) {
        return error;
    }
    if (S_ISREG(st->st_mode) && gPowerCut->On()) {
        st->st_size = gPowerCut->Size(st->st_ino, st->st_size);
    }
    return 0;
}

int Access(const char *path, int mask) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    return Result(access(Backing(path).c_str(), mask));
}

int OpenDir(const char *path, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    DIR *dir = opendir(Backing(path).c_str());
    if (dir == nullptr) {
        return -errno;
    }
    fi->fh = reinterpret_cast<uint64_t>(dir);
    return 0;
}

// The whole directory in one call (offsets of 0): it holds a few files.
int ReadDir(const char *, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *fi,
            fuse_readdir_flags) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    DIR *dir = reinterpret_cast<DIR *>(fi->fh);
    rewinddir(dir);
    while (dirent *entry = readdir(dir)) {
        struct stat st {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) {
            break;
        }
    }
    return 0;
}

int ReleaseDir(const char *, fuse_file_info *fi) {
    closedir(reinterpret_cast<DIR *>(fi->fh));
    return 0;
}

int MakeDir(const char *path, mode_t mode) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    return gPowerCut->MakeDir(Backing(path), mode);
}

int RemoveDir(const char *path) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    return Result(rmdir(Backing(path).c_str()));
}

int Unlink(const char *path) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    return gPowerCut->Unlink(Backing(path));
}

int Rename(const char *from, const char *to, unsigned int flags) {
    if (int error = gFaults.Enter(Op::kRename)) {
        return error;
    }
    if (flags != 0) {
        return -EINVAL;
    }
    return gPowerCut->Rename(Backing(from), Backing(to));
}

int ChangeMode(const char *path, mode_t mode, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    return Result(fi != nullptr ? fchmod(static_cast<int>(fi->fh), mode)
                                : chmod(Backing(path).c_str(), mode));
}

int ChangeOwner(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    return Result(fi != nullptr ? fchown(static_cast<int>(fi->fh), uid, gid)
                                : lchown(Backing(path).c_str(), uid, gid));
}

int SetTimes(const char *path, const timespec times[2], fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    return Result(fi != nullptr
                      ? futimens(static_cast<int>(fi->fh), times)
                      : utimensat(AT_FDCWD, Backing(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int Truncate(const char *path, off_t size, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    if (gPowerCut->On()) {
        struct stat st;
        if (int error = Stat(path, fi, &st)) {
            return error;
        }
        gPowerCut->Truncate(st.st_ino, size);
        return 0;
    }
    return Result(fi != nullptr ? ftruncate(static_cast<int>(fi->fh), size)
                                : truncate(Backing(path).c_str(), size));
}

int Create(const char *path, mode_t mode, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOpen)) {
        return error;
    }
    std::string backing = Backing(path);
    int fd =
        gPowerCut->Create(backing, [&] { return Result(open(backing.c_str(), fi->flags, mode)); });
    if (fd < 0) {
        return fd;
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int Open(const char *path, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOpen)) {
        return error;
    }
    int fd = open(Backing(path).c_str(), fi->flags);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int Read(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    int fd = static_cast<int>(fi->fh);
    if (gPowerCut->On()) {
        return static_cast<int>(gPowerCut->Read(fd, buffer, size, offset));
    }
    return Result(static_cast<int>(pread(fd, buffer, size, offset)));
}

int Write(const char *, const char *data, size_t size, off_t offset, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kWrite)) {
        return error;
    }
    int fd = static_cast<int>(fi->fh);
    if (gPowerCut->On()) {
        return static_cast<int>(gPowerCut->Write(fd, data, size, offset));
    }
    return Result(static_cast<int>(pwrite(fd, data, size, offset)));
}

int StatFs(const char *path, struct statvfs *st) {
    if (int error = gFaults.Enter(Op::kOther)) {
        return error;
    }
    return Result(statvfs(Backing(path).c_str(), st));
}

int Flush(const char *, fuse_file_info *) {
    return gFaults.Enter(Op::kOther);
}

int Release(const char *, fuse_file_info *fi) {
    close(static_cast<int>(fi->fh));
    return 0;
}

int Sync(const char *, int dataOnly, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kFsync)) {
        return error;
    }
    int fd = static_cast<int>(fi->fh);
    if (gPowerCut->On()) {
        return gPowerCut->Sync(fd);
    }
    return Result(dataOnly ? fdatasync(fd) : fsync(fd));
}

int SyncDir(const char *, int, fuse_file_info *fi) {
    if (int error = gFaults.Enter(Op::kFsyncDir)) {
        return error;
    }
    gPowerCut->Commit();
    return Result(fsync(dirfd(reinterpret_cast<DIR *>(fi->fh))));
}

fuse_operations Operations() {
    fuse_operations ops{};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.access = Access;
    ops.opendir = OpenDir;
    ops.readdir = ReadDir;
    ops.releasedir = ReleaseDir;
    ops.mkdir = MakeDir;
    ops.rmdir = RemoveDir;
    ops.unlink = Unlink;
    ops.rename = Rename;
    ops.chmod = ChangeMode;
    ops.chown = ChangeOwner;
    ops.utimens = SetTimes;
    ops.truncate = Truncate;
    ops.create = Create;
    ops.open = Open;
    ops.read = Read;
    ops.write = Write;
    ops.statfs = StatFs;
    ops.flush = Flush;
    ops.release = Release;
    ops.fsync = Sync;
    ops.fsyncdir = SyncDir;
    return ops;
}

int Usage() {
    fputs("usage: faultfs --backing DIR --stash DIR --control SOCKET [--stalled] MOUNTPOINT\n",
          stderr);
    return 2;
}

} // namespace
} // namespace faultfs

int main(int argc, char **argv) {
    using namespace faultfs;
    std::string stash, control, mountpoint;
    bool stalled = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--backing" || arg == "--stash" || arg == "--control") && i + 1 < argc) {
            (arg == "--backing" ? gBacking : arg == "--stash" ? stash : control) = argv[++i];
        } else if (arg == "--stalled") {
            stalled = true;
        } else if (arg[0] != '-' && mountpoint.empty()) {
            mountpoint = arg;
        } else {
            return Usage();
        }
    }
    if (gBacking.empty() || stash.empty() || control.empty() || mountpoint.empty()) {
        return Usage();
    }
    PowerCut powerCut(stash);
    gPowerCut = &powerCut;
    if (stalled) {
        gFaults.Stall();
    }
    gFaults.SetInterrupted(fuse_interrupted);
    if (!StartControl(control, &gFaults, &powerCut)) {
        fprintf(stderr, "faultfs: cannot listen at %s: %s\n", control.c_str(), strerror(errno));
        return 1;
    }
    std::vector<char *> args = {argv[0], const_cast<char *>("-f"), const_cast<char *>("-o"),
                                const_cast<char *>("fsname=faultfs,subtype=faultfs"),
                                mountpoint.data()};
    fuse_operations ops = Operations();
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
