#!/usr/bin/env python3
"""Every adapter on the host logged side by side: trelvoxlogd (application
mode) against several drivers of the script's own at once, each making
numbered lines tagged with its name into a 64 KiB buffer of its own, its
drops counted. One row per situation of a host with redundant paths; each
prints what it measured."""

import os
import re
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from numbered_driver import LINE_SIZE, NumberedDriver  # noqa: E402
from trelvox_e2e import TARGET_RUN, Skip, World, check, run_scenarios, wait_until  # noqa: E402

# "<stamp>  NAME san line NNNNNNN ......\n", whole: a line holding the text
# of two drivers matches nothing.
WHOLE = re.compile(rb"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d  (\w+) san line (\d{7}) \.+$")


class TaggedDriver(NumberedDriver):
    """A numbered driver whose lines carry its name."""

    def __init__(self, world, name, rate):
        self.tag = name.encode()
        super().__init__(world, name, rate)

    def _line(self, number):
        head = b"{%08X}%s san line %07d " % (int(time.time()), self.tag, number)
        return head + b"." * (LINE_SIZE - len(head) - 1) + b"\n"


def skip_under_emulator():
    if TARGET_RUN:
        raise Skip("under the emulator the service runs many times slower than the drivers make "
                   "their lines: this row measures rates")


def lines_of(out):
    """{tag: [numbers]} of the driver lines, and the lines that are not
    whole (text of two drivers in one line, or a line cut)."""
    got, broken = {}, []
    for line in out.split(b"\n"):
        if b"san line" not in line:
            continue
        match = WHOLE.match(line)
        if match is None:
            broken.append(line)
            continue
        got.setdefault(match.group(1).decode(), []).append(int(match.group(2)))
    return got, broken


def check_driver(got, driver, made=None):
    """Every line the driver made is there once, in order; none dropped."""
    made = driver.made if made is None else made
    have = got.get(driver.tag.decode(), [])
    check(not driver.dropped, f"{driver.tag.decode()} dropped {len(driver.dropped)} of {made} "
                              f"lines: the service did not fetch them in time")
    check(have == list(range(made)), f"{driver.tag.decode()}: {len(have)} lines of {made}, "
                                     f"not each once in order")


def stop(logd):
    logd.signal(signal.SIGTERM)
    began = time.monotonic()
    status = logd.wait(10)
    took = time.monotonic() - began
    check(status == 0 and took < 1.0, f"stop: {logd.describe_status(status)} after {took:.2f} s")
    return took


def finish(logd, drivers):
    for d in drivers:
        d.stop()
    wait_until(lambda: all(d.drained() for d in drivers), 10, "every driver's buffer fetched")
    wait_until(lambda: all(lines_of(logd.out())[0].get(d.tag.decode(), [-1])[-1:] ==
                           [d.made - 1] for d in drivers if d.made), 10,
               "every driver's last line written")


def second_while_first_streams(args, rest):
    """B is published while A streams at 200 lines/s and makes 3,000 lines
    at once: all of them are out within a few seconds, A's text still
    coming."""
    skip_under_emulator()
    with World(args.logd, args.sim) as world:
        a = TaggedDriver(world, "A", 200)
        logd = world.start_logd()
        wait_until(lambda: a.last_served() > 100, 10, "A streaming")
        published = time.monotonic()
        b = TaggedDriver(world, "B", 1000)
        wait_until(lambda: b.made >= 3000, 10, "B's 3,000 lines made")
        made = b.stop()
        wait_until(lambda: lines_of(logd.out())[0].get("B", [-1])[-1] == made - 1, 15,
                   "all of B's lines")
        took = time.monotonic() - published
        a_then = a.last_served()
        wait_until(lambda: a.last_served() > a_then + 100, 5, "A still streaming")
        finish(logd, [a, b])
        got, broken = lines_of(logd.out())
        print(f"B's {made} lines out {took:.1f} s after it was published; A at line "
              f"{a.made}; {len(broken)} lines not whole")
        check(not broken, f"lines holding text of two drivers or cut: {broken[:3]}")
        check_driver(got, a)
        check_driver(got, b, made)
        stop(logd)
        a.close(unpublish=True)
        b.close(unpublish=True)


