// The rotating log: handle set-up, appending, rotation with the full set of
// files checked after each step, what survives when a write, a length
// query, a rename, a delete or an open fails (through the system-call seam
// or for real under a file-size limit), and the log's answer to others
// truncating, writing to, deleting or moving its file, on a clock of the
// test's own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "lib/cli/shared/clilog.h"
#include "tests/support/child_process.h"
#include "tests/support/sys_faults.h"
#include "tests/support/temp_dir.h"

namespace {

using Files = std::map<std::string, std::string>; // name -> contents

using testsupport::Sys;

// The seam under the fault controller, with the log's clock, the stat of
// one path and statx of a path (not of a descriptor) in the test's hands.
// FailAt makes an entry's Nth call since Reset (counting from 1) fail
// with the entry's usual error; 0 never fails.
struct Faults {
    static inline testsupport::SysFaults *controller;
    static inline int statFailErrno;
    static inline std::string statFailPath;
    static inline int pathQueryErrno; // statx of a path (not of a descriptor)
    static inline uint64_t nowMs;     // the clock stands still unless moved
    static inline bool clockFails;
    static inline int (*countedStat)(const char *, struct stat *);
    static inline int (*countedStatx)(int, const char *, int, unsigned int, struct statx *);

    static void Install(testsupport::SysFaults &faults) {
        controller = &faults;
        Reset();
        countedStat = gOsSys.stat;
        countedStatx = gOsSys.statx;
        gOsSys.statx = [](int fd, const char *p, int f, unsigned int m, struct statx *out) {
            if (p[0] != '\0' && pathQueryErrno != 0) {
                errno = pathQueryErrno;
                return -1;
            }
            return countedStatx(fd, p, f, m, out);
        };
        gOsSys.clock_gettime = [](clockid_t, struct timespec *ts) {
            if (clockFails) {
                errno = EINVAL;
                return -1;
            }
            ts->tv_sec = static_cast<time_t>(nowMs / 1000);
            ts->tv_nsec = static_cast<long>(nowMs % 1000 * 1000000);
            return 0;
        };
        gOsSys.stat = [](const char *p, struct stat *st) {
            if (statFailErrno != 0 && statFailPath == p) {
                errno = statFailErrno;
                return -1;
            }
            return countedStat(p, st);
        };
    }
    // No failure, fresh counts, the clock back at its start.
    static void Reset() {
        controller->ResetAll();
        statFailErrno = pathQueryErrno = 0;
        statFailPath.clear();
        nowMs = 5000;
        clockFails = false;
    }

    static void FailAt(Sys entry, uint32_t n) {
        int error = entry == Sys::rename   ? EIO
                    : entry == Sys::unlink ? EBUSY
                    : entry == Sys::open   ? EACCES
                    : entry == Sys::write  ? ENOSPC
                                           : EIO; // statx: the length query
        controller->FailNth(entry, n, error);
    }
    static uint32_t Calls(Sys entry) { return controller->Calls(entry); }
    // Counts the entry's calls from now on.
    static void Recount(Sys entry) { controller->Reset(entry); }
};

class CliLogTest : public ::testing::Test, protected testsupport::TempDir {
protected:
    void SetUp() override {
        ASSERT_TRUE(Make("clilog_test."));
        Faults::Install(faults_);
    }
    void TearDown() override { CliLogFree(&log_); }

    void Put(const std::string &name, const std::string &contents) {
        TempDir::Write(name, contents);
    }

    // Every file in the directory (or a subdirectory of it) with contents.
    Files Dir(const std::string &sub = "") const {
        Files files;
        std::string where = sub.empty() ? Root() : Path(sub);
        for (const auto &entry : std::filesystem::directory_iterator(where)) {
            if (entry.is_regular_file()) {
                files[entry.path().filename()] = testsupport::ReadFile(entry.path());
            }
        }
        return files;
    }

    CliLogFile *Init(const std::string &name, uint32_t limit, uint32_t count) {
        CliLogFree(&log_);
        log_ = CliLogInit(Path(name).c_str(), limit, count);
        EXPECT_NE(log_, nullptr);
        return log_;
    }

    bool Write(const std::string &text) {
        return CliLogWrite(log_, text.data(), static_cast<uint32_t>(text.size()));
    }

