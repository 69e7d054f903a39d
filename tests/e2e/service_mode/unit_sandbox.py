"""trelvoxlogd as systemd runs the unit's ExecStart=, with the unit's
restrictions applied by other means, for machines where systemd is not the
init process (tests run as root):

- a mount namespace: ProtectSystem=strict with ReadWritePaths= and
  RuntimeDirectory= (every mount read-only, which also covers
  ProtectKernelTunables= and ProtectControlGroups=), PrivateTmp=, PrivateDevices= (a /dev of pseudo
  devices whose /dev/log leads to the journal's socket), ProtectProc= and
  ProcSubset= (a /proc of its own), ProtectHome=;
- network and host-name namespaces: PrivateNetwork=, ProtectHostname=;
- setpriv: CapabilityBoundingSet=, AmbientCapabilities=, NoNewPrivileges=;
- unit_exec: UMask=, SystemCallFilter= (its groups expanded by
  systemd-analyze), SystemCallErrorNumber=, SystemCallArchitectures=native,
  RestrictAddressFamilies=, MemoryDenyWriteExecute=.

The environment is systemd's: PATH, and TZ, the sanitizers' options, the
coverage build's GCOV_PREFIX and the notification socket and watchdog
period (NOTIFY_SOCKET, WATCHDOG_USEC) where the test sets them. Restrictions of the unit that are not applied here
are named by Sandbox.not_applied."""

import errno
import os
import re
import shutil
import socket
import subprocess
import sys
import time

# Settings of [Service] that start, stop and restart the service, and those
# that this sandbox applies; every other one is a restriction not applied.
LIFECYCLE = {"Type", "ExecStart", "ExecReload", "KillSignal", "Restart", "RestartSec",
             "TimeoutStopSec", "WatchdogSec"}
APPLIED = {"UMask", "CapabilityBoundingSet", "AmbientCapabilities", "NoNewPrivileges",
           "ProtectSystem", "ReadWritePaths", "RuntimeDirectory", "PrivateTmp", "PrivateDevices",
           "ProtectProc", "ProcSubset", "ProtectHome", "ProtectKernelTunables", "ProtectControlGroups",
           "PrivateNetwork", "ProtectHostname", "SystemCallFilter", "SystemCallErrorNumber",
           "SystemCallArchitectures", "RestrictAddressFamilies", "MemoryDenyWriteExecute"}
SYSTEMD_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
JOURNAL_SOCKET = "/run/systemd/journal/dev-log"
PSEUDO_DEVICES = ("null", "zero", "full", "random", "urandom", "tty")
HOMES = ("/home", "/root", "/run/user")


class SandboxError(Exception):
    pass


