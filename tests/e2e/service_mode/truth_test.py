#!/usr/bin/env python3
"""What the service says gets through and is true, and its lock holds: one
row per trouble an operator's bad day brings, each in the private namespace
of service_mode_test.py (here with a network namespace of its own too, whose
datagram queues are as long as systemd makes them). Each row prints what it
measured."""

import os
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from trelvox_e2e import (CONNECTED, TARGET_RUN, ScriptedDriver, Skip, check,  # noqa: E402
                         event_reply, run_scenarios, wait_until)
from trelvox_namespace import enter_namespace  # noqa: E402
from service_mode_test import (LOG, NotifyReceiver, read, service_world, size,  # noqa: E402
                               stop_within_a_second)

LOCK_DIR = "/run/trelvoxlogd"
# systemd's length of a datagram socket's queue (net.unix.max_dgram_qlen).
SYSTEMD_QUEUE = 512


def skip_under_emulator():
    if TARGET_RUN:
        raise Skip("under the emulator the service runs many times slower: this row counts "
                   "messages a second")


def truth_world(body):
    """service_world in a network namespace of its own as well, with the
    queue length systemd sets."""
    inner = service_world(body)

    def scenario(args, rest):
        enter_namespace("the truth rows", ("mount", "net"))
        with open("/proc/sys/net/unix/max_dgram_qlen", "w") as f:
            f.write(str(SYSTEMD_QUEUE))
        inner(args, rest)
    return scenario


@truth_world
def stuck_system_log(world, syslog):
    """A system log that stops reading while hundreds of hang-ups each ask
    for a message: the watchdog's pings go on, the reload ends with READY=1,
    the stop says STOPPING=1."""
    skip_under_emulator()
    receiver = NotifyReceiver()
    world.env.update(NOTIFY_SOCKET=receiver.path, WATCHDOG_USEC="1000000")
    try:
        world.start_sim("--rate", "2000", "--gap-every", "0")
        logd = world.start_logd("-s")
        wait_until(lambda: size(LOG) > 10000, 10, "text in the log file")
        syslog.reading.clear()  # deaf from now on; its queue fills
        for _ in range(1500):
            logd.signal(signal.SIGHUP)
            time.sleep(0.002)
        time.sleep(0.5)
        mark = time.monotonic()
        time.sleep(3)
        pings = receiver.pings(mark)
        lines = receiver.lines()
        reloads = lines.count("RELOADING=1")
        ended = len(lines) - 1 - lines[::-1].index("RELOADING=1") if reloads else -1
        ready_after = "READY=1" in lines[ended + 1:]
        stop_within_a_second(logd)
        time.sleep(0.2)
        stopping = "STOPPING=1" in receiver.lines()
        syslog.reading.set()
        time.sleep(0.5)
        queued = len(syslog.messages())
        print(f"{queued} system-log messages left unread; {pings} pings in the last 3 s; "
              f"{reloads} reloads, READY=1 after the last: {ready_after}; "
              f"STOPPING=1: {stopping}")
        check(queued >= 200, f"only {queued} system-log messages queued: no stuck system log")
        check(pings >= 2, f"{pings} watchdog pings in 3 s (every 0.5 s wanted)")
        check(ready_after, f"no READY=1 after the last RELOADING=1: {lines[-4:]}")
        check(stopping, "no STOPPING=1")
    finally:
        receiver.close()


def copies_after_lock_removed(world, remove):
    """A copy logging, its lock removed by `remove`, then a second copy
    started: how many run 3 s later, and whose number the lock holds."""
    world.start_sim("--rate", "200", "--gap-every", "0")
    first = world.start_logd("-s")
    wait_until(lambda: size(LOG) > 1000, 10, "text in the log file")
    remove()
    second = world.start_logd("-s")
    time.sleep(3)
    running = [p for p in (first, second) if p.running()]
    lock = os.path.join(LOCK_DIR, "trelvoxlogd.pid")
    holder = open(lock).read().strip() if os.path.exists(lock) else "no lock file"
    for p in running:
        p.signal(signal.SIGTERM)
        p.wait()
    return running, first, second, holder


