// Loaded with LD_PRELOAD into a program under test: its reads of the wall
// clock run TRELVOX_TEST_CLOCK_AHEAD seconds ahead of the machine's, as if
// the clock had been set ahead and is about to be stepped back (a time
// service at boot). The monotonic clock and the kernel's own are untouched,
// so a wait that is reckoned on the wall clock lasts that much longer.
#include <dlfcn.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>

namespace {

time_t Ahead() {
    static const time_t ahead = [] {
        const char *text = getenv("TRELVOX_TEST_CLOCK_AHEAD");
        return text != nullptr ? static_cast<time_t>(atoll(text)) : 0;
    }();
    return ahead;
}

// Where time_t is made 64-bit on a 32-bit CPU, the C library's headers
// rename these functions to their 64-bit variants, and so does the
// definition below: the real ones are found under those names.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
constexpr char kClockGettime[] = "__clock_gettime64";
constexpr char kGettimeofday[] = "__gettimeofday64";
#else
constexpr char kClockGettime[] = "clock_gettime";
constexpr char kGettimeofday[] = "gettimeofday";
#endif

template <typename F> F Real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec *out) {
    static auto real = Real<int (*)(clockid_t, struct timespec *)>(kClockGettime);
    int result = real(clock, out);
    bool wall = clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE;
    if (result == 0 && wall && out != nullptr) {
        out->tv_sec += Ahead();
    }
    return result;
}

extern "C" int gettimeofday(struct timeval *out, void *zone) {
    static auto real = Real<int (*)(struct timeval *, void *)>(kGettimeofday);
    int result = real(out, zone);
    if (result == 0 && out != nullptr) {
        out->tv_sec += Ahead();
    }
    return result;
}

extern "C" time_t time(time_t *out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (out != nullptr) {
        *out = now.tv_sec;
    }
    return now.tv_sec;
}