def unit_service_settings(path):
    """[Service] of a unit file: name -> list of values, in order."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and line and line[0] not in "#;" and "=" in line:
                key, value = line.split("=", 1)
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def syscall_group(name, seen=None):
    """The system calls of a systemd group (@name), groups within expanded."""
    seen = set() if seen is None else seen
    if name in seen:
        return set()
    seen.add(name)
    out = subprocess.run(["systemd-analyze", "syscall-filter", name], capture_output=True, text=True,
                         check=True).stdout
    calls = set()
    for line in out.splitlines()[1:]:
        word = line.strip()
        if not word or word.startswith("#"):
            continue
        calls |= syscall_group(word, seen) if word.startswith("@") else {word}
    return calls


def calls_of(words):
    calls = set()
    for word in words:
        calls |= syscall_group(word) if word.startswith("@") else {word}
    return calls


def allowed_calls(filters):
    """The allow-list that SystemCallFilter= lines make, as systemd reads
    them: the first line decides whether it is an allow-list; the calls
    systemd always permits (@default) are in it; a later "~" line takes
    calls out, a later plain line puts them in."""
    if not filters or filters[0].startswith("~"):
        raise SandboxError(f"SystemCallFilter={filters!r} is not an allow-list")
    allowed = calls_of(["@default"])
    for line in filters:
        if line.startswith("~"):
            allowed -= calls_of(line[1:].split())
        else:
            allowed |= calls_of(line.split())
    return allowed


def one(settings, key, default=None):
    values = settings.get(key, [])
    return values[-1] if values else default


def yes(settings, key):
    return one(settings, key, "no") in ("yes", "true", "1", "on")


# The only values of these settings that are applied here.
SUPPORTED = {"ProtectSystem": {"strict"}, "ProtectHome": {"yes"}, "SystemCallArchitectures": {"native"}}


class Sandbox:
    """The unit's restrictions, ready to wrap the service's command line."""

    def __init__(self, unit_path, unit_exec):
        for tool in ("unshare", "setpriv", "mount", "systemd-analyze"):
            if shutil.which(tool) is None:
                raise SandboxError(f"{tool} is not installed")
        self.unit_exec = unit_exec
        s = self.settings = unit_service_settings(unit_path)
        self.exec_args = one(s, "ExecStart", "").split()[1:]
        self.umask = int(one(s, "UMask", "0022"), 8)
        self.not_applied = sorted(set(s) - LIFECYCLE - APPLIED)
        for key, values in SUPPORTED.items():
            if one(s, key, next(iter(values))) not in values:
                raise SandboxError(f"{key}={one(s, key)} is not applied here, only {sorted(values)}")
        if one(s, "RestrictAddressFamilies", "").startswith("~"):
            raise SandboxError("a deny-list of address families is not applied here")

    def command(self, program, args):
        """The command line that runs program with args under the unit."""
        if list(args) != self.exec_args:
            raise SandboxError(f"the unit starts the service with {self.exec_args}, not {list(args)}")
        for path in (program, self.unit_exec):
            if yes(self.settings, "ProtectHome") and any(
                    os.path.abspath(path).startswith(home + "/") for home in HOMES):
                raise SandboxError(f"{path} lies in a directory that ProtectHome= hides")
        namespaces = ["--mount", "--propagation", "private"]
        if yes(self.settings, "PrivateNetwork"):
            namespaces.append("--net")
        if yes(self.settings, "ProtectHostname"):
            namespaces.append("--uts")
        return ["unshare", *namespaces, "--", sys.executable, os.path.abspath(__file__), "--inside",
                self.mount_plan(), *self.setpriv_argv(), "--", *self.unit_exec_argv(), "--",
                program, *args]

    def mount_plan(self):
        """What inside() mounts, as one word: strict, PrivateTmp,
        PrivateDevices, ProtectHome, proc:HIDEPID:SUBSET, run:NAME, rw:PATH."""
        s, plan = self.settings, []
        if one(s, "ProtectSystem") == "strict":
            plan.append("strict")
        plan += [flag for flag in ("PrivateTmp", "PrivateDevices", "ProtectHome") if yes(s, flag)]
        if one(s, "ProtectProc") or one(s, "ProcSubset"):
            plan.append(f"proc:{one(s, 'ProtectProc', 'default')}:{one(s, 'ProcSubset', 'all')}")
        for names in s.get("RuntimeDirectory", []):
            plan += ["run:" + name for name in names.split()]
        for paths in s.get("ReadWritePaths", []):
            plan += ["rw:" + p for p in paths.split()]
        return ",".join(plan)

    def setpriv_argv(self):
        s, argv = self.settings, ["setpriv", "--inh-caps=-all"]
        kept = one(s, "CapabilityBoundingSet")
        if kept is not None:
            argv.append("--bounding-set=-all" + "".join(
                ",+" + c.lower().removeprefix("cap_") for c in kept.split()))
        if one(s, "AmbientCapabilities", "") == "":
            argv.append("--ambient-caps=-all")
        if yes(s, "NoNewPrivileges"):
            argv.append("--no-new-privs")
        return argv

    def unit_exec_argv(self):
        s = self.settings
        argv = [self.unit_exec, "--umask", f"{self.umask:04o}",
                "--allow", ",".join(sorted(allowed_calls(s.get("SystemCallFilter", []))))]
        number = one(s, "SystemCallErrorNumber")
        if number:
            argv += ["--errno", str(getattr(errno, number))]
        families = one(s, "RestrictAddressFamilies")
        if families:
            argv += ["--families", ",".join(str(int(getattr(socket, f))) for f in families.split())]
        if yes(s, "MemoryDenyWriteExecute"):
            argv.append("--deny-write-execute")
        return argv

    def confinement_problems(self, pid, program, timeout=10):
        """What of the unit's restrictions the process lacks once it has
        become the program (seen from outside, in /proc); empty when every
        one that can be seen there is in force."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                exe = os.readlink(f"/proc/{pid}/exe")
            except OSError:
                return [f"process {pid} ended before it became {program}"]
            if exe == os.path.realpath(program):
                break
            if time.monotonic() > deadline:
                return [f"process {pid} is still {exe}, not {program}"]
            time.sleep(0.01)
        s, problems = self.settings, []
        with open(f"/proc/{pid}/status") as f:
            status = dict(line.split(":", 1) for line in f.read().splitlines() if ":" in line)
        want = {"Umask": f"{self.umask:04o}", "Seccomp": "2"}
        if one(s, "CapabilityBoundingSet") == "":
            want.update(CapBnd="0", CapPrm="0", CapEff="0", CapInh="0", CapAmb="0")
        if yes(s, "NoNewPrivileges"):
            want["NoNewPrivs"] = "1"
        for key, value in want.items():
            have = status.get(key, "").strip()
            if key.startswith("Cap"):
                have = str(int(have, 16)) if have else have
            if have != value:
                problems.append(f"{key} is {have!r}, want {value!r}")
        with open(f"/proc/{pid}/mountinfo") as f:
            options = {line.split()[4]: line.split()[5].split(",") for line in f}
        if one(s, "ProtectSystem") == "strict" and "ro" not in options.get("/", []):
            problems.append("its / is not read-only")
        for path in " ".join(s.get("ReadWritePaths", [])).split():
            if os.path.exists(path.lstrip("-")) and "rw" not in options.get(path.lstrip("-"), []):
                problems.append(f"its {path.lstrip('-')} is not writable")
        if yes(s, "PrivateNetwork") and os.readlink(f"/proc/{pid}/ns/net") == os.readlink(
                "/proc/self/ns/net"):
            problems.append("it shares this network namespace")
        return problems


