// trelvoxsim as a process on the driver bus, reached through the stand-in:
// publication and unloading, the event-log replies it generates or replays,
// what it records, the failures it can be asked for, and its command line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lib/platform/driver_bus.h"
#include "lib/platform/driver_registry.h"
#include "lib/platform/iokit.h"
#include "lib/platform/platform_objects.h"
#include "lib/platform/platform_testing.h"
#include "tests/support/child_process.h"
#include "tests/support/port_pump.h"
#include "tests/support/temp_dir.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using namespace trelvox::platform;
using Clock = std::chrono::steady_clock;
using testsupport::ReadFile;

constexpr char kClass[] = "TrelvoxController";

// The driver's interface written down again here rather than taken from
// lib/driver/controller_interface.h: the simulator is checked against an
// independent reading of it.
constexpr uint32_t kEventLog = 6;

struct Reply {
    int32_t lostBytes;
    uint32_t textLen;
    uint32_t waitFlag;
    char eventText[1024];
};
static_assert(sizeof(Reply) == 1036);

struct RecordHeader {
    int32_t lostBytes;
    uint32_t textLen;
    uint32_t waitFlag;
    uint32_t repeat;
};
static_assert(sizeof(RecordHeader) == 16);

struct Entry {
    int32_t lostBytes;
    uint32_t textLen;
    uint32_t waitFlag;
    std::string text; // the bytes that follow the header
    uint32_t repeat = 1;
};

std::vector<Entry> ReadRecord(const std::string &path) {
    std::string data = ReadFile(path);
    std::vector<Entry> entries;
    size_t at = 0;
    while (at + sizeof(RecordHeader) <= data.size()) {
        RecordHeader header;
        memcpy(&header, data.data() + at, sizeof header);
        at += sizeof header;
        size_t n = header.textLen < 1024 ? header.textLen : 1024;
        entries.push_back(
            {header.lostBytes, header.textLen, header.waitFlag, data.substr(at, n), header.repeat});
        at += n;
    }
    EXPECT_EQ(at, data.size()) << "the record ends with a whole entry";
    return entries;
}

void WriteReplay(const std::string &path, const std::vector<Entry> &entries) {
    std::ofstream out(path, std::ios::binary);
    for (const Entry &e : entries) {
        RecordHeader header{e.lostBytes, e.textLen, e.waitFlag, e.repeat};
        out.write(reinterpret_cast<const char *>(&header), sizeof header);
        out.write(e.text.data(), static_cast<std::streamsize>(e.text.size()));
    }
}

// One trelvoxsim process.
class Sim {
public:
    Sim(const std::string &dir, std::vector<std::string> args) {
        std::vector<std::string> all = {TRELVOXSIM, "--dir", dir};
        all.insert(all.end(), args.begin(), args.end());
        all = testsupport::TargetCommand(all);
        std::vector<char *> argv;
        for (std::string &arg : all) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        out_ = "/tmp/trelvoxsim-out-" + std::to_string(getpid()) + "-" + std::to_string(++count_);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, (out_ + ".err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(out_.c_str());
        unlink((out_ + ".err").c_str());
    }

    // The exit status, or -1 when it did not end within the time.
    int Wait(std::chrono::milliseconds limit = 5s) {
        auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }
    void Signal(int signal) { kill(pid_, signal); }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(out_ + ".err"); }

private:
    pid_t pid_ = 0;
    std::string out_;
    static inline int count_ = 0;
};

void CountCallback(void *refCon, io_iterator_t) {
    ++*static_cast<int *>(refCon);
}

