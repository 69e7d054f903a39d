#!/usr/bin/env python3
"""trelvoxlogd.service under a real systemd: the package the build makes,
installed in a throw-away Debian 12 container booted with systemd as its
PID 1 (container.py says how, also on a host whose PID 1 is not systemd),
driven as an administrator drives it. One boot; each row is a check that
prints what it saw, and the rows run in order, each from the state the
previous ones left. A row that fails does not stop the others; the
scenario fails if any did.

  systemd_unit_test.py --deb-dir DIR [--skip-reason TEXT]

Exit status 0 passed, 1 failed, 77 skipped (the reason printed)."""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from trelvox_e2e import SKIP_STATUS, Failure, Skip, check, wait_until  # noqa: E402
from container import Container  # noqa: E402
from machine import DROP_IN_DIR, LOG, LOG_DIR, UNIT, Machine  # noqa: E402

PACKAGE_DIR = "/mnt/trelvox"
LOGGING = (r"^Logging TrelvoxController\.\d+ since \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: "
           r"\d+ bytes written, 0 bytes lost by the driver$")
EXPOSURE_LIMIT = 1.0


def install(m):
    """The package installs the unit disabled and not running, with its
    directories."""
    debs = [n for n in m.sh(f"ls {PACKAGE_DIR}").split() if n.endswith(".deb")]
    check(len(debs) == 1, f"expected one package in the build's package directory: {debs}")
    m.c.run("dpkg", "-i", f"{PACKAGE_DIR}/{debs[0]}")
    state = m.show("UnitFileState", "ActiveState")
    check(state == {"UnitFileState": "disabled", "ActiveState": "inactive"}, f"unit: {state}")
    dirs = m.sh(f"stat -c '%n %a %U:%G' {LOG_DIR} /run/trelvox")
    check(dirs == f"{LOG_DIR} 2750 root:adm\n/run/trelvox 755 root:root", dirs)
    return f"{debs[0]}; unit {state['UnitFileState']}, {state['ActiveState']}; " + dirs.replace("\n", ", ")


def analyze(m):
    """systemd-analyze finds nothing to say of the unit (the manual page is
    checked by the packaging suite: the base tree has no man), and rates
    its exposure at most 1.0."""
    verify = m.c.run("systemd-analyze", "verify", "--man=no", UNIT, check=False)
    said = (verify.stdout + verify.stderr).strip()
    check(verify.returncode == 0 and not said, f"verify ({verify.returncode}): {said}")
    security = m.c.run("systemd-analyze", "security", UNIT, check=False).stdout
    level = [line for line in security.splitlines() if "Overall exposure level" in line]
    check(level, f"no exposure level in:\n{security}")
    exposure = float(level[0].split(":")[1].split()[0])
    check(exposure <= EXPOSURE_LIMIT, f"{level[0].strip()}, want {EXPOSURE_LIMIT} at most")
    return f"verify: nothing; {level[0].strip().lstrip('→ ')}"


def start_ready(m):
    """systemctl start returns once the service said READY=1."""
    result, took = m.timed("systemctl", "start", UNIT)
    check(result.returncode == 0, f"start failed: {result.stderr.strip()}")
    times = m.show("ExecMainStartTimestampMonotonic", "ActiveEnterTimestampMonotonic", "MainPID")
    ready = (int(times["ActiveEnterTimestampMonotonic"])
             - int(times["ExecMainStartTimestampMonotonic"])) / 1000
    check(0 <= ready < 2000, f"active {ready:.0f} ms after the exec")
    m.wait_journal(m.service_says, "Service is starting")
    return (f"active (READY=1) {ready:.0f} ms after exec, systemctl start took {took:.2f} s, "
            f"main PID {times['MainPID']}")


