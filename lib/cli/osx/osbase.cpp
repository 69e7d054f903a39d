// Machine width, clock, GUIDs, sleep, threads and the error number.
#include "lib/cli/osx/osbase.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/clibase.h"

bool OsIs64Bit() {
    struct utsname name;
    if (uname(&name) != 0) {
        return false;
    }
    return strcmp(name.machine, "x86_64") == 0 || strcmp(name.machine, "ppc64") == 0;
}

static_assert(sizeof(sigset_t) <= sizeof(OsSignalHold::savedMask));

void OsSignalsHold(OsSignalHold *hold) {
    sigset_t all;
    sigfillset(&all);
    auto *saved = reinterpret_cast<sigset_t *>(hold->savedMask);
    hold->held = pthread_sigmask(SIG_BLOCK, &all, saved) == 0;
}

void OsSignalsRelease(OsSignalHold *hold) {
    if (hold->held) {
        pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t *>(hold->savedMask), nullptr);
        hold->held = false;
    }
}

uint32_t OsGetCurrentTime() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_usec / 1000);
}

bool OsGetCoarseMonotonicMs(uint64_t *ms) {
    struct timespec now;
    if (ms == nullptr || gOsSys.clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) {
        return false;
    }
    *ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return true;
}

namespace {

constexpr int kGuidSize = 16;
constexpr int kMaxReadFailures = 20; // the 21st consecutive failure stops reading

// A descriptor on the random device, or -1.
int OpenRandomDevice() {
    int fd = gOsSys.open("/dev/random", O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) {
        fd = gOsSys.open("/dev/urandom", O_RDONLY, 0);
    }
    if (fd >= 0) {
        int flags = fcntl(fd, F_GETFD);
        if (flags != -1) {
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }
    return fd;
}

// Fills bytes from fd; returns how many were filled.
int ReadRandom(int fd, uint8_t *bytes) {
    int filled = 0;
    int failures = 0;
    while (filled < kGuidSize && failures <= kMaxReadFailures) {
        ssize_t got = gOsSys.read(fd, bytes + filled, static_cast<size_t>(kGuidSize - filled));
        if (got > 0) {
            filled += static_cast<int>(got);
            failures = 0;
        } else {
            ++failures;
        }
    }
    return filled;
}

} // namespace

void OsCreateGuid(void *guid) {
    if (guid == nullptr) {
        return;
    }
    uint8_t *bytes = static_cast<uint8_t *>(guid);
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        now.tv_sec = gOsSys.time(nullptr);
        now.tv_usec = 0;
    }
    int fd = OpenRandomDevice();

    uint32_t seed = (static_cast<uint32_t>(getpid()) << 16) ^ static_cast<uint32_t>(now.tv_usec) ^
                    static_cast<uint32_t>(now.tv_sec);
    srand(seed);
    int64_t discard = (static_cast<int64_t>(now.tv_usec) ^ static_cast<int64_t>(now.tv_sec)) % 48;
    for (int64_t i = 0; i < discard; ++i) {
        rand();
    }

    int filled = 0;
    if (fd >= 0) {
        filled = ReadRandom(fd, bytes);
        gOsSys.close(fd);
    }
    for (int i = filled; i < kGuidSize; ++i) {
        bytes[i] = static_cast<uint8_t>(rand() / 2147483647.0 * 255.0);
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
}

uint32_t OsThreadSleep(uint32_t seconds) {
    return sleep(seconds);
}

namespace {

void *OssThreadCb(void *arg) {
    OsThreadHandle *handle = static_cast<OsThreadHandle *>(arg);
    handle->threadFn(handle->userData);
    return nullptr;
}

} // namespace

uint32_t OsThreadCreate(OsThreadHandle **handle, OsThreadFn routine, void *userData) {
    if (handle == nullptr) {
        return kOsThreadFailed;
    }
    *handle = nullptr;
    if (routine == nullptr) {
        return kOsThreadFailed;
    }
    OsThreadHandle *rec = static_cast<OsThreadHandle *>(CliMemAlloc(sizeof(OsThreadHandle)));
    if (rec == nullptr) {
        return kOsThreadFailed;
    }
    rec->threadFn = routine;
    rec->userData = userData;
    int rc = pthread_create(&rec->threadId, nullptr, OssThreadCb, rec);
    if (rc != 0) {
        CliMemFree(rec);
        return rc == EAGAIN ? kOsThreadNoResources : kOsThreadFailed;
    }
    *handle = rec;
    return kOsThreadOk;
}

void OsThreadWait(OsThreadHandle *handle) {
    if (handle == nullptr) {
        return;
    }
    pthread_join(handle->threadId, nullptr);
    CliMemFree(handle);
}

void OsClearLastError() {
    errno = 0;
}

uint32_t OsGetLastError(char *buf, uint32_t size) {
    int err = errno;
    if (buf != nullptr && size != 0) {
        buf[0] = '\0';
        if (err != 0) {
            char text[256];
            const char *msg = strerror_r(err, text, sizeof text);
            if (msg != nullptr) {
                size_t len = strnlen(msg, size - 1);
                memcpy(buf, msg, len);
                buf[len] = '\0';
            }
        }
        buf[size - 1] = '\0';
        CliStrTrim(buf);
    }
    errno = err;
    return static_cast<uint32_t>(err);
}