def unload_and_return(args, rest):
    """B unloads and comes back while A streams: B is served again, A loses
    nothing and never pauses long."""
    with World(args.logd, args.sim) as world:
        a = TaggedDriver(world, "A", 200)
        logd = world.start_logd()
        b = TaggedDriver(world, "B", 200)
        wait_until(lambda: b.last_served() > 100, 10, "B served")
        b.close(unpublish=True)
        time.sleep(1)
        back = TaggedDriver(world, "C", 200)  # the driver back, under a new instance
        wait_until(lambda: back.last_served() > 100, 10, "the driver served again")
        finish(logd, [a, back])
        got, broken = lines_of(logd.out())
        gaps = [t2 - t1 for (t1, _), (t2, _) in zip(a.served, a.served[1:])]
        print(f"the returning driver served again; A's longest pause {max(gaps):.2f} s; "
              f"{len(broken)} lines not whole")
        check(not broken, f"lines not whole: {broken[:3]}")
        check_driver(got, a)
        check_driver(got, back)
        check(max(gaps) < 1.0, f"A paused {max(gaps):.2f} s")
        stop(logd)
        a.close(unpublish=True)
        back.close(unpublish=True)


def stall_in_call(args, rest):
    """B stops answering in the middle of a call for 3 s: A keeps logging
    all the while, and B is served again once it answers."""
    with World(args.logd, args.sim) as world:
        gate = threading.Event()
        gate.set()
        b = TaggedDriver(world, "B", 100)
        b.gate = gate
        a = TaggedDriver(world, "A", 200)
        logd = world.start_logd()
        wait_until(lambda: a.last_served() > 50 and b.last_served() > 50, 10, "both served")
        gate.clear()
        time.sleep(0.2)
        during = a.last_served()
        time.sleep(3)
        moved = a.last_served() - during
        gate.set()
        finish(logd, [a, b])
        got, _ = lines_of(logd.out())
        print(f"A fetched {moved} lines while B hung in a call for 3 s")
        check(moved > 300, f"A fetched only {moved} lines while B hung")
        check_driver(got, a)
        stop(logd)
        a.close(unpublish=True)
        b.close(unpublish=True)


def stop_with_several(args, rest):
    """SIGTERM with three drivers connected, one of them hanging in a call:
    the service ends within a second, status 0."""
    with World(args.logd, args.sim) as world:
        gate = threading.Event()
        gate.set()
        drivers = [TaggedDriver(world, name, 200) for name in ("A", "B", "C")]
        drivers[2].gate = gate
        logd = world.start_logd()
        wait_until(lambda: all(d.last_served() > 50 for d in drivers), 10, "all three served")
        gate.clear()
        time.sleep(0.5)
        took = stop(logd)
        print(f"stopped in {took:.2f} s with three drivers, one hanging in a call")
        gate.set()
        for d in drivers:
            d.close(unpublish=True)


def eight_at_once(args, rest):
    """Eight drivers at 200 lines/s each for 5 s: all served, nothing lost."""
    skip_under_emulator()
    with World(args.logd, args.sim) as world:
        logd = world.start_logd()
        drivers = [TaggedDriver(world, f"D{i}", 200) for i in range(8)]
        time.sleep(5)
        with open(f"/proc/{logd.proc.pid}/status") as f:
            rss = next(line.split()[1] for line in f if line.startswith("VmRSS"))
        finish(logd, drivers)
        got, broken = lines_of(logd.out())
        print(f"8 drivers, {sum(d.made for d in drivers)} lines, "
              f"{sum(len(d.dropped) for d in drivers)} dropped, {len(broken)} not whole; "
              f"resident memory {rss} KiB")
        check(not broken, f"lines not whole: {broken[:3]}")
        for d in drivers:
            check_driver(got, d)
        stop(logd)
        for d in drivers:
            d.close(unpublish=True)


ROWS = {
    "second-while-first-streams": second_while_first_streams,
    "unload-and-return": unload_and_return,
    "stall-in-call": stall_in_call,
    "stop-with-several": stop_with_several,
    "eight-at-once": eight_at_once,
}

if __name__ == "__main__":
    run_scenarios(ROWS)
