// Objects behind the stand-in's opaque references, shared by the registry,
// the connections and the run loop. Not for callers of iokit.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/platform/iokit.h"

namespace trelvox::platform::detail {

// Base of every object that CFRetain and CFRelease accept. An object starts
// with one reference; the last CFRelease deletes it.
struct CfObject {
    CfObject() = default;
    CfObject(const CfObject &) = delete;
    CfObject &operator=(const CfObject &) = delete;
    virtual ~CfObject() = default;

    std::atomic<int32_t> refs{1};
};

void Retain(CfObject *object);
void Release(CfObject *object);

} // namespace trelvox::platform::detail

// A run-loop source: descriptors to wait on, the work to do when one of
// them is ready, and work due at a time of its own. Every call happens on
// the thread that runs the loop.
struct __CFRunLoopSource : trelvox::platform::detail::CfObject {
    // Appends the descriptors the loop must wait on (none when the source
    // has been invalidated).
    virtual void Descriptors(std::vector<int> *fds) = 0;
    // Called once for each descriptor that poll reported ready.
    virtual void Perform(int fd) = 0;
    // When the source next has work due, in bus::MonotonicMs; -1: none.
    // Asked before every wait.
    virtual int64_t DueMs() { return -1; }
    // Called after a wait once DueMs has come.
    virtual void PerformDue() {}
};

// A matching dictionary: only the class name is matched.
struct __CFDictionary : trelvox::platform::detail::CfObject {
    std::string className;
};
