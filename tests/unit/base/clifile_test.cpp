// File handles: parent-directory creation on open, whole writes, forward
// seeks, counted reads and lengths, including their failures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "lib/cli/shared/clifile.h"
#include "tests/support/child_process.h"
#include "tests/support/sys_faults.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint32_t kRW = CliFileFlagRead | CliFileFlagWrite;
using testsupport::Sys;
using testsupport::SysFaults;

class CliFileTest : public ::testing::Test, protected testsupport::TempDir {
protected:
    void SetUp() override { ASSERT_TRUE(Make("clifile_test.")); }

    testsupport::ScopedUmask umask_{022};
};

TEST_F(CliFileTest, OpenCreatesMissingParentWhenCreating) {
    for (uint32_t create :
         {CliFileFlagCreateAlways, CliFileFlagCreateNew, CliFileFlagOpenAlways, 0x00130420u}) {
        std::filesystem::remove_all(Path("logs"));
        OsFile *h = CliFileOpen(Path("logs/x.log").c_str(), create | kRW);
        ASSERT_NE(h, nullptr) << std::hex << create;
        EXPECT_TRUE(CliFileWrite(h, "data", 4));
        CliFileClose(h);
        EXPECT_EQ(Stat("logs").st_mode & 07777, 0700u) << "directory for its owner alone";
        EXPECT_EQ(Stat("logs/x.log").st_mode & 07777, 0644u);
        EXPECT_EQ(Read("logs/x.log"), "data");
    }
}

TEST_F(CliFileTest, OpenWithoutCreateBitsMakesNoDirectory) {
    SysFaults faults;
    for (uint32_t flags : {kRW, CliFileFlagTruncate | kRW, CliFileFlagRead}) {
        EXPECT_EQ(CliFileOpen(Path("logs/x.log").c_str(), flags), nullptr);
    }
    EXPECT_EQ(faults.Calls(Sys::mkdir), 0u);
    EXPECT_FALSE(Exists("logs"));
    // The directory flag alone goes straight to the OS layer.
    EXPECT_NE(CliFileOpen(Path("d").c_str(), CliFileFlagDir | CliFileFlagCreateAlways), nullptr);
    EXPECT_EQ(faults.Calls(Sys::mkdir), 1u);
    EXPECT_EQ(CliFileOpen(nullptr, CliFileFlagOpenAlways), nullptr);
}

TEST_F(CliFileTest, OpenTwoLevelsMissingFails) {
    SysFaults faults;
    EXPECT_EQ(CliFileOpen(Path("a/b/x.log").c_str(), CliFileFlagOpenAlways | kRW), nullptr);
    EXPECT_FALSE(Exists("a"));
    EXPECT_EQ(faults.Calls(Sys::mkdir), 1u) << "only the immediate parent is tried";
}

TEST_F(CliFileTest, FailedDirectoryCreationStopsTheOpen) {
    SysFaults faults;
    faults.FailFrom(Sys::mkdir, 1, EROFS);
    EXPECT_EQ(CliFileOpen(Path("logs/x.log").c_str(), CliFileFlagOpenAlways | kRW), nullptr);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(faults.Calls(Sys::open), 1u) << "the directory probe only; the file is never opened";
    EXPECT_FALSE(Exists("logs"));
}

TEST_F(CliFileTest, FileInAParentThatIsAFileFails) {
    Write("plain", "x");
    EXPECT_EQ(CliFileOpen(Path("plain/x.log").c_str(), CliFileFlagOpenAlways | kRW), nullptr);
    EXPECT_EQ(Read("plain"), "x");
}

// A process without the right to override permissions (any user but a
// superuser with all its capabilities) logs into the directory it made.
TEST_F(CliFileTest, NonSuperuserCreatesItsFileInTheNewDirectory) {
    ASSERT_EQ(chmod(Root().c_str(), 0777), 0);
    std::string path = Path("logs/x.log");
    auto r = testsupport::RunInChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            testsupport::SideChannelWrite("no setuid");
            return;
        }
        OsFile *h = CliFileOpen(path.c_str(), CliFileFlagOpenAlways | kRW);
        testsupport::SideChannelWrite(h == nullptr ? "refused" : "opened");
        CliFileClose(h);
    });
    EXPECT_EQ(r.side, "opened");
    EXPECT_EQ(Stat("logs").st_mode & 07777, 0700u) << "the directory is its owner's alone";
    EXPECT_EQ(Stat("logs").st_uid, 65534u);
    EXPECT_TRUE(Exists("logs/x.log"));
}

