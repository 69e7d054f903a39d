// The driver bus: sockets in the driver directory become driver instances,
// who may publish, method calls as frames over the socket with their
// failures (a vanished peer, a silent peer, impossible frames) and their
// results, drivers tried again after a failure, the watch tried again until
// it stands, and the messages said once per streak.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/platform/bus_frames.h"
#include "lib/platform/driver_bus.h"
#include "lib/platform/driver_registry.h"
#include "lib/platform/iokit.h"
#include "lib/platform/platform_messages.h"
#include "lib/platform/platform_objects.h"
#include "lib/platform/platform_testing.h"
#include "tests/support/child_process.h"
#include "tests/support/port_pump.h"
#include "tests/support/stream_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using namespace trelvox::platform;
namespace bus = trelvox::platform::bus;
using Clock = std::chrono::steady_clock;
using testsupport::StderrCapture;

constexpr char kClass[] = "TrelvoxController";

// ---------------------------------------------------------------- frames

TEST(BusFrames, RequestSizesOutsideTheRulesAreImpossible) {
    struct Case {
        const char *what;
        bus::RequestHeader header;
        bool valid;
    };
    const uint32_t m = bus::kRequestMagic;
    const uint32_t max = bus::kMaxPayload;
    const Case cases[] = {
        {"open without payload", {m, bus::kOpen, 0, 0, 0}, true},
        {"open with input", {m, bus::kOpen, 0, 8, 0}, false},
        {"open with capacity", {m, bus::kOpen, 0, 0, 8}, false},
        {"scalar, 16 values each way", {m, bus::kScalar, 1, 128, 128}, true},
        {"scalar, 17 values in", {m, bus::kScalar, 1, 136, 0}, false},
        {"scalar, 17 values out", {m, bus::kScalar, 1, 0, 136}, false},
        {"scalar, part of a value", {m, bus::kScalar, 1, 12, 0}, false},
        {"struct at the limit", {m, bus::kStruct, 6, max, max}, true},
        {"struct input above the limit", {m, bus::kStruct, 6, max + 1, 0}, false},
        {"struct capacity above the limit", {m, bus::kStruct, 6, 8, max + 1}, false},
        {"huge input", {m, bus::kStruct, 6, 0xFFFFFFFFu, 0}, false},
        {"wrong magic", {bus::kReplyMagic, bus::kStruct, 6, 8, 1036}, false},
        {"unknown kind", {m, 9, 6, 8, 1036}, false},
        {"kind zero", {m, 0, 0, 0, 0}, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(bus::RequestIsValid(c.header), c.valid) << c.what;
    }
}

TEST(BusFrames, ReplyNeverHoldsMoreThanTheCapacity) {
    struct Case {
        const char *what;
        bus::ReplyHeader header;
        uint32_t kind;
        uint32_t capacity;
        bool valid;
    };
    const uint32_t m = bus::kReplyMagic;
    const Case cases[] = {
        {"exact fit", {m, 0, 1036}, bus::kStruct, 1036, true},
        {"one byte over", {m, 0, 1037}, bus::kStruct, 1036, false},
        {"nothing into nothing", {m, 5, 0}, bus::kStruct, 0, true},
        {"something into nothing", {m, 0, 1}, bus::kStruct, 0, false},
        {"scalar whole values", {m, 0, 16}, bus::kScalar, 16, true},
        {"scalar part of a value", {m, 0, 4}, bus::kScalar, 16, false},
        {"wrong magic", {bus::kRequestMagic, 0, 0}, bus::kStruct, 1036, false},
        {"failure code with output", {m, -1, 4}, bus::kStruct, 8, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(bus::ReplyIsValid(c.header, c.kind, c.capacity), c.valid) << c.what;
    }
}

TEST(BusTransfers, APeerThatHasGoneNeverRaisesSigpipe) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    // With SIGPIPE at its default this process would end here.
    std::vector<char> data(256 * 1024, 'x');
    EXPECT_EQ(bus::SendAll(pair[0], data.data(), data.size(), bus::MonotonicMs() + 1000),
              bus::IoStatus::kClosed);
    char byte;
    EXPECT_EQ(bus::RecvAll(pair[0], &byte, 1, bus::MonotonicMs() + 1000), bus::IoStatus::kClosed);
    close(pair[0]);
}

TEST(BusTransfers, WaitsEndAtTheDeadlineAndShortStreamsAreClosed) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    char buffer[16];
    auto start = Clock::now();
    EXPECT_EQ(bus::RecvAll(pair[0], buffer, sizeof buffer, bus::MonotonicMs() + 100),
              bus::IoStatus::kTimeout);
    EXPECT_GE(Clock::now() - start, 90ms);
    EXPECT_LT(Clock::now() - start, 2s);

    // A peer that never reads: the sender gives up at its deadline too.
    std::vector<char> lots(8 * 1024 * 1024, 'y');
    EXPECT_EQ(bus::SendAll(pair[1], lots.data(), lots.size(), bus::MonotonicMs() + 100),
              bus::IoStatus::kTimeout);

    ASSERT_EQ(write(pair[0], "abc", 3), 3);
    close(pair[0]);
    char got[3];
    EXPECT_EQ(bus::RecvAll(pair[1], got, 3, bus::MonotonicMs() + 1000), bus::IoStatus::kOk);
    EXPECT_EQ(std::string(got, 3), "abc");
    EXPECT_EQ(bus::RecvAll(pair[1], got, 1, bus::MonotonicMs() + 1000), bus::IoStatus::kClosed);
    close(pair[1]);

    int fresh[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fresh), 0);
    ASSERT_EQ(write(fresh[0], "ab", 2), 2);
    close(fresh[0]);
    EXPECT_EQ(bus::RecvAll(fresh[1], got, 3, bus::MonotonicMs() + 1000), bus::IoStatus::kClosed);
    close(fresh[1]);
}

