// The control socket of the test file system: see control.h.
#include "control.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace faultfs {
namespace {

std::string Run(const std::string &line, Faults *faults, PowerCut *powerCut) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    int number = 0;
    if (command == "stall") {
        faults->Stall();
    } else if (command == "stall-at") {
        std::string op;
        words >> op;
        if (op == "rename") {
            faults->StallAt(Op::kRename);
        } else if (op == "write") {
            faults->StallAt(Op::kWrite);
        } else if (op == "fsync") {
            faults->StallAt(Op::kFsync);
        } else if (op == "open") {
            faults->StallAt(Op::kOpen);
        } else {
            return "error no operation '" + op + "'";
        }
    } else if (command == "release") {
        faults->Release();
    } else if (command == "slow" && words >> number && number >= 0) {
        faults->SetSlowMs(number);
    } else if (command == "fail" && words >> number && number >= 0) {
        faults->SetFailure(number);
    } else if (command == "power-cut") {
        powerCut->Start();
    } else if (command == "cut") {
        faults->Die();
        powerCut->Cut();
    } else if (command == "stats") {
        return "ok " + faults->Stats();
    } else {
        return "error unknown command '" + line + "'";
    }
    return "ok";
}

void Serve(int listener, Faults *faults, PowerCut *powerCut) {
    for (;;) {
        int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) {
            continue;
        }
        std::string line;
        char c;
        while (read(connection, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        std::string answer = Run(line, faults, powerCut) + "\n";
        if (write(connection, answer.data(), answer.size()) < 0) {
            perror("faultfs: answering on the control socket");
        }
        close(connection);
    }
}

} // namespace

bool StartControl(const std::string &path, Faults *faults, PowerCut *powerCut) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) ||
        listen(listener, 8) != 0) {
        return false;
    }
    std::thread(Serve, listener, faults, powerCut).detach();
    return true;
}

} // namespace faultfs