class SimOnBus : public ::testing::Test, protected testsupport::TempDir {
protected:
    void SetUp() override {
        ASSERT_TRUE(Make("trelvox-sim-"));
        setenv("TRELVOX_DRIVER_DIR", Root().c_str(), 1);
        StopDriverBus();
        ResetPlatform();
        port_ = IONotificationPortCreate(kIOMasterPortDefault);
        ASSERT_NE(port_, nullptr);
        ASSERT_EQ(IOServiceAddMatchingNotification(port_, kIOFirstPublishNotification,
                                                   IOServiceMatching(kClass), CountCallback,
                                                   &callbacks_, &iterator_),
                  KERN_SUCCESS);
        EXPECT_EQ(IOIteratorNext(iterator_), 0u);
    }
    void TearDown() override {
        IONotificationPortDestroy(port_);
        StopDriverBus();
        ResetPlatform();
        SetDriverBusCallTimeout(kDriverBusDefaultTimeoutMs);
    }

    // Runs the port's source as the run loop would, until done() holds.
    bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 5s) {
        return testsupport::PumpPortUntil(port_, done, limit);
    }

    // Waits for the simulated driver to be published and connects to it.
    io_connect_t Connect() {
        io_service_t service = 0;
        EXPECT_TRUE(PumpUntil([&] { return (service = IOIteratorNext(iterator_)) != 0; }))
            << "the simulated driver was never published";
        if (service == 0) {
            return 0;
        }
        io_connect_t connect = 0;
        EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connect), KERN_SUCCESS);
        IOObjectRelease(service);
        return connect;
    }

    static kern_return_t Fetch(io_connect_t connect, Reply *reply) {
        uint8_t request[8] = {};
        size_t size = sizeof *reply;
        memset(reply, 0x5A, sizeof *reply);
        kern_return_t result =
            IOConnectCallStructMethod(connect, kEventLog, request, sizeof request, reply, &size);
        if (result == KERN_SUCCESS) {
            EXPECT_EQ(size, sizeof *reply);
        }
        return result;
    }

    // Fetches replies until the driver goes away; returns them.
    static std::vector<Reply> FetchAll(io_connect_t connect,
                                       std::chrono::milliseconds limit = 20s) {
        std::vector<Reply> replies;
        auto end = Clock::now() + limit;
        Reply reply;
        while (Clock::now() < end && Fetch(connect, &reply) == KERN_SUCCESS) {
            replies.push_back(reply);
        }
        EXPECT_LT(Clock::now(), end) << "the driver never finished";
        return replies;
    }

    IONotificationPortRef port_ = nullptr;
    io_iterator_t iterator_ = 0;
    int callbacks_ = 0;
};

std::string TextOf(const Reply &reply) {
    return std::string(reply.eventText, reply.textLen < 1024 ? reply.textLen : 1024);
}

