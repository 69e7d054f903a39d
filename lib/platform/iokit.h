// Stand-in for the subset of IOKit and the CoreFoundation run loop that the
// service and the I/O-control transport call. Same names and argument order
// as the platform's own interfaces, so callers read as they would there.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int32_t kern_return_t;
typedef int32_t IOReturn;
typedef uint32_t mach_port_t;
typedef uint32_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_registry_entry_t;
typedef char io_name_t[128];
// A result with its text (mach_error_string).
typedef kern_return_t mach_error_t;

typedef struct IONotificationPort *IONotificationPortRef;
typedef struct __CFDictionary *CFMutableDictionaryRef;
typedef const struct __CFDictionary *CFDictionaryRef;
typedef struct __CFRunLoop *CFRunLoopRef;
typedef struct __CFRunLoopSource *CFRunLoopSourceRef;
typedef const struct __CFString *CFStringRef;
typedef const void *CFTypeRef;
typedef long CFIndex;
typedef unsigned long CFOptionFlags;
// Seconds since 2001-01-01 00:00:00 UTC, on the wall clock.
typedef double CFAbsoluteTime;
typedef double CFTimeInterval;
typedef const struct __CFAllocator *CFAllocatorRef;
typedef struct __CFRunLoopTimer *CFRunLoopTimerRef;

typedef void (*CFRunLoopTimerCallBack)(CFRunLoopTimerRef timer, void *info);
// What a timer passes to its callout. retain (when set) is applied to info
// at creation and release when the timer is destroyed; version and
// copyDescription are kept but not used.
struct CFRunLoopTimerContext {
    CFIndex version;
    void *info;
    const void *(*retain)(const void *info);
    void (*release)(const void *info);
    CFStringRef (*copyDescription)(const void *info);
};

typedef void (*IOServiceMatchingCallback)(void *refcon, io_iterator_t iterator);

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);
inline constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BD);
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);
inline constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7);
inline constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CD);
inline constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0);
inline constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xE00002D6);
inline constexpr IOReturn kIOReturnNotResponding = static_cast<IOReturn>(0xE00002ED);
inline constexpr IOReturn kIOReturnAborted = static_cast<IOReturn>(0xE00002EB);
inline constexpr IOReturn kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2);

// A failed system call's errno as a result, as the platform's error
// subsystem for Unix errors codes it: unix_err(EMFILE) for "Too many open
// files".
inline constexpr mach_error_t unix_err(int e) {
    return static_cast<mach_error_t>((3 << 14) | e);
}

// The driver bus's own results, in a subsystem of their own so that no
// driver's result is ever taken for one of them.
inline constexpr IOReturn kDriverBusImpossibleReply = static_cast<IOReturn>(0xE3FFC001);
inline constexpr IOReturn kDriverBusRefused = static_cast<IOReturn>(0xE3FFC002);
inline constexpr IOReturn kDriverBusClosed = static_cast<IOReturn>(0xE3FFC003);

// The results the driver bus gives when a connection or a call fails:
//   kIOReturnNoDevice     the driver is not there: its socket is gone (a
//                         driver that unloads removes its socket before it
//                         closes its connections)
//   kDriverBusRefused     its socket is there, but refused the connection
//                         after a short retry (nothing listens)
//   kDriverBusClosed      its socket is there, but it closed the connection
//   kIOReturnTimeout      it did not answer within the call time-out
//   kIOReturnNotPermitted the process serving it is not trusted
//   kDriverBusImpossibleReply its reply was impossible
//   kIOReturnAborted      a stop of the calling thread's run loop cut the
//                         call short
//   unix_err(errno)       a system call failed on this side (socket() with
//                         EMFILE, ENFILE, ENOBUFS, ENOMEM...)
// Any other result is the driver's own.

// A short text for a result: the C library's description of the errno for
// unix_err codes ("Too many open files"), a plain description for the
// results above ("the driver is not there"), and for any other, which is a
// driver's own, "the driver's own error 0xXXXXXXXX" followed by ": " and
// the platform's name for it when it has one ("general error"). Never null,
// never allocates, and may be called from any thread: the text is constant,
// except for a number outside 0xE0000200-0xE00002FF, which is kept in a
// buffer of the calling thread until its next such call.
const char *mach_error_string(mach_error_t error);

