// The platform stand-in's driver registry: first-publish notifications,
// their iterators and arming, service objects, connections and faults.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lib/platform/driver_registry.h"
#include "lib/platform/iokit.h"
#include "lib/platform/platform_testing.h"
#include "tests/support/scripted_driver.h"

namespace {

using namespace trelvox::platform;
using testsupport::ScriptedDriver;

constexpr char kClass[] = "TrelvoxController";

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPlatform();
        port_ = IONotificationPortCreate(kIOMasterPortDefault);
        ASSERT_NE(port_, nullptr);
    }
    void TearDown() override {
        ResetPlatform();
        IONotificationPortDestroy(port_);
    }

    std::shared_ptr<ScriptedDriver> Publish(const char *className = kClass) {
        auto driver = std::make_shared<ScriptedDriver>(className);
        ids_.push_back(PublishInstance(driver));
        return driver;
    }

    io_iterator_t AddNotification(IOServiceMatchingCallback callback, void *refCon) {
        io_iterator_t iterator = 0;
        EXPECT_EQ(IOServiceAddMatchingNotification(port_, kIOFirstPublishNotification,
                                                   IOServiceMatching(kClass), callback, refCon,
                                                   &iterator),
                  KERN_SUCCESS);
        EXPECT_NE(iterator, 0u);
        return iterator;
    }

    // Takes every object the iterator has, opening each to learn which
    // driver it is, and releases them.
    std::vector<ScriptedDriver *> Drain(io_iterator_t iterator,
                                        const std::vector<std::shared_ptr<ScriptedDriver>> &all) {
        std::vector<ScriptedDriver *> seen;
        while (io_service_t service = IOIteratorNext(iterator)) {
            std::vector<uint32_t> before;
            for (const auto &d : all) {
                before.push_back(d->OpenCount());
            }
            io_connect_t connect = 0;
            EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connect), KERN_SUCCESS);
            EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);
            EXPECT_EQ(IOObjectRelease(service), KERN_SUCCESS);
            for (size_t i = 0; i < all.size(); ++i) {
                if (all[i]->OpenCount() != before[i]) {
                    seen.push_back(all[i].get());
                }
            }
        }
        return seen;
    }

    IONotificationPortRef port_ = nullptr;
    std::vector<InstanceId> ids_;
};

void NoCallback(void *, io_iterator_t) {}

TEST_F(Registry, IteratorDeliversEveryEarlierInstanceOfTheClassOnceInOrder) {
    auto a = Publish();
    auto other = Publish("OtherController");
    auto b = Publish();
    io_iterator_t iterator = AddNotification(NoCallback, nullptr);
    auto c = Publish(); // after the notification, before the drain
    std::vector<ScriptedDriver *> seen = Drain(iterator, {a, other, b, c});
    EXPECT_EQ(seen, (std::vector<ScriptedDriver *>{a.get(), b.get(), c.get()}));
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    EXPECT_EQ(other->OpenCount(), 0u);
    EXPECT_EQ(IOObjectRelease(iterator), KERN_SUCCESS);
    EXPECT_EQ(Counts().notifications, 0u);
}

TEST_F(Registry, UnpublishedBeforeDeliveryIsNeverDeliveredAndAfterwardCannotBeOpened) {
    auto a = Publish();
    auto b = Publish();
    io_iterator_t iterator = AddNotification(NoCallback, nullptr);
    io_service_t first = IOIteratorNext(iterator);
    ASSERT_NE(first, 0u);
    UnpublishInstance(ids_[0]);
    UnpublishInstance(ids_[1]);
    EXPECT_EQ(IOIteratorNext(iterator), 0u); // b was withdrawn
    io_connect_t connect = 1234;
    EXPECT_EQ(IOServiceOpen(first, mach_task_self(), 0, &connect), kIOReturnNoDevice);
    EXPECT_EQ(connect, 0u);
    EXPECT_EQ(IOObjectRelease(first), KERN_SUCCESS);
    EXPECT_EQ(IOObjectRelease(first), kIOReturnBadArgument);
    EXPECT_EQ(a->OpenCount() + b->OpenCount(), 0u);
}