TEST_F(SimOnBus, ServesTheUserClientMethodsAndGoesAwayOnSigterm) {
    Sim sim(Root(), {"--rate", "50", "--seed", "1"});
    io_connect_t connect = Connect();
    ASSERT_NE(connect, 0u);
    EXPECT_EQ(IOConnectCallScalarMethod(connect, 0, nullptr, 0, nullptr, nullptr), 0);

    // Text arrives at about 50 lines a second; without text the driver asks
    // the service to wait.
    std::string text;
    bool sawIdle = false;
    auto end = Clock::now() + 3s;
    while (Clock::now() < end && (text.size() < 400 || !sawIdle)) {
        Reply reply;
        ASSERT_EQ(Fetch(connect, &reply), KERN_SUCCESS);
        EXPECT_LE(reply.textLen, 1024u);
        if (reply.textLen == 0) {
            EXPECT_EQ(reply.waitFlag, 1u);
            sawIdle = true;
            std::this_thread::sleep_for(5ms);
        }
        text += TextOf(reply);
    }
    EXPECT_TRUE(sawIdle);
    ASSERT_GE(text.size(), 400u);
    ASSERT_EQ(text.back(), '\n') << "replies hold whole lines";

    // Every line: a time token of about now, the adapter, an event.
    std::regex line(R"(\{([0-9A-F]{8})\}trelvox[01]: [^{}\n]+)");
    std::istringstream lines(text);
    std::string one;
    int count = 0;
    int64_t now = time(nullptr);
    while (std::getline(lines, one)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(one, match, line)) << one;
        int64_t stamp = static_cast<int64_t>(strtoul(match[1].str().c_str(), nullptr, 16));
        EXPECT_LE(std::llabs(stamp - now), 60) << one;
        ++count;
    }
    EXPECT_GE(count, 5);

    // Methods the driver does not have.
    EXPECT_NE(IOConnectCallScalarMethod(connect, 7, nullptr, 0, nullptr, nullptr), 0);
    Reply reply;
    size_t small = 100;
    EXPECT_NE(IOConnectCallStructMethod(connect, kEventLog, "\0\0\0\0\0\0\0\0", 8, &reply, &small),
              0)
        << "a reply area smaller than the record is refused";
    EXPECT_EQ(IOConnectCallScalarMethod(connect, 1, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_TRUE(PumpUntil([] { return Counts().instances == 0; })) << "the socket is removed";
    EXPECT_EQ(sim.Out(), "") << "nothing on standard output";
}

TEST_F(SimOnBus, RecordsExactlyWhatItSentWithLostBytesAndMalformedTokens) {
    std::string record = Root() + ".rec";
    Sim sim(Root(), {"--rate", "0", "--total", "200000", "--max-text", "300", "--lost-every", "3",
                     "--lost-bytes", "77", "--malformed", "100", "--seed", "42", "--record", record,
                     "--exit-when-done"});
    io_connect_t connect = Connect();
    ASSERT_NE(connect, 0u);
    std::vector<Reply> replies = FetchAll(connect);
    EXPECT_NE(IOServiceClose(connect), KERN_SUCCESS) << "the driver has gone";
    EXPECT_EQ(sim.Wait(), 0);

    std::string all;
    uint32_t withText = 0;
    for (size_t i = 0; i < replies.size(); ++i) {
        const Reply &r = replies[i];
        ASSERT_LE(r.textLen, 300u);
        all += TextOf(r);
        if (r.textLen > 0) {
            ++withText;
            EXPECT_EQ(r.lostBytes, withText % 3 == 0 ? 77 : 0) << "reply " << i;
        }
        if (i + 1 < replies.size()) {
            EXPECT_EQ(r.waitFlag, 0u) << "more text is ready at once";
        }
    }
    EXPECT_EQ(all.size(), 200000u);
    EXPECT_GT(withText, 600u);

    // Every line is broken in one of the field's ways.
    std::regex clean(R"(\{[0-9A-F]{8}\}trelvox[01]: [^{}\n]+)");
    std::istringstream lines(all);
    std::string one;
    while (std::getline(lines, one)) {
        EXPECT_FALSE(std::regex_match(one, clean)) << one;
    }

    // The record holds the same replies, byte for byte.
    std::vector<Entry> recorded = ReadRecord(record);
    std::vector<const Reply *> sent;
    for (const Reply &r : replies) {
        if (r.textLen > 0 || r.lostBytes != 0) {
            sent.push_back(&r);
        }
    }
    ASSERT_EQ(recorded.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(recorded[i].lostBytes, sent[i]->lostBytes);
        EXPECT_EQ(recorded[i].textLen, sent[i]->textLen);
        EXPECT_EQ(recorded[i].waitFlag, sent[i]->waitFlag);
        EXPECT_EQ(recorded[i].repeat, 1u);
        EXPECT_EQ(recorded[i].text, TextOf(*sent[i]));
    }
    unlink(record.c_str());
}

TEST_F(SimOnBus, ReplaysPreparedRepliesInOrderThenIdles) {
    std::string replay = Root() + ".replay";
    std::string text1024(1024, 'a');
    text1024[1023] = '\n';
    std::vector<Entry> entries = {
        {0, 6, 0, "first\n", 1},
        {5, 3, 1, "abc", 3},                        // sent three times
        {-2, 2000, 0, text1024, 1},                 // a length beyond the area
        {0, 9, 0, std::string("nul\0after", 9), 1}, // a NUL inside
        {0, 0, 0, "", 0},                           // repeat 0: never sent
        {0, 0, 1, "", 2},                           // two idle replies
        {1, 10, 0, "{5E6A1B2C}", 1},
    };
    WriteReplay(replay, entries);
    Sim sim(Root(), {"--replay", replay});
    io_connect_t connect = Connect();
    ASSERT_NE(connect, 0u);

    struct Expect {
        int32_t lost;
        uint32_t len;
        uint32_t wait;
        std::string text;
    };
    const Expect expected[] = {
        {0, 6, 0, "first\n"}, {5, 3, 1, "abc"},        {5, 3, 1, "abc"},
        {5, 3, 1, "abc"},     {-2, 2000, 0, text1024}, {0, 9, 0, std::string("nul\0after", 9)},
        {0, 0, 1, ""},        {0, 0, 1, ""},           {1, 10, 0, "{5E6A1B2C}"},
        {0, 0, 1, ""}, // the replay is over: idle from now on
        {0, 0, 1, ""},
    };
    for (const Expect &e : expected) {
        Reply reply;
        ASSERT_EQ(Fetch(connect, &reply), KERN_SUCCESS);
        EXPECT_EQ(reply.lostBytes, e.lost);
        EXPECT_EQ(reply.textLen, e.len);
        EXPECT_EQ(reply.waitFlag, e.wait);
        EXPECT_EQ(TextOf(reply), e.text);
    }
    EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);
    unlink(replay.c_str());

    WriteReplay(replay, {{0, 100, 0, "cut short", 1}});
    Sim broken(Root(), {"--replay", replay});
    EXPECT_EQ(broken.Wait(), 1);
    EXPECT_NE(broken.Err().find("is cut short in entry 1"), std::string::npos) << broken.Err();
    unlink(replay.c_str());
}