    CliLogFile *log_ = nullptr;
    testsupport::SysFaults faults_;
};

TEST(CliLogInit, ValidatesPathAndCounts) {
    std::string dir1020 = "/";
    dir1020.append(1010, 'd').append("/");       // 1012 characters
    std::string path1020 = dir1020 + "name.log"; // + 8 = 1020
    ASSERT_EQ(path1020.size(), 1020u);
    std::string base63(63, 'b'), base64(64, 'b');
    struct Case {
        std::string path;
        uint32_t limit, count;
        bool ok;
        uint32_t kept;
    } cases[] = {
        {path1020, 0, 5, true, 5},
        {path1020 + "x", 0, 5, false, 0},
        {"/l/x.log", 100, 0, false, 0},
        {"/l/x.log", 100, 101, false, 0},
        {"/l/x.log", 100, 100, true, 100},
        {"/l/x.log", 100, 1, true, 2}, // a limit needs a predecessor
        {"/l/x.log", 0, 1, true, 1},
        {"/l/" + base63 + ".log", 0, 5, true, 5},
        {"/l/" + base64 + ".log", 0, 5, false, 0},
        {"/l/x." + std::string(14, 'e'), 0, 5, true, 5}, // 15 with the dot
        {"/l/x." + std::string(15, 'e'), 0, 5, false, 0},
    };
    for (const Case &c : cases) {
        CliLogFile *log = CliLogInit(c.path.c_str(), c.limit, c.count);
        EXPECT_EQ(log != nullptr, c.ok) << c.path.size() << " " << c.count;
        if (log != nullptr) {
            EXPECT_EQ(log->fileCount, c.kept);
            EXPECT_EQ(log->sizeLimit, c.limit);
            EXPECT_FALSE(CliLogIsOpen(log));
            EXPECT_FALSE(log->rotatedOnce);
        }
        CliLogFree(&log);
        EXPECT_EQ(log, nullptr);
    }
    EXPECT_EQ(CliLogInit(nullptr, 0, 5), nullptr);
}

TEST(CliLogInit, SplitsThePathAndTouchesNothingOnDisk) {
    CliLogFile *log = CliLogInit("/nonexistent_dir_for_log_test/Trelvox.log", 52428800, 5);
    ASSERT_NE(log, nullptr);
    EXPECT_STREQ(log->curPath, "/nonexistent_dir_for_log_test/Trelvox.log");
    EXPECT_STREQ(log->dirName, "/nonexistent_dir_for_log_test/");
    EXPECT_STREQ(log->baseName, "Trelvox");
    EXPECT_STREQ(log->extName, ".log");
    EXPECT_EQ(log->fileHandle, nullptr);
    EXPECT_NE(access("/nonexistent_dir_for_log_test", F_OK), 0);
    CliLogFree(&log);

    // Null address and empty pointer are ignored.
    CliLogFree(nullptr);
    CliLogFree(&log);
    CliLogClose(nullptr);
    EXPECT_FALSE(CliLogIsOpen(nullptr));
    EXPECT_FALSE(CliLogOpen(nullptr));
    EXPECT_FALSE(CliLogCheckLength(nullptr));
}

TEST_F(CliLogTest, OpenAppendsAndCreatesOneDirectoryLevel) {
    Init("logs/app.log", 0, 3);
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_TRUE(CliLogIsOpen(log_));
    EXPECT_TRUE(Write("one\n"));
    CliLogClose(log_);
    EXPECT_FALSE(CliLogIsOpen(log_));
    ASSERT_TRUE(CliLogOpen(log_)) << "the handle stays usable after closing";
    EXPECT_TRUE(Write("two\n"));
    EXPECT_EQ(Dir("logs"), (Files{{"app.log", "one\ntwo\n"}}));
    struct stat st;
    ASSERT_EQ(stat(Path("logs/app.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // Opening an open handle again does not leak its descriptor.
    int fdsBefore = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++fdsBefore;
    }
    ASSERT_TRUE(CliLogOpen(log_));
    int fdsAfter = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++fdsAfter;
    }
    EXPECT_EQ(fdsAfter, fdsBefore);
    EXPECT_TRUE(Write("three\n"));
    EXPECT_EQ(Dir("logs"), (Files{{"app.log", "one\ntwo\nthree\n"}}));
}

TEST_F(CliLogTest, WriteRefusesEmptyAndClosed) {
    Init("x.log", 0, 2);
    EXPECT_FALSE(Write("closed")) << "not open";
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_FALSE(CliLogWrite(log_, "abc", 0));
    EXPECT_FALSE(CliLogWrite(log_, nullptr, 3));
    EXPECT_FALSE(CliLogWrite(nullptr, "abc", 3));
    EXPECT_EQ(Dir(), (Files{{"x.log", ""}}));
    EXPECT_TRUE(CliLogIsOpen(log_));
}

TEST_F(CliLogTest, RotatesAtTheLimitNotBelow) {
    Init("Trelvox.log", 10, 5);
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_TRUE(Write("123456789"));
    EXPECT_EQ(Dir(), (Files{{"Trelvox.log", "123456789"}})) << "one byte below: kept";
    EXPECT_TRUE(Write("0"));
    EXPECT_EQ(Dir(), (Files{{"Trelvox.log", ""}, {"Trelvox.01.log", "1234567890"}}));
    // A message that crosses the limit is written whole first.
    EXPECT_TRUE(Write("abcdefghijklmnop"));
    EXPECT_EQ(Dir(), (Files{{"Trelvox.log", ""},
                            {"Trelvox.01.log", "abcdefghijklmnop"},
                            {"Trelvox.02.log", "1234567890"}}));
    EXPECT_TRUE(CliLogIsOpen(log_));
}

TEST_F(CliLogTest, EachRotationMovesEveryFileUpAndDropsTheOldest) {
    Init("svc.log", 300, 4);
    ASSERT_TRUE(CliLogOpen(log_));
    std::vector<std::string> chunks;
    for (char c = 'A'; c <= 'F'; ++c) {
        chunks.push_back(std::string(300, c));
    }
    std::vector<Files> expected = {
        {{"svc.log", ""}, {"svc.01.log", chunks[0]}},
        {{"svc.log", ""}, {"svc.01.log", chunks[1]}, {"svc.02.log", chunks[0]}},
        {{"svc.log", ""},
         {"svc.01.log", chunks[2]},
         {"svc.02.log", chunks[1]},
         {"svc.03.log", chunks[0]}},
        {{"svc.log", ""},
         {"svc.01.log", chunks[3]},
         {"svc.02.log", chunks[2]},
         {"svc.03.log", chunks[1]}},
        {{"svc.log", ""},
         {"svc.01.log", chunks[4]},
         {"svc.02.log", chunks[3]},
         {"svc.03.log", chunks[2]}},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        // Written in three pieces: only the last reaches the limit.
        ASSERT_TRUE(Write(chunks[i].substr(0, 100)));
        ASSERT_TRUE(Write(chunks[i].substr(100, 150)));
        EXPECT_EQ(Dir()["svc.log"], chunks[i].substr(0, 250));
        ASSERT_TRUE(Write(chunks[i].substr(250)));
        EXPECT_EQ(Dir(), expected[i]) << "after rotation " << i + 1;
    }
}

TEST_F(CliLogTest, FirstRotationSweepsStaleNumbersOnlyOnce) {
    Put("Trelvox.log", std::string(300, 'c'));
    for (int i = 1; i <= 9; ++i) {
        Put("Trelvox.0" + std::to_string(i) + ".log", "old" + std::to_string(i));
    }
    Put("Trelvox.42.log", "old42");
    Put("Trelvox.99.log", "old99");
    Put("Trelvox.100.log", "not a number we use");
    Put("other.05.log", "someone else's");
    Init("Trelvox.log", 300, 5);
    ASSERT_TRUE(CliLogOpen(log_)) << "already at the limit: rotated on open";
    EXPECT_EQ(Dir(), (Files{{"Trelvox.log", ""},
                            {"Trelvox.01.log", std::string(300, 'c')},
                            {"Trelvox.02.log", "old1"},
                            {"Trelvox.03.log", "old2"},
                            {"Trelvox.04.log", "old3"},
                            {"Trelvox.100.log", "not a number we use"},
                            {"other.05.log", "someone else's"}}));

    // Stale files that turn up later are left alone: the sweep ran.
    Put("Trelvox.07.log", "late7");
    ASSERT_TRUE(Write(std::string(300, 'n')));
    EXPECT_EQ(Dir(), (Files{{"Trelvox.log", ""},
                            {"Trelvox.01.log", std::string(300, 'n')},
                            {"Trelvox.02.log", std::string(300, 'c')},
                            {"Trelvox.03.log", "old1"},
                            {"Trelvox.04.log", "old2"},
                            {"Trelvox.07.log", "late7"},
                            {"Trelvox.100.log", "not a number we use"},
                            {"other.05.log", "someone else's"}}));

    // A new handle (a new run) sweeps again.
    Init("Trelvox.log", 300, 5);
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write(std::string(300, 'z')));
    EXPECT_EQ(Dir().count("Trelvox.07.log"), 0u);
}

TEST_F(CliLogTest, GapsInTheNumbersAreSkipped) {
    Put("g.log", "cur");
    Put("g.01.log", "one");
    Put("g.03.log", "three");
    Init("g.log", 3, 5);
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_EQ(
        Dir(),
        (Files{{"g.log", ""}, {"g.01.log", "cur"}, {"g.02.log", "one"}, {"g.04.log", "three"}}));
}

TEST_F(CliLogTest, NameWithoutExtension) {
    ASSERT_EQ(mkdir(Path("d").c_str(), 0755), 0);
    Init("d/trace", 4, 3);
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("aaaa"));
    ASSERT_TRUE(Write("bbbb"));
    ASSERT_TRUE(Write("cc"));
    EXPECT_EQ(Dir("d"), (Files{{"trace", "cc"}, {"trace.01", "bbbb"}, {"trace.02", "aaaa"}}));
}

