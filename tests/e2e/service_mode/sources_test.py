#!/usr/bin/env python3
"""Never abandon a source: trelvoxlogd against drivers, watches and clocks
that misbehave, one row per trouble, each in the private namespace of
service_mode_test.py. Each row prints what it measured."""

import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from trelvox_e2e import (CONNECTED, TARGET_RUN, UNLOADED, WAITING, ScriptedDriver,  # noqa: E402
                         check, check_clean_end, event_reply, run_scenarios, wait_until)
from trelvox_namespace import run  # noqa: E402
from service_mode_test import (INFO, LOG, WARNING, read, service_world, size,  # noqa: E402
                               stop_within_a_second)

STAMP = re.compile(rb"(\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)  ")


def longest_silence(process, seconds):
    """Watches the process's standard output for that long; the longest
    time in which it did not grow."""
    last, grew, longest = len(process.out()), time.monotonic(), 0.0
    end = grew + seconds
    while time.monotonic() < end:
        time.sleep(0.02)
        now = len(process.out())
        if now != last:
            last, grew = now, time.monotonic()
        longest = max(longest, time.monotonic() - grew)
    return longest


def lower_descriptor_limit(pid, free):
    """The process's descriptor limit brought down to what it has open plus
    `free`; returns the limit it had."""
    before = subprocess.run(["prlimit", "--pid", str(pid), "--nofile", "--raw", "--noheadings",
                             "--output", "SOFT"], capture_output=True, text=True, check=True)
    used = len(os.listdir(f"/proc/{pid}/fd"))
    subprocess.run(["prlimit", "--pid", str(pid), f"--nofile={used + free}:"], check=True)
    return int(before.stdout)