inline constexpr char kIOFirstPublishNotification[] = "IOServiceFirstPublish";

extern const mach_port_t kIOMasterPortDefault;
extern const CFStringRef kCFRunLoopDefaultMode;

mach_port_t mach_task_self();

IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
void IONotificationPortDestroy(IONotificationPortRef notify);
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);

CFMutableDictionaryRef IOServiceMatching(const char *name);
// Takes over the matching dictionary; only kIOFirstPublishNotification is
// known. The callback runs on the run loop for later publications once the
// iterator has been drained.
//
// A driver that is still published is delivered again, through the
// iterator of every first-publish notification of its class, when its
// IOServiceOpen failed or when a call on its connection failed before that
// connection's IOServiceClose (any result but 0, except kIOReturnAborted: a
// call a stop cut short). It comes again 1 s after the first failure, then
// after twice the previous wait up to 30 s, for as long as it stays
// published; the wait starts at the failed open or at the close, and runs
// on the monotonic clock, driven by the port's run-loop source. Only a
// connection on which a structure-method call succeeded ends the streak (a
// driver that opens and closes well but fails every event call backs off
// all the same): the next failure waits 1 s again. A driver already waiting in an iterator is not
// queued there twice.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const io_name_t notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void *refCon,
                                               io_iterator_t *notification);
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRelease(io_object_t object);
// The name of a service object that IOIteratorNext delivered (until it is
// released): for a driver on the driver bus its socket's file name
// ("TrelvoxController.1234"), for an in-process driver the name it gives
// itself (its class name unless it has one). Truncated to fit; 0, or
// kIOReturnBadArgument for an object that is no service.
kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name);

kern_return_t IOServiceOpen(io_service_t service, mach_port_t owningTask, uint32_t type,
                            io_connect_t *connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOConnectCallScalarMethod(io_connect_t connection, uint32_t selector,
                                        const uint64_t *input, uint32_t inputCnt, uint64_t *output,
                                        uint32_t *outputCnt);
kern_return_t IOConnectCallStructMethod(io_connect_t connection, uint32_t selector,
                                        const void *inputStruct, size_t inputStructCnt,
                                        void *outputStruct, size_t *outputStructCnt);

CFRunLoopRef CFRunLoopGetCurrent();
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
// Runs the calling thread's run loop: waits for its sources and timers and
// serves them, until CFRunLoopStop. With no timer it waits without a
// time-out. When the wait itself fails (anything but EINTR: EINVAL when the
// descriptor limit lies below the number of descriptors it waits on,
// ENOMEM) it returns at once with errno set to that error, so that a caller
// that asked for no stop can tell.
void CFRunLoopRun();
// Async-signal-safe: the service calls it from a signal handler.
void CFRunLoopStop(CFRunLoopRef rl);
// CFRetain and CFRelease take run loops, sources and timers.
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);

// Run-loop timers. The stand-in has one mode: `mode` is not looked at.
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

// The wall clock, as CFAbsoluteTime.
CFAbsoluteTime CFAbsoluteTimeGetCurrent();
// A timer that calls callout(timer, context->info) on the run loop it is
// added to, first at fireDate, then every `interval` seconds when interval
// is above 0. The fire date becomes a deadline on the monotonic clock when
// it is given (fireDate - CFAbsoluteTimeGetCurrent() from now), and
// repeats run on that clock too: stepping the wall clock never moves a
// timer. A repeating timer that falls behind skips the times it missed. A
// one-shot timer is invalidated once its callout returns, unless the
// callout gave it a new fire date. allocator, flags and order are not
// looked at; the context is copied (null: no info). One reference, for
// CFRelease.
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext *context);
// Adds a valid timer to a run loop (which retains it until it is removed or
// invalidated); a timer is in one run loop at most. May be called from any
// thread.
void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode);
void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode);
// Stops the timer for good and takes it out of its run loop.
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);
// Moves the next firing to fireDate (a deadline on the monotonic clock, as
// at creation); repeats then follow from there.
void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate);
