// Child processes for the benchmarks that run the real programs: starting
// them with their standard streams on files, reading what the kernel knows
// of them (CPU time, resident memory), and stopping them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct SpawnOptions {
    std::vector<std::pair<std::string, std::string>> env; // set in the child
    std::string stdoutPath = "/dev/null";                 // created or emptied
    std::string stderrPath = "/dev/null";
    int stdinFd = -1; // -1: /dev/null
};

// Starts the program (argv[0] is its path); the pid, or -1.
pid_t Spawn(const std::vector<std::string> &argv, const SpawnOptions &options);

// CPU time the process's live threads have had, user and kernel, in ns
// (the scheduler's own accounting, not clock ticks); 0 when it is gone.
uint64_t CpuTimeNs(pid_t pid);

// The number on the line of /proc/PID/status that starts with name (in KiB
// for the "Vm" lines); 0 when it is missing.
uint64_t StatusValue(pid_t pid, const char *name);

// Whether the process has ended (and reaps it when it has).
bool HasEnded(pid_t pid, int *status = nullptr);

// Waits up to timeoutMs for the process to end; its wait status, or -1.
int WaitForEnd(pid_t pid, int timeoutMs);

// Sends the signal and waits up to timeoutMs for the end, then kills it.
// Returns the wait status, or -1.
int StopProcess(pid_t pid, int signal, int timeoutMs);

// Waits up to timeoutMs for the path to exist.
bool WaitForPath(const std::string &path, int timeoutMs);

// Size of a file in bytes; 0 when it is missing.
uint64_t FileSize(const std::string &path);

void SleepMs(int ms);

} // namespace bench