struct CallbackLog {
    std::atomic<int> calls{0};
    bool drain = true;
    bool stopAfter = true;
    std::vector<io_service_t> services;
    void *refSeen = nullptr;
};

void LoggingCallback(void *refCon, io_iterator_t iterator) {
    auto *log = static_cast<CallbackLog *>(refCon);
    log->refSeen = refCon;
    ++log->calls;
    while (log->drain) {
        io_service_t service = IOIteratorNext(iterator);
        if (service == 0) {
            break;
        }
        log->services.push_back(service);
        IOObjectRelease(service);
    }
    if (log->stopAfter) {
        CFRunLoopStop(CFRunLoopGetCurrent());
    }
}

// Runs the current run loop with the port's source until something stops
// it, with a watchdog that stops it after the given time.
void RunWithWatchdog(IONotificationPortRef port, std::chrono::milliseconds limit,
                     const std::function<void()> &whileRunning = {}) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(port);
    CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
    std::atomic<bool> done{false};
    std::thread helper([&] {
        if (whileRunning) {
            whileRunning();
        }
        auto until = std::chrono::steady_clock::now() + limit;
        while (!done && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        CFRunLoopStop(loop);
    });
    CFRunLoopRun();
    done = true;
    helper.join();
    // The watchdog may have left a stop for the next run: a stop now makes
    // sure there is one, and a run consumes it at once.
    CFRunLoopStop(loop);
    CFRunLoopRun();
    CFRunLoopRemoveSource(loop, source, kCFRunLoopDefaultMode);
}

TEST_F(Registry, LaterPublicationRunsTheCallbackOnTheRunLoopOnceArmed) {
    CallbackLog log;
    io_iterator_t iterator = AddNotification(LoggingCallback, &log);
    EXPECT_EQ(IOIteratorNext(iterator), 0u); // drained: armed
    RunWithWatchdog(port_, std::chrono::seconds(10), [&] { Publish(); });
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.refSeen, &log);
    EXPECT_EQ(log.services.size(), 1u);
}

TEST_F(Registry, NoCallbackUntilTheIteratorHasBeenDrained) {
    CallbackLog log;
    Publish();
    io_iterator_t iterator = AddNotification(LoggingCallback, &log);
    // Not drained yet: a later publication queues but does not call back.
    RunWithWatchdog(port_, std::chrono::milliseconds(100), [&] { Publish(); });
    EXPECT_EQ(log.calls, 0);
    log.stopAfter = false;
    LoggingCallback(&log, iterator); // the first drain, called directly
    EXPECT_EQ(log.services.size(), 2u);
    log.stopAfter = true;
    RunWithWatchdog(port_, std::chrono::seconds(10), [&] { Publish(); });
    EXPECT_EQ(log.calls, 2);
    EXPECT_EQ(log.services.size(), 3u);
}

TEST_F(Registry, CallbackThatDoesNotDrainIsNotCalledAgain) {
    CallbackLog log;
    io_iterator_t iterator = AddNotification(LoggingCallback, &log);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    log.drain = false;
    log.stopAfter = false;
    RunWithWatchdog(port_, std::chrono::milliseconds(150), [&] {
        Publish();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Publish();
    });
    EXPECT_EQ(log.calls, 1);
    // Both wait in the iterator.
    int left = 0;
    while (io_service_t service = IOIteratorNext(iterator)) {
        IOObjectRelease(service);
        ++left;
    }
    EXPECT_EQ(left, 2);
}

TEST_F(Registry, ReleasedIteratorOrDestroyedPortGetsNoMoreCallbacks) {
    for (bool destroyPort : {false, true}) {
        SCOPED_TRACE(destroyPort ? "port destroyed" : "iterator released");
        ResetPlatform();
        CallbackLog log;
        io_iterator_t iterator = AddNotification(LoggingCallback, &log);
        EXPECT_EQ(IOIteratorNext(iterator), 0u);
        IONotificationPortRef port = port_;
        if (destroyPort) {
            // The run loop keeps the destroyed port's source; it must stay inert.
            port_ = IONotificationPortCreate(kIOMasterPortDefault);
            CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                               kCFRunLoopDefaultMode);
            IONotificationPortDestroy(port);
            port = port_;
        } else {
            EXPECT_EQ(IOObjectRelease(iterator), KERN_SUCCESS);
        }
        RunWithWatchdog(port, std::chrono::milliseconds(100), [&] { Publish(); });
        EXPECT_EQ(log.calls, 0);
    }
}

