#!/usr/bin/env python3
"""The log disk goes dark: trelvoxlogd in service mode with the log directory
on the tests' own file system (tests/e2e/faultfs), which stalls, slows down,
fails or loses power while a driver sends numbered lines at a steady rate
into a 64 KiB buffer of its own. One row per trouble, each in the private
namespace of service_mode_test.py; each prints what it measured before it
checks, and counts the lines exactly: every line the driver made is in the
log (or, where the row says so, on standard output) once, in order, and
none was dropped by the driver for want of being fetched.

The rows measure times and rates: under an emulator (another CPU's build)
they are skipped, and so they are where the file system cannot be had."""

import argparse
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from numbered_driver import LINE_SIZE, NumberedDriver, numbers  # noqa: E402
from trelvox_e2e import TARGET_RUN, Skip, check, run_scenarios, wait_until  # noqa: E402
from trelvox_faultfs import FaultFs  # noqa: E402
from service_mode_test import (INFO, LIMIT, LOG, LOG_DIR, WARNING, NotifyReceiver,  # noqa: E402
                               read, service_world, size, stop_within_a_second)

BACKING = "/var/san/backing"  # what the disk holds, beside the mount
STALL_S = 12  # past the 5 s warning, and four watchdog periods of 3 s
WATCHDOG_USEC = 3000000  # pings every second
# The largest gap between pings the rows accept: under the period, so that
# the watchdog never fires, with room for a loaded machine (scaled down from
# 12 s at the unit's WatchdogSec=30, the same margin to the period).
MAX_PING_GAP_S = 2.0

STALLED = re.compile(r"^Log file /var/quenlab/log/Trelvox\.log has taken no text for 5 s; "
                     r"(\d+) bytes wait in memory$")
TAKES_AGAIN = re.compile(r"^Log file /var/quenlab/log/Trelvox\.log takes text again after "
                         r"(\d+\.\d) s; (\d+) bytes were written late$")
QUEUE_FULL = re.compile(r"^Memory for the log file is full \((\d+) bytes\); "
                        r"text goes to standard output$")
QUEUE_AGAIN = re.compile(r"^Memory for the log file takes text again; (\d+) bytes went to "
                         r"standard output meanwhile$")
WAITING_AT_STOP = re.compile(r"^(\d+) bytes of text waiting for the log file went to "
                             r"standard output$")
STATUS_STALLED = re.compile(r"; log file stalled for (\d+) s, (\d+) bytes waiting$")


def disk(name="Trelvox.log"):
    """A log file as the disk holds it: read beside the mount, so that a
    stall never holds the test."""
    path = os.path.join(BACKING, name)
    return read(path) if os.path.exists(path) else b""


def seen(path):
    """A file as the service sees it, through the mount; empty if it is
    not there (between the renames of a rotation, say)."""
    try:
        return read(path)
    except FileNotFoundError:
        return b""