# ------------------------------------------------- inside the new namespace
def mount(*argv):
    # -n: the read-only /run has no room for mount's own table.
    result = subprocess.run(["mount", "-n", *argv], capture_output=True, text=True)
    if result.returncode != 0:
        raise SandboxError(f"mount {' '.join(argv)}: {result.stderr.strip()}")


def mount_points():
    points = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4]
            points.append(re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), point))
    return points


def private_devices():
    """A read-only /dev of pseudo devices, made on the private /tmp and
    moved into place; /dev/log leads to the journal's socket."""
    staging = "/tmp/.unit-dev"
    os.mkdir(staging)
    mount("-t", "tmpfs", "-o", "mode=755,nosuid,noexec", "tmpfs", staging)
    for name in PSEUDO_DEVICES:
        if os.path.exists("/dev/" + name):
            open(os.path.join(staging, name), "w").close()
            mount("--bind", "/dev/" + name, os.path.join(staging, name))
    for name, target in (("log", JOURNAL_SOCKET), ("fd", "/proc/self/fd"),
                         ("stdin", "/proc/self/fd/0"), ("stdout", "/proc/self/fd/1"),
                         ("stderr", "/proc/self/fd/2")):
        os.symlink(target, os.path.join(staging, name))
    mount("--move", staging, "/dev")
    os.rmdir(staging)
    mount("-o", "remount,bind,ro", "/dev")


def apply_mounts(plan):
    steps = plan.split(",") if plan else []
    mount("--make-rprivate", "/")
    # RuntimeDirectory=: made before the file system turns read-only, and
    # writable as ReadWritePaths= are.
    runtime = ["/run/" + step[4:] for step in steps if step.startswith("run:")]
    for path in runtime:
        os.makedirs(path, 0o755, exist_ok=True)
    steps += ["rw:" + path for path in runtime]
    if "strict" in steps:
        # A mount that another hides, at a path that exists no more, cannot
        # be reached: neither by the service.
        for point in mount_points():
            if os.path.exists(point):
                mount("-o", "remount,bind,ro", point)
    if "PrivateTmp" in steps:
        for tmp in ("/tmp", "/var/tmp"):
            if os.path.isdir(tmp):
                mount("-t", "tmpfs", "-o", "mode=1777,nosuid,nodev", "tmpfs", tmp)
    if "PrivateDevices" in steps:
        private_devices()
    for step in steps:
        if step.startswith("proc:"):
            _, hide, subset = step.split(":")
            options = ["nosuid", "nodev", "noexec"]
            options += [f"hidepid={hide}"] if hide != "default" else []
            options += ["subset=pid"] if subset == "pid" else []
            mount("-t", "proc", "-o", ",".join(options), "proc", "/proc")
            mount("-o", "remount,bind,ro", "/proc")
    for step in steps:
        if step.startswith("rw:"):
            path = step[3:]
            optional = path.startswith("-")
            path = path.lstrip("-")
            if not os.path.exists(path):
                if optional:
                    continue
                raise SandboxError(f"ReadWritePaths={path}: no such path")
            mount("--bind", path, path)
            mount("-o", "remount,bind,rw", path)
    if "ProtectHome" in steps:  # last: this interpreter may live there
        for home in HOMES:
            if os.path.isdir(home):
                mount("-t", "tmpfs", "-o", "ro,mode=000", "tmpfs", home)


def service_environment():
    env = {"PATH": SYSTEMD_PATH}
    for name in ("TZ", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "GCOV_PREFIX",
                 "NOTIFY_SOCKET", "WATCHDOG_USEC"):
        if name in os.environ:
            env[name] = os.environ[name]
    return env


def inside(argv):
    """argv: mount plan, then setpriv's command line. Never returns."""
    plan, command = argv[0], argv[1:]
    apply_mounts(plan)
    os.execvpe(command[0], command, service_environment())


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] != "--inside":
        sys.exit("usage: unit_sandbox.py --inside PLAN SETPRIV-ARGS... (started by Sandbox.command)")
    try:
        inside(sys.argv[2:])
    except (SandboxError, OSError) as error:
        print(f"unit_sandbox: {error}", file=sys.stderr)
        sys.exit(126)
