// OS base services: the clock's 32-bit arithmetic, GUIDs from the device and
// from the generator (the device faked through the system-call seam),
// threads and their failures, interrupted sleep, and the error number.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lib/cli/osx/osbase.h"
#include "tests/support/child_process.h"
#include "tests/support/sys_faults.h"

namespace {

uint32_t MillisNow() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

TEST(OsBase, Is64BitOnlyForTheTwoNamedMachines) {
#if defined(__x86_64__)
    EXPECT_TRUE(OsIs64Bit());
#else
    // Other 64-bit machines (aarch64 among them) are not recognised.
    EXPECT_FALSE(OsIs64Bit());
#endif
}

TEST(OsBase, CurrentTimeIsWallClockMillisecondsIn32Bits) {
    uint32_t before = MillisNow();
    uint32_t reading = OsGetCurrentTime();
    uint32_t after = MillisNow();
    // Modular comparison: the value wraps every 2^32 ms.
    EXPECT_LE(reading - before, after - before);

    uint32_t first = OsGetCurrentTime();
    usleep(300 * 1000);
    uint32_t diff = OsGetCurrentTime() - first;
    EXPECT_GE(diff, 300u);
    EXPECT_LT(diff, 1300u);
}

// A fake random device behind the seam: opens of the two device paths are
// recorded and can be refused; reads follow a script.
struct FakeDevice {
    static inline std::vector<std::string> opened;
    static inline std::vector<int> openFlags;
    static inline bool refuseRandom = false;
    static inline bool refuseUrandom = false;
    // Each step: bytes to deliver, or an empty string for a failed read
    // (alternating -1 and 0). After the script, reads return 0.
    static inline std::vector<std::string> script;
    static inline size_t step = 0;
    static inline int reads = 0;
    static inline int closes = 0;

    static void Reset() {
        opened.clear();
        openFlags.clear();
        refuseRandom = refuseUrandom = false;
        script.clear();
        step = 0;
        reads = 0;
        closes = 0;
    }
    static int Open(const char *path, int flags, mode_t mode) {
        opened.push_back(path);
        openFlags.push_back(flags);
        if ((strcmp(path, "/dev/random") == 0 && refuseRandom) ||
            (strcmp(path, "/dev/urandom") == 0 && refuseUrandom)) {
            errno = ENOENT;
            return -1;
        }
        return gOsSysReal.open("/dev/null", O_RDONLY, mode);
    }
    static ssize_t Read(int, void *buf, size_t len) {
        ++reads;
        if (step >= script.size()) {
            return 0;
        }
        const std::string &s = script[step++];
        if (s.empty()) {
            errno = EIO;
            return step % 2 == 0 ? -1 : 0;
        }
        size_t n = s.size() < len ? s.size() : len;
        memcpy(buf, s.data(), n);
        return static_cast<ssize_t>(n);
    }
    static int Close(int fd) {
        ++closes;
        return gOsSysReal.close(fd);
    }
};

class GuidTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeDevice::Reset();
        gOsSys.open = FakeDevice::Open;
        gOsSys.read = FakeDevice::Read;
        gOsSys.close = FakeDevice::Close;
    }
    OsSysOverride restore_;
};

void ExpectVersionBits(const uint8_t *g) {
    EXPECT_EQ(g[6] & 0xF0, 0x40);
    EXPECT_EQ(g[8] & 0xC0, 0x80);
}