template <typename Header>
std::string Bytes(const Header &header, const std::string &payload = "") {
    return std::string(reinterpret_cast<const char *>(&header), sizeof header) + payload;
}

TEST(BusTransfers, AFrameIsTakenWholeHoweverItArrivesAndNothingBeyondIt) {
    struct Case {
        const char *what;
        bool request;                    // a request frame, else a reply to capacity 8
        std::vector<std::string> pieces; // sent 30 ms apart
        bool closeAfter;
        bus::IoStatus status;
        size_t frameSize;
    };
    const std::string reply = Bytes(bus::ReplyHeader{bus::kReplyMagic, 7, 4}, "abcd");
    const std::string request =
        Bytes(bus::RequestHeader{bus::kRequestMagic, bus::kStruct, 6, 8, 1036}, "12345678");
    const Case cases[] = {
        {"a reply at once", false, {reply}, false, bus::IoStatus::kOk, 16},
        {"a reply's header in pieces",
         false,
         {reply.substr(0, 5), reply.substr(5)},
         false,
         bus::IoStatus::kOk,
         16},
        {"a reply's output after its header",
         false,
         {reply.substr(0, 12), reply.substr(12, 1), reply.substr(13)},
         false,
         bus::IoStatus::kOk,
         16},
        {"a reply at the capacity",
         false,
         {Bytes(bus::ReplyHeader{bus::kReplyMagic, 0, 8}, "abcdefgh")},
         false,
         bus::IoStatus::kOk,
         20},
        {"two replies at once", false, {reply + reply}, false, bus::IoStatus::kImpossible, 0},
        {"one byte beyond", false, {reply + "x"}, false, bus::IoStatus::kImpossible, 0},
        {"one byte beyond a reply at the capacity",
         false,
         {Bytes(bus::ReplyHeader{bus::kReplyMagic, 0, 8}, "abcdefghx")},
         false,
         bus::IoStatus::kImpossible,
         0},
        {"bytes beyond, later",
         false,
         {reply.substr(0, 14), reply.substr(14) + "xy"},
         false,
         bus::IoStatus::kImpossible,
         0},
        {"more than the capacity",
         false,
         {Bytes(bus::ReplyHeader{bus::kReplyMagic, 0, 9}, "abcdefghi")},
         false,
         bus::IoStatus::kImpossible,
         0},
        {"closed inside the header", false, {reply.substr(0, 6)}, true, bus::IoStatus::kClosed, 0},
        {"closed inside the output", false, {reply.substr(0, 14)}, true, bus::IoStatus::kClosed, 0},
        {"nothing comes", false, {}, false, bus::IoStatus::kTimeout, 0},
        {"a request at once", true, {request}, false, bus::IoStatus::kOk, 28},
        {"a request in pieces",
         true,
         {request.substr(0, 19), request.substr(19)},
         false,
         bus::IoStatus::kOk,
         28},
        {"a request and the next one",
         true,
         {request + request},
         false,
         bus::IoStatus::kImpossible,
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
        std::thread peer([&] {
            for (const std::string &piece : c.pieces) {
                EXPECT_EQ(send(pair[1], piece.data(), piece.size(), 0),
                          static_cast<ssize_t>(piece.size()));
                std::this_thread::sleep_for(30ms);
            }
            if (c.closeAfter) {
                shutdown(pair[1], SHUT_WR);
            }
        });
        std::vector<char> buf(c.request ? bus::kRequestBufferSize : bus::ReplyBufferSize(8), '#');
        size_t frameSize = 99;
        int64_t deadline = bus::MonotonicMs() + 500;
        bus::IoStatus status =
            c.request ? bus::RecvRequest(pair[0], buf.data(), buf.size(), true, deadline, nullptr,
                                         &frameSize)
                      : bus::RecvReply(pair[0], bus::kStruct, 8, buf.data(), buf.size(), true,
                                       deadline, nullptr, &frameSize);
        peer.join();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(frameSize, c.frameSize);
        if (status == bus::IoStatus::kOk) {
            const std::string &sent =
                c.pieces.size() == 1 ? c.pieces[0] : (c.request ? request : reply);
            EXPECT_EQ(std::string(buf.data(), frameSize), sent);
        }
        close(pair[0]);
        close(pair[1]);
    }
}

// ---------------------------------------------------------------- helpers

size_t Occurrences(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// What a scripted peer does with one request.
struct Answer {
    enum Kind { kReply, kRaw, kClose, kHang };
    static Answer Of(Kind kind) {
        Answer answer;
        answer.kind = kind;
        return answer;
    }
    Kind kind = kReply;
    int32_t result = 0;
    std::string output;     // kReply: the payload
    bus::ReplyHeader raw{}; // kRaw: this header, then `output`
};

using Script = std::function<Answer(const bus::RequestHeader &, const std::string &input)>;

// A driver served by a thread of the test: a listening socket in the driver
// directory and a script that answers each request.
class FakeDriver {
public:
    FakeDriver(const std::string &path, Script script, bool renameIntoPlace = true)
        : path_(path), script_(std::move(script)) {
        std::string bindPath = renameIntoPlace ? HiddenName(path) : path;
        listen_ = Listen(bindPath);
        if (renameIntoPlace) {
            EXPECT_EQ(rename(bindPath.c_str(), path.c_str()), 0);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeDriver() { Unload(); }

    static std::string HiddenName(const std::string &path) {
        size_t slash = path.rfind('/');
        return path.substr(0, slash + 1) + "." + path.substr(slash + 1);
    }

    static int Listen(const std::string &path) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << path;
        EXPECT_EQ(listen(fd, 8), 0);
        return fd;
    }

    // Removes the socket and stops serving; open connections are dropped.
    void Unload() {
        if (!thread_.joinable()) {
            return;
        }
        unlink(path_.c_str());
        stop_ = true;
        thread_.join();
        close(listen_);
    }

    uint32_t Requests() const { return requests_; }
    uint32_t Connections() const { return connections_; }

private:
    void Run() {
        std::vector<int> clients;
        while (!stop_) {
            std::vector<pollfd> fds{{listen_, POLLIN, 0}};
            for (int fd : clients) {
                fds.push_back({fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 20) <= 0) {
                continue;
            }
            if (fds[0].revents != 0) {
                clients.push_back(accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC));
                ++connections_;
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents != 0 && !Serve(fds[i].fd)) {
                    close(fds[i].fd);
                    std::erase(clients, fds[i].fd);
                }
            }
        }
        for (int fd : clients) {
            close(fd);
        }
    }

    bool Serve(int fd) {
        int64_t deadline = bus::MonotonicMs() + 2000;
        bus::RequestHeader request{};
        if (bus::RecvAll(fd, &request, sizeof request, deadline) != bus::IoStatus::kOk) {
            return false;
        }
        std::string input(request.inputSize, '\0');
        if (bus::RecvAll(fd, input.data(), input.size(), deadline) != bus::IoStatus::kOk) {
            return false;
        }
        ++requests_;
        Answer answer =
            request.kind == bus::kOpen && !scriptOpens_ ? Answer{} : script_(request, input);
        switch (answer.kind) {
        case Answer::kReply: {
            bus::ReplyHeader header{bus::kReplyMagic, answer.result,
                                    static_cast<uint32_t>(answer.output.size())};
            return bus::SendFrame(fd, &header, sizeof header, answer.output.data(),
                                  answer.output.size(), deadline) == bus::IoStatus::kOk;
        }
        case Answer::kRaw:
            return bus::SendFrame(fd, &answer.raw, sizeof answer.raw, answer.output.data(),
                                  answer.output.size(), deadline) == bus::IoStatus::kOk;
        case Answer::kClose:
            return false;
        case Answer::kHang:
            return true;
        }
        return false;
    }

public:
    bool scriptOpens_ = false; // let the script answer the open frame too

private:
    std::string path_;
    Script script_;
    int listen_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> requests_{0};
    std::atomic<uint32_t> connections_{0};
};

Answer Echo(const bus::RequestHeader &request, const std::string &input) {
    Answer answer;
    answer.result = static_cast<int32_t>(request.selector);
    answer.output = input.substr(0, request.outputCapacity);
    return answer;
}

struct Delivery {
    std::atomic<int> callbacks{0};
};

void CountCallback(void *refCon, io_iterator_t) {
    static_cast<Delivery *>(refCon)->callbacks++;
}

// What went through the message sink.
struct Message {
    bool problem;
    std::string text;
};
std::mutex gMessagesMutex;
std::vector<Message> gMessages;

void RecordMessage(bool problem, const char *text) {
    std::lock_guard lock(gMessagesMutex);
    gMessages.push_back({problem, text});
}

std::vector<Message> TakeMessages() {
    std::lock_guard lock(gMessagesMutex);
    return std::exchange(gMessages, {});
}

// A driver directory of its own, a notification port (which starts the
// bus) and a first-publish notification of the driver class.
class DriverBus : public ::testing::Test, protected testsupport::TempDir {
protected:
    void SetUp() override {
        ASSERT_TRUE(Make("trelvox-bus-"));
        setenv("TRELVOX_DRIVER_DIR", Root().c_str(), 1);
        StopDriverBus();
        ResetPlatform();
        SetDriverBusCallTimeout(2000);
    }

    void TearDown() override {
        drivers_.clear();
        if (port_ != nullptr) {
            IONotificationPortDestroy(port_);
            port_ = nullptr;
        }
        StopDriverBus();
        ResetPlatform();
        SetDriverBusCallTimeout(kDriverBusDefaultTimeoutMs);
        SetDriverBusWatchRetry(kDriverBusWatchRetryMs);
        SetPlatformMessageSink(nullptr);
        TakeMessages();
        unsetenv("TRELVOX_DRIVER_DIR");
    }

    FakeDriver &AddDriver(const std::string &name, Script script = Echo, bool rename = true) {
        drivers_.push_back(std::make_unique<FakeDriver>(Path(name), std::move(script), rename));
        return *drivers_.back();
    }

    // The port, then the notification, drained once as the service's first
    // drain does. Returns the services it delivered.
    std::vector<io_service_t> Start(const char *className = kClass) {
        port_ = IONotificationPortCreate(kIOMasterPortDefault);
        EXPECT_NE(port_, nullptr);
        EXPECT_EQ(IOServiceAddMatchingNotification(port_, kIOFirstPublishNotification,
                                                   IOServiceMatching(className), CountCallback,
                                                   &delivery_, &iterator_),
                  KERN_SUCCESS);
        return Drain();
    }

    std::vector<io_service_t> Drain() {
        std::vector<io_service_t> services;
        while (io_service_t service = IOIteratorNext(iterator_)) {
            services.push_back(service);
        }
        return services;
    }

    // Runs the port's run-loop source as the run loop does, until the
    // condition holds or the time is up.
    bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 3s) {
        return testsupport::PumpPortUntil(port_, done, limit);
    }

    // Pumps for a while and returns what the notification delivered.
    std::vector<io_service_t> PumpAndDrain(std::chrono::milliseconds time = 300ms) {
        int before = delivery_.callbacks;
        PumpUntil([&] { return delivery_.callbacks > before; }, time);
        return Drain();
    }

    io_connect_t OpenOne() {
        std::vector<io_service_t> services = Start();
        EXPECT_EQ(services.size(), 1u);
        if (services.empty()) {
            return 0;
        }
        io_connect_t connect = 0;
        EXPECT_EQ(IOServiceOpen(services[0], mach_task_self(), 0, &connect), KERN_SUCCESS);
        IOObjectRelease(services[0]);
        return connect;
    }

    IONotificationPortRef port_ = nullptr;
    io_iterator_t iterator_ = 0;
    Delivery delivery_;
    std::vector<std::unique_ptr<FakeDriver>> drivers_;
};

// ---------------------------------------------------------------- publication

TEST_F(DriverBus, SocketsPresentAtStartComeWithTheFirstDrainNamedByTheirSockets) {
    AddDriver("TrelvoxController.1");
    AddDriver("TrelvoxController"); // the class alone is a name too
    AddDriver("OtherController.1");
    std::vector<io_service_t> services = Start();
    EXPECT_EQ(Counts().instances, 3u) << "every class is published, each matched by its own";
    std::vector<std::string> names;
    for (io_service_t service : services) {
        io_name_t name;
        EXPECT_EQ(IORegistryEntryGetName(service, name), KERN_SUCCESS);
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"TrelvoxController", "TrelvoxController.1"}));
}