def status_lines(m):
    """The Status: line follows the service: waiting, logging a driver,
    waiting again once it is gone."""
    seen = [m.wait_status(r"^Waiting for a driver$")]
    driver = m.start_driver()
    seen.append(m.wait_status(LOGGING))
    m.stop_driver(driver)
    seen.append(m.wait_status(r"^Waiting for a driver$"))
    return " | ".join(seen)


def journal_and_log(m):
    """The system log has the service's start, systemd's word that it
    started; the driver's text is in Trelvox.log, readable by group adm."""
    said = m.service_says()
    check("Service is starting" in said, f"the service said: {said[:5]}")
    started = [line for line in m.systemd_says() if line.startswith("Started ")]
    check(started, f"systemd did not log the start: {m.systemd_says()}")
    mode = m.sh(f"stat -c '%a %U:%G' {LOG}")
    check(mode == "640 root:adm", f"{LOG}: {mode}")
    text = m.sh(f"head -c 200 {LOG}")
    check("driver connection established" in text, f"{LOG} begins {text!r}")
    return f"journal: 'Service is starting', '{started[-1]}'; {LOG} {mode}, begins {text[:60]!r}"


def sandbox(m):
    """The restrictions are in force, as /proc shows the running service."""
    pid = m.main_pid()
    status = dict(line.split(":", 1) for line in m.sh(f"cat /proc/{pid}/status").splitlines())
    got = {key: status[key].strip() for key in ("CapEff", "CapPrm", "CapBnd", "CapAmb",
                                                 "NoNewPrivs", "Seccomp", "Umask")}
    want = {"CapEff": "0" * 16, "CapPrm": "0" * 16, "CapBnd": "0" * 16, "CapAmb": "0" * 16,
            "NoNewPrivs": "1", "Seccomp": "2", "Umask": "0027"}
    check(got == want, f"/proc/{pid}/status: {got}, want {want}")
    net = m.sh(f"readlink /proc/{pid}/ns/net /proc/1/ns/net").split()
    check(net[0] != net[1], f"the service shares PID 1's network namespace {net[1]}")
    mounts = {}
    for line in m.sh(f"cat /proc/{pid}/mountinfo").splitlines():
        fields = line.split()
        mounts[fields[4]] = fields[5].split(",")[0]
    check(mounts.get("/") == "ro" and mounts.get("/var/quenlab") == "rw",
          f"/ is {mounts.get('/')}, /var/quenlab is {mounts.get('/var/quenlab')}")
    return (f"no capabilities, NoNewPrivs 1, Seccomp 2 (filter), Umask 0027, network {net[0]} "
            f"(PID 1: {net[1]}), / ro, /var/quenlab rw")


def reload(m):
    """systemctl reload reopens the log file at its path: an administrator
    moves it away, reloads, and the text goes on in a new Trelvox.log."""
    driver = m.start_driver()
    m.wait_log_growing()
    m.sh(f"mv {LOG} {LOG_DIR}/moved.log")
    mark = len(m.service_says())
    result = m.c.run("systemctl", "reload", UNIT, check=False)
    check(result.returncode == 0, f"reload failed ({result.returncode}): {result.stderr.strip()}; "
                                  f"systemd: {m.systemd_says()[-3:]}")
    m.wait_journal(m.service_says, "Log file reopened", since=mark)
    size = m.wait_log_growing()
    m.stop_driver(driver)
    return f"reload status 0, 'Log file reopened', new {LOG} has {size} bytes"


def second_copy(m):
    """A second copy started by hand while the unit runs is refused."""
    pid = m.main_pid()
    result = m.c.run("timeout", "10", "/usr/sbin/trelvoxlogd", "-s", check=False)
    named = f"Another copy of the service (process {pid}) is logging already"
    check(result.returncode == 1 and named in result.stderr,
          f"status {result.returncode}, standard error {result.stderr.strip()!r}")
    return f"status 1, {named!r}"