@truth_world
def lock_removed(world, syslog):
    """The lock file, then its directory, deleted under a running copy (as
    systemd removes the runtime directory of a copy it started that was
    refused): a second copy never runs beside the first."""
    for what, remove in (("the lock file", lambda: os.unlink(LOCK_DIR + "/trelvoxlogd.pid")),
                         ("its directory", lambda: os.system(f"rm -rf {LOCK_DIR}"))):
        running, first, second, holder = copies_after_lock_removed(world, remove)
        print(f"{what} deleted: {len(running)} copies running; the lock names {holder}")
        check(len(running) == 1, f"{what} deleted: {len(running)} copies running")
        check(running[0] is first and holder == str(first.proc.pid),
              f"{what} deleted: the first copy ({first.proc.pid}) stopped, or the lock names {holder}; "
              f"{second.err()!r}")
        check(second.proc.returncode == 1, f"the second copy: {second.proc.returncode}")
        os.unlink(LOG)


@truth_world
def event_call_fails(world, syslog):
    """A driver whose event call fails with its own result while its open and
    close succeed: tried 1 s, 2 s, 4 s, 8 s apart, not every second, and
    reported once as the driver's own error, with its text."""
    world.start_sim("--fail-method", "6")
    logd = world.start_logd("-s")
    time.sleep(16)
    tries = read(LOG).count(CONNECTED)
    lines = read(LOG).count(b"\n")
    stop_within_a_second(logd)
    failed = [m for _, _, m in syslog.messages() if m.startswith("Driver ")]
    print(f"{tries} tries and {lines * 60 // 16} log lines per minute; system log: {failed}")
    check(tries <= 6, f"{tries} tries in 16 s; a back-off to 8 s allows 5")
    want = ("Driver TrelvoxController.sim1 failed (the driver's own error 0xE00002BC: general "
            "error); it is tried again while it is published")
    check(failed == [want], f"system log: {failed}")


class ClosingDriver(ScriptedDriver):
    """A driver that closes each of its first `closes` connections at once,
    then serves a line."""

    def __init__(self, world, name, closes):
        self.closes = closes
        self.accepted = 0
        super().__init__(world, name, [event_reply(b"{5E6A1B2C}served at last\n")])

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            with conn:
                self.accepted += 1
                if self.accepted > self.closes:
                    self._answer(conn)