def eventually(predicate, timeout):
    """predicate's first true value within timeout, or None: a figure that a
    broken service may never produce is printed before it is checked."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value or None
        time.sleep(0.05)


def said(syslog, priority, pattern):
    """The matches of every system-log message of that priority."""
    return [m for p, _, text in syslog.messages() if p == priority
            for m in [pattern.match(text)] if m]


def ping_gap(receiver, since, until):
    """The largest time without a watchdog ping between since and until."""
    times = [since] + [at for at, text in list(receiver.received)
                       if since <= at <= until and "WATCHDOG=1" in text.split("\n")] + [until]
    return max(b - a for a, b in zip(times, times[1:]))


def wait_lines(read_text, count, what="lines in the log file"):
    wait_until(lambda: len(numbers(read_text())) >= count, 20, f"{count} {what}")


class Run:
    """The service, a numbered driver and (when asked) a receiver of its
    notifications, on the file system of the row."""

    def __init__(self, world, fs, rate, watchdog=False, **env):
        self.world, self.fs = world, fs
        self.receiver = NotifyReceiver()
        world.env.update(NOTIFY_SOCKET=self.receiver.path, **env)
        if watchdog:
            world.env["WATCHDOG_USEC"] = str(WATCHDOG_USEC)
        self.driver = NumberedDriver(world, "san", rate)
        self.began = time.monotonic()
        self.logd = world.start_logd("-s")

    def finish(self, read_text, timeout=60):
        """Stops the driver and waits until the last line it handed over is
        in read_text() (or the time is up); returns how many it made."""
        made = self.driver.stop()
        eventually(self.driver.drained, 30)
        last = self.driver.last_served()
        eventually(lambda: last in numbers(read_text()), timeout)
        return made

    def close(self):
        self.driver.close()
        self.receiver.close()


def check_every_line(driver, made, got, where):
    """Every line made is in `got` once and in order, none dropped."""
    check(not driver.dropped, f"the driver dropped {len(driver.dropped)} of {made} lines: the "
                              f"service did not fetch them in time")
    missing = len(set(range(made)) - set(got))
    check(got == list(range(made)), f"{where}: {len(got)} lines for {made} made, {missing} "
                                    f"missing, {len(got) - len(set(got))} twice, or out of order")


def check_once(syslog, priority, pattern, what):
    found = said(syslog, priority, pattern)
    check(len(found) == 1, f"{len(found)} times {what}, want once: {syslog.messages()}")
    return found[0]


def lost_figure(driver, made, got):
    return f"{made - len(set(got) & set(range(made)))} of {made} lines lost " \
           f"({len(driver.dropped)} dropped by the driver)"


def san_row(body, stalled=False):
    """A row: the service's log directory on faultfs, backed by BACKING,
    (stalled: with every call waiting from the mount on). body(world,
    syslog, mount) calls mount() once it has prepared BACKING."""
    def scenario(args, rest):
        parser = argparse.ArgumentParser()
        parser.add_argument("--faultfs", default="")
        options, rest = parser.parse_known_args(rest)
        if TARGET_RUN:
            raise Skip("under the emulator the service runs many times slower than on its own "
                       "CPU, and every row measures times and rates")

        def in_world(world, syslog):
            os.makedirs(BACKING)
            mounted = []

            def mount():
                mounted.append(FaultFs(options.faultfs, LOG_DIR, BACKING, stalled=stalled))
                return mounted[-1]

            try:
                body(world, syslog, mount)
            finally:
                for fs in mounted:
                    fs.let_go()
                for process in world.processes:
                    process.kill()
                for fs in mounted:
                    fs.close()

        service_world(in_world)(args, rest)
    return scenario


@san_row
def stall(world, syslog, mount):
    """Every call on the log's disk blocks for 12 s at 200 lines/s: no line
    lost, the watchdog fed, the stall said once when it passes 5 s (and in
    the status line) and once when it ends."""
    fs = mount()
    run = Run(world, fs, 200, watchdog=True)
    wait_lines(disk, 100)
    fs.command("stall")
    stalled_at = time.monotonic()
    fs.wait_blocked()
    warned = eventually(lambda: said(syslog, WARNING, STALLED), 8)
    status = eventually(lambda: next((s for s in run.receiver.statuses()
                                      if STATUS_STALLED.search(s)), None), STALL_S - 5)
    time.sleep(max(0.0, stalled_at + STALL_S - time.monotonic()))
    fs.command("release")
    released = time.monotonic()
    again = eventually(lambda: said(syslog, INFO, TAKES_AGAIN), 10)
    made = run.finish(disk)
    gap = ping_gap(run.receiver, stalled_at, released + 1)
    got = numbers(disk())
    print(f"a {STALL_S} s stall at 200 lines/s: {lost_figure(run.driver, made, got)}; largest "
          f"watchdog gap {gap:.2f} s; warning: {warned[0].group(0) if warned else None!r}; "
          f"status: {status!r}; recovery: {again[0].group(0) if again else None!r}")
    check_every_line(run.driver, made, got, "the log file")
    check(gap <= MAX_PING_GAP_S, f"{gap:.2f} s without a watchdog ping during the stall")
    waited = int(check_once(syslog, WARNING, STALLED, "the stall warning").group(1))
    check(waited > 0, "the warning names no text waiting")
    seconds, late = check_once(syslog, INFO, TAKES_AGAIN, "the recovery").groups()
    check(STALL_S - 2 <= float(seconds) <= STALL_S + 3 and int(late) > 0,
          f"the recovery says {seconds} s and {late} bytes late after a {STALL_S} s stall")
    check(status is not None, f"no status line named the stall: {run.receiver.statuses()[-3:]}")
    wait_until(lambda: not STATUS_STALLED.search(run.receiver.statuses()[-1]), 10,
               "a status line without the stall")
    stop_within_a_second(run.logd, 0)
    run.close()


def main_thread_ended(process):
    """Whether the service has ended as far as it can: reaped, or its main
    thread gone (a zombie) while the kernel still holds its log writer in a
    call the stalled disk has not answered."""
    if process.proc.poll() is not None:
        return True
    try:
        with open(f"/proc/{process.proc.pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def stop_during_stall(world, syslog, mount, sig, status):
    """A stop 2 s into a stall: the service ends within a second (its
    writer, held in the kernel by the stall, goes when the disk answers)."""
    fs = mount()
    run = Run(world, fs, 200)
    wait_lines(disk, 100)
    fs.command("stall")
    fs.wait_blocked()
    fetched = run.driver.last_served()
    served = eventually(lambda: run.driver.last_served() >= fetched + 400, 5)
    run.logd.signal(sig)
    began = time.monotonic()
    ended = eventually(lambda: main_thread_ended(run.logd), 5)
    took = time.monotonic() - began
    # Read before the stall is let go: a write the stall held must not land
    # now (it fails instead).
    in_file, out = numbers(disk()), run.logd.out()
    fs.let_go()
    if ended:
        eventually(lambda: run.logd.proc.poll() is not None, 5)
    got = run.logd.proc.poll()
    run.logd.kill()
    on_stdout = numbers(out)
    last = run.driver.last_served()
    print(f"{sig.name} 2 s into a stall: {run.logd.describe_status(got)} after {took:.2f} s; "
          f"fetched during the stall: {'yes' if served else 'no'}; {len(in_file)} lines in the "
          f"file and {len(on_stdout)} on standard output of {last + 1} fetched")
    check(ended and took < 1.0, f"the service took {took:.2f} s to end after {sig.name} "
                                f"({run.logd.describe_status(got)})")
    check(got == status, f"{run.logd.describe_status(got)} after {sig.name}, want {status}")
    check(served, "the service fetched no lines from the driver while the disk stalled")
    run.close()
    return in_file, on_stdout, last, out


@san_row
def sigterm_during_stall(world, syslog, mount):
    """SIGTERM 2 s into a stall: status 0 within a second; what waited for
    the file is on standard output, counted in the system log: the file and
    standard output hold every line fetched, once, in order."""
    in_file, on_stdout, last, out = stop_during_stall(world, syslog, mount, signal.SIGTERM, 0)
    check(in_file + on_stdout == list(range(last + 1)),
          f"{len(in_file)} lines in the file and {len(on_stdout)} on standard output, "
          f"{last + 1} fetched: not each once, in order")
    eventually(lambda: said(syslog, WARNING, WAITING_AT_STOP), 3)
    counted = int(check_once(syslog, WARNING, WAITING_AT_STOP, "the text left at the stop")[1])
    check(len(on_stdout) * (LINE_SIZE + 9) <= counted <= len(out) - 2,
          f"{counted} bytes said to have gone to standard output; it holds {len(out) - 2} "
          f"after the two blank lines, {len(on_stdout)} lines of the driver")


@san_row
def abort_during_stall(world, syslog, mount):
    """SIGABRT 2 s into a stall: status 1 within a second."""
    stop_during_stall(world, syslog, mount, signal.SIGABRT, 1)


@san_row
def slow_writes(world, syslog, mount):
    """Each write takes 5 ms: at 300 lines/s for 10 s no line is lost."""
    fs = mount()
    fs.command("slow 5")
    run = Run(world, fs, 300)
    time.sleep(10)  # the length of the run
    made = run.finish(disk)
    got = numbers(disk())
    writes = fs.stats()["writes"]
    print(f"5 ms a write, 300 lines/s: {lost_figure(run.driver, made, got)}; {writes} writes, "
          f"{writes / max(1, len(got)):.3f} a line")
    check_every_line(run.driver, made, got, "the log file")
    stop_within_a_second(run.logd, 0)
    run.close()


def files(*names):
    return lambda: b"".join(disk(name) for name in names)


@san_row
def stall_across_rotation(world, syslog, mount):
    """The rotation's rename blocks for 8 s: the driver is served all the
    while, the stall is said and its end, and Trelvox.01.log and the new
    Trelvox.log hold every line once, in order."""
    with open(os.path.join(BACKING, "Trelvox.log"), "wb") as f:
        f.truncate(LIMIT - 20000)  # rotated after about a second of lines
    fs = mount()
    fs.command("stall-at rename")
    run = Run(world, fs, 200)
    wait_until(lambda: fs.stats()["blocked"] > 0, 30, "the rotation's rename held by the stall")
    held = time.monotonic()
    warned = eventually(lambda: said(syslog, WARNING, STALLED), 7)
    time.sleep(max(0.0, held + 8 - time.monotonic()))
    fs.command("release")
    again = eventually(lambda: said(syslog, INFO, TAKES_AGAIN), 10)
    both = files("Trelvox.01.log", "Trelvox.log")
    made = run.finish(both)
    got = numbers(both())
    print(f"a rename held 8 s at 200 lines/s: {lost_figure(run.driver, made, got)}; warning "
          f"{'said' if warned else 'not said'}, recovery {'said' if again else 'not said'}")
    check_every_line(run.driver, made, got, "Trelvox.01.log and Trelvox.log")
    check(size(os.path.join(BACKING, "Trelvox.01.log")) >= LIMIT, "no rotation")
    check_once(syslog, WARNING, STALLED, "the stall warning")
    check_once(syslog, INFO, TAKES_AGAIN, "the recovery")
    stop_within_a_second(run.logd, 0)
    run.close()


def stall_at_start_row(world, syslog, mount):
    """The disk is stalled when the service starts (the log directory's
    first look blocks): READY=1 all the same, the driver served into memory
    for 6 s, and once the disk is back every line is in the file."""
    fs = mount()
    run = Run(world, fs, 200)
    ready = eventually(lambda: "READY=1" in run.receiver.lines(), 10)
    ready_after = time.monotonic() - run.began
    served = eventually(lambda: run.driver.last_served() >= 400, 6)
    time.sleep(max(0.0, run.began + 6 - time.monotonic()))
    fs.command("release")
    made = run.finish(disk)
    got = numbers(disk())
    print(f"started on a stalled disk: READY=1 {f'after {ready_after:.2f} s' if ready else 'never'}"
          f"; {run.driver.last_served() + 1 if served else 'too few'} lines fetched in the stall; "
          f"{lost_figure(run.driver, made, got)}")
    check(ready, "no READY=1 while the disk was stalled")
    check(served, "the driver was not served while the disk was stalled")
    check_every_line(run.driver, made, got, "the log file")
    stop_within_a_second(run.logd, 0)
    run.close()


stall_at_start = san_row(stall_at_start_row, stalled=True)


@san_row
def eio_then_healthy(world, syslog, mount):
    """Every call fails with EIO for 8 s, then the disk is healthy: the text
    goes to standard output meanwhile, no line lost or written twice; the
    trouble said once and its end once."""
    fs = mount()
    run = Run(world, fs, 200)
    wait_lines(disk, 100)
    fs.command("fail 5")
    wait_lines(run.logd.out, 10, "lines on standard output")
    time.sleep(8)  # the length of the trouble
    fs.command("fail 0")
    before = len(disk())
    wait_until(lambda: len(disk()) > before, 10, "text in the log file again")
    made = run.finish(lambda: disk() + run.logd.out())
    in_file, on_stdout = numbers(disk()), numbers(run.logd.out())
    troubles = [m for m in syslog.messages() if m[2] not in ("Service is starting",)]
    print(f"8 s of EIO at 200 lines/s: {len(in_file)} lines in the file, {len(on_stdout)} on "
          f"standard output, {lost_figure(run.driver, made, in_file + on_stdout)}; system log: "
          f"{[text for _, _, text in troubles]}")
    check_every_line(run.driver, made, sorted(in_file + on_stdout), "the file and standard output")
    check(in_file == sorted(in_file) and on_stdout == sorted(on_stdout),
          "lines out of order in the file or on standard output")
    check([p for p, _, _ in troubles] == [WARNING, INFO],
          f"want one warning and one recovery: {troubles}")
    stop_within_a_second(run.logd, 0)
    run.close()


def cut(fs, run):
    """The power goes; the service with it. Returns the moment."""
    at = time.monotonic()
    fs.command("cut")
    run.logd.kill()
    return at


@san_row
def power_cut(world, syslog, mount):
    """A power cut after 4 s at 200 lines/s: the log file the disk keeps
    reaches to within a second of the cut (1.5 s here: a second, and the
    writer's way to the disk on a busy machine), whole lines in order."""
    open(os.path.join(BACKING, "Trelvox.log"), "wb").close()  # an existing, synced log
    fs = mount()
    fs.command("power-cut")
    run = Run(world, fs, 200)
    wait_lines(lambda: seen(LOG), 800, "lines in the log file as the service sees it")
    at = cut(fs, run)
    kept = disk()
    got = numbers(kept)
    last_kept = got[-1] if got else -1
    fetched = [(when, number) for when, number in run.driver.served if when < at]
    reached = next((when for when, number in fetched if number >= last_kept), None) \
        if got else None
    lag = at - reached if reached is not None else at - run.began
    print(f"a power cut after {len(fetched)} replies: the disk keeps {len(got)} lines, up to "
          f"{lag:.2f} s before the cut")
    check(lag <= 1.5, f"the disk keeps the log only up to {lag:.2f} s before the cut")
    check(got == list(range(len(got))), "the kept lines are not the first ones, once, in order")
    check(kept.endswith(b"\n"), f"the kept file ends inside a line: {kept[-40:]!r}")
    run.close()


@san_row
def power_cut_after_rotation(world, syslog, mount):
    """A power cut just after a rotation (once the new Trelvox.log holds a
    line): every rotated file is whole on the disk, Trelvox.01.log with all
    it held, and the older ones moved up."""
    old = {1: b"one\n", 2: b"two\n", 3: b"three\n"}
    for n, content in old.items():
        with open(os.path.join(BACKING, f"Trelvox.{n:02d}.log"), "wb") as f:
            f.write(content)
    with open(os.path.join(BACKING, "Trelvox.log"), "wb") as f:
        f.truncate(LIMIT - 20000)
    fs = mount()
    fs.command("power-cut")
    run = Run(world, fs, 200)
    first = LOG_DIR + "/Trelvox.01.log"
    wait_until(lambda: size(first) >= LIMIT and numbers(seen(LOG)), 30,
               "the rotation and a line in the new Trelvox.log")
    whole = size(first)
    cut(fs, run)
    kept = {n: disk(f"Trelvox.{n:02d}.log") for n in range(1, 5)}
    tail = numbers(kept[1][LIMIT - 20000:])
    print(f"a power cut after a rotation: Trelvox.01.log {len(kept[1])} of {whole} bytes, "
          f"{len(tail)} lines; .02 to .04 {[kept[n][:8] for n in (2, 3, 4)]}")
    check(len(kept[1]) == whole, f"Trelvox.01.log has {len(kept[1])} bytes, {whole} before the cut")
    check(tail and tail == list(range(len(tail))), "Trelvox.01.log does not hold its lines")
    for n in (2, 3, 4):
        check(kept[n] == old[n - 1], f"Trelvox.{n:02d}.log holds {kept[n][:20]!r}, want "
                                     f"{old[n - 1]!r}")
    run.close()


@san_row
def queue_full(world, syslog, mount):
    """Memory for 256 KiB and a stall at 1,000 lines/s: what does not fit
    goes to standard output, counted and said; the file and standard output
    hold every line once, in order within each."""
    fs = mount()
    run = Run(world, fs, 1000, TRELVOX_LOG_QUEUE_KIB="256")
    wait_lines(disk, 500)
    fs.command("stall")
    fs.wait_blocked()
    overflow = eventually(lambda: numbers(run.logd.out()), 15)
    time.sleep(2)  # more than fits
    fs.command("release")
    made = run.finish(lambda: disk() + run.logd.out())
    # The last line may have gone to standard output while the queue still
    # drained into the file: every line, not the last, tells the end.
    eventually(lambda: len(numbers(disk())) + len(numbers(run.logd.out())) >= made, 30)
    in_file, out = numbers(disk()), run.logd.out()
    on_stdout = numbers(out)
    full = said(syslog, WARNING, QUEUE_FULL)
    again = eventually(lambda: said(syslog, INFO, QUEUE_AGAIN), 5) or []
    print(f"256 KiB of memory, a stall at 1,000 lines/s: {len(in_file)} lines in the file, "
          f"{len(on_stdout)} on standard output, "
          f"{lost_figure(run.driver, made, in_file + on_stdout)}; said: "
          f"{[m.group(0) for m in full + again]}")
    check(overflow, "no line went to standard output while memory was full")
    check_every_line(run.driver, made, sorted(in_file + on_stdout), "the file and standard output")
    check(in_file == sorted(in_file) and on_stdout == sorted(on_stdout),
          "lines out of order in the file or on standard output")
    check_once(syslog, WARNING, QUEUE_FULL, "the full memory")
    went = int(check_once(syslog, INFO, QUEUE_AGAIN, "memory taking text again").group(1))
    check(went == len(out) - 2, f"{went} bytes said to have gone to standard output; it holds "
                                f"{len(out) - 2} after the two blank lines")
    stop_within_a_second(run.logd, 0)
    run.close()


@san_row
def batched_writes(world, syslog, mount):
    """1,000 lines/s for 5 s on a healthy disk: at most a quarter of a write
    call a line, no line lost."""
    fs = mount()
    run = Run(world, fs, 1000)
    time.sleep(5)  # the length of the run
    made = run.finish(disk)
    got = numbers(disk())
    writes = fs.stats()["writes"]
    per_line = writes / max(1, len(got))
    print(f"1,000 lines/s for 5 s: {writes} write calls for {len(got)} lines, {per_line:.3f} a "
          f"line; {lost_figure(run.driver, made, got)}")
    check(per_line <= 0.25, f"{per_line:.3f} write calls a line, want at most 0.25")
    check_every_line(run.driver, made, got, "the log file")
    stop_within_a_second(run.logd, 0)
    run.close()


ROWS = {
    "stall": stall,
    "sigterm-during-stall": sigterm_during_stall,
    "abort-during-stall": abort_during_stall,
    "slow-writes": slow_writes,
    "stall-across-rotation": stall_across_rotation,
    "stall-at-start": stall_at_start,
    "eio-then-healthy": eio_then_healthy,
    "power-cut": power_cut,
    "power-cut-after-rotation": power_cut_after_rotation,
    "queue-full": queue_full,
    "batched-writes": batched_writes,
}

if __name__ == "__main__":
    run_scenarios(ROWS)
