"""A throw-away Debian 12 machine booted by systemd-nspawn, with systemd as
its PID 1, for the scenario that runs the package under a real systemd.

The base tree (debootstrap minbase with systemd and dbus, about 250 MB) is
made once per machine in /var/cache/trelvox-e2e (TRELVOX_E2E_CACHE chooses
another place) from the mirror apt uses (or TRELVOX_E2E_MIRROR): built in a temporary directory
and renamed into place, so an interrupted build is never taken for a
finished one. Every boot lays a tmpfs overlay over it (--volatile=overlay):
nothing a run does stays.

Booting where the host's own PID 1 is not systemd (containers, CI runners):
- --register=no: there is no machined to register with;
- --keep-unit: there is no systemd to make a scope unit for the payload;
- the payload needs a cgroup it may own: nspawn is started in a cgroup of
  the run's own (trelvox-e2e-PID) in every hierarchy that systemd uses
  (name=systemd and the unified one of a hybrid host, or the cgroup2 root),
  removed again once the container is gone;
- commands run inside through nsenter into all the namespaces of the
  container's PID 1, in its root directory, with a clean environment.

Where none of this can work (no nspawn or debootstrap, not root, no mirror,
no writable cgroup) Skip says why."""

import fcntl
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request

from trelvox_e2e import Failure, Skip, wait_until

CACHE = os.environ.get("TRELVOX_E2E_CACHE", "/var/cache/trelvox-e2e")
SUITE = "bookworm"
BASE = os.path.join(CACHE, f"debian-{SUITE}-systemd")
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
CGROUP_ROOT = "/sys/fs/cgroup"


def mirror():
    """The Debian mirror apt uses here (deb822 or one-line sources), unless
    TRELVOX_E2E_MIRROR names another."""
    if os.environ.get("TRELVOX_E2E_MIRROR"):
        return os.environ["TRELVOX_E2E_MIRROR"].rstrip("/")
    texts = []
    for path in ["/etc/apt/sources.list"] + sorted(
            os.path.join("/etc/apt/sources.list.d", n)
            for n in (os.listdir("/etc/apt/sources.list.d")
                      if os.path.isdir("/etc/apt/sources.list.d") else [])):
        if os.path.isfile(path):
            with open(path) as f:
                texts.append(f.read())
    for text in texts:
        for url in re.findall(r"^\s*(?:URIs:|deb(?:\s+\[[^]]*\])?)\s+(\S+)", text, re.M):
            if "security" not in url and "/debian" in url:
                return url.rstrip("/")
    return "http://deb.debian.org/debian"


def require_tools():
    if os.geteuid() != 0:
        raise Skip("booting a container needs root")
    for tool, package in (("systemd-nspawn", "systemd-container"), ("debootstrap", "debootstrap"),
                          ("nsenter", "util-linux")):
        if shutil.which(tool) is None:
            raise Skip(f"{tool} is not installed (package {package}; scripts/setup.sh tests)")