TEST_F(CliFileTest, ParentBeyond1023CharactersIsStillCreated) {
    std::string parent = Root();
    for (int i = 0; i < 5; ++i) {
        parent += "/" + std::string(200, static_cast<char>('a' + i));
        if (i < 4) {
            ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
        }
    }
    ASSERT_GT(parent.size(), 1023u);
    std::string path = parent + "/x.log";
    OsFile *h = CliFileOpen(path.c_str(), CliFileFlagCreateNew | kRW);
    ASSERT_NE(h, nullptr);
    CliFileClose(h);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
}

TEST_F(CliFileTest, RootLevelPathsNeedNoDirectory) {
    // A '/' only at the start, or none at all: no directory step. The root
    // is this test's directory (chroot, in a child).
    std::string root = Root();
    auto r = testsupport::RunInChild([&] {
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
            testsupport::SideChannelWrite("no chroot");
            return;
        }
        SysFaults faults;
        OsFile *top = CliFileOpen("/top.log", CliFileFlagOpenAlways | kRW);
        OsFile *bare = CliFileOpen("bare.log", CliFileFlagOpenAlways | kRW);
        testsupport::SideChannelWrite(std::to_string(top != nullptr) +
                                      std::to_string(bare != nullptr) + " opens " +
                                      std::to_string(faults.Calls(Sys::open)) + " mkdirs " +
                                      std::to_string(faults.Calls(Sys::mkdir)));
        CliFileClose(top);
        CliFileClose(bare);
    });
    EXPECT_EQ(r.side, "11 opens 2 mkdirs 0");
    EXPECT_TRUE(Exists("top.log"));
    EXPECT_TRUE(Exists("bare.log"));
}

TEST_F(CliFileTest, WriteIsWholeOrFailure) {
    OsFile *h = CliFileOpen(Path("f").c_str(), CliFileFlagCreateAlways | kRW);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(CliFileWrite(h, "abc", 3));
    EXPECT_TRUE(CliFileWrite(h, "", 0));
    EXPECT_FALSE(CliFileWrite(h, "abc", -1));
    EXPECT_FALSE(CliFileWrite(nullptr, "abc", 3));
    {
        OsSysOverride shortWrites;
        gOsSys.write = [](int fd, const void *buf, size_t len) {
            return gOsSysReal.write(fd, buf, len / 2);
        };
        EXPECT_FALSE(CliFileWrite(h, "defg", 4)) << "a short write is a failure";
    }
    EXPECT_EQ(Read("f"), "abcde") << "the part written stays; nothing is retried";
    CliFileClose(h);
    CliFileClose(nullptr);

    // A write past the file-size limit fails for real.
    std::string path = Path("limited");
    auto r = testsupport::RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {8, 8};
        setrlimit(RLIMIT_FSIZE, &lim);
        OsFile *f = CliFileOpen(path.c_str(), CliFileFlagCreateAlways | kRW);
        std::string out;
        out += CliFileWrite(f, "12345", 5) ? "1" : "0";
        out += CliFileWrite(f, "67890", 5) ? "1" : "0"; // 3 fit
        out += CliFileWrite(f, "x", 1) ? "1" : "0";     // none fits
        CliFileClose(f);
        testsupport::SideChannelWrite(out);
    });
    EXPECT_EQ(r.side, "100");
    EXPECT_EQ(Read("limited"), "12345678");
}

