// The OS file layer: open flags against real files, directory creation,
// single-call I/O, attributes and file flags, times, renames, and the DOS
// conversions. System-call failures come from the seam or from the file
// system itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "lib/cli/osx/osfile.h"
#include "lib/platform/bsd_flags.h"
#include "tests/support/sys_faults.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Sys;
using testsupport::SysFaults;

class OsFileTest : public ::testing::Test, protected testsupport::TempDir {
protected:
    void SetUp() override { ASSERT_TRUE(Make("osfile_test.")); }
    void TearDown() override {
        // Immutable files would stop the clean-up.
        for (const auto &entry : std::filesystem::recursive_directory_iterator(Root())) {
            chflags(entry.path().c_str(), 0);
        }
    }

    testsupport::ScopedUmask umask_{022};
};

constexpr uint32_t kRW = CliFileFlagRead | CliFileFlagWrite;

TEST_F(OsFileTest, OpenFlagsAgainstExistingAndMissingFiles) {
    struct Case {
        const char *what;
        uint32_t flags;
        bool existing;   // the file exists beforehand with "old"
        bool opens;      // the open succeeds
        const char *now; // contents afterwards ("-" for no file)
        mode_t mode;     // of a newly created file
    } cases[] = {
        {"create always, existing", CliFileFlagCreateAlways | kRW, true, true, "", 0},
        {"create always, missing", CliFileFlagCreateAlways | kRW, false, true, "", 0644},
        {"create new, existing", CliFileFlagCreateNew | kRW, true, false, "old", 0},
        {"create new, missing", CliFileFlagCreateNew | kRW, false, true, "", 0644},
        {"open always, existing", CliFileFlagOpenAlways | kRW, true, true, "old", 0},
        {"open always, missing", CliFileFlagOpenAlways | kRW, false, true, "", 0644},
        {"truncate alone, existing", CliFileFlagTruncate | kRW, true, true, "", 0},
        {"truncate alone, missing", CliFileFlagTruncate | kRW, false, false, "-", 0},
        {"plain open, missing", kRW, false, false, "-", 0},
        {"create without write access", CliFileFlagOpenAlways, false, true, "", 0444},
        {"other bits ignored", 0x00130420, true, true, "old", 0},
        {"log's create word", 0x00130120, true, true, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = Path("f");
        unlink(path.c_str());
        if (c.existing) {
            Write("f", "old");
        }
        OsFile *h = OsFileOpen(path.c_str(), c.flags);
        EXPECT_EQ(h != nullptr, c.opens);
        if (h != nullptr) {
            EXPECT_STREQ(h->pathText, path.c_str());
            OsFileClose(h);
        }
        if (strcmp(c.now, "-") == 0) {
            EXPECT_FALSE(Exists("f"));
        } else {
            EXPECT_EQ(Read("f"), c.now);
        }
        if (c.mode != 0) {
            EXPECT_EQ(Mode("f"), c.mode);
        }
    }
}

TEST_F(OsFileTest, WriteAccessOnlyWithAWriteBit) {
    Write("f", "abc");
    for (uint32_t flags : {CliFileFlagRead, CliFileFlagWrite, kOsFileFlagWriteAlt}) {
        OsFile *h = OsFileOpen(Path("f").c_str(), flags);
        ASSERT_NE(h, nullptr);
        uint32_t written = 99;
        bool canWrite = flags != CliFileFlagRead;
        EXPECT_EQ(OsFileWrite(h, "x", 1, &written), canWrite) << std::hex << flags;
        EXPECT_EQ(written, canWrite ? 1u : 99u);
        char buf[4] = {};
        uint32_t got = 0;
        ASSERT_TRUE(OsFileSeek(h, 0, 0));
        EXPECT_TRUE(OsFileRead(h, buf, 3, &got)) << "every handle can read";
        EXPECT_EQ(got, 3u);
        OsFileClose(h);
    }
}

TEST_F(OsFileTest, AppendWritesGoToTheEndWhereverItIs) {
    Write("f", "old");
    OsFile *h = OsFileOpen(Path("f").c_str(), CliFileFlagOpenAlways | CliFileFlagAppend | kRW);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(OsFileSeek(h, 0, 0));
    EXPECT_TRUE(OsFileWrite(h, "+1", 2, nullptr));
    ASSERT_EQ(truncate(Path("f").c_str(), 1), 0); // someone else cuts the file short
    EXPECT_TRUE(OsFileWrite(h, "+2", 2, nullptr));
    EXPECT_EQ(Read("f"), "o+2") << "no hole where the cut-off bytes were";
    OsFileClose(h);
}

TEST_F(OsFileTest, DirectoryFlag) {
    ASSERT_EQ(mkdir(Path("there").c_str(), 0755), 0);
    Write("file", "x");
    EXPECT_NE(OsFileOpen(Path("there").c_str(), CliFileFlagDir | kRW), nullptr);
    EXPECT_EQ(Mode("there"), 0755u) << "an existing directory is left as it is";

    OsFile *made = OsFileOpen(Path("new/").c_str(), CliFileFlagDir);
    EXPECT_NE(made, nullptr);
    EXPECT_EQ(Mode("new"), 0700u) << "created for its owner alone";
    OsFileClose(made); // the marker is not a handle: ignored

    EXPECT_EQ(OsFileOpen(Path("a/b").c_str(), CliFileFlagDir), nullptr) << "two levels missing";
    EXPECT_FALSE(Exists("a"));
    EXPECT_EQ(OsFileOpen(Path("file").c_str(), CliFileFlagDir), nullptr) << "not a directory";
    EXPECT_EQ(OsFileOpen(Path("file/sub").c_str(), CliFileFlagDir), nullptr);
    EXPECT_EQ(Read("file"), "x");
}

TEST_F(OsFileTest, DirectoryFlagSystemCallFailures) {
    SysFaults faults;
    faults.FailFrom(Sys::mkdir, 1, ENOSPC);
    EXPECT_EQ(OsFileOpen(Path("new").c_str(), CliFileFlagDir), nullptr);
    EXPECT_FALSE(Exists("new"));

    // An error other than "missing" is not answered by creating anything.
    faults.Reset(Sys::mkdir);
    faults.FailFrom(Sys::open, 1, EACCES);
    EXPECT_EQ(OsFileOpen(Path("new").c_str(), CliFileFlagDir), nullptr);
    EXPECT_EQ(faults.Calls(Sys::mkdir), 0u);
}

TEST_F(OsFileTest, FailedOpenFreesTheHandle) {
    SysFaults faults;
    faults.FailFrom(Sys::open, 1, EMFILE);
    errno = 0;
    EXPECT_EQ(OsFileOpen(Path("f").c_str(), CliFileFlagCreateAlways | kRW), nullptr);
    EXPECT_EQ(errno, EMFILE) << "the system's error survives for the caller";
    faults.Reset(Sys::open);
    faults.FailFrom(Sys::calloc, 1, ENOMEM);
    EXPECT_EQ(OsFileOpen(Path("f").c_str(), CliFileFlagCreateAlways | kRW), nullptr);
    EXPECT_FALSE(Exists("f")) << "nothing opened without a handle";
}

TEST_F(OsFileTest, LongPathIsOpenedWholeButKeptShort) {
    // Components of 200 characters: the path exceeds 1023 characters.
    std::string path = Root();
    for (int i = 0; i < 5; ++i) {
        path += "/" + std::string(200, static_cast<char>('a' + i));
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    path += "/.file";
    OsFile *h = OsFileOpen(path.c_str(), CliFileFlagCreateNew | kRW);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(strlen(h->pathText), 1023u);
    EXPECT_EQ(std::string(h->pathText), path.substr(0, 1023));
    OsFileClose(h);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
}

TEST_F(OsFileTest, SingleCallWritesAndReads) {
    OsFile *h = OsFileOpen(Path("f").c_str(), CliFileFlagCreateAlways | kRW);
    ASSERT_NE(h, nullptr);
    {
        // A partial transfer is reported, not retried.
        SysFaults faults;
        auto controlled = gOsSys.write;
        static int writes;
        writes = 0;
        gOsSys.write = [](int fd, const void *buf, size_t len) {
            ++writes;
            return gOsSysReal.write(fd, buf, len > 3 ? 3 : len);
        };
        uint32_t written = 0;
        EXPECT_TRUE(OsFileWrite(h, "abcdef", 6, &written));
        EXPECT_EQ(written, 3u);
        EXPECT_EQ(writes, 1);
        gOsSys.write = controlled;
        faults.FailFrom(Sys::write, 1, ENOSPC);
        EXPECT_FALSE(OsFileWrite(h, "abcdef", 6, &written));
        EXPECT_EQ(errno, ENOSPC);
    }
    EXPECT_EQ(Read("f"), "abc");
    char buf[8] = {};
    uint32_t got = 99;
    ASSERT_TRUE(OsFileSeek(h, 1, 0));
    EXPECT_TRUE(OsFileRead(h, buf, sizeof buf, &got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buf, got), "bc");
    EXPECT_TRUE(OsFileRead(h, buf, sizeof buf, &got));
    EXPECT_EQ(got, 0u) << "end of file";
    OsFileClose(h);
}

TEST_F(OsFileTest, SeekOriginsAndFailure) {
    Write("f", "0123456789");
    OsFile *h = OsFileOpen(Path("f").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    struct Step {
        uint32_t offset;
        uint8_t origin;
        char next;
    } steps[] = {{4, 0, '4'}, {2, 1, '7'}, {0, 2, 0}, {0, 7, 0}, {1, 0, '1'}};
    for (const Step &s : steps) {
        ASSERT_TRUE(OsFileSeek(h, s.offset, s.origin));
        char ch = 0;
        uint32_t got = 0;
        ASSERT_TRUE(OsFileRead(h, &ch, 1, &got));
        EXPECT_EQ(ch, s.next) << int(s.origin);
    }
    ASSERT_TRUE(OsFileSeek(h, 0xFFFFFFFFu, 0)) << "offsets are unsigned";
    EXPECT_EQ(lseek(h->descriptor, 0, SEEK_CUR), 0xFFFFFFFFll);
    SysFaults faults;
    faults.FailFrom(Sys::lseek, 1, ESPIPE);
    EXPECT_FALSE(OsFileSeek(h, 0, 0));
    OsFileClose(h);
}

TEST_F(OsFileTest, LengthKeepsLow32Bits) {
    int fd = open(Path("big").c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0x100000005ll), 0);
    close(fd);
    OsFile *h = OsFileOpen(Path("big").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    uint32_t len = 0;
    uint64_t len64 = 0;
    EXPECT_TRUE(OsFileGetLength(h, &len));
    EXPECT_EQ(len, 5u);
    EXPECT_TRUE(OsFileGetLength64(h, &len64));
    EXPECT_EQ(len64, 0x100000005ull);
    SysFaults faults;
    faults.FailFrom(Sys::statx, 1, EIO);
    faults.FailFrom(Sys::fstat, 1, EIO);
    EXPECT_FALSE(OsFileGetLength(h, &len));
    EXPECT_FALSE(OsFileGetLength64(h, &len64));
    uint32_t attrs = 0;
    EXPECT_FALSE(OsFileGetAttributes(h, &attrs));
    OsFt c, m, a;
    EXPECT_FALSE(OsFileGetTimes(h, &c, &m, &a));
    OsFileClose(h);
}

// The length query asks statx for the size alone (asking for the times makes
// every later write to the file dirty its inode) and takes fstat only where
// statx is missing, refused or silent about the size.
struct SizeQuery {
    enum class Statx { kReal, kMissing, kRefused, kNoSize, kFails };
    static inline Statx statxMode;
    static inline bool fstatFails;
    static inline int statxCalls, fstatCalls;
    static inline unsigned int statxMask;
    static inline int statxFlags;

    static void Install(Statx mode, bool fstatFailing) {
        statxMode = mode;
        fstatFails = fstatFailing;
        statxCalls = fstatCalls = 0;
        statxMask = 0;
        statxFlags = 0;
        gOsSys.statx = [](int fd, const char *path, int flags, unsigned int mask,
                          struct statx *out) {
            ++statxCalls;
            statxMask = mask;
            statxFlags = flags;
            switch (statxMode) {
            case Statx::kMissing:
                errno = ENOSYS;
                return -1;
            case Statx::kRefused:
                errno = EPERM;
                return -1;
            case Statx::kFails:
                errno = EIO;
                return -1;
            case Statx::kNoSize: {
                int r = gOsSysReal.statx(fd, path, flags, mask, out);
                out->stx_mask &= ~STATX_SIZE;
                out->stx_size = 0;
                return r;
            }
            case Statx::kReal:
                break;
            }
            return gOsSysReal.statx(fd, path, flags, mask, out);
        };
        gOsSys.fstat = [](int fd, struct stat *st) {
            ++fstatCalls;
            if (fstatFails) {
                errno = EIO;
                return -1;
            }
            return gOsSysReal.fstat(fd, st);
        };
        gOsSys.stat = [](const char *path, struct stat *st) {
            ++fstatCalls;
            if (fstatFails) {
                errno = EIO;
                return -1;
            }
            return gOsSysReal.stat(path, st);
        };
    }
};

TEST_F(OsFileTest, LengthAsksForTheSizeAloneAndFallsBackToFstat) {
    using Statx = SizeQuery::Statx;
    struct Case {
        const char *name;
        Statx statx;
        bool fstatFails;
        bool ok;
        int fstatCalls;
    };
    const Case cases[] = {
        {"statx answers", Statx::kReal, false, true, 0},
        {"statx missing", Statx::kMissing, false, true, 1},
        {"statx refused by a sandbox", Statx::kRefused, false, true, 1},
        {"statx without the size", Statx::kNoSize, false, true, 1},
        {"statx fails", Statx::kFails, false, false, 0},
        {"statx missing, fstat fails", Statx::kMissing, true, false, 1},
    };
    Write("f", std::string(70000, 'x'));
    OsFile *h = OsFileOpen(Path("f").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    OsSysOverride restore;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SizeQuery::Install(c.statx, c.fstatFails);
        uint32_t len = 0;
        uint64_t len64 = 0;
        EXPECT_EQ(OsFileGetLength(h, &len), c.ok);
        EXPECT_EQ(OsFileGetLength64(h, &len64), c.ok);
        if (c.ok) {
            EXPECT_EQ(len, 70000u);
            EXPECT_EQ(len64, 70000u);
        }
        EXPECT_EQ(SizeQuery::statxCalls, 2);
        EXPECT_EQ(SizeQuery::statxMask, static_cast<unsigned int>(STATX_SIZE)) << "no times";
        EXPECT_EQ(SizeQuery::statxFlags, AT_EMPTY_PATH);
        EXPECT_EQ(SizeQuery::fstatCalls, 2 * c.fstatCalls);

        // The identity of the open file and of the file its path names: the
        // same file, found the same way.
        OsFileIdentity open{}, named{};
        EXPECT_EQ(OsFileGetIdentity(h, &open), c.ok);
        EXPECT_EQ(OsFilePathIdentity(Path("f").c_str(), &named), c.ok);
        EXPECT_EQ(SizeQuery::statxMask & (STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME),
                  0u);
        EXPECT_EQ(SizeQuery::fstatCalls, 4 * c.fstatCalls);
        if (c.ok) {
            struct stat st = Stat("f");
            EXPECT_EQ(open.device, st.st_dev);
            EXPECT_EQ(open.inode, st.st_ino);
            EXPECT_EQ(open.size, 70000u);
            EXPECT_EQ(open.links, 1u);
            EXPECT_EQ(memcmp(&open, &named, sizeof open), 0);
        }
    }
    OsFileClose(h);
}

TEST_F(OsFileTest, AttributesReadFromModeAndName) {
    struct Case {
        const char *name;
        mode_t mode;
        uint32_t attrs;
    } cases[] = {
        {"ro", 0444, 0x00010008},        {"rw", 0644, 0x00030000},   {"rwx", 0700, 0x00070000},
        {"xonly", 0100, 0x00050000},     {"none", 0000, 0x00010008}, {".hidden", 0644, 0x00030004},
        {".hiddenro", 0400, 0x0001000C},
    };
    for (const Case &c : cases) {
        Write(c.name, "x");
        ASSERT_EQ(chmod(Path(c.name).c_str(), c.mode), 0);
        OsFile *h = OsFileOpen(Path(c.name).c_str(), CliFileFlagRead);
        ASSERT_NE(h, nullptr) << c.name;
        uint32_t attrs = 0;
        EXPECT_TRUE(OsFileGetAttributes(h, &attrs));
        EXPECT_EQ(attrs, c.attrs) << c.name;
        OsFileClose(h);
    }
    // A directory opened as a file: bit 14 of its mode.
    ASSERT_EQ(mkdir(Path(".d").c_str(), 0755), 0);
    OsFile *h = OsFileOpen(Path(".d").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    uint32_t attrs = 0;
    EXPECT_TRUE(OsFileGetAttributes(h, &attrs));
    EXPECT_EQ(attrs, 0x00070005u);
    OsFileClose(h);
}

bool Immutable(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    uint32_t flags = 0;
    bool ok = fd >= 0 && BsdFileFlags(fd, &flags) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok && flags == (UF_IMMUTABLE | SF_IMMUTABLE);
}

TEST_F(OsFileTest, SetAttributesPermissions) {
    struct Case {
        uint32_t attrs;
        mode_t mode;
    } cases[] = {
        {CliFileAttrOwnerRead | CliFileAttrOwnerWrite, 0600},
        {CliFileAttrOwnerRead, 0400},
        {CliFileAttrOwnerExec, 0100},
        {CliFileAttrOwnerRead | CliFileAttrOwnerWrite | CliFileAttrOwnerExec, 0700},
        {0, 0654},                                  // nothing asked: untouched
        {CliFileAttrDir | CliFileAttrHidden, 0654}, // ignored when written
    };
    for (const Case &c : cases) {
        Write("f", "x");
        ASSERT_EQ(chmod(Path("f").c_str(), 0654), 0);
        EXPECT_TRUE(OsFileSetAttributes(Path("f").c_str(), c.attrs)) << std::hex << c.attrs;
        EXPECT_EQ(Mode("f"), c.mode) << std::hex << c.attrs;
        EXPECT_FALSE(Immutable(Path("f")));
    }
    EXPECT_FALSE(OsFileSetAttributes(Path("missing").c_str(), CliFileAttrOwnerRead));
    EXPECT_FALSE(OsFileSetAttributes(nullptr, CliFileAttrOwnerRead));
}

TEST_F(OsFileTest, ReadOnlyMakesTheFileImmutable) {
    Write("f", "keep");
    ASSERT_EQ(chmod(Path("f").c_str(), 0644), 0);
    // Permissions and the flag together: both take effect.
    ASSERT_TRUE(OsFileSetAttributes(Path("f").c_str(), CliFileAttrReadOnly | CliFileAttrOwnerRead));
    EXPECT_EQ(Mode("f"), 0400u);
    EXPECT_TRUE(Immutable(Path("f")));
    // Even the superuser cannot change or remove it now.
    EXPECT_EQ(open(Path("f").c_str(), O_WRONLY | O_TRUNC), -1);
    EXPECT_FALSE(OsFileDelete(Path("f").c_str()));
    EXPECT_EQ(Read("f"), "keep");

    OsFile *h = OsFileOpen(Path("f").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    uint32_t attrs = 0;
    EXPECT_TRUE(OsFileGetAttributes(h, &attrs));
    EXPECT_EQ(attrs, CliFileAttrOwnerRead | CliFileAttrReadOnly);
    OsFileClose(h);

    // An immutable file refuses new permissions.
    EXPECT_FALSE(OsFileSetAttributes(Path("f").c_str(), CliFileAttrOwnerWrite));
    EXPECT_EQ(chflags(Path("f").c_str(), 0), 0);
    EXPECT_FALSE(Immutable(Path("f")));
    EXPECT_TRUE(OsFileDelete(Path("f").c_str()));
}

TEST_F(OsFileTest, FlagsWithoutCounterpartFailAndChangeNothing) {
    Write("f", "x");
    ASSERT_EQ(chmod(Path("f").c_str(), 0644), 0);
    EXPECT_FALSE(OsFileSetAttributes(Path("f").c_str(), CliFileAttrArchived));
    EXPECT_FALSE(OsFileSetAttributes(Path("f").c_str(), CliFileAttrArchived | CliFileAttrReadOnly |
                                                            CliFileAttrOwnerRead));
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_FALSE(Immutable(Path("f")));
    EXPECT_EQ(Mode("f"), 0644u) << "a failure leaves the permissions as they were";
    // Archived alone would have applied its flag before the permissions.
    EXPECT_FALSE(
        OsFileSetAttributes(Path("f").c_str(), CliFileAttrArchived | CliFileAttrOwnerRead));
    EXPECT_EQ(Mode("f"), 0644u);

    // A file system without inode attributes cannot make a file immutable.
    EXPECT_FALSE(OsFileSetAttributes("/proc/self/comm", CliFileAttrReadOnly));
    EXPECT_EQ(errno, EOPNOTSUPP);
    int fd = open("/proc/self/comm", O_RDONLY);
    ASSERT_GE(fd, 0);
    uint32_t flags = 7;
    EXPECT_EQ(BsdFileFlags(fd, &flags), -1);
    EXPECT_EQ(flags, 0u);
    close(fd);
}

TEST_F(OsFileTest, TimesSetByNameInAccessModificationOrder) {
    Write("f", "x");
    OsFile *h = OsFileOpen(Path("f").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(OsFileSetTimes(h, 123, 1000000000, 1500000000));
    OsFt c = -1, m = 0, a = 0;
    ASSERT_TRUE(OsFileGetTimes(h, &c, &m, &a));
    EXPECT_EQ(c, 0);
    EXPECT_EQ(m, 1500000000);
    EXPECT_EQ(a, 1000000000);
    // Past 2038 and before 1970.
    ASSERT_TRUE(OsFileSetTimes(h, 0, -86400, 0x100000000ll));
    ASSERT_TRUE(OsFileGetTimes(h, &c, &m, &a));
    EXPECT_EQ(m, 0x100000000ll);
    EXPECT_EQ(a, -86400);
    // Works by name: once the name is gone, setting fails while the
    // descriptor still answers queries.
    ASSERT_EQ(unlink(Path("f").c_str()), 0);
    EXPECT_FALSE(OsFileSetTimes(h, 0, 1, 2));
    EXPECT_TRUE(OsFileGetTimes(h, &c, &m, &a));
    OsFileClose(h);
}

TEST_F(OsFileTest, ExistsAndDelete) {
    Write("f", "x");
    ASSERT_EQ(mkdir(Path("d").c_str(), 0755), 0);
    EXPECT_TRUE(OsFileExists(Path("f").c_str()));
    EXPECT_TRUE(OsFileExists(Path("d").c_str()));
    EXPECT_FALSE(OsFileExists(Path("none").c_str()));
    EXPECT_FALSE(OsFileExists(nullptr));
    EXPECT_TRUE(OsFileDelete(Path("f").c_str()));
    EXPECT_FALSE(OsFileExists(Path("f").c_str()));
    EXPECT_FALSE(OsFileDelete(Path("f").c_str()));
    EXPECT_FALSE(OsFileDelete(Path("d").c_str())) << "directories are not deleted";
    EXPECT_EQ(OsFileFind(), nullptr);
}

TEST_F(OsFileTest, RenameReplacesTargetsInBothModes) {
    for (bool overwrite : {false, true}) {
        Write("a", "new");
        Write("b", "old");
        EXPECT_TRUE(OsFileRename(Path("a").c_str(), Path("b").c_str(), overwrite));
        EXPECT_EQ(Read("b"), "new");
        EXPECT_FALSE(Exists("a"));
    }
    // A directory takes the place of a file only with overwrite.
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
    Write("b", "old");
    EXPECT_FALSE(OsFileRename(Path("dir").c_str(), Path("b").c_str(), false));
    EXPECT_EQ(Read("b"), "old");
    EXPECT_TRUE(OsFileRename(Path("dir").c_str(), Path("b").c_str(), true));
    struct stat st;
    ASSERT_EQ(stat(Path("b").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(OsFileTest, FailedRenameKeepsTheTarget) {
    Write("b", "precious");
    // The source is missing: nothing may happen to the target.
    EXPECT_FALSE(OsFileRename(Path("missing").c_str(), Path("b").c_str(), true));
    EXPECT_EQ(Read("b"), "precious");

    Write("a", "new");
    SysFaults faults;
    faults.FailFrom(Sys::rename, 1, EIO);
    EXPECT_FALSE(OsFileRename(Path("a").c_str(), Path("b").c_str(), true));
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(Read("b"), "precious");
    EXPECT_EQ(Read("a"), "new");
}

TEST(OsFileTime, RuntimeTimeConversions) {
    OsFt ft = -1;
    EXPECT_TRUE(OsFileTimetToOsFt(0xFFFFFFFFu, &ft));
    EXPECT_EQ(ft, 4294967295ll) << "zero-extended";
    uint32_t t = 0;
    EXPECT_TRUE(OsFileOsFtToTimet(0x100000005ll, &t));
    EXPECT_EQ(t, 5u);
    EXPECT_TRUE(OsFileOsFtToTimet(-1, &t));
    EXPECT_EQ(t, 0xFFFFFFFFu);

    OsFt now = 0;
    time_t before = time(nullptr);
    EXPECT_TRUE(OsFileGetCurrentOsFt(&now));
    EXPECT_GE(now, before);
    EXPECT_LE(now, time(nullptr));
    SysFaults faults;
    faults.FailFrom(Sys::time, 1, EOVERFLOW);
    EXPECT_FALSE(OsFileGetCurrentOsFt(&now));
}

// Sets TZ for the life of the object.
class TimeZone {
public:
    explicit TimeZone(const char *tz) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) {
            old_ = old;
        }
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST(OsFileTime, DosDateAndTime) {
    TimeZone zone("UTC0");
    struct Case {
        OsFt ft;
        uint16_t date, time;
    } cases[] = {
        {1583847958, 0x506A, 0x6DBD}, // 2020-03-10 13:45:58
        {315532800, 0x0021, 0x0000},  // 1980-01-01 00:00:00
        {315532801, 0x0021, 0x0000},  // odd seconds are halved down
        {4354819199, 0xFF9F, 0xBF7D}, // 2107-12-31 23:59:59
        {4354819200, 0x0021, 0x0000}, // 2108-01-01: the year wraps
    };
    for (const Case &c : cases) {
        uint16_t date = 0, time = 0;
        ASSERT_TRUE(OsFileOsFtToDosTime(c.ft, &date, &time)) << c.ft;
        EXPECT_EQ(date, c.date) << c.ft;
        EXPECT_EQ(time, c.time) << c.ft;
    }
    OsFt back = 0;
    EXPECT_TRUE(OsFileDosTimeToOsFt(0x506A, 0x6DBD, &back));
    EXPECT_EQ(back, 1583847958);
    uint16_t date, time;
    EXPECT_FALSE(OsFileOsFtToDosTime(INT64_MAX, &date, &time)) << "no calendar for that";
}

TEST(OsFileTime, DosTimeIsReadAsLocalStandardTime) {
    {
        TimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
        OsFt ft = 0;
        EXPECT_TRUE(OsFileDosTimeToOsFt(0x506A, 0x6DBD, &ft));
        EXPECT_EQ(ft, 1583847958 - 3600) << "13:45:58 at UTC+1 in March";
        // In summer the words are still read as standard time (UTC+1), not
        // as the daylight saving time in force (UTC+2).
        uint16_t july10 = static_cast<uint16_t>((40 << 9) | (7 << 5) | 10);
        EXPECT_TRUE(OsFileDosTimeToOsFt(july10, 0x6DBD, &ft));
        EXPECT_EQ(ft, 1594388758 - 3600);
    }
    {
        TimeZone zone("EST5EDT");
        OsFt ft = 0;
        EXPECT_TRUE(OsFileDosTimeToOsFt(0x506A, 0x6DBD, &ft));
        EXPECT_EQ(ft, 1583847958 + 5 * 3600);
    }
}

} // namespace
