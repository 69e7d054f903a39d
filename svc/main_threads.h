// The service's threads besides the main one (the log's writer, the pumps)
// are born with the asynchronous signals blocked, so that the main thread
// alone handles them; the synchronous ones (a broken pipe, a file too
// large, a fault) stay with the call that caused them.
#pragma once

#include <signal.h>

#include <thread>
#include <utility>

// Starts fn(args...) into *thread; false when no thread can be had.
template <typename Fn, typename... Args>
bool StartQuietThread(std::thread *thread, Fn &&fn, Args &&...args) {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    for (int sync : {SIGPIPE, SIGXFSZ, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        sigdelset(&all, sync);
    }
    pthread_sigmask(SIG_BLOCK, &all, &before);
    bool started = true;
    try {
        *thread = std::thread(std::forward<Fn>(fn), std::forward<Args>(args)...);
    } catch (...) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return started;
}