TEST_F(CliLogTest, SingleFile) {
    // With a limit, one file means two.
    Init("one.log", 4, 1);
    ASSERT_TRUE(CliLogOpen(log_));
    for (const char *m : {"1111", "2222", "3333"}) {
        ASSERT_TRUE(Write(m));
    }
    EXPECT_EQ(Dir(), (Files{{"one.log", ""}, {"one.01.log", "3333"}}));

    // Without a limit it grows and nothing is ever swept.
    Put("one.01.log", "stale");
    Init("one.log", 0, 1);
    ASSERT_TRUE(CliLogOpen(log_));
    std::string big(100000, 'x');
    ASSERT_TRUE(Write(big));
    EXPECT_EQ(Dir(), (Files{{"one.log", big}, {"one.01.log", "stale"}}));
}

TEST_F(CliLogTest, NameInTheWorkingDirectoryRotates) {
    std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(chdir(Root().c_str()), 0);
    CliLogFile *log = CliLogInit("rel.log", 3, 3);
    ASSERT_NE(log, nullptr);
    bool opened = CliLogOpen(log);
    bool wrote = CliLogWrite(log, "abc", 3);
    CliLogFree(&log);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(wrote);
    EXPECT_EQ(Dir(), (Files{{"rel.log", ""}, {"rel.01.log", "abc"}}));
}

TEST_F(CliLogTest, FileOf4GiBAndMoreIsRotatedAtOpen) {
    { std::ofstream(Path("big.log")) << ""; }
    std::filesystem::resize_file(Path("big.log"), 0x100000005ull);
    Init("big.log", 300, 2);
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("first"));
    EXPECT_EQ(std::filesystem::file_size(Path("big.01.log")), 0x100000005ull);
    EXPECT_EQ(std::filesystem::file_size(Path("big.log")), 5u);
}

