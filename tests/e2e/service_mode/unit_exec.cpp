// The last step of the service-mode tests' stand-in for systemd: sets the
// unit's file-creation mask, loads its system-call filter and executes the
// service. The filter allows the listed calls and refuses every other with
// the unit's error number (or ends the process), admits the native ABI
// only, lets socket() make the listed address families only and, when
// asked, refuses memory that is writable and executable at once. Mounts,
// namespaces and capabilities are set before this runs (unit_sandbox.py).
//
//   unit_exec --umask 0027 --allow read,write,... [--errno N]
//             [--families 1,...] [--deny-write-execute] -- PROGRAM [ARG...]
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

struct Settings {
    mode_t umask = 022;
    std::vector<std::string> allowed;
    uint32_t refused = SCMP_ACT_KILL_PROCESS;
    std::vector<uint64_t> families; // empty: any family
    bool denyWriteExecute = false;
    char **program = nullptr;
};

std::vector<std::string> SplitList(const char *list) {
    std::vector<std::string> items;
    std::string item;
    for (const char *p = list;; ++p) {
        if (*p == ',' || *p == '\0') {
            if (!item.empty()) {
                items.push_back(item);
            }
            item.clear();
            if (*p == '\0') {
                return items;
            }
        } else {
            item += *p;
        }
    }
}

bool Parse(int argc, char **argv, Settings *s) {
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--") {
            s->program = argv + i + 1;
            return i + 1 < argc && !s->allowed.empty();
        }
        if (option == "--deny-write-execute") {
            s->denyWriteExecute = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char *value = argv[++i];
        if (option == "--umask") {
            s->umask = static_cast<mode_t>(strtoul(value, nullptr, 8));
        } else if (option == "--allow") {
            s->allowed = SplitList(value);
        } else if (option == "--errno") {
            s->refused = SCMP_ACT_ERRNO(static_cast<uint16_t>(atoi(value)));
        } else if (option == "--families") {
            for (const std::string &family : SplitList(value)) {
                s->families.push_back(strtoull(family.c_str(), nullptr, 10));
            }
        } else {
            return false;
        }
    }
    return false;
}

// Allows the call when its argument `arg` masked with `mask` equals one of
// `values`; every other use falls to the filter's refusal.
int AllowMasked(scmp_filter_ctx ctx, int call, unsigned arg, uint64_t mask,
                std::initializer_list<uint64_t> values) {
    for (uint64_t value : values) {
        scmp_arg_cmp cmp{arg, SCMP_CMP_MASKED_EQ, mask, value};
        int rc = seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, call, 1, &cmp);
        if (rc < 0) {
            return rc;
        }
    }
    return 0;
}

int AllowCall(scmp_filter_ctx ctx, const Settings &s, const std::string &name) {
    int call = seccomp_syscall_resolve_name(name.c_str());
    if (call == __NR_SCMP_ERROR) {
        return 0; // a call this architecture does not have
    }
    if (name == "socket" && !s.families.empty()) {
        for (uint64_t family : s.families) {
            int rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 1, SCMP_A0(SCMP_CMP_EQ, family));
            if (rc < 0) {
                return rc;
            }
        }
        return 0;
    }
    if (s.denyWriteExecute) {
        const uint64_t writeExec = PROT_WRITE | PROT_EXEC;
        if (name == "mmap" || name == "mmap2") {
            return AllowMasked(ctx, call, 2, writeExec, {0, PROT_WRITE, PROT_EXEC});
        }
        if (name == "mprotect" || name == "pkey_mprotect") {
            return AllowMasked(ctx, call, 2, PROT_EXEC, {0});
        }
        if (name == "shmat") {
            return AllowMasked(ctx, call, 2, SHM_EXEC, {0});
        }
    }
    return seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0);
}

} // namespace

int main(int argc, char **argv) {
    Settings s;
    if (!Parse(argc, argv, &s)) {
        fprintf(stderr, "usage: unit_exec --umask MASK --allow CALL,... [--errno N] "
                        "[--families N,...] [--deny-write-execute] -- PROGRAM [ARG...]\n");
        return 2;
    }
    umask(s.umask);
    scmp_filter_ctx ctx = seccomp_init(s.refused);
    if (ctx == nullptr) {
        fprintf(stderr, "unit_exec: seccomp_init failed\n");
        return 1;
    }
    int rc = seccomp_attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    for (size_t i = 0; rc == 0 && i < s.allowed.size(); ++i) {
        rc = AllowCall(ctx, s, s.allowed[i]);
        if (rc < 0) {
            fprintf(stderr, "unit_exec: cannot allow %s: %s\n", s.allowed[i].c_str(),
                    strerror(-rc));
        }
    }
    if (rc == 0) {
        rc = seccomp_load(ctx);
    }
    seccomp_release(ctx);
    if (rc < 0) {
        fprintf(stderr, "unit_exec: the filter was not loaded: %s\n", strerror(-rc));
        return 1;
    }
    execv(s.program[0], s.program);
    fprintf(stderr, "unit_exec: cannot execute %s: %s\n", s.program[0], strerror(errno));
    return 127;
}