TEST_F(DriverBus, LaterSocketsArriveThroughThePortAndOnlyRealSocketsCount) {
    ASSERT_TRUE(Start().empty());
    // Not instances: a hidden name, a plain file and a directory that carry
    // the class, and a socket of another class.
    AddDriver(".TrelvoxController.hidden", Echo, false);
    ASSERT_EQ(close(open(Path("TrelvoxController.file").c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    ASSERT_EQ(mkdir(Path("TrelvoxController.dir").c_str(), 0700), 0);
    AddDriver("Other.1");
    EXPECT_TRUE(PumpAndDrain().empty());
    EXPECT_EQ(Counts().instances, 1u);

    // Renamed into place once listening, and bound in place.
    AddDriver("TrelvoxController.renamed", Echo, true);
    AddDriver("TrelvoxController.bound", Echo, false);
    std::vector<io_service_t> services;
    ASSERT_TRUE(PumpUntil([&] {
        for (io_service_t s : Drain()) {
            services.push_back(s);
        }
        return services.size() == 2;
    }));
    for (io_service_t service : services) {
        io_connect_t connect = 0;
        EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connect), KERN_SUCCESS);
        EXPECT_EQ(IOConnectCallScalarMethod(connect, 0, nullptr, 0, nullptr, nullptr), 0);
        EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);
        IOObjectRelease(service);
    }
}