TEST_F(CliLogTest, OpenFailuresLeaveTheHandleClosed) {
    // Two directory levels missing.
    Init("a/b/x.log", 100, 3);
    EXPECT_FALSE(CliLogOpen(log_));
    EXPECT_FALSE(CliLogIsOpen(log_));
    EXPECT_FALSE(std::filesystem::exists(Path("a")));
    EXPECT_FALSE(Write("lost?")) << "reported as not written";
    // Once the parent's parent exists, a later open carries on.
    ASSERT_EQ(mkdir(Path("a").c_str(), 0755), 0);
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("ok"));
    EXPECT_EQ(Dir("a/b"), (Files{{"x.log", "ok"}}));

    // A directory the process may not write in (made to refuse the open).
    Init("x.log", 100, 3);
    Put("x.log", "kept");
    Faults::Recount(Sys::open);
    Faults::FailAt(Sys::open, 2); // the directory probe passes, the file open fails
    EXPECT_FALSE(CliLogOpen(log_));
    EXPECT_FALSE(CliLogIsOpen(log_));
    EXPECT_FALSE(Write("x"));
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("+more"));
    EXPECT_EQ(Dir()["x.log"], "kept+more");
}

TEST_F(CliLogTest, FailedSeekAtOpenDoesNotOverwrite) {
    Put("s.log", "existing contents");
    Init("s.log", 1000, 3);
    {
        faults_.FailFrom(Sys::lseek, 1, EOVERFLOW);
        EXPECT_FALSE(CliLogOpen(log_));
        faults_.Reset(Sys::lseek);
    }
    EXPECT_FALSE(CliLogIsOpen(log_)) << "a write now would go to offset 0";
    EXPECT_FALSE(Write("XXXXXXXX"));
    EXPECT_EQ(Dir()["s.log"], "existing contents");
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("!"));
    EXPECT_EQ(Dir()["s.log"], "existing contents!");
}

TEST_F(CliLogTest, FailedWriteKeepsHandleOpenAndRotatesNothing) {
    Init("w.log", 10, 3);
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("12345678"));
    Faults::Recount(Sys::write);
    Faults::FailAt(Sys::write, 1);
    EXPECT_FALSE(Write("abcdef")) << "reported as not written";
    EXPECT_TRUE(CliLogIsOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"w.log", "12345678"}})) << "nothing written, nothing rotated";
    EXPECT_TRUE(Write("abcdef"));
    EXPECT_EQ(Dir(), (Files{{"w.log", ""}, {"w.01.log", "12345678abcdef"}}));
}

TEST_F(CliLogTest, WriteBeyondTheFileSizeLimit) {
    // For real: the process may not grow files beyond 20 bytes. A file that
    // may not grow is full: it is rotated and the text goes on in a new one.
    std::string path = Path("f.log");
    auto r = testsupport::RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {20, 20};
        setrlimit(RLIMIT_FSIZE, &lim);
        CliLogFile *log = CliLogInit(path.c_str(), 1000, 3);
        std::string out;
        out += CliLogOpen(log) ? "open " : "closed ";
        for (const char *m : {"0123456789", "abcdefghij", "KLMNOPQRST", "u"}) {
            out += CliLogWrite(log, m, static_cast<uint32_t>(strlen(m))) ? "1" : "0";
        }
        out += CliLogIsOpen(log) ? " open" : " closed";
        CliLogFree(&log);
        testsupport::SideChannelWrite(out);
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.side, "open 1111 open");
    EXPECT_EQ(Dir(), (Files{{"f.01.log", "0123456789abcdefghij"}, {"f.log", "KLMNOPQRSTu"}}));

    // A message cut short by the limit: the part that fit stays in the full
    // file, the rest goes on in the new one, nothing twice.
    std::string path2 = Path("g.log");
    r = testsupport::RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {15, 15};
        setrlimit(RLIMIT_FSIZE, &lim);
        CliLogFile *log = CliLogInit(path2.c_str(), 1000, 3);
        CliLogOpen(log);
        std::string out;
        out += CliLogWrite(log, "0123456789", 10) ? "1" : "0";
        out += CliLogWrite(log, "abcdefghij", 10) ? "1" : "0";
        CliLogFree(&log);
        testsupport::SideChannelWrite(out);
    });
    EXPECT_EQ(r.side, "11");
    EXPECT_EQ(Dir()["g.01.log"], "0123456789abcde");
    EXPECT_EQ(Dir()["g.log"], "fghij");
}

// A disk that takes only `budget` more bytes, then fails with ENOSPC until
// a file is deleted; below 0, no limit.
struct Disk {
    static inline int64_t budget = -1;
    static ssize_t Write(int fd, const void *data, size_t length) {
        if (budget < 0) {
            return gOsSysReal.write(fd, data, length);
        }
        size_t n = std::min<size_t>(length, static_cast<size_t>(budget));
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        budget -= static_cast<int64_t>(n);
        return gOsSysReal.write(fd, data, n);
    }
    static int Unlink(const char *path) {
        budget = -1;
        return gOsSysReal.unlink(path);
    }
};

