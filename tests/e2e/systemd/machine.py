"""The installed service as an administrator drives it inside the booted
container: systemctl, journalctl, the files and /proc, read through
container.Container.run."""

import re
import time

from trelvox_e2e import Failure, check, wait_until

UNIT = "trelvoxlogd.service"
LOG_DIR = "/var/quenlab/log"
LOG = LOG_DIR + "/Trelvox.log"
DROP_IN_DIR = f"/run/systemd/system/{UNIT}.d"


class Machine:
    def __init__(self, container):
        self.c = container
        self.drivers = 0

    def sh(self, script, check=True):
        """A shell command line inside; its standard output, stripped."""
        result = self.c.run("sh", "-c", script, check=check)
        return result.stdout.strip()

    def ok(self, script):
        return self.c.run("sh", "-c", script, check=False).returncode == 0

    def show(self, *names, unit=UNIT):
        """Properties of a unit, as systemctl show gives them."""
        out = self.c.text("systemctl", "show", unit, *(f"--property={n}" for n in names))
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def main_pid(self):
        return int(self.show("MainPID")["MainPID"])

    def status_line(self):
        """The Status: line of systemctl status, as an administrator reads it."""
        out = self.c.run("systemctl", "status", "--no-pager", "--lines=0", UNIT, check=False).stdout
        match = re.search(r'^\s*Status: "(.*)"$', out, re.M)
        return match.group(1) if match else None

    def wait_status(self, pattern, timeout=10):
        seen = []

        def matches():
            line = self.status_line()
            if not seen or seen[-1] != line:
                seen.append(line)
            return line if line is not None and re.search(pattern, line) else None
        try:
            return wait_until(matches, timeout, f"a Status: line like {pattern!r}")
        except Failure:
            raise Failure(f"no Status: line like {pattern!r} within {timeout} s; seen: {seen}")

    def journal(self, *selector):
        """Messages of the journal (text only), in order."""
        return self.c.run("journalctl", "--no-pager", "-o", "cat", *selector).stdout.splitlines()

    def service_says(self):
        """What the service itself sent to the system log and its output."""
        return self.journal("-t", "trelvoxlogd")

    def systemd_says(self):
        """What systemd said of the unit."""
        return self.journal("_PID=1", "-u", UNIT)

    def wait_journal(self, source, text, since=0, timeout=10):
        return wait_until(lambda: any(text in line for line in source()[since:]), timeout,
                          f"{text!r} in the journal")

    def start_driver(self, rate=20):
        """A simulated driver as a unit of its own, publishing in /run/trelvox."""
        self.drivers += 1
        name = f"trelvox-driver-{self.drivers}"
        self.c.run("systemd-run", f"--unit={name}", "/usr/bin/trelvoxsim", "--rate", str(rate))
        return name

    def stop_driver(self, name):
        self.c.run("systemctl", "stop", name)

    def log_size(self):
        return int(self.sh(f"stat -c %s {LOG} 2>/dev/null || echo -1"))

    def wait_log_growing(self, timeout=10):
        """Text arrives in Trelvox.log (at the path, as it is now)."""
        first = self.log_size()
        wait_until(lambda: self.log_size() > max(first, 0), timeout, f"text going into {LOG}")
        return self.log_size()

    def timed(self, *argv):
        """Runs a command inside; its result and the seconds it took."""
        began = time.monotonic()
        result = self.c.run(*argv, check=False)
        return result, time.monotonic() - began

    def ensure_running(self):
        if self.show("ActiveState")["ActiveState"] != "active":
            self.c.run("systemctl", "start", UNIT)
        check(self.show("ActiveState")["ActiveState"] == "active", f"{UNIT} does not start")