TEST_F(DriverBus, RemovingTheSocketUnpublishesAndANewOneIsAPublicationAgain) {
    FakeDriver &first = AddDriver("TrelvoxController.1");
    std::vector<io_service_t> services = Start();
    ASSERT_EQ(services.size(), 1u);
    io_connect_t connect = 0;
    ASSERT_EQ(IOServiceOpen(services[0], mach_task_self(), 0, &connect), KERN_SUCCESS);

    first.Unload();
    ASSERT_TRUE(PumpUntil([] { return Counts().instances == 0; }));
    uint8_t request[8] = {};
    uint8_t reply[1036];
    size_t size = sizeof reply;
    EXPECT_NE(IOConnectCallStructMethod(connect, 6, request, sizeof request, reply, &size), 0);
    EXPECT_NE(IOConnectCallScalarMethod(connect, 1, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_NE(IOServiceClose(connect), KERN_SUCCESS) << "closing a connection to a gone driver";
    IOObjectRelease(services[0]);

    // The driver comes back under the same name.
    AddDriver("TrelvoxController.1");
    services = PumpAndDrain(2s);
    ASSERT_EQ(services.size(), 1u);
    ASSERT_EQ(IOServiceOpen(services[0], mach_task_self(), 0, &connect), KERN_SUCCESS);
    size = sizeof reply;
    EXPECT_EQ(IOConnectCallStructMethod(connect, 6, request, sizeof request, reply, &size), 6)
        << "the echo driver answers with the selector";
    EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);
    IOObjectRelease(services[0]);
}

TEST_F(DriverBus, ASocketGoneBeforeDeliveryIsNeverDelivered) {
    ASSERT_TRUE(Start().empty());
    {
        FakeDriver brief(Path("TrelvoxController.brief"), Echo);
        brief.Unload();
    }
    EXPECT_TRUE(PumpAndDrain().empty());
    EXPECT_EQ(Counts().instances, 0u);
}

TEST_F(DriverBus, AMissingDirectoryIsCreatedWritableByItsOwnerOnly) {
    std::string nested = Path("drivers");
    setenv("TRELVOX_DRIVER_DIR", (nested + "/").c_str(), 1);
    EXPECT_EQ(DriverBusDirectory(), nested) << "a trailing slash is not part of the name";
    mode_t old = umask(0);
    EXPECT_TRUE(StartDriverBus());
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(nested.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    unsetenv("TRELVOX_DRIVER_DIR");
    EXPECT_EQ(DriverBusDirectory(), "/run/trelvox");
    setenv("TRELVOX_DRIVER_DIR", "", 1);
    EXPECT_EQ(DriverBusDirectory(), "/run/trelvox");
}

TEST_F(DriverBus, ADirectoryThatCannotBeMadeIsReportedAndInProcessDriversStillWork) {
    setenv("TRELVOX_DRIVER_DIR", Path("no/such/parent").c_str(), 1);
    StderrCapture capture;
    port_ = IONotificationPortCreate(kIOMasterPortDefault);
    std::string err = capture.Take();
    ASSERT_NE(port_, nullptr) << "the port does not depend on the bus";
    EXPECT_NE(err.find("trelvox driver bus: cannot create the driver directory " + Root() +
                       "/no/such/parent: No such file or directory"),
              std::string::npos)
        << err;
    EXPECT_EQ(Occurrences(err, "\n"), 1u);
}

// ---------------------------------------------------------------- trust

TEST_F(DriverBus, ADirectoryOthersMayWriteIsIgnoredUntilItIsMadeSafe) {
    AddDriver("TrelvoxController.1");
    ASSERT_EQ(chmod(Root().c_str(), 0777), 0);
    StderrCapture capture;
    EXPECT_TRUE(Start().empty());
    AddDriver("TrelvoxController.2");
    EXPECT_TRUE(PumpAndDrain().empty());
    std::string err = capture.Take();
    EXPECT_EQ(Occurrences(err, "trelvox driver bus: ignoring the driver directory " + Root() +
                                   ": group or others may write to it (mode 0777)\n"),
              1u)
        << "once per streak, not once per socket: " << err;
    EXPECT_EQ(Counts().instances, 0u);

    ASSERT_EQ(chmod(Root().c_str(), 0700), 0);
    StderrCapture safe;
    std::vector<io_service_t> services;
    ASSERT_TRUE(PumpUntil([&] {
        for (io_service_t s : Drain()) {
            services.push_back(s);
        }
        return services.size() == 2;
    })) << "both sockets are found once the directory is safe";
    EXPECT_EQ(safe.Take(), "trelvox driver bus: the driver directory " + Root() +
                               " is watched and trusted again\n")
        << "the end of the streak, once";

    ASSERT_EQ(chmod(Root().c_str(), 0720), 0); // group write is as bad
    StderrCapture again;
    ASSERT_TRUE(PumpUntil([] { return Counts().instances == 0; }));
    EXPECT_NE(again.Take().find("(mode 0720)"), std::string::npos);
}

TEST_F(DriverBus, SocketsOfAnotherUserAreIgnored) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a socket to another user needs root";
    }
    AddDriver("TrelvoxController.theirs");
    ASSERT_EQ(lchown(Path("TrelvoxController.theirs").c_str(), 65534, 65534), 0);
    AddDriver("TrelvoxController.root");
    StderrCapture capture;
    std::vector<io_service_t> services = Start();
    std::string err = capture.Take();
    EXPECT_EQ(services.size(), 1u);
    EXPECT_NE(err.find("trelvox driver bus: ignoring " + Path("TrelvoxController.theirs") +
                       ": it belongs to user 65534, not to root\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(Occurrences(err, "\n"), 1u);
}

TEST_F(DriverBus, AServerRunningAsAnotherUserIsRefusedAtConnection) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "running a server as another user needs root";
    }
    // The socket belongs to root, but the process that listens on it runs
    // as another user: only the peer's credentials tell.
    std::string path = Path("TrelvoxController.borrowed");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0 || listen(fd, 4) != 0) {
            _exit(1);
        }
        ssize_t ignored = write(ready[1], "r", 1);
        (void)ignored;
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    std::vector<io_service_t> services = Start();
    ASSERT_EQ(services.size(), 1u);
    io_connect_t connect = 0;
    StderrCapture capture;
    EXPECT_EQ(IOServiceOpen(services[0], mach_task_self(), 0, &connect), kIOReturnNotPermitted);
    EXPECT_EQ(IOServiceOpen(services[0], mach_task_self(), 0, &connect), kIOReturnNotPermitted);
    std::string err = capture.Take();
    EXPECT_EQ(Occurrences(err, "refusing " + path + ": served by user 65534, not by root\n"), 1u)
        << "once while it lasts: " << err;
    IOObjectRelease(services[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(fd);
    close(ready[0]);
    close(ready[1]);
}

// ---------------------------------------------------------------- calls

TEST_F(DriverBus, CallsCarryTheirBytesAndResultsBothWays) {
    std::vector<bus::RequestHeader> seen;
    std::mutex mutex;
    FakeDriver &driver = AddDriver("TrelvoxController.1", [&](const bus::RequestHeader &request,
                                                              const std::string &input) {
        std::lock_guard lock(mutex);
        seen.push_back(request);
        Answer answer;
        if (request.kind == bus::kOpen) {
            answer.result = request.selector == 0 ? 0 : static_cast<int32_t>(kIOReturnBadArgument);
            return answer;
        }
        // Output: the input reversed, and the selector plus 100 as result.
        answer.output.assign(input.rbegin(), input.rend());
        answer.output.resize(request.outputCapacity < input.size() ? request.outputCapacity
                                                                   : input.size());
        answer.result = static_cast<int32_t>(request.selector + 100);
        return answer;
    });
    driver.scriptOpens_ = true;
    std::vector<io_service_t> services = Start();
    ASSERT_EQ(services.size(), 1u);

    io_connect_t refused = 0;
    EXPECT_EQ(IOServiceOpen(services[0], mach_task_self(), 3, &refused), kIOReturnBadArgument)
        << "the driver's answer to the open frame is IOServiceOpen's result";
    io_connect_t connect = 0;
    ASSERT_EQ(IOServiceOpen(services[0], mach_task_self(), 0, &connect), KERN_SUCCESS);

    const char input[] = "0123456789";
    char output[32];
    memset(output, '#', sizeof output);
    size_t size = 4;
    EXPECT_EQ(IOConnectCallStructMethod(connect, 6, input, 10, output, &size), 106);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string(output, 5), "9876#") << "never more than the capacity";

    uint64_t values[3] = {1, 2, 0xFFFFFFFFFFFFFFFFull};
    uint64_t back[3] = {};
    uint32_t count = 3;
    EXPECT_EQ(IOConnectCallScalarMethod(connect, 0, values, 3, back, &count), 100);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(back[0], 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(back[1], 0x0200000000000000ull);
    EXPECT_EQ(back[2], 0x0100000000000000ull);
    count = 0;
    EXPECT_EQ(IOConnectCallScalarMethod(connect, 1, nullptr, 0, nullptr, &count), 101);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);
    IOObjectRelease(services[0]);

    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].kind, bus::kOpen);
    EXPECT_EQ(seen[0].selector, 3u);
    EXPECT_EQ(seen[2].kind, bus::kStruct);
    EXPECT_EQ(seen[2].inputSize, 10u);
    EXPECT_EQ(seen[2].outputCapacity, 4u);
    EXPECT_EQ(seen[3].kind, bus::kScalar);
    EXPECT_EQ(seen[3].inputSize, 24u);
    EXPECT_EQ(seen[3].outputCapacity, 24u);
}