TEST_F(CliLogTest, WritePlacesWhatItCanAndRotatesAtLineEnds) {
    struct Case {
        const char *name;
        bool lineEnds;
        uint32_t overrun;
        const char *before; // written first, with room on the disk
        int64_t budget;     // what the disk then takes; -1: all
        const char *text;
        uint32_t placed;
        int error;
        Files files; // f.log starts as "12345678" (limit 10) beside an old f.02.log
    };
    const std::string old = "old";
    const Case cases[] = {
        {"full disk below the limit",
         false,
         0,
         "",
         1,
         "ab",
         1,
         ENOSPC,
         {{"f.log", "12345678a"}, {"f.02.log", old}}},
        {"short write at the limit rotates",
         false,
         0,
         "",
         2,
         "abc\n",
         4,
         0,
         {{"f.01.log", "12345678ab"}, {"f.log", "c\n"}}},
        {"rotation after the write",
         false,
         0,
         "",
         -1,
         "ab\ncd\n",
         6,
         0,
         {{"f.01.log", "12345678ab\ncd\n"}, {"f.log", ""}}},
        {"at the line end",
         true,
         64,
         "",
         -1,
         "ab\ncd\n",
         6,
         0,
         {{"f.01.log", "12345678ab\n"}, {"f.log", "cd\n"}}},
        {"first line end from the limit on",
         true,
         64,
         "",
         -1,
         "\nabc\nd",
         6,
         0,
         {{"f.01.log", "12345678\nabc\n"}, {"f.log", "d"}}},
        {"no line end yet",
         true,
         64,
         "",
         -1,
         "abc",
         3,
         0,
         {{"f.log", "12345678abc"}, {"f.02.log", old}}},
        {"no line end within the overrun",
         true,
         4,
         "",
         -1,
         "abcdefgh",
         8,
         0,
         {{"f.01.log", "12345678abcdef"}, {"f.log", "gh"}}},
        {"a full disk at the limit rotates",
         true,
         64,
         "ab",
         0,
         "c\n",
         2,
         0,
         {{"f.01.log", "12345678ab"}, {"f.log", "c\n"}}},
    };
    gOsSys.write = Disk::Write;
    gOsSys.unlink = Disk::Unlink;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Path(""));
        std::filesystem::create_directory(Path(""));
        Put("f.log", "12345678");
        Put("f.02.log", old);
        Init("f.log", 10, 3);
        if (c.lineEnds) {
            CliLogRotateAtLineEnds(log_, c.overrun);
        }
        ASSERT_TRUE(CliLogOpen(log_));
        ASSERT_TRUE(c.before[0] == '\0' || Write(c.before));
        Disk::budget = c.budget;
        CliLogWriteResult result;
        CliLogWriteSome(log_, c.text, static_cast<uint32_t>(strlen(c.text)), &result);
        Disk::budget = -1;
        EXPECT_EQ(result.placed, c.placed);
        EXPECT_EQ(result.error, c.error);
        EXPECT_TRUE(CliLogIsOpen(log_));
        EXPECT_EQ(Dir(), c.files);
        CliLogFree(&log_);
    }
}

TEST_F(CliLogTest, FailedLengthQueryAfterTheWrite) {
    Init("q.log", 5, 3);
    ASSERT_TRUE(CliLogOpen(log_));
    Faults::Recount(Sys::statx);
    Faults::FailAt(Sys::statx, 1);
    EXPECT_FALSE(Write("1234567")) << "the length check failed";
    EXPECT_TRUE(CliLogIsOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"q.log", "1234567"}})) << "the bytes are in the file";
    EXPECT_TRUE(Write("8"));
    EXPECT_EQ(Dir(), (Files{{"q.log", ""}, {"q.01.log", "12345678"}}));
}

TEST_F(CliLogTest, RenameFailingPartWay) {
    // Five files, all present; the first rotation deletes 04, then renames
    // 03->04 (call 1), 02->03 (call 2, fails).
    Put("r.log", "CUR");
    for (int i = 1; i <= 4; ++i) {
        Put("r.0" + std::to_string(i) + ".log", "old" + std::to_string(i));
    }
    Init("r.log", 3, 5);
    Faults::FailAt(Sys::rename, 2);
    EXPECT_FALSE(CliLogOpen(log_));
    EXPECT_FALSE(CliLogIsOpen(log_));
    EXPECT_EQ(
        Dir(),
        (Files{{"r.log", "CUR"}, {"r.01.log", "old1"}, {"r.02.log", "old2"}, {"r.04.log", "old3"}}))
        << "what moved stays moved, the rest is untouched";
    EXPECT_FALSE(Write("x")) << "closed: reported as not written";

    // The next open finds the current file still at the limit and completes
    // the interrupted rotation from number 02: old3, already moved to 04, is
    // not deleted a second time.
    Faults::FailAt(Sys::rename, 0);
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"r.log", ""},
                            {"r.01.log", "CUR"},
                            {"r.02.log", "old1"},
                            {"r.03.log", "old2"},
                            {"r.04.log", "old3"}}));
    ASSERT_TRUE(Write("new"));
    // The rotation after that is an ordinary one again.
    EXPECT_EQ(Dir(), (Files{{"r.log", ""},
                            {"r.01.log", "new"},
                            {"r.02.log", "CUR"},
                            {"r.03.log", "old1"},
                            {"r.04.log", "old2"}}));
}

