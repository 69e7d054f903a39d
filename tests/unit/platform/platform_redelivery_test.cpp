// Re-delivery of a driver that is still published after a failed open or a
// failed call: the back-off, its reset, what counts as a failure, and its
// end when the driver is unpublished.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "lib/platform/driver_registry.h"
#include "lib/platform/iokit.h"
#include "lib/platform/platform_testing.h"

namespace {

using namespace std::chrono_literals;
using namespace trelvox::platform;
using Clock = std::chrono::steady_clock;

constexpr char kClass[] = "TrelvoxController";

// One call on a connection: a scalar method (open and close of the user
// client) or the structure method that fetches event text, and its result.
struct Call {
    bool event;
    kern_return_t result;
};
Call Scalar(kern_return_t result) {
    return {false, result};
}
Call Event(kern_return_t result) {
    return {true, result};
}

// What the driver does on one delivery: its open's result and, once open,
// the calls made on the connection, in order.
struct Plan {
    kern_return_t open;
    std::vector<Call> calls;
};

class PlannedClient : public UserClient {
public:
    explicit PlannedClient(std::vector<Call> calls) : calls_(std::move(calls)) {}
    kern_return_t CallScalar(uint32_t, const uint64_t *, uint32_t, uint64_t *,
                             uint32_t *) override {
        return calls_[next_++].result;
    }
    kern_return_t CallStruct(uint32_t, const void *, size_t, void *, size_t *) override {
        return calls_[next_++].result;
    }

private:
    std::vector<Call> calls_;
    size_t next_ = 0;
};

class PlannedDriver : public DriverInstance {
public:
    std::string ClassName() const override { return kClass; }
    kern_return_t Open(uint32_t, std::unique_ptr<UserClient> *client) override {
        if (plan.open == KERN_SUCCESS) {
            *client = std::make_unique<PlannedClient>(plan.calls);
        }
        return plan.open;
    }
    Plan plan{};
};

// One run: the driver, its plans and when each delivery came.
struct Deliveries {
    std::shared_ptr<PlannedDriver> driver = std::make_shared<PlannedDriver>();
    std::vector<Plan> plans;
    Clock::time_point start;
    std::vector<double> at; // milliseconds after the start
};

// Serves each delivery as the service does: open, the calls, close.
void Serve(void *refCon, io_iterator_t iterator) {
    auto *run = static_cast<Deliveries *>(refCon);
    while (io_service_t service = IOIteratorNext(iterator)) {
        run->at.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - run->start).count());
        run->driver->plan = run->plans[std::min(run->at.size(), run->plans.size()) - 1];
        io_connect_t connect = 0;
        if (IOServiceOpen(service, mach_task_self(), 0, &connect) == KERN_SUCCESS) {
            for (const Call &call : run->driver->plan.calls) {
                if (call.event) {
                    IOConnectCallStructMethod(connect, 6, nullptr, 0, nullptr, nullptr);
                } else {
                    IOConnectCallScalarMethod(connect, 0, nullptr, 0, nullptr, nullptr);
                }
            }
            IOServiceClose(connect);
        }
        IOObjectRelease(service);
    }
}

void NoCallback(void *, io_iterator_t) {}

TEST(Redelivery, AFailedDriverComesBackBackingOffForAsLongAsItIsPublished) {
    constexpr kern_return_t kFail = kIOReturnNotResponding;
    const Plan failedOpen{kFail, {}};
    struct Case {
        const char *what;
        uint32_t firstMs; // 0: the default back-off
        std::vector<Plan> plans;
        int runMs;
        // Milliseconds between deliveries: never shorter, and late by far
        // less than a wait twice as long.
        std::vector<double> waits;
        int unpublishAtMs = -1;
    };
    const Case cases[] = {
        {"open fails: the wait doubles up to the most",
         100,
         {failedOpen},
         1350,
         {100, 200, 400, 400}},
        {"a call fails", 100, {{0, {Scalar(0), Event(kFail), Scalar(kFail)}}}, 550, {100, 200}},
        {"a failure of the driver's own counts too",
         100,
         {{0, {Event(kIOReturnUnsupported)}}},
         220,
         {100}},
        {"a connection whose event call succeeded starts again at the first wait",
         100,
         {failedOpen, failedOpen, {0, {Event(0), Event(kFail)}}, failedOpen},
         800,
         {100, 200, 100, 200}},
        {"an open and a close that succeed around a failed event call end nothing",
         100,
         {{0, {Scalar(0), Event(kFail), Scalar(0)}}},
         1150,
         {100, 200, 400, 400}},
        {"served without failure", 100, {{0, {Scalar(0), Event(0), Scalar(0)}}}, 300, {}},
        {"calls cut short by a stop are no failure",
         100,
         {{0, {Event(kIOReturnAborted)}}},
         300,
         {}},
        {"an open cut short by a stop is no failure", 100, {{kIOReturnAborted, {}}}, 300, {}},
        {"unpublished while it waits", 100, {failedOpen}, 300, {}, 50},
        {"the first wait is a second by default", 0, {failedOpen}, 1300, {1000}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ResetPlatform();
        if (c.firstMs != 0) {
            SetRedeliveryBackOff(c.firstMs, 4 * c.firstMs);
        }
        IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
        ASSERT_NE(port, nullptr);
        Deliveries run;
        run.plans = c.plans;
        InstanceId id = PublishInstance(run.driver);
        // A second notification that is never drained holds the driver from
        // its publication: it is never queued there twice.
        io_iterator_t served = 0;
        io_iterator_t idle = 0;
        ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOFirstPublishNotification,
                                                   IOServiceMatching(kClass), NoCallback, nullptr,
                                                   &idle),
                  KERN_SUCCESS);
        ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOFirstPublishNotification,
                                                   IOServiceMatching(kClass), Serve, &run, &served),
                  KERN_SUCCESS);
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(loop, IONotificationPortGetRunLoopSource(port), kCFRunLoopDefaultMode);
        run.start = Clock::now();
        Serve(&run, served); // the first drain
        std::thread helper([&] {
            if (c.unpublishAtMs >= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.unpublishAtMs));
                UnpublishInstance(id);
            }
            std::this_thread::sleep_until(run.start + std::chrono::milliseconds(c.runMs));
            CFRunLoopStop(loop);
        });
        CFRunLoopRun();
        helper.join();

        ASSERT_EQ(run.at.size(), c.waits.size() + 1);
        for (size_t i = 0; i < c.waits.size(); ++i) {
            double wait = run.at[i + 1] - run.at[i];
            EXPECT_GE(wait, c.waits[i] - 2) << "wait " << i;
            EXPECT_LT(wait, c.waits[i] + 150) << "wait " << i;
        }
        int held = 0;
        while (io_service_t service = IOIteratorNext(idle)) {
            IOObjectRelease(service);
            ++held;
        }
        EXPECT_EQ(held, c.unpublishAtMs >= 0 ? 0 : 1);
        IONotificationPortDestroy(port);
    }
    ResetPlatform();
}

} // namespace
