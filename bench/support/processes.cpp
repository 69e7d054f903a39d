#include "bench/support/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace bench {

pid_t Spawn(const std::vector<std::string> &argv, const SpawnOptions &options) {
    // Everything the child needs is prepared before the fork: between fork
    // and exec it only opens, duplicates and executes.
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    // The environment: this one, with the given names replaced or added.
    std::vector<std::string> envText;
    for (char **e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const auto &[name, value] : options.env) {
            replaced = replaced ||
                       (strncmp(*e, name.c_str(), name.size()) == 0 && (*e)[name.size()] == '=');
        }
        if (!replaced) {
            envText.emplace_back(*e);
        }
    }
    for (const auto &[name, value] : options.env) {
        envText.push_back(name + "=" + value);
    }
    std::vector<char *> env;
    for (std::string &text : envText) {
        env.push_back(text.data());
    }
    env.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    int in = options.stdinFd >= 0 ? options.stdinFd : open("/dev/null", O_RDONLY);
    int out = open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        _exit(126);
    }
    execve(args[0], args.data(), env.data());
    _exit(127);
}

uint64_t CpuTimeNs(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (dir == nullptr) {
        return 0;
    }
    uint64_t total = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
        uint64_t onCpu = 0;
        if (schedstat >> onCpu) {
            total += onCpu;
        }
    }
    closedir(dir);
    return total;
}

uint64_t StatusValue(pid_t pid, const char *name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t len = strlen(name);
    while (std::getline(status, line)) {
        if (line.compare(0, len, name) == 0) {
            return strtoull(line.c_str() + len, nullptr, 10);
        }
    }
    return 0;
}

bool HasEnded(pid_t pid, int *status) {
    int st = 0;
    pid_t got = waitpid(pid, &st, WNOHANG);
    if (got == pid && status != nullptr) {
        *status = st;
    }
    return got == pid || (got < 0 && errno == ECHILD);
}

int WaitForEnd(pid_t pid, int timeoutMs) {
    int status = 0;
    for (int waited = 0;; waited += 10) {
        if (HasEnded(pid, &status)) {
            return status;
        }
        if (waited >= timeoutMs) {
            return -1;
        }
        SleepMs(10);
    }
}

int StopProcess(pid_t pid, int signal, int timeoutMs) {
    if (pid <= 0) {
        return -1;
    }
    int status = 0;
    if (HasEnded(pid, &status)) {
        return status;
    }
    kill(pid, signal);
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (HasEnded(pid, &status)) {
            return status;
        }
        SleepMs(10);
    }
    kill(pid, SIGKILL);
    return waitpid(pid, &status, 0) == pid ? status : -1;
}

bool WaitForPath(const std::string &path, int timeoutMs) {
    for (int waited = 0;; waited += 10) {
        if (access(path.c_str(), F_OK) == 0) {
            return true;
        }
        if (waited >= timeoutMs) {
            return false;
        }
        SleepMs(10);
    }
}

uint64_t FileSize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace bench