TEST_F(DriverBus, ImpossibleRepliesCloseTheConnectionAndFailTheCall) {
    struct Case {
        const char *what;
        bus::ReplyHeader header;
        std::string payload;
        const char *reported; // what the message says was wrong
    };
    const Case cases[] = {
        {"more than the capacity",
         {bus::kReplyMagic, 0, 1037},
         std::string(1037, 'x'),
         "(1037 bytes for a capacity of 1036)"},
        {"a size beyond any frame",
         {bus::kReplyMagic, 0, 0x7FFFFFFF},
         "",
         "(2147483647 bytes for a capacity of 1036)"},
        {"a wrong magic", {0x12345678, 0, 4}, "abcd", "(no reply frame: magic number 0x12345678)"},
        {"bytes beyond the frame",
         {bus::kReplyMagic, 0, 4},
         "abcd" + std::string(1036, 'z'),
         "(bytes beyond a frame of 4 bytes of output)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        FakeDriver &driver =
            AddDriver("TrelvoxController.1", [&](const bus::RequestHeader &, const std::string &) {
                Answer answer;
                answer.kind = Answer::kRaw;
                answer.raw = c.header;
                answer.output = c.payload;
                return answer;
            });
        io_connect_t connect = OpenOne();
        ASSERT_NE(connect, 0u);
        std::vector<char> reply(1036 + 64, '#');
        size_t size = 1036;
        StderrCapture capture;
        EXPECT_EQ(IOConnectCallStructMethod(connect, 6, "12345678", 8, reply.data(), &size),
                  kDriverBusImpossibleReply);
        EXPECT_NE(capture.Take().find("impossible reply from " + Path("TrelvoxController.1") + " " +
                                      c.reported),
                  std::string::npos);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(std::count(reply.begin(), reply.end(), '#'), static_cast<long>(reply.size()))
            << "nothing of an impossible reply reaches the caller";
        uint32_t before = driver.Requests();
        size = 1036;
        EXPECT_NE(IOConnectCallStructMethod(connect, 6, "12345678", 8, reply.data(), &size), 0);
        EXPECT_EQ(driver.Requests(), before) << "the connection is closed for good";
        EXPECT_NE(IOServiceClose(connect), KERN_SUCCESS);
    }
}

TEST_F(DriverBus, APeerThatClosesMidCallFailsTheCall) {
    // A driver that unloads takes its socket away first: only then is it
    // gone; with its socket still there, the close is the driver's failure.
    for (bool unpublished : {true, false}) {
        SCOPED_TRACE(unpublished ? "socket removed first" : "socket still there");
        TearDown();
        SetUp();
        std::string socket = Path("TrelvoxController.1");
        AddDriver("TrelvoxController.1",
                  [socket, unpublished](const bus::RequestHeader &, const std::string &) {
                      if (unpublished) {
                          unlink(socket.c_str());
                      }
                      return Answer::Of(Answer::kClose);
                  });
        io_connect_t connect = OpenOne();
        ASSERT_NE(connect, 0u);
        kern_return_t want = unpublished ? kIOReturnNoDevice : kDriverBusClosed;
        char reply[1036];
        size_t size = sizeof reply;
        EXPECT_EQ(IOConnectCallStructMethod(connect, 6, "12345678", 8, reply, &size), want);
        EXPECT_EQ(IOConnectCallScalarMethod(connect, 1, nullptr, 0, nullptr, nullptr), want);
        EXPECT_EQ(IOServiceClose(connect), want);
        EXPECT_EQ(Counts().connections, 0u);
    }
}

TEST_F(DriverBus, APeerThatStopsAnsweringFailsTheCallAtTheTimeOut) {
    FakeDriver &driver =
        AddDriver("TrelvoxController.1", [](const bus::RequestHeader &, const std::string &) {
            return Answer::Of(Answer::kHang);
        });
    io_connect_t connect = OpenOne();
    ASSERT_NE(connect, 0u);
    SetDriverBusCallTimeout(200);
    char reply[1036];
    size_t size = sizeof reply;
    auto start = Clock::now();
    EXPECT_EQ(IOConnectCallStructMethod(connect, 6, "12345678", 8, reply, &size), kIOReturnTimeout);
    auto took = Clock::now() - start;
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 3s);
    uint32_t before = driver.Requests();
    EXPECT_EQ(IOConnectCallScalarMethod(connect, 1, nullptr, 0, nullptr, nullptr),
              kIOReturnTimeout);
    EXPECT_EQ(driver.Requests(), before) << "a late answer can never be taken for the next one";
    EXPECT_EQ(IOServiceClose(connect), kIOReturnTimeout);
}