def current_reason(m):
    """A trouble on the Status: line carries its current reason: a file in
    the log directory's place, then a directory the service may not write
    (it has no capability to override modes), then a usable one."""
    m.ensure_running()
    driver = m.start_driver()
    seen = []
    try:
        m.sh(f"rm -rf {LOG_DIR} && touch {LOG_DIR}")
        seen.append(m.wait_status(r"; log file closed \(Not a directory\)"))
        m.sh(f"rm {LOG_DIR} && mkdir -m 0555 {LOG_DIR}")
        seen.append(m.wait_status(r"; log file closed \(Permission denied\)"))
        m.sh(f"chgrp adm {LOG_DIR} && chmod 2750 {LOG_DIR}")
        seen.append(m.wait_status(LOGGING))
        m.wait_log_growing()
    finally:
        m.stop_driver(driver)
    return " | ".join(seen)


def stop(m):
    """systemctl stop ends the service within a second, cleanly."""
    m.ensure_running()
    mark = len(m.service_says())
    result, took = m.timed("systemctl", "stop", UNIT)
    check(result.returncode == 0, f"stop failed: {result.stderr.strip()}")
    state = m.show("ActiveState", "Result", "ExecMainStatus")
    check(took <= 1.0, f"the stop took {took:.2f} s")
    check(state == {"ActiveState": "inactive", "Result": "success", "ExecMainStatus": "0"},
          f"after the stop: {state}")
    m.wait_journal(m.service_says, "Service is stopping", since=mark)
    return f"stopped in {took * 1000:.0f} ms, {state}, 'Service is stopping'"


def watchdog(m):
    """With a short watchdog (a drop-in), a healthy service lives on; a
    frozen one (SIGSTOP) is ended by systemd and started again."""
    m.sh(f"mkdir -p {DROP_IN_DIR} && printf '[Service]\\nWatchdogSec=3s\\nRestartSec=1s\\n'"
         f" > {DROP_IN_DIR}/watchdog.conf && systemctl daemon-reload")
    try:
        m.c.run("systemctl", "restart", UNIT)
        first = m.main_pid()
        time.sleep(7)  # more than two periods
        check(m.main_pid() == first and m.show("ActiveState")["ActiveState"] == "active",
              f"a healthy service did not live through 7 s of a 3 s watchdog: {m.show('MainPID', 'ActiveState')}")
        mark = len(m.systemd_says())
        m.sh(f"kill -STOP {first}")
        wait_until(lambda: m.main_pid() not in (0, first)
                   and m.show("ActiveState")["ActiveState"] == "active", 20,
                   "the frozen service ended and started again")
        said = m.systemd_says()[mark:]
        for text in ("Watchdog timeout", "Failed with result 'watchdog'"):
            check(any(text in line for line in said), f"systemd did not say {text!r}: {said}")
        return (f"PID {first} alive after 7 s; frozen, it was ended and started again as PID "
                f"{m.main_pid()}: " + "; ".join(line for line in said if "atchdog" in line))
    finally:
        m.sh(f"rm -rf {DROP_IN_DIR} && systemctl daemon-reload")


def missing_at_start(m):
    """No /var/quenlab when the service starts: it logs into the log
    directory all the same, made as the package makes it."""
    m.c.run("systemctl", "stop", UNIT)
    m.sh("rm -rf /var/quenlab")
    m.c.run("systemctl", "start", UNIT)
    driver = m.start_driver()
    try:
        line = m.wait_status(LOGGING)
        size = m.wait_log_growing()
    finally:
        m.stop_driver(driver)
    made = m.sh(f"stat -c '%a %U:%G' {LOG_DIR}")
    check(made == "2750 root:adm", f"{LOG_DIR} made as {made}")
    return f"{line!r}; {LOG} {size} bytes; {LOG_DIR} {made}"