TEST_F(CliLogTest, RepeatedFailuresStillLoseNothingExtra) {
    Put("m.log", "CUR");
    Put("m.01.log", "old1");
    Put("m.02.log", "old2");
    Init("m.log", 3, 4);
    // 02->03 succeeds, 01->02 fails; then at the retry 01->02 succeeds and
    // current->01 fails; the third attempt completes.
    Faults::FailAt(Sys::rename, 2);
    EXPECT_FALSE(CliLogOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"m.log", "CUR"}, {"m.01.log", "old1"}, {"m.03.log", "old2"}}));
    Faults::FailAt(Sys::rename, 4);
    EXPECT_FALSE(CliLogOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"m.log", "CUR"}, {"m.02.log", "old1"}, {"m.03.log", "old2"}}));
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_EQ(
        Dir(),
        (Files{{"m.log", ""}, {"m.01.log", "CUR"}, {"m.02.log", "old1"}, {"m.03.log", "old2"}}));
}

TEST_F(CliLogTest, RenameOfTheCurrentFileFailing) {
    Put("c.log", "current data");
    Put("c.01.log", "one");
    Init("c.log", 5, 3);
    Faults::FailAt(Sys::rename, 2); // 01->02 succeeds, current->01 fails
    EXPECT_FALSE(CliLogOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"c.log", "current data"}, {"c.02.log", "one"}}));
    // The retry moves just the current file: 02 ("one") stays.
    Faults::FailAt(Sys::rename, 0);
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"c.log", ""}, {"c.01.log", "current data"}, {"c.02.log", "one"}}));
}

TEST_F(CliLogTest, DeleteFailingDuringTheSweep) {
    Put("d.log", "CUR");
    Put("d.01.log", "one");
    Put("d.02.log", "two");
    Put("d.09.log", "nine");
    Init("d.log", 3, 2);
    Faults::FailAt(Sys::unlink, 1); // 09 cannot be deleted
    EXPECT_FALSE(CliLogOpen(log_));
    EXPECT_FALSE(CliLogIsOpen(log_));
    EXPECT_EQ(
        Dir(),
        (Files{{"d.log", "CUR"}, {"d.01.log", "one"}, {"d.02.log", "two"}, {"d.09.log", "nine"}}));
    // The retry carries on with the sweep where it stopped.
    Faults::FailAt(Sys::unlink, 0);
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"d.log", ""}, {"d.01.log", "CUR"}}));
}

TEST_F(CliLogTest, FinalOpenFailing) {
    Init("o.log", 4, 3);
    ASSERT_TRUE(CliLogOpen(log_));
    // The rotation's open of the new current file comes right after its
    // directory probe.
    Faults::Recount(Sys::open);
    Faults::FailAt(Sys::open, 2);
    EXPECT_FALSE(Write("abcd"));
    EXPECT_FALSE(CliLogIsOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"o.01.log", "abcd"}})) << "the bytes are in number 01";
    EXPECT_FALSE(Write("lost?")) << "reported as not written";
    Faults::FailAt(Sys::open, 0);
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("ef"));
    EXPECT_EQ(Dir(), (Files{{"o.log", "ef"}, {"o.01.log", "abcd"}}));
}

TEST_F(CliLogTest, UncertainExistenceStopsTheRotation) {
    // If the current file cannot be looked up, it must not be skipped and
    // then emptied by the open that follows.
    Init("u.log", 4, 3);
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("abc"));
    Faults::statFailPath = Path("u.log");
    Faults::statFailErrno = EIO;
    EXPECT_FALSE(Write("d"));
    EXPECT_FALSE(CliLogIsOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"u.log", "abcd"}}));

    // Likewise a numbered file: 01, which turned up meanwhile, must not be
    // replaced by the current file.
    Faults::statFailPath = Path("u.01.log");
    Put("u.01.log", "precious");
    EXPECT_FALSE(CliLogOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"u.log", "abcd"}, {"u.01.log", "precious"}}));
    Faults::statFailErrno = 0;
    ASSERT_TRUE(CliLogOpen(log_));
    EXPECT_EQ(Dir(), (Files{{"u.log", ""}, {"u.01.log", "abcd"}, {"u.02.log", "precious"}}));
}

// Others truncate the file or write to it: the writes still go to its end,
// and the count of its size follows the file's true size, at the limit (a
// truncation) or at the next check (a write of someone else's).
TEST_F(CliLogTest, OthersTruncatingOrWritingMoveTheRotationToTheTrueSize) {
    Init("t.log", 10, 3);
    ASSERT_TRUE(CliLogOpen(log_));
    ASSERT_TRUE(Write("12345678"));
    std::filesystem::resize_file(Path("t.log"), 0);
    ASSERT_TRUE(Write("abcde"));
    EXPECT_EQ(Dir(), (Files{{"t.log", "abcde"}})) << "counted 13, but the file has 5";
    ASSERT_TRUE(Write("fghij"));
    EXPECT_EQ(Dir(), (Files{{"t.log", ""}, {"t.01.log", "abcdefghij"}}));

    { std::ofstream(Path("t.log"), std::ios::app) << "theirs12"; }
    ASSERT_TRUE(Write("k"));
    EXPECT_EQ(Dir()["t.log"], "theirs12k") << "not yet checked: counted 1";
    Faults::nowMs += kCliLogCheckEveryMs;
    ASSERT_TRUE(Write("l"));
    EXPECT_EQ(Dir(),
              (Files{{"t.log", ""}, {"t.01.log", "theirs12kl"}, {"t.02.log", "abcdefghij"}}));
}