@service_world
def clock_step(world, syslog):
    """The wall clock an hour ahead of where it will be stepped back to:
    every wait runs on the monotonic clock, so the text keeps coming through
    the driver's idle gaps, and a stop during a wait takes effect at once."""
    shim = os.environ.get("TRELVOX_CLOCK_SHIM")
    check(shim is not None, "no clock shim (TRELVOX_CLOCK_SHIM)")
    env = [f"LD_PRELOAD={shim}", "TRELVOX_TEST_CLOCK_AHEAD=3600",
           "ASAN_OPTIONS=" + os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"]
    if TARGET_RUN:
        # Under the emulator the shim is the target's: given to the guest
        # alone, not to the emulator.
        world.env["QEMU_SET_ENV"] = ",".join(env[:2])
    else:
        world.launcher = lambda program, args: ["env", *env, program, *args]
    world.start_sim("--rate", "20", "--gap-every", "1", "--gap", "0.5")
    logd = world.start_logd()
    wait_until(lambda: len(logd.out()) > 200, 10, "the first lines")
    silence = longest_silence(logd, 4)
    check(silence < 1.5, f"{silence:.1f} s without a line")
    took = stop_within_a_second(logd)
    print(f"longest time without a line: {silence:.2f} s; stopped in {took:.2f} s")


@service_world
def zone_change(world, syslog):
    """/etc/localtime replaced as timedatectl does (a new link renamed over
    it), from UTC to Asia/Tokyo: the stamps follow within seconds."""
    run("mount", "-t", "tmpfs", "tmpfs", "/mnt")
    os.makedirs("/mnt/upper")
    os.makedirs("/mnt/work")
    run("mount", "-t", "overlay", "overlay", "-o",
        "lowerdir=/etc,upperdir=/mnt/upper,workdir=/mnt/work", "/etc")

    def set_zone(name):
        os.symlink("/usr/share/zoneinfo/" + name, "/etc/.localtime.new")
        os.rename("/etc/.localtime.new", "/etc/localtime")

    set_zone("Etc/UTC")
    del world.env["TZ"]
    world.start_sim("--rate", "20", "--gap-every", "0")
    logd = world.start_logd()

    def last_hour():
        stamps = STAMP.findall(logd.out())
        return int(stamps[-1][3]) if stamps else None

    wait_until(lambda: last_hour() == time.gmtime().tm_hour, 10, "a stamp in UTC")
    set_zone("Asia/Tokyo")
    changed = time.monotonic()
    tokyo = (time.gmtime().tm_hour + 9) % 24
    wait_until(lambda: last_hour() in (tokyo, (tokyo + 1) % 24), 15, "a stamp in Tokyo's hours")
    took = time.monotonic() - changed
    stop_within_a_second(logd)
    print(f"the new zone was taken up {took:.1f} s after the change")


def served_again_after(world, syslog, logd, trouble, mend):
    """trouble() makes the driver fail while it stays published and returns
    it, mend() mends it; the driver must be served again, and the system log
    must say once why it failed and once that it is served again."""
    sim = trouble()
    name = "TrelvoxController." + sim.name
    wait_until(lambda: any(level == WARNING and name in text for level, _, text in
                           syslog.messages()), 15,
               f"the failure in the system log (service: {logd.describe_status(logd.proc.poll())}")
    before = read(LOG).count(CONNECTED)
    mend()
    mended = time.monotonic()
    wait_until(lambda: read(LOG).count(CONNECTED) > before, 35, "the driver served again")
    took = time.monotonic() - mended
    wait_until(lambda: (INFO, "trelvoxlogd", f"Driver {name} is served again") in
               syslog.messages(), 5, "the recovery in the system log")
    warnings = [text for level, _, text in syslog.messages() if level == WARNING and name in text]
    check(len(warnings) == 1, f"one warning per outage, got {warnings}")
    stop_within_a_second(logd)
    sim.kill()
    return took, warnings[0]


@service_world
def driver_fails_once(world, syslog):
    """A driver comes back while no descriptor is left: its connection
    fails, and the driver, still published, is tried again and served once
    descriptors are back. (It was served once before, as after a reload;
    that also spares the sanitizers' checks a first look at its types, for
    which they would need a descriptor themselves.)"""
    logd = world.start_logd("-s")
    wait_until(lambda: read(LOG) == WAITING if os.path.exists(LOG) else False, 10, "waiting")
    tasks = f"/proc/{logd.proc.pid}/task"
    waiting_threads = len(os.listdir(tasks))
    first = world.start_sim("--rate", "50", "--exit-after", "0.5")
    check_clean_end(first, first.wait(), 0)
    wait_until(lambda: read(LOG).endswith(UNLOADED), 10, "the first driver come and gone")
    # Its pump's thread gone too, with the descriptors it held: the threads
    # of the wait for drivers are left.
    wait_until(lambda: len(os.listdir(tasks)) <= waiting_threads, 10,
               "the first driver's pump to end")
    limit = []

    def trouble():
        limit.append(lower_descriptor_limit(logd.proc.pid, 0))
        return world.start_sim("--rate", "50")

    took, why = served_again_after(
        world, syslog, logd, trouble,
        lambda: subprocess.run(["prlimit", "--pid", str(logd.proc.pid), f"--nofile={limit[0]}:"],
                               check=True))
    check("Too many open files" in why, f"the reason: {why}")
    print(f"served again {took:.1f} s after the descriptors were back; said: {why}")


@service_world
def driver_stalls(world, syslog):
    """The driver stops for 11 s (SIGSTOP): the call times out, and once it
    goes on (SIGCONT) the service connects again."""
    sim = world.start_sim("--rate", "50")
    logd = world.start_logd("-s")
    wait_until(lambda: size(LOG) > 1000, 10, "text in the log file")
    def trouble():
        sim.signal(signal.SIGSTOP)
        return sim

    took, why = served_again_after(world, syslog, logd, trouble,
                                   lambda: sim.signal(signal.SIGCONT))
    print(f"served again {took:.1f} s after the driver went on; said: {why}")


@service_world
def watch_retried(world, syslog):
    """The driver directory cannot be made (its parent is read-only): the
    service keeps trying, and once the directory is there it finds the
    driver published in it."""
    os.makedirs("/var/drivers")
    run("mount", "-t", "tmpfs", "-o", "ro,mode=755", "tmpfs", "/var/drivers")
    world.driver_dir = "/var/drivers/bus"
    world.env["TRELVOX_DRIVER_DIR"] = world.driver_dir
    logd = world.start_logd("-s")
    wait_until(lambda: any(level == WARNING and world.driver_dir in text
                           for level, _, text in syslog.messages()), 10, "the failure reported")
    run("mount", "-o", "remount,rw", "/var/drivers")
    os.mkdir(world.driver_dir, 0o755)
    world.start_sim("--rate", "50")
    made = time.monotonic()
    wait_until(lambda: CONNECTED in read(LOG) if os.path.exists(LOG) else False, 15,
               "the driver found")
    took = time.monotonic() - made
    recovered = [t for level, _, t in syslog.messages() if level == INFO and world.driver_dir in t]
    check(recovered, f"no recovery reported: {syslog.messages()}")
    stop_within_a_second(logd)
    print(f"the driver was found {took:.1f} s after its directory was made")


@service_world
def run_loop_error(world, syslog):
    """The wait of the run loop fails (the descriptor limit lowered below
    what it waits on): the service says why and ends with status 1."""
    # The undefined-behaviour sanitizer checks a dynamic type through a pipe
    # of its own, which this row leaves it no descriptor for: such a check
    # then fails whatever the type, and must not end the program here (the
    # sanitizer build's other rows keep every check fatal).
    if "UBSAN_OPTIONS" in world.env:
        world.env["UBSAN_OPTIONS"] += ":halt_on_error=0"
    logd = world.start_logd("-s")
    wait_until(lambda: read(LOG) == WAITING if os.path.exists(LOG) else False, 10, "waiting")
    subprocess.run(["prlimit", "--pid", str(logd.proc.pid), "--nofile=1:"], check=True)
    world.start_sim("--rate", "50", wait_published=False)
    status = logd.wait(10)
    check(status == 1, f"{logd.describe_status(status)}, want 1")
    check(b"Waiting for drivers failed (Invalid argument)" in logd.err(), f"{logd.err()!r}")
    print(f"ended with status {status}: {logd.err().decode().strip()!r}")


@service_world
def empty_no_wait(world, syslog):
    """A driver that answers every request with no text and no wait: the
    service backs off as from an idle driver."""
    driver = ScriptedDriver(world, "spin", [], after=event_reply(b"", wait=0))
    logd = world.start_logd()
    try:
        wait_until(lambda: logd.out().startswith(b"\n\n" + CONNECTED), 10, "the connection")
        time.sleep(1)  # past the ladder's first rungs
        start = driver.requests
        time.sleep(2)
        rate = (driver.requests - start) / 2
        check(rate <= 25, f"{rate:.0f} requests a second")
        stop_within_a_second(logd)
    finally:
        driver.close()
    print(f"{rate:.1f} requests a second")


ROWS = {
    "clock-step": clock_step,
    "zone-change": zone_change,
    "driver-fails-once": driver_fails_once,
    "driver-stalls": driver_stalls,
    "watch-retried": watch_retried,
    "run-loop-error": run_loop_error,
    "empty-no-wait": empty_no_wait,
}

if __name__ == "__main__":
    run_scenarios(ROWS)