def parent_made_again(m):
    """/var/quenlab deleted while the service runs, then made again: the
    sandbox's view of it can never come back, so the service says why and
    ends with status 1; systemd starts it again (the unit makes the
    directory first) and the text goes into the new directory."""
    m.ensure_running()
    driver = m.start_driver()
    try:
        m.wait_log_growing()
        restarts = int(m.show("NRestarts")["NRestarts"])
        m.sh("rm -rf /var/quenlab")
        m.wait_journal(m.service_says, "cannot be made again here", timeout=10)
        said = next(line for line in m.service_says() if "cannot be made again here" in line)
        m.sh(f"mkdir -p {LOG_DIR}")
        try:
            size = m.wait_log_growing(timeout=20)
        except Failure:
            raise Failure(f"said {said!r}; 20 s after it was made again nothing went into "
                          f"{LOG}: {m.status_line()!r}, {m.show('NRestarts', 'MainPID')}")
        again = int(m.show("NRestarts")["NRestarts"])
        check(again > restarts, f"not started again: NRestarts {restarts} -> {again}")
    finally:
        m.stop_driver(driver)
    return f"said {said!r}; started again ({again - restarts}); back: {size} bytes in {LOG}"


def remove_purge(m):
    """Removal stops the service, masks the unit while its file is gone and
    keeps the logs (an older log of the administrator's here); purge
    deletes them and every trace of the unit."""
    m.ensure_running()
    kept = f"{LOG_DIR}/Trelvox.01.log"
    m.sh(f"mkdir -p {LOG_DIR} && echo older > {kept}")
    m.c.run("dpkg", "-r", "trelvoxlogd")
    state = m.show("LoadState", "ActiveState")
    check(state == {"LoadState": "masked", "ActiveState": "inactive"}, f"after removal: {state}")
    check(m.sh(f"cat {kept}", check=False) == "older", f"removal deleted {kept}")
    m.c.run("dpkg", "--purge", "trelvoxlogd")
    left = m.sh("ls -R /var/quenlab 2>/dev/null", check=False)
    check(not m.ok("test -e /var/quenlab"), f"purge left /var/quenlab: {left}")
    purged = m.show("LoadState")["LoadState"]
    check(purged == "not-found", f"after purge the unit is {purged}")
    known = m.sh("dpkg-query -W -f='${db:Status-Abbrev}' trelvoxlogd 2>/dev/null", check=False)
    check(known in ("", "un"), f"still known to dpkg after purge: {known!r}")
    return f"removed: unit masked and inactive, {kept} kept; purged: unit {purged}, /var/quenlab gone"


ROWS = [install, analyze, start_ready, status_lines, journal_and_log, sandbox, reload,
        second_copy, current_reason, stop, watchdog, missing_at_start, parent_made_again,
        remove_purge]


def run_rows(m, rows):
    failed = []
    for row in rows:
        name = row.__name__.replace("_", "-")
        began = time.monotonic()
        try:
            saw = row(m)
            print(f"PASS {name} ({time.monotonic() - began:.1f} s): {saw}", flush=True)
        except Failure as failure:
            failed.append(name)
            print(f"FAIL {name} ({time.monotonic() - began:.1f} s): {failure}", flush=True)
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--deb-dir", required=True, help="where the build made the package")
    parser.add_argument("--skip-reason", help="this build does not run the scenario, because...")
    args = parser.parse_args()
    began = time.monotonic()
    try:
        if args.skip_reason:
            raise Skip(args.skip_reason)
        with Container(bind=[(args.deb_dir, PACKAGE_DIR)]) as container:
            print(f"booted {container.name} ({container.state}) in {container.boot_seconds:.1f} s",
                  flush=True)
            failed = run_rows(Machine(container), ROWS)
    except Skip as skip:
        print(f"SKIP: {skip}")
        return SKIP_STATUS
    except Failure as failure:
        print(f"FAIL: {failure}")
        return 1
    took = time.monotonic() - began
    if failed:
        print(f"FAIL: {', '.join(failed)} ({took:.0f} s)")
        return 1
    print(f"PASS: every row ({took:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