// The file deleted, moved away, or moved away and replaced by a new one (as
// rotation by another program does): until the next check the text goes on
// into the open file; the first write after a second, or the write that
// would take the text since the last check beyond 64 KiB, checks first and
// goes to the file at the path, made anew when missing.
TEST_F(CliLogTest, FileGoneFromThePathIsReplacedAtTheNextCheck) {
    enum class Meddle { kDelete, kMove, kReplace };
    const std::string fill(kCliLogCheckEveryBytes - 7, 'f');
    struct Case {
        const char *what;
        Meddle meddle;
        bool byBytes; // the check comes from the bytes, not from the clock
    } cases[] = {
        {"deleted, a second later", Meddle::kDelete, false},
        {"deleted, 64 KiB later", Meddle::kDelete, true},
        {"moved away", Meddle::kMove, false},
        {"moved away and replaced", Meddle::kReplace, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Make("clilog_test."));
        Init("Trelvox.log", 1 << 20, 3);
        ASSERT_TRUE(CliLogOpen(log_));
        ASSERT_TRUE(Write("before\n"));
        int kept = open(Path("Trelvox.log").c_str(), O_RDONLY);
        ASSERT_GE(kept, 0);
        if (c.meddle == Meddle::kDelete) {
            ASSERT_EQ(unlink(Path("Trelvox.log").c_str()), 0);
        } else {
            ASSERT_EQ(rename(Path("Trelvox.log").c_str(), Path("archived").c_str()), 0);
        }
        if (c.meddle == Meddle::kReplace) {
            Put("Trelvox.log", "theirs\n");
        }
        std::string within = c.byBytes ? fill : "within\n";
        Faults::nowMs += c.byBytes ? 0 : kCliLogCheckEveryMs - 1;
        ASSERT_TRUE(Write(within));
        Faults::nowMs += c.byBytes ? 0 : 1;
        ASSERT_TRUE(Write("after\n"));

        std::string old(kCliLogCheckEveryBytes + 100, '\0');
        old.resize(static_cast<size_t>(pread(kept, old.data(), old.size(), 0)));
        close(kept);
        EXPECT_EQ(old, "before\n" + within) << "what went into the old file";
        EXPECT_EQ(Dir()["Trelvox.log"],
                  c.meddle == Meddle::kReplace ? "theirs\nafter\n" : "after\n");
        CliLogFree(&log_);
    }
}