def refusing_socket(world, name):
    """A published driver socket that nobody listens on: it refuses."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    hidden = os.path.join(world.driver_dir, "." + name)
    sock.bind(hidden)
    os.rename(hidden, os.path.join(world.driver_dir, "TrelvoxController." + name))
    return sock


@truth_world
def refused_or_closed(world, syslog):
    """A published driver that refuses each connection, then one that closes
    each: each reported once with its reason, and once when it is served."""
    refuser = refusing_socket(world, "refuser")
    logd = world.start_logd("-s")
    time.sleep(6)
    # The same published socket starts to answer: the same driver, mended.
    served = ScriptedDriver(world, "refuser", [event_reply(b"{5E6A1B2C}refuser served\n")],
                            adopt=refuser)
    wait_until(lambda: b"refuser served" in read(LOG), 10, "the refuser served")
    served.close(unpublish=True)  # the service serves one driver at a time
    closer = ClosingDriver(world, "closer", 3)
    wait_until(lambda: b"served at last" in read(LOG), 15, "the closer served")
    time.sleep(0.5)
    stop_within_a_second(logd)
    closer.close(unpublish=True)
    got = [m for _, _, m in syslog.messages() if m.startswith("Driver ")]
    print(f"the closer was tried {closer.accepted} times; system log: {got}")
    tail = "; it is tried again while it is published"
    want = [f"Driver TrelvoxController.refuser failed (the driver refuses connections){tail}",
            "Driver TrelvoxController.refuser is served again",
            f"Driver TrelvoxController.closer failed (the driver closed the connection){tail}",
            "Driver TrelvoxController.closer is served again"]
    check(got == want, f"system log: {got}")



def notified(world, usec=None):
    receiver = NotifyReceiver()
    world.env.update(NOTIFY_SOCKET=receiver.path)
    if usec is not None:
        world.env.update(WATCHDOG_USEC=str(usec))
    return receiver


@truth_world
def forged_name(world, syslog):
    """A driver named with line feeds, assignments of its own, an escape
    sequence and a byte that is no UTF-8: it is served and then fails, and
    its name is printed escaped everywhere; no datagram carries an
    assignment the service did not mean, and every one is UTF-8."""
    receiver = notified(world)
    name = "x\nWATCHDOG=trigger\nMAINPID=1\x1b[31m\udcff"
    driver = ScriptedDriver(world, name, [event_reply(b"{5E6A1B2C}forged\n")])
    logd = world.start_logd("-s")
    wait_until(lambda: os.path.exists(LOG) and b"forged" in read(LOG), 10, "the driver served")
    driver.close()  # still published, it refuses from now on
    escaped = "TrelvoxController.x\\nWATCHDOG=trigger\\nMAINPID=1\\x1b[31m\\xff"
    wait_until(lambda: any(escaped in text for _, _, text in syslog.messages()), 10,
               f"the escaped name in the system log: {syslog.messages()}")
    stop_within_a_second(logd)
    forged = [line for line in receiver.lines() if line == "WATCHDOG=trigger"
              or line.startswith("MAINPID=")]
    raw = [text for _, _, text in syslog.messages() if "\n" in text or "\x1b" in text]
    named = [status for status in receiver.statuses() if escaped in status]
    print(f"{len(receiver.received)} datagrams, {receiver.invalid} not UTF-8, {len(forged)} forged "
          f"assignments, {len(named)} statuses with the escaped name, {len(raw)} raw lines in "
          f"the system log")
    check(not forged and receiver.invalid == 0 and not raw and named,
          f"forged {forged}, invalid {receiver.invalid}, raw {raw}, statuses "
          f"{receiver.statuses()}")


@truth_world
def reason_and_reload(world, syslog):
    """The log path a directory: the warning says why; a hang-up is a
    reload whether the log file is open, closed by a trouble or closed
    between drivers."""
    receiver = notified(world)
    os.makedirs(LOG)  # a directory where the file belongs
    world.start_sim("--rate", "20", "--exit-after", "2")
    logd = world.start_logd("-s")
    wait_until(lambda: any(text.startswith("Failed to open log file") for _, _, text in
                           syslog.messages()), 10, "the warning")
    os.rmdir(LOG)
    time.sleep(2.5)  # the driver gone: the log closed between drivers
    before = receiver.lines().count("RELOADING=1")
    logd.signal(signal.SIGHUP)
    wait_until(lambda: receiver.lines().count("RELOADING=1") > before, 3,
               "RELOADING=1 for a hang-up while waiting for a driver")
    wait_until(lambda: receiver.lines()[-1] == "READY=1" or "READY=1" in receiver.lines()[-2:],
               3, "READY=1 after it")
    stop_within_a_second(logd)
    said = [text for _, _, text in syslog.messages() if text.startswith("Failed to open")]
    print(f"said {said}; reloads announced {receiver.lines().count('RELOADING=1')}")
    check(said == ["Failed to open log file (Is a directory)"], f"said {said}")


@truth_world
def short_watchdog(world, syslog):
    """A watchdog of 2 ms (systemd allows it): it is served, not off."""
    skip_under_emulator()
    receiver = notified(world, usec=2000)
    logd = world.start_logd("-s")
    time.sleep(0.5)
    mark = time.monotonic()
    time.sleep(1)
    pings = receiver.pings(mark)
    stop_within_a_second(logd)
    print(f"{pings} pings in the second after start with WATCHDOG_USEC=2000")
    check(pings >= 100, f"{pings} pings in a second")


@truth_world
def troubles_end(world, syslog):
    """A long-named driver that fails: its trouble is on the status line
    whole; once it unloads the trouble is gone; another driver served later
    is no recovery of the first."""
    receiver = notified(world)
    long = "a" * 50
    refuser = refusing_socket(world, long)
    logd = world.start_logd("-s")
    trouble = (f"; driver TrelvoxController.{long} failed (the driver refuses connections), "
               "tried again while it is published")
    wait_until(lambda: any(trouble in s for s in receiver.statuses()), 10,
               f"the whole trouble on the status line: {receiver.statuses()}")
    refuser.close()
    os.unlink(os.path.join(world.driver_dir, "TrelvoxController." + long))
    wait_until(lambda: long not in receiver.statuses()[-1], 5,
               f"the trouble gone with the driver: {receiver.statuses()[-1:]}")
    other = ScriptedDriver(world, "other", [event_reply(b"{5E6A1B2C}other\n")])
    wait_until(lambda: b"other" in read(LOG), 10, "the other driver served")
    stop_within_a_second(logd)
    other.close(unpublish=True)
    recovered = [t for _, _, t in syslog.messages() if t.endswith("is served again")]
    print(f"trouble whole on the status line, gone with its driver; recoveries said: {recovered}")
    check(not recovered, f"a recovery was said: {recovered}")


ROWS = {
    "forged-name": forged_name,
    "reason-and-reload": reason_and_reload,
    "short-watchdog": short_watchdog,
    "troubles-end": troubles_end,
    "stuck-system-log": stuck_system_log,
    "lock-removed": lock_removed,
    "event-call-fails": event_call_fails,
    "refused-or-closed": refused_or_closed,
}

if __name__ == "__main__":
    run_scenarios(ROWS)