TEST_F(GuidTest, BytesComeFromTheDeviceWithVersionAndVariantForced) {
    FakeDevice::script = {std::string("\x00\x11\x22\x33\x44\x55\xFF\x77\xFF\x99\xAA\xBB\xCC\xDD"
                                      "\xEE\xF0",
                                      16)};
    uint8_t g[17];
    memset(g, 0xA5, sizeof g);
    OsCreateGuid(g);
    const uint8_t want[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x4F, 0x77,
                              0xBF, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0};
    EXPECT_EQ(memcmp(g, want, 16), 0);
    EXPECT_EQ(g[16], 0xA5) << "exactly 16 bytes";
    ASSERT_EQ(FakeDevice::opened.size(), 1u);
    EXPECT_EQ(FakeDevice::opened[0], "/dev/random");
    EXPECT_EQ(FakeDevice::openFlags[0], O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(FakeDevice::closes, 1);
}

TEST_F(GuidTest, ShortReadsAndFailuresAreRetried) {
    // Twenty failures in a row are tolerated and the count starts again
    // after every delivery.
    std::vector<std::string> script(20, "");
    script.push_back(std::string("\x01\x02\x03\x04", 4));
    script.insert(script.end(), 20, "");
    script.push_back(std::string(12, '\x5A'));
    FakeDevice::script = script;
    uint8_t g[16];
    OsCreateGuid(g);
    EXPECT_EQ(FakeDevice::reads, 42);
    EXPECT_EQ(memcmp(g, "\x01\x02\x03\x04", 4), 0);
    for (int i = 4; i < 16; ++i) {
        if (i != 6 && i != 8) {
            EXPECT_EQ(g[i], 0x5A) << i;
        }
    }
    ExpectVersionBits(g);
}

TEST_F(GuidTest, DeviceThatStopsDeliveringIsAbandonedAfter21Failures) {
    FakeDevice::script = {std::string("\x10\x20\x30\x40\x50", 5)};
    uint8_t g[16];
    OsCreateGuid(g);
    EXPECT_EQ(FakeDevice::reads, 1 + 21);
    EXPECT_EQ(memcmp(g, "\x10\x20\x30\x40\x50", 5), 0);
    EXPECT_EQ(FakeDevice::closes, 1);
    ExpectVersionBits(g);
}

TEST_F(GuidTest, FallsBackToUrandomThenToTheGenerator) {
    FakeDevice::refuseRandom = true;
    FakeDevice::script = {std::string(16, '\x33')};
    uint8_t g[16];
    OsCreateGuid(g);
    ASSERT_EQ(FakeDevice::opened.size(), 2u);
    EXPECT_EQ(FakeDevice::opened[1], "/dev/urandom");
    EXPECT_EQ(FakeDevice::openFlags[1], O_RDONLY);
    EXPECT_EQ(g[0], 0x33);

    // Neither device: the generator makes every byte, no read is tried, and
    // successive GUIDs differ (the seed includes the microseconds).
    FakeDevice::Reset();
    FakeDevice::refuseRandom = FakeDevice::refuseUrandom = true;
    uint8_t a[16], b[16];
    OsCreateGuid(a);
    usleep(2000);
    OsCreateGuid(b);
    EXPECT_EQ(FakeDevice::reads, 0);
    EXPECT_EQ(FakeDevice::closes, 0);
    ExpectVersionBits(a);
    ExpectVersionBits(b);
    EXPECT_NE(memcmp(a, b, 16), 0);
}

TEST(OsBase, GuidFromTheRealDevice) {
    uint8_t a[16], b[16];
    OsCreateGuid(a);
    OsCreateGuid(b);
    ExpectVersionBits(a);
    ExpectVersionBits(b);
    EXPECT_NE(memcmp(a, b, 16), 0);
    OsCreateGuid(nullptr); // ignored
}

void *AddOne(void *arg) {
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
    return reinterpret_cast<void *>(0x1234); // ignored
}

TEST(OsThread, CreateRunsRoutineAndWaitJoins) {
    std::atomic<int> counter{0};
    OsThreadHandle *handles[4] = {};
    for (OsThreadHandle *&h : handles) {
        ASSERT_EQ(OsThreadCreate(&h, AddOne, &counter), kOsThreadOk);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->userData, &counter);
    }
    for (OsThreadHandle *h : handles) {
        OsThreadWait(h);
    }
    EXPECT_EQ(counter.load(), 4);
    OsThreadWait(nullptr); // returns at once
}