TEST_F(DriverBus, OversizedInputIsRefusedBeforeItIsSent) {
    FakeDriver &driver = AddDriver("TrelvoxController.1");
    io_connect_t connect = OpenOne();
    ASSERT_NE(connect, 0u);
    uint32_t before = driver.Requests();
    std::vector<char> big(bus::kMaxPayload + 1, 'b');
    char reply[16];
    size_t size = sizeof reply;
    EXPECT_EQ(IOConnectCallStructMethod(connect, 6, big.data(), big.size(), reply, &size),
              kIOReturnBadArgument);
    uint64_t values[17] = {};
    EXPECT_EQ(IOConnectCallScalarMethod(connect, 0, values, 17, nullptr, nullptr),
              kIOReturnBadArgument);
    EXPECT_EQ(driver.Requests(), before);
    size = sizeof reply;
    EXPECT_EQ(IOConnectCallStructMethod(connect, 6, "abc", 3, reply, &size), 6)
        << "the connection is still good";
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);
}

TEST_F(DriverBus, AStaleSocketFailsTheOpenQuickly) {
    // A socket left behind by a driver that died: nobody listens.
    int fd = FakeDriver::Listen(Path("TrelvoxController.stale"));
    close(fd);
    std::vector<io_service_t> services = Start();
    ASSERT_EQ(services.size(), 1u);
    io_connect_t connect = 0;
    auto start = Clock::now();
    EXPECT_EQ(IOServiceOpen(services[0], mach_task_self(), 0, &connect), kDriverBusRefused)
        << "refused while its socket is published: a failure to report, not a departure";
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(connect, 0u);
    IOObjectRelease(services[0]);
}