// An in-process driver that may give itself a name.
class NamedDriver : public ScriptedDriver {
public:
    explicit NamedDriver(std::string name) : name_(std::move(name)) {}
    std::string Name() const override { return name_.empty() ? ClassName() : name_; }

private:
    std::string name_;
};

TEST_F(Registry, ADeliveredServiceHasItsDriversName) {
    struct Case {
        const char *what;
        std::string own; // the driver's own name; empty: none
        std::string want;
    };
    const Case cases[] = {
        {"the class name unless it has one", "", kClass},
        {"its own", "TrelvoxController.7", "TrelvoxController.7"},
        {"cut to fit", std::string(200, 'n'), std::string(127, 'n')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ResetPlatform();
        InstanceId id = PublishInstance(std::make_shared<NamedDriver>(c.own));
        io_iterator_t iterator = AddNotification(NoCallback, nullptr);
        io_service_t service = IOIteratorNext(iterator);
        ASSERT_NE(service, 0u);
        UnpublishInstance(id); // the object keeps the name until it is released
        io_name_t name;
        memset(name, '#', sizeof name);
        EXPECT_EQ(IORegistryEntryGetName(service, name), KERN_SUCCESS);
        EXPECT_EQ(std::string(name), c.want);
        EXPECT_EQ(IORegistryEntryGetName(iterator, name), kIOReturnBadArgument) << "no service";
        IOObjectRelease(service);
        EXPECT_EQ(IORegistryEntryGetName(service, name), kIOReturnBadArgument) << "released";
    }
}

TEST_F(Registry, ConnectionsForwardCallsAndReportResults) {
    auto driver = Publish();
    driver->QueueText("hello", 1, 7);
    driver->SetCloseResult(kIOReturnNotResponding);
    io_iterator_t iterator = AddNotification(NoCallback, nullptr);
    io_service_t service = IOIteratorNext(iterator);
    ASSERT_NE(service, 0u);
    EXPECT_EQ(Counts().serviceObjects, 1u);

    io_connect_t connect = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 5, &connect), KERN_SUCCESS);
    EXPECT_EQ(driver->LastOpenType(), 5u);
    EXPECT_EQ(Counts().connections, 1u);
    EXPECT_EQ(IOConnectCallScalarMethod(connect, 0, nullptr, 0, nullptr, nullptr), KERN_SUCCESS);

    uint8_t request[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CltEventReply reply{};
    size_t size = sizeof reply;
    EXPECT_EQ(IOConnectCallStructMethod(connect, 6, request, sizeof request, &reply, &size),
              KERN_SUCCESS);
    EXPECT_EQ(size, sizeof reply);
    EXPECT_EQ(reply.lostBytes, 7);
    EXPECT_EQ(reply.waitFlag, 1u);
    EXPECT_EQ(std::string(reply.eventText, reply.textLen), "hello");
    EXPECT_EQ(IOConnectCallStructMethod(connect, 6, request, sizeof request, &reply, &size),
              kIOReturnNotResponding); // queue exhausted

    std::vector<testsupport::DriverCall> calls = driver->Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, testsupport::DriverCall::Kind::kScalar);
    EXPECT_EQ(calls[1].selector, 6u);
    EXPECT_EQ(calls[1].inputSize, 8u);
    EXPECT_EQ(calls[1].outputSize, sizeof reply);
    EXPECT_EQ(calls[1].input, std::vector<uint8_t>(request, request + 8));

    EXPECT_EQ(IOServiceClose(connect), kIOReturnNotResponding);
    EXPECT_EQ(Counts().connections, 0u);
    EXPECT_EQ(IOServiceClose(connect), kIOReturnBadArgument);
    EXPECT_EQ(IOConnectCallScalarMethod(connect, 0, nullptr, 0, nullptr, nullptr),
              kIOReturnNotOpen);
    EXPECT_EQ(IOConnectCallStructMethod(connect, 6, nullptr, 0, nullptr, nullptr),
              kIOReturnNotOpen);
    IOObjectRelease(service);
    IOObjectRelease(iterator);
    EXPECT_EQ(Counts().serviceObjects, 0u);
}