TEST_F(CliFileTest, SeeksMoveForward) {
    Write("f", "0123456789");
    OsFile *h = CliFileOpen(Path("f").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    char ch = 0;
    uint32_t count = 1;
    ASSERT_TRUE(CliFileSeekSet(h, 3));
    ASSERT_TRUE(CliFileRead(h, -1, &ch, 1, &count));
    EXPECT_EQ(ch, '3');
    ASSERT_TRUE(CliFileSeekCur(h, 2));
    ASSERT_TRUE(CliFileRead(h, -1, &ch, 1, &count));
    EXPECT_EQ(ch, '6');
    ASSERT_TRUE(CliFileSeekEnd(h));
    count = 0;
    ASSERT_TRUE(CliFileRead(h, -1, &ch, 1, &count));
    EXPECT_EQ(count, 0u);
    // 0xFFFFFFFF is a forward seek, not a step back by one.
    ASSERT_TRUE(CliFileSeekSet(h, 2));
    ASSERT_TRUE(CliFileSeekCur(h, 0xFFFFFFFFu));
    EXPECT_EQ(lseek(h->descriptor, 0, SEEK_CUR), 0x100000001ll);
    EXPECT_FALSE(CliFileSeekEnd(nullptr));
    EXPECT_FALSE(CliFileSeekSet(nullptr, 0));
    EXPECT_FALSE(CliFileSeekCur(nullptr, 0));
    CliFileClose(h);
}

TEST_F(CliFileTest, CountedReads) {
    Write("f", "0123456789");
    OsFile *h = CliFileOpen(Path("f").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    struct Case {
        int32_t offset;
        uint32_t size;
        uint32_t countIn;
        bool ok;
        const char *bytes; // what lands in the buffer
        uint32_t countOut;
    } cases[] = {
        {0, 4, 0, true, "0123", 4}, {-1, 4, 0, true, "4567", 4}, // from the current position
        {-1, 4, 0, true, "89", 2},  {6, 4, 4, true, "6789", 4},  // the demanded count arrives
        {7, 4, 4, false, "789", 4}, // it does not: failure, bytes still there
        {2, 3, 2, false, "234", 2}, // more than demanded is wrong too
        {10, 4, 0, true, "", 0},
    };
    for (const Case &c : cases) {
        char buf[8];
        memset(buf, '#', sizeof buf);
        uint32_t count = c.countIn;
        EXPECT_EQ(CliFileRead(h, c.offset, buf, c.size, &count), c.ok) << c.offset;
        EXPECT_EQ(std::string(buf, strlen(c.bytes)), c.bytes) << c.offset;
        EXPECT_EQ(buf[strlen(c.bytes)], '#');
        EXPECT_EQ(count, c.countOut) << c.offset;
    }
    char buf[4];
    EXPECT_TRUE(CliFileRead(h, 1, buf, 2, nullptr));
    EXPECT_EQ(std::string(buf, 2), "12");
    {
        SysFaults faults;
        faults.FailFrom(Sys::lseek, 1, EINVAL);
        EXPECT_FALSE(CliFileRead(h, 0, buf, 2, nullptr));
        EXPECT_EQ(faults.Calls(Sys::read), 0u) << "no read after a failed seek";
        faults.FailFrom(Sys::read, 1, EIO);
        EXPECT_FALSE(CliFileRead(h, -1, buf, 2, nullptr));
    }
    EXPECT_FALSE(CliFileRead(nullptr, 0, buf, 2, nullptr));
    CliFileClose(h);
}

TEST_F(CliFileTest, LengthIsZeroedFirst) {
    Write("f", "0123456789");
    OsFile *h = CliFileOpen(Path("f").c_str(), CliFileFlagRead);
    ASSERT_NE(h, nullptr);
    uint32_t len = 77;
    EXPECT_TRUE(CliFileGetLength(h, &len));
    EXPECT_EQ(len, 10u);
    SysFaults faults;
    faults.FailFrom(Sys::statx, 1, EIO);
    len = 77;
    EXPECT_FALSE(CliFileGetLength(h, &len));
    EXPECT_EQ(len, 0u);
    len = 77;
    EXPECT_FALSE(CliFileGetLength(nullptr, &len));
    EXPECT_EQ(len, 0u);
    CliFileClose(h);
}

} // namespace
