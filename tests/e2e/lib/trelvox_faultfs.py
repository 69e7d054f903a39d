"""The tests' own file system (tests/e2e/faultfs) from a scenario: mounted
over a directory of the private namespace, a passthrough to a backing
directory beside it, its faults set through its control socket while the
service runs. Reading the backing directory never waits on a stall."""

import os
import signal
import socket
import subprocess
import time

from trelvox_e2e import Failure, Skip, wait_until


def mounted(path):
    with open("/proc/self/mounts") as mounts:
        return any(line.split()[1] == path for line in mounts)


class FaultFs:
    """faultfs mounted at `mountpoint`, backed by `backing` (made here)."""

    def __init__(self, program, mountpoint, backing, stalled=False):
        if not program:
            raise Skip("the tests' file system (faultfs) was not built: it needs libfuse3 "
                       "(Debian: libfuse3-dev) and a build for this host's CPU")
        if not os.path.exists("/dev/fuse"):
            raise Skip("no /dev/fuse on this host: the tests' file system cannot be mounted")
        self.mountpoint = mountpoint
        self.backing = backing
        work = os.path.dirname(backing)
        self.stash = os.path.join(work, "faultfs-stash")
        self.control = os.path.join(work, "faultfs-control")
        for path in (backing, self.stash, mountpoint):
            os.makedirs(path, exist_ok=True)
        self.err_path = os.path.join(work, "faultfs.err")
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                [program, "--backing", backing, "--stash", self.stash, "--control", self.control,
                 *(["--stalled"] if stalled else []), mountpoint],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        try:
            wait_until(lambda: mounted(mountpoint) or self.proc.poll() is not None, 10,
                       "the tests' file system to be mounted")
        except Failure:
            self.close()
            raise
        if not mounted(mountpoint):
            with open(self.err_path, "rb") as f:
                said = f.read().decode(errors="replace").strip()
            raise Skip(f"the tests' file system cannot be mounted here: {said}")

    def path(self, name):
        """A file of the backing directory: what the disk holds."""
        return os.path.join(self.backing, name)

    def command(self, line):
        """Sends one control command; its answer, after "ok"."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(10)
            sock.connect(self.control)
            sock.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = sock.recv(4096)
                if not chunk:
                    break
                answer += chunk
        answer = answer.decode().strip()
        if not answer.startswith("ok"):
            raise Failure(f"faultfs refused '{line}': {answer!r}")
        return answer[2:].strip()

    def stats(self):
        """writes, fsyncs, fsyncdirs, renames and blocked, as numbers."""
        return {key: int(value) for key, value in
                (word.split("=") for word in self.command("stats").split())}

    def wait_blocked(self, timeout=10):
        """Until some call of the service waits in the stall."""
        wait_until(lambda: self.stats()["blocked"] > 0, timeout,
                   "a call of the service held by the stall")

    def let_go(self):
        """Every call fails from now on, those held by a stall too: a
        process waiting in one can end (a held call does not give way to
        SIGKILL), and what it meant to write never lands."""
        if self.proc.poll() is None:
            try:
                self.command("fail 5")
                self.command("release")
            except (OSError, Failure):
                pass

    def close(self):
        """Lets everything waiting fail, unmounts and ends the process."""
        self.let_go()
        subprocess.run(["umount", "-l", self.mountpoint], capture_output=True)
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        end = time.monotonic() + 5
        while mounted(self.mountpoint) and time.monotonic() < end:
            time.sleep(0.05)