TEST_F(Registry, OpenFailuresReachTheCaller) {
    auto driver = Publish();
    driver->SetOpenResult(kIOReturnNoMemory);
    io_connect_t connect = 99;
    EXPECT_EQ(OpenInstance(ids_[0], 0, &connect), kIOReturnNoMemory);
    EXPECT_EQ(connect, 0u);
    EXPECT_EQ(Counts().connections, 0u);
    driver->SetOpenResult(KERN_SUCCESS);
    EXPECT_EQ(OpenInstance(ids_[0], 0, &connect), KERN_SUCCESS);
    EXPECT_NE(connect, 0u);
    EXPECT_EQ(OpenInstance(ids_[0] + 100, 0, &connect), kIOReturnNoDevice);
    EXPECT_EQ(IOServiceOpen(0x7777, mach_task_self(), 0, &connect), kIOReturnBadArgument);
}

TEST_F(Registry, ForcedFaultsAndBadArgumentsFailTheirCalls) {
    struct Case {
        const char *name;
        bool PlatformFaults::*fault;
    };
    const Case cases[] = {
        {"port", &PlatformFaults::failPortCreate},
        {"matching", &PlatformFaults::failMatching},
        {"notification", &PlatformFaults::failAddNotification},
        {"source", &PlatformFaults::failRunLoopSource},
        {"run loop", &PlatformFaults::failCurrentRunLoop},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResetPlatform();
        Faults().*c.fault = true;
        IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
        EXPECT_EQ(port == nullptr, c.fault == &PlatformFaults::failPortCreate);
        CFMutableDictionaryRef matching = IOServiceMatching(kClass);
        EXPECT_EQ(matching == nullptr, c.fault == &PlatformFaults::failMatching);
        io_iterator_t iterator = 0;
        kern_return_t added = IOServiceAddMatchingNotification(
            port_, kIOFirstPublishNotification, matching, NoCallback, nullptr, &iterator);
        EXPECT_EQ(added != KERN_SUCCESS, c.fault == &PlatformFaults::failAddNotification ||
                                             c.fault == &PlatformFaults::failMatching);
        EXPECT_EQ(IONotificationPortGetRunLoopSource(port_) == nullptr,
                  c.fault == &PlatformFaults::failRunLoopSource);
        EXPECT_EQ(CFRunLoopGetCurrent() == nullptr, c.fault == &PlatformFaults::failCurrentRunLoop);
        IONotificationPortDestroy(port);
    }
    ResetPlatform();
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceAddMatchingNotification(port_, "IOServiceTerminate",
                                               IOServiceMatching(kClass), NoCallback, nullptr,
                                               &iterator),
              kIOReturnUnsupported);
    EXPECT_EQ(IOServiceAddMatchingNotification(nullptr, kIOFirstPublishNotification,
                                               IOServiceMatching(kClass), NoCallback, nullptr,
                                               &iterator),
              kIOReturnBadArgument);
    EXPECT_EQ(Counts().notifications, 0u);
}

TEST_F(Registry, PortWatchRunsOnTheLoopAndItsPublicationIsDeliveredAtOnce) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    CallbackLog log;
    io_iterator_t iterator = AddNotification(LoggingCallback, &log);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    std::thread::id loopThread = std::this_thread::get_id();
    bool ranOnLoop = false;
    AddPortWatch(fds[0], [&] {
        char byte;
        EXPECT_EQ(read(fds[0], &byte, 1), 1);
        ranOnLoop = std::this_thread::get_id() == loopThread;
        Publish();
    });
    RunWithWatchdog(port_, std::chrono::seconds(10), [&] {
        char byte = 1;
        EXPECT_EQ(write(fds[1], &byte, 1), 1);
    });
    EXPECT_TRUE(ranOnLoop);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.services.size(), 1u);
    close(fds[0]);
    close(fds[1]);
}

} // namespace