// ---------------------------------------------------------------- trying again

TEST_F(DriverBus, AStillPublishedDriverIsTriedAgainAfterAFailure) {
    struct Case {
        const char *what;
        Answer::Kind firstCall; // the driver's answer to the first event-log call
        bool noDescriptorLeft;  // the descriptor limit is reached at the open
        const char *transcript;
    };
    const Case cases[] = {
        {"it closed the connection", Answer::kClose, false,
         "open: success\ncall: the driver closed the connection\n"
         "later call: the driver closed the connection\n"
         "close: the driver closed the connection\n"
         "delivered again after the back-off\nthen: success\n"},
        {"it stalled past the call time-out", Answer::kHang, false,
         "open: success\ncall: the driver did not answer in time\n"
         "later call: the driver did not answer in time\n"
         "close: the driver did not answer in time\n"
         "delivered again after the back-off\nthen: success\n"},
        {"no descriptor was left for the connection", Answer::kReply, true,
         "open: Too many open files\ndelivered again after the back-off\nthen: success\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        auto calls = std::make_shared<std::atomic<int>>(0);
        AddDriver("TrelvoxController.1",
                  [calls, first = c.firstCall](const bus::RequestHeader &request,
                                               const std::string &input) {
                      if (request.kind == bus::kStruct && (*calls)++ == 0) {
                          return Answer::Of(first);
                      }
                      return Echo(request, input);
                  });
        // A child, so that the descriptor limit is its own.
        testsupport::ChildResult r = testsupport::RunInChild([&] {
            SetDriverBusCallTimeout(200);
            SetRedeliveryBackOff(100, 400);
            std::string log;
            auto say = [&](const char *what, kern_return_t result) {
                log += std::string(what) + ": " + mach_error_string(result) + "\n";
            };
            std::vector<io_service_t> services = Start();
            if (services.size() != 1) {
                testsupport::SideChannelWrite("not delivered\n");
                return;
            }
            io_connect_t connect = 0;
            rlimit saved{};
            getrlimit(RLIMIT_NOFILE, &saved);
            if (c.noDescriptorLeft) {
                // UBSan checks a type the first time through a pipe of its
                // own: a connection beforehand lets it know them all.
                if (IOServiceOpen(services[0], mach_task_self(), 0, &connect) == KERN_SUCCESS) {
                    IOServiceClose(connect);
                }
                int lowest = dup(0);
                close(lowest);
                rlimit low = saved;
                low.rlim_cur = static_cast<rlim_t>(lowest);
                setrlimit(RLIMIT_NOFILE, &low);
            }
            kern_return_t opened = IOServiceOpen(services[0], mach_task_self(), 0, &connect);
            setrlimit(RLIMIT_NOFILE, &saved);
            IOObjectRelease(services[0]);
            say("open", opened);
            if (opened == KERN_SUCCESS) {
                char reply[64];
                size_t size = sizeof reply;
                say("call", IOConnectCallStructMethod(connect, 6, "12345678", 8, reply, &size));
                say("later call",
                    IOConnectCallScalarMethod(connect, 0, nullptr, 0, nullptr, nullptr));
                say("close", IOServiceClose(connect));
            }
            auto failedAt = Clock::now();
            services = PumpAndDrain(3s);
            auto waited = Clock::now() - failedAt;
            if (services.size() == 1 && waited >= 98ms && waited < 1s) {
                log += "delivered again after the back-off\n";
            }
            if (!services.empty() &&
                IOServiceOpen(services[0], mach_task_self(), 0, &connect) == KERN_SUCCESS) {
                say("then", IOConnectCallScalarMethod(connect, 0, nullptr, 0, nullptr, nullptr));
                IOServiceClose(connect);
            }
            testsupport::SideChannelWrite(log);
        });
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.side, c.transcript);
    }
}