def base_tree():
    """The cached base tree, made first if there is none."""
    if os.path.isfile(os.path.join(BASE, "etc/os-release")):
        return BASE
    os.makedirs(CACHE, exist_ok=True)
    with open(os.path.join(CACHE, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # another run may be making it
        if os.path.isfile(os.path.join(BASE, "etc/os-release")):
            return BASE
        for name in os.listdir(CACHE):  # left by an interrupted build
            if name.startswith(".building-"):
                shutil.rmtree(os.path.join(CACHE, name), ignore_errors=True)
        url = mirror()
        try:
            urllib.request.urlopen(f"{url}/dists/{SUITE}/Release", timeout=20).close()
        except OSError as error:
            raise Skip(f"the Debian mirror {url} cannot be reached ({error}): "
                       f"no base tree for the container")
        building = tempfile.mkdtemp(prefix=".building-", dir=CACHE)
        began = time.monotonic()
        result = subprocess.run(["debootstrap", "--variant=minbase", "--include=systemd,dbus",
                                 SUITE, building, url], capture_output=True, text=True,
                                timeout=1800)
        if result.returncode != 0:
            shutil.rmtree(building, ignore_errors=True)
            raise Failure(f"debootstrap from {url} failed ({result.returncode}):\n"
                          f"{result.stdout[-2000:]}{result.stderr[-2000:]}")
        prepare_tree(building)
        os.rename(building, BASE)
        print(f"made the base tree {BASE} from {url} in {time.monotonic() - began:.0f} s")
    return BASE


def prepare_tree(root):
    """What every boot wants and debootstrap leaves out: a host name, no
    getty on the console, no machine id (a new one at every boot)."""
    with open(os.path.join(root, "etc/hostname"), "w") as f:
        f.write("trelvox-e2e\n")
    for unit in ("console-getty.service", "getty@.service", "systemd-timesyncd.service",
                 "apt-daily.timer", "apt-daily-upgrade.timer"):
        link = os.path.join(root, "etc/systemd/system", unit)
        if not os.path.lexists(link):
            os.symlink("/dev/null", link)
    machine_id = os.path.join(root, "etc/machine-id")
    with open(machine_id, "w"):
        pass  # empty: systemd makes one at boot on the volatile overlay


def cgroup_hierarchies():
    """The hierarchies in which the payload needs a cgroup of its own."""
    if os.path.exists(os.path.join(CGROUP_ROOT, "cgroup.controllers")):
        return [CGROUP_ROOT]  # the unified hierarchy alone
    found = [os.path.join(CGROUP_ROOT, name) for name in ("systemd", "unified")
             if os.path.ismount(os.path.join(CGROUP_ROOT, name))]
    if not found:
        raise Skip(f"no systemd cgroup hierarchy under {CGROUP_ROOT}: nspawn cannot place "
                   f"the container")
    return found


class Container:
    """The booted container; a context manager that powers it off and
    removes its cgroups. bind: (host directory, path inside), read-only."""

    def __init__(self, bind=()):
        require_tools()
        self.base = base_tree()
        self.name = f"trelvox-e2e-{os.getpid()}"
        self.cgroups = []
        for hierarchy in cgroup_hierarchies():
            path = os.path.join(hierarchy, self.name)
            try:
                os.mkdir(path)
            except OSError as error:
                raise Skip(f"cannot make a cgroup for the container in {hierarchy}: {error}")
            self.cgroups.append(path)
        self.console = tempfile.NamedTemporaryFile(prefix="trelvox-e2e-console-", delete=False)
        argv = ["systemd-nspawn", "--quiet", "--boot", "--volatile=overlay", f"--directory={self.base}",
                f"--machine={self.name}", "--register=no", "--keep-unit", "--console=passive",
                *(f"--bind-ro={host}:{inside}" for host, inside in bind)]
        began = time.monotonic()
        self.nspawn = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.console,
                                       stderr=subprocess.STDOUT, preexec_fn=self._enter_cgroups)
        try:
            self.leader = wait_until(self._find_leader, 20, "the container's PID 1")
            state = wait_until(self._booted, 60, "the container to finish booting")
        except Failure:
            self.close()
            raise
        self.boot_seconds = time.monotonic() - began
        self.state = state

    def _enter_cgroups(self):
        for path in self.cgroups:
            with open(os.path.join(path, "cgroup.procs"), "w") as f:
                f.write(str(os.getpid()))

    def _find_leader(self):
        """The container's PID 1: the process named systemd among those of
        the run's cgroup whose PID namespace is not ours."""
        if self.nspawn.poll() is not None:
            raise Failure(f"systemd-nspawn ended with {self.nspawn.returncode}:\n{self.console_text()}")
        own = os.readlink("/proc/self/ns/pid")
        for dirpath, _, filenames in os.walk(self.cgroups[0]):
            if "cgroup.procs" not in filenames:
                continue
            with open(os.path.join(dirpath, "cgroup.procs")) as f:
                pids = f.read().split()
            for pid in pids:
                try:
                    with open(f"/proc/{pid}/comm") as f:
                        comm = f.read().strip()
                    if comm == "systemd" and os.readlink(f"/proc/{pid}/ns/pid") != own:
                        return int(pid)
                except OSError:
                    continue
        return None

    def _booted(self):
        result = self.run("systemctl", "is-system-running", check=False)
        state = result.stdout.strip()
        return state if state in ("running", "degraded") else None

    def console_text(self):
        with open(self.console.name, errors="replace") as f:
            return f.read()[-3000:]

    def command(self, *argv):
        return ["nsenter", f"--target={self.leader}", "--mount", "--uts", "--ipc", "--net", "--pid",
                "--root", "--wd", "--", "/usr/bin/env", "-i", f"PATH={PATH}", "LANG=C.UTF-8",
                "SYSTEMD_PAGER=", "SYSTEMD_COLORS=0", *argv]

    def run(self, *argv, check=True, timeout=120):
        """Runs a command inside; its result (text). Failure on a nonzero
        status when check."""
        result = subprocess.run(self.command(*argv), capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise Failure(f"'{' '.join(argv)}' in the container ended with {result.returncode}:\n"
                          f"{result.stdout}{result.stderr}")
        return result

    def text(self, *argv):
        return self.run(*argv).stdout.strip()

    def close(self):
        if self.nspawn.poll() is None:
            # nspawn asks the container's systemd to power off.
            self.nspawn.send_signal(signal.SIGTERM)
            try:
                self.nspawn.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.nspawn.kill()
                self.nspawn.wait()
        for path in reversed(self.cgroups):
            remove_cgroup(path)
        self.console.close()
        os.unlink(self.console.name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def remove_cgroup(path):
    """Removes a cgroup and those below it, deepest first, once empty."""
    for dirpath, dirnames, _ in sorted(os.walk(path), key=lambda entry: -entry[0].count("/")):
        for attempt in range(50):
            try:
                os.rmdir(dirpath)
                break
            except FileNotFoundError:
                break
            except OSError:
                time.sleep(0.1)  # its last processes are still being reaped