TEST_F(SimOnBus, UnloadsAndComesBack) {
    Sim sim(Root(), {"--rate", "100", "--unload-after", "0.4", "--return-after", "0.3"});
    io_connect_t connect = Connect();
    ASSERT_NE(connect, 0u);
    auto start = Clock::now();
    Reply reply;
    int served = 0;
    while (Fetch(connect, &reply) == KERN_SUCCESS) {
        ASSERT_LT(Clock::now() - start, 3s) << "the driver never unloaded";
        ++served;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GT(served, 0) << "it served before it unloaded";
    EXPECT_NE(IOConnectCallScalarMethod(connect, 1, nullptr, 0, nullptr, nullptr), 0);
    IOServiceClose(connect);

    // Back under the same name: a new publication.
    io_connect_t again = Connect();
    ASSERT_NE(again, 0u);
    EXPECT_EQ(Fetch(again, &reply), KERN_SUCCESS);
    EXPECT_EQ(IOServiceClose(again), KERN_SUCCESS);
    EXPECT_EQ(sim.Wait(1s), -1) << "one cycle, then it stays";
}

TEST_F(SimOnBus, FailsTheChosenMethodAfterItsSuccesses) {
    {
        Sim sim(Root(), {"--fail-method", "6", "--fail-after", "2", "--fail-code", "0xe00002d8"});
        io_connect_t connect = Connect();
        ASSERT_NE(connect, 0u);
        Reply reply;
        EXPECT_EQ(Fetch(connect, &reply), KERN_SUCCESS);
        EXPECT_EQ(Fetch(connect, &reply), KERN_SUCCESS);
        EXPECT_EQ(Fetch(connect, &reply), static_cast<kern_return_t>(0xE00002D8));
        EXPECT_EQ(Fetch(connect, &reply), static_cast<kern_return_t>(0xE00002D8));
        EXPECT_EQ(IOConnectCallScalarMethod(connect, 1, nullptr, 0, nullptr, nullptr), 0)
            << "only the chosen method fails";
        EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);
    }
    TearDown();
    SetUp();
    {
        Sim sim(Root(), {"--fail-method", "open"});
        io_service_t service = 0;
        ASSERT_TRUE(PumpUntil([&] { return (service = IOIteratorNext(iterator_)) != 0; }));
        io_connect_t connect = 0;
        EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connect), kIOReturnError);
        IOObjectRelease(service);
    }
    TearDown();
    SetUp();
    {
        Sim sim(Root(), {"--fail-method", "0"});
        io_connect_t connect = Connect();
        ASSERT_NE(connect, 0u);
        EXPECT_EQ(IOConnectCallScalarMethod(connect, 0, nullptr, 0, nullptr, nullptr),
                  kIOReturnError);
        IOServiceClose(connect);
    }
}