TEST_F(DriverBus, TheWatchIsTriedAgainUntilItStandsAndThenScans) {
    struct Case {
        const char *what;
        const char *directory; // the driver directory, below the test's
        bool startFirst;       // the watch stands before it is broken
        void (*breakIt)(const std::string &directory);
        std::vector<std::string> problems; // each said once, in this order
    };
    auto parentOf = [](const std::string &dir) { return dir.substr(0, dir.rfind('/')); };
    const Case cases[] = {
        {"inotify cannot be set up",
         "drivers",
         false,
         [](const std::string &dir) {
             ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
             Faults().failDirectoryWatch = EMFILE;
         },
         {"cannot watch the driver directory {dir}: Too many open files; trying again every "
          "50 ms"}},
        {"the directory cannot be made yet",
         "parent/drivers",
         false,
         [](const std::string &) {},
         {"cannot create the driver directory {dir}: No such file or directory "
          "(TRELVOX_DRIVER_DIR names another); trying again every 50 ms"}},
        {"the directory and its parent have gone",
         "parent/drivers",
         true,
         [](const std::string &dir) {
             std::string command = "rm -rf '" + dir.substr(0, dir.rfind('/')) + "'";
             ASSERT_EQ(system(command.c_str()), 0);
         },
         {"the driver directory {dir} has gone and {parent} cannot be watched (No such file or "
          "directory); trying again every 50 ms",
          "cannot create the driver directory {dir}: No such file or directory "
          "(TRELVOX_DRIVER_DIR names another); trying again every 50 ms"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        SetDriverBusWatchRetry(50);
        SetPlatformMessageSink(RecordMessage);
        std::string dir = Path(c.directory);
        setenv("TRELVOX_DRIVER_DIR", dir.c_str(), 1);
        if (c.startFirst) {
            ASSERT_EQ(mkdir(parentOf(dir).c_str(), 0755), 0);
            ASSERT_TRUE(Start().empty());
            c.breakIt(dir);
        } else {
            c.breakIt(dir);
            ASSERT_TRUE(Start().empty());
        }
        EXPECT_TRUE(PumpAndDrain(300ms).empty()) << "several attempts, in vain";

        // Repaired, with a driver in it before the watch stands again.
        Faults().failDirectoryWatch = 0;
        mkdir(parentOf(dir).c_str(), 0755);
        mkdir(dir.c_str(), 0755);
        AddDriver(std::string(c.directory) + "/TrelvoxController.1");
        EXPECT_EQ(PumpAndDrain(2s).size(), 1u);

        std::vector<std::string> problems;
        std::vector<std::string> ends;
        for (const Message &m : TakeMessages()) {
            (m.problem ? problems : ends).push_back(m.text);
        }
        std::vector<std::string> want;
        for (std::string text : c.problems) {
            text.replace(text.find("{dir}"), 5, dir);
            if (size_t at = text.find("{parent}"); at != std::string::npos) {
                text.replace(at, 8, parentOf(dir));
            }
            want.push_back(text);
        }
        EXPECT_EQ(problems, want);
        EXPECT_EQ(ends, std::vector<std::string>{"the driver directory " + dir +
                                                 " is watched and trusted again"});
    }
}

TEST_F(DriverBus, ADriversImpossibleRepliesAreSaidOnceUntilItAnswersProperlyAgain) {
    SetPlatformMessageSink(RecordMessage);
    auto calls = std::make_shared<std::atomic<int>>(0);
    AddDriver("TrelvoxController.1",
              [calls](const bus::RequestHeader &request, const std::string &input) {
                  if (request.kind == bus::kStruct && (*calls)++ < 2) {
                      Answer answer;
                      answer.kind = Answer::kRaw;
                      answer.raw = bus::ReplyHeader{0x12345678, 0, 4};
                      answer.output = "abcd";
                      return answer;
                  }
                  return Echo(request, input);
              });
    std::vector<io_service_t> services = Start();
    ASSERT_EQ(services.size(), 1u);
    // One connection after another, as deliveries after each failure make.
    std::vector<kern_return_t> results;
    for (int i = 0; i < 3; ++i) {
        io_connect_t connect = 0;
        ASSERT_EQ(IOServiceOpen(services[0], mach_task_self(), 0, &connect), KERN_SUCCESS);
        char reply[16];
        size_t size = sizeof reply;
        results.push_back(IOConnectCallStructMethod(connect, 6, "12345678", 8, reply, &size));
        IOServiceClose(connect);
    }
    IOObjectRelease(services[0]);
    EXPECT_EQ(results, (std::vector<kern_return_t>{kDriverBusImpossibleReply,
                                                   kDriverBusImpossibleReply, 6}));
    std::vector<Message> messages = TakeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0].problem);
    EXPECT_EQ(messages[0].text, "impossible reply from " + Path("TrelvoxController.1") +
                                    " (no reply frame: magic number 0x12345678); connection "
                                    "closed");
    EXPECT_FALSE(messages[1].problem);
    EXPECT_EQ(messages[1].text, Path("TrelvoxController.1") + " answers properly again");
}

} // namespace