TEST(OsThread, AllocationFailureLeavesNothing) {
    testsupport::SysFaults faults;
    faults.FailFrom(testsupport::Sys::calloc, 1, ENOMEM);
    std::atomic<int> counter{0};
    OsThreadHandle *h = reinterpret_cast<OsThreadHandle *>(0x1);
    EXPECT_EQ(OsThreadCreate(&h, AddOne, &counter), kOsThreadFailed);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(counter.load(), 0);
}

TEST(OsThread, LackOfResourcesIsReportedAsTwo) {
    // A default stack far larger than any address space makes the thread's
    // creation fail with EAGAIN: 2^46 bytes, or where size_t is 32 bits
    // wide, 3 GiB, more than a 32-bit process has free in one piece.
    // Process-wide, so in a child.
    constexpr uint64_t kHugeStack = uint64_t{1} << 46;
    constexpr size_t kStack =
        kHugeStack <= SIZE_MAX ? static_cast<size_t>(kHugeStack) : static_cast<size_t>(3) << 30;
    auto r = testsupport::RunInChild([] {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kStack);
        if (pthread_setattr_default_np(&attr) != 0) {
            testsupport::SideChannelWrite("setattr failed");
            return;
        }
        std::atomic<int> counter{0};
        OsThreadHandle *h = reinterpret_cast<OsThreadHandle *>(0x1);
        uint32_t rc = OsThreadCreate(&h, AddOne, &counter);
        testsupport::SideChannelWrite(std::to_string(rc) + (h == nullptr ? " null" : " set"));
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.side, "2 null");
}

TEST(OsThread, SleepReturnsTheSecondsLeftWhenInterrupted) {
    EXPECT_EQ(OsThreadSleep(0), 0u);
    auto r = testsupport::RunInChild([] {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr);
        alarm(1);
        testsupport::SideChannelWrite(std::to_string(OsThreadSleep(5)));
    });
    EXPECT_EQ(r.exitCode, 0);
    // About four seconds left; the C library may round the rest down.
    EXPECT_TRUE(r.side == "4" || r.side == "3") << r.side;
}

TEST(OsError, ClearGetAndText) {
    char buf[64];
    memset(buf, '#', sizeof buf);
    OsClearLastError();
    EXPECT_EQ(OsGetLastError(buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");

    errno = ENOENT;
    EXPECT_EQ(OsGetLastError(nullptr, 0), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(OsGetLastError(buf, sizeof buf), static_cast<uint32_t>(ENOENT));
    EXPECT_STREQ(buf, strerror(ENOENT));
    EXPECT_EQ(errno, ENOENT) << "reading does not change the number";

    // Cut to the buffer, always terminated, and trimmed after cutting.
    struct Case {
        uint32_t size;
        const char *text;
    } cases[] = {{1, ""}, {3, "No"}, {4, "No"}, {8, "No such"}};
    for (const Case &c : cases) {
        char small[16];
        memset(small, '#', sizeof small);
        errno = ENOENT;
        OsGetLastError(small, c.size);
        EXPECT_STREQ(small, c.text) << c.size;
        EXPECT_EQ(small[c.size], '#') << "nothing past size " << c.size;
    }
}

TEST(OsError, NumberIsPerThread) {
    errno = EINVAL;
    std::atomic<uint32_t> seen{99};
    OsThreadHandle *h = nullptr;
    auto body = [](void *arg) -> void * {
        OsClearLastError();
        static_cast<std::atomic<uint32_t> *>(arg)->store(OsGetLastError(nullptr, 0));
        return nullptr;
    };
    errno = EINVAL;
    ASSERT_EQ(OsThreadCreate(&h, body, &seen), kOsThreadOk);
    OsThreadWait(h);
    EXPECT_EQ(seen.load(), 0u);
    errno = EINVAL;
    EXPECT_EQ(OsGetLastError(nullptr, 0), static_cast<uint32_t>(EINVAL));
}

} // namespace