// A check that cannot be carried out, or that finds the file gone and
// cannot open a new one, loses no text: it goes on into the open file while
// that still has a name, and otherwise the write reports failure (with the
// handle closed) so that the caller keeps the text.
TEST_F(CliLogTest, FailedCheckLosesNoText) {
    struct Case {
        const char *what;
        bool move;        // move the file away (else delete it)
        int pathErrno;    // the path query fails so
        bool openFails;   // the open of a new file fails
        bool clockFails;  // the clock cannot be read: every write checks
        bool written;     // "after" is written
        const char *path; // Trelvox.log then holds
        const char *old;  // and the old file
    } cases[] = {
        {"path query fails", true, EIO, false, false, true, nullptr, "before\nafter\n"},
        {"moved, new file fails", true, 0, true, false, true, nullptr, "before\nafter\n"},
        {"deleted, new file fails", false, 0, true, false, false, nullptr, "before\n"},
        {"directory gone", true, ENOTDIR, true, false, true, nullptr, "before\nafter\n"},
        {"clock fails", false, 0, false, true, true, "after\n", "before\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Make("clilog_test."));
        Faults::Reset();
        Init("Trelvox.log", 1 << 20, 3);
        ASSERT_TRUE(CliLogOpen(log_));
        ASSERT_TRUE(Write("before\n"));
        int kept = open(Path("Trelvox.log").c_str(), O_RDONLY);
        ASSERT_GE(kept, 0);
        if (c.move) {
            ASSERT_EQ(rename(Path("Trelvox.log").c_str(), Path("archived").c_str()), 0);
        } else {
            ASSERT_EQ(unlink(Path("Trelvox.log").c_str()), 0);
        }
        Faults::pathQueryErrno = c.pathErrno;
        Faults::FailAt(Sys::open, c.openFails ? Faults::Calls(Sys::open) + 1 : 0);
        Faults::clockFails = c.clockFails;
        Faults::nowMs += c.clockFails ? 0 : kCliLogCheckEveryMs;
        EXPECT_EQ(Write("after\n"), c.written);
        EXPECT_EQ(CliLogIsOpen(log_), c.written);
        EXPECT_EQ(Exists("Trelvox.log"), c.path != nullptr);
        if (c.path != nullptr) {
            EXPECT_EQ(Dir()["Trelvox.log"], c.path);
        }
        char old[64] = {};
        ASSERT_GE(pread(kept, old, sizeof old - 1, 0), 0);
        close(kept);
        EXPECT_STREQ(old, c.old);

        // Once the path answers again, the next check puts things right.
        uint64_t nowMs = Faults::nowMs;
        Faults::Reset();
        Faults::nowMs = nowMs + kCliLogCheckEveryMs;
        if (!CliLogIsOpen(log_)) {
            ASSERT_TRUE(CliLogOpen(log_)) << "the next connection opens it";
        }
        ASSERT_TRUE(Write("later\n"));
        EXPECT_EQ(Dir()["Trelvox.log"], std::string(c.path != nullptr ? c.path : "") + "later\n");
        CliLogFree(&log_);
    }
}

// A signal whose handler ends the process, arriving between two renames of
// a rotation, is held until the rotation is complete: every predecessor has
// moved up, none is lost to the next run's rotation.
TEST_F(CliLogTest, ASignalThatEndsTheProcessWaitsForTheRotation) {
    Init("t.log", 4, 5);
    Put("t.01.log", "one");
    Put("t.02.log", "two");
    Put("t.03.log", "three");
    Put("t.04.log", "four");
    ASSERT_TRUE(CliLogOpen(log_));
    testsupport::ChildResult r = testsupport::RunInChild([this] {
        signal(SIGABRT, [](int) { _exit(3); });
        gOsSys.rename = [](const char *from, const char *to) {
            int result = gOsSysReal.rename(from, to);
            raise(SIGABRT);
            return result;
        };
        Write("abcd");
    });
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(Dir(), (Files{{"t.log", ""},
                            {"t.01.log", "abcd"},
                            {"t.02.log", "one"},
                            {"t.03.log", "two"},
                            {"t.04.log", "three"}}));
}

// Reopening after the file was moved away (rotation by another program,
// then a signal): the text goes on in a new file at the path, and the
// rotation's one-time sweep of stale numbers is not repeated.
TEST_F(CliLogTest, ReopenStartsANewFileAndKeepsTheRotationState) {
    Init("h.log", 4, 3);
    EXPECT_TRUE(CliLogReopen(log_)) << "a closed handle opens";
    ASSERT_TRUE(Write("abcd"));
    ASSERT_TRUE(Write("ef"));
    ASSERT_EQ(rename(Path("h.log").c_str(), Path("h.log.1").c_str()), 0);
    Put("h.07.log", "stale, left alone after the first sweep");
    ASSERT_TRUE(CliLogReopen(log_));
    ASSERT_TRUE(Write("ghij"));
    EXPECT_EQ(Dir(), (Files{{"h.log", ""},
                            {"h.01.log", "ghij"},
                            {"h.02.log", "abcd"},
                            {"h.07.log", "stale, left alone after the first sweep"},
                            {"h.log.1", "ef"}}));
    Faults::FailAt(Sys::open, Faults::Calls(Sys::open) + 2); // the directory probe passes
    EXPECT_FALSE(CliLogReopen(log_));
    EXPECT_FALSE(CliLogIsOpen(log_)) << "fails as an open does";
}

// The service's way of writing: into the log while it is open, otherwise
// (and whenever the log reports failure) to the fallback. With faults
// injected into every kind of call, every message must end up in a log
// file or in the fallback, and the files must keep the messages in order.
TEST_F(CliLogTest, EveryMessageIsInAFileOrReportedUnwritten) {
    Init("p.log", 64, 100); // enough files that retention deletes nothing
    std::vector<std::string> fallback;
    std::vector<std::string> sent;
    uint32_t rng = 12345;
    auto next = [&rng] {
        rng = rng * 1103515245u + 12345u;
        return (rng >> 16) & 0x7FFF;
    };
    for (int i = 0; i < 400; ++i) {
        if (!CliLogIsOpen(log_)) {
            CliLogOpen(log_); // the next driver connection opens it again
        }
        // Fail one upcoming call of some kind now and then.
        switch (next() % 12) {
        case 0:
            Faults::FailAt(Sys::rename, Faults::Calls(Sys::rename) + 1 + next() % 3);
            break;
        case 1:
            Faults::FailAt(Sys::write, Faults::Calls(Sys::write) + 1);
            break;
        case 2:
            Faults::FailAt(Sys::statx, Faults::Calls(Sys::statx) + 1 + next() % 2);
            break;
        case 3:
            Faults::FailAt(Sys::open, Faults::Calls(Sys::open) + 1 + next() % 4);
            break;
        default:
            break;
        }
        char msg[16];
        snprintf(msg, sizeof msg, "<%04d>", i);
        sent.push_back(msg);
        if (!CliLogIsOpen(log_) || !Write(msg)) {
            fallback.push_back(msg);
        }
    }
    // Read the files oldest first: the highest number down to the current.
    std::string all;
    Files files = Dir();
    for (int n = 99; n >= 1; --n) {
        char name[16];
        snprintf(name, sizeof name, "p.%02d.log", n);
        if (files.count(name) != 0) {
            all += files[name];
            files.erase(name);
        }
    }
    all += files["p.log"];
    files.erase("p.log");
    EXPECT_TRUE(files.empty()) << "no file outside the numbering";

    size_t pos = 0;
    int inFiles = 0;
    for (const std::string &m : sent) {
        size_t at = all.find(m, pos);
        bool inFallback = std::find(fallback.begin(), fallback.end(), m) != fallback.end();
        if (at != std::string::npos) {
            pos = at + m.size();
            ++inFiles;
        }
        EXPECT_TRUE(at != std::string::npos || inFallback) << m << " was lost";
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(inFiles) * 6) << "files hold whole messages only";
    EXPECT_GT(fallback.size(), 0u) << "faults were injected";
    EXPECT_GT(inFiles, 200);
}

} // namespace