TEST_F(SimOnBus, ADriverThatHangsRunsIntoTheCallTimeOut) {
    Sim sim(Root(), {"--fail-method", "6", "--fail-after", "1", "--fail-code", "hang"});
    io_connect_t connect = Connect();
    ASSERT_NE(connect, 0u);
    SetDriverBusCallTimeout(300);
    Reply reply;
    EXPECT_EQ(Fetch(connect, &reply), KERN_SUCCESS);
    auto start = Clock::now();
    EXPECT_EQ(Fetch(connect, &reply), kIOReturnTimeout);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_NE(IOServiceClose(connect), KERN_SUCCESS);
}

TEST(SimCommandLine, HelpAndMistakes) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out; // a piece of standard output
        const char *err; // a piece of standard error
    };
    const Case cases[] = {
        {{"--help"}, 0, "--fail-method M", ""},
        {{"--rate", "fast"}, 2, "", "trelvoxsim: invalid value 'fast' for --rate (see --help)\n"},
        {{"--max-text", "1025"}, 2, "", "invalid value '1025' for --max-text"},
        {{"--max-text=0"}, 2, "", "invalid value '0' for --max-text"},
        {{"--malformed", "101"}, 2, "", "invalid value '101' for --malformed"},
        {{"--name", ".hidden"}, 2, "", "invalid value '.hidden' for --name"},
        {{"--bogus"}, 2, "", "trelvoxsim: unknown option --bogus (see --help)\n"},
        {{"--rate"}, 2, "", "option --rate needs an argument"},
        {{"extra"}, 2, "", "unexpected argument 'extra'"},
        {{"--exit-when-done"}, 2, "", "--exit-when-done needs --total or --replay"},
        {{"--replay", "/nonexistent/replay"}, 1, "", "cannot open /nonexistent/replay"},
    };
    char pattern[] = "/tmp/trelvox-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    for (const Case &c : cases) {
        Sim sim(pattern, c.args);
        EXPECT_EQ(sim.Wait(), c.status) << c.args[0];
        if (c.status == 0) {
            EXPECT_NE(sim.Out().find(c.out), std::string::npos) << sim.Out();
            EXPECT_EQ(sim.Err(), "");
        } else {
            EXPECT_EQ(sim.Out(), "") << "mistakes go to standard error only";
            EXPECT_NE(sim.Err().find(c.err), std::string::npos) << sim.Err();
        }
    }
    // A missing directory is made; one whose parent is missing is not.
    std::string made = std::string(pattern) + "/made";
    Sim maker(made, {"--exit-after", "0.2"});
    EXPECT_EQ(maker.Wait(), 0);
    struct stat st {};
    EXPECT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u) << "writable by its owner only";
    rmdir(made.c_str());
    Sim lost(std::string(pattern) + "/no/such", {"--exit-after", "1"});
    EXPECT_EQ(lost.Wait(), 1);
    EXPECT_NE(lost.Err().find("cannot create the driver directory"), std::string::npos)
        << lost.Err();
    rmdir(pattern);
}

} // namespace
