// Base services of the OS layer: machine width, a millisecond clock, random
// GUIDs, whole-second sleep, a minimal thread start and join, and the
// calling thread's system error number with its text.
#pragma once

#include <pthread.h>

#include <cstdint>

// The routine a thread runs; its result is ignored.
typedef void *(*OsThreadFn)(void *userData);

// One started thread, from OsThreadCreate until OsThreadWait frees it.
struct OsThreadHandle {
    OsThreadFn threadFn;
    void *userData;
    pthread_t threadId;
};

// OsThreadCreate results.
inline constexpr uint32_t kOsThreadOk = 0;
inline constexpr uint32_t kOsThreadFailed = 1;
inline constexpr uint32_t kOsThreadNoResources = 2;

// 1 when the machine name is exactly "x86_64" or "ppc64"; 0 otherwise and
// when the machine cannot be identified.
bool OsIs64Bit();
// Milliseconds since the epoch, wrapping in 32 bits (about every 49.7 days):
// only differences between two readings mean anything.
uint32_t OsGetCurrentTime();
// Milliseconds of a monotonic clock that is cheap to read (no system call)
// and coarse (a few milliseconds); only differences mean anything. False
// when the clock cannot be read.
bool OsGetCoarseMonotonicMs(uint64_t *ms);
// The calling thread's signal mask, saved while every signal is held off.
struct OsSignalHold {
    alignas(8) unsigned char savedMask[128];
    bool held;
};
// Holds off every signal that can be held, on the calling thread, until
// OsSignalsRelease: a handler that ends the process (SIGABRT's) then runs
// after the work in between, never in its middle. A failure leaves the
// mask as it was.
void OsSignalsHold(OsSignalHold *hold);
void OsSignalsRelease(OsSignalHold *hold);
// Fills 16 bytes from the random device (the C library generator fills what
// the device does not deliver) and forces the version 4 and variant bits.
void OsCreateGuid(void *guid);
// Sleeps whole seconds; returns the seconds left when a signal cut it short.
uint32_t OsThreadSleep(uint32_t seconds);
// Starts routine(userData) on a new thread and stores its handle in *handle.
// kOsThreadOk, or kOsThreadFailed (no record, thread not created) or
// kOsThreadNoResources (EAGAIN); on failure *handle is null and nothing
// stays allocated.
uint32_t OsThreadCreate(OsThreadHandle **handle, OsThreadFn routine, void *userData);
// Joins the thread and frees its record; a null handle is ignored.
void OsThreadWait(OsThreadHandle *handle);
// Sets the calling thread's error number to 0.
void OsClearLastError();
// Returns the calling thread's error number, which it leaves unchanged. With
// a buffer (size at least 1) it also writes the number's text, cut to fit
// size with the last byte always NUL and trimmed of white space; the text
// is empty for 0.
uint32_t OsGetLastError(char *buf, uint32_t size);
