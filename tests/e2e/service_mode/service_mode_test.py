#!/usr/bin/env python3
"""trelvoxlogd in service mode (-s) against trelvoxsim, in a private mount
namespace: a fresh /var/quenlab on a tmpfs, and a /dev of its own in which
this script binds the system-log socket /dev/log and reads the datagrams as a
syslog daemon would. Nothing on the machine is touched; when the namespace
cannot be made, the scenario is skipped and says why."""

import os
import re
import signal
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from trelvox_e2e import (CONNECTED, UNLOADED, WAITING, Failure, World, check,  # noqa: E402
                         check_bytes, check_clean_end, expand_text, run_scenarios, text_entry,
                         wait_until, write_replay)
from trelvox_namespace import enter_namespace, make_namespace_world, run  # noqa: E402

LOG_DIR = "/var/quenlab/log"
LOG = LOG_DIR + "/Trelvox.log"
LIMIT = 52428800  # 50 MiB

# Priorities with facility LOG_DAEMON (3 << 3).
INFO = 24 + 6
WARNING = 24 + 4


def numbered(n):
    return f"{LOG_DIR}/Trelvox.{n:02d}.log"


def read(path):
    with open(path, "rb") as f:
        return f.read()


class SysLogReceiver:
    """A datagram socket at /dev/log, read by a thread: what a syslog daemon
    would receive."""

    PATTERN = re.compile(rb"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^:\[]+): (.*)$", re.S)

    def __init__(self, path="/dev/log"):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.1)
        self.datagrams = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.datagrams.append(data)

    def messages(self):
        """(priority, identity, text) of every datagram; Failure on one that
        is not in the system log's format."""
        with self.lock:
            datagrams = list(self.datagrams)
        out = []
        for data in datagrams:
            match = self.PATTERN.match(data)
            check(match is not None, f"not a system-log message: {data!r}")
            out.append((int(match.group(1)), match.group(3).decode(), match.group(4).decode()))
        return out

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


def service_world(body):
    """Runs body(world, syslog) in the namespace with the receiver bound."""
    def scenario(args, rest):
        enter_namespace("service mode")
        stage = tempfile.mkdtemp(prefix="trelvox-stage-")
        try:
            make_namespace_world(stage)
        finally:
            os.rmdir(stage)  # an empty directory by now; never a mount
        syslog = SysLogReceiver()
        try:
            with World(args.logd, args.sim) as world:
                body(world, syslog)
        finally:
            syslog.close()
    return scenario


def check_syslog(syslog, want, what):
    """The receiver has exactly these messages. Datagrams are read by a
    thread: wait for the count, then a little more for any surplus."""
    try:
        wait_until(lambda: len(syslog.messages()) >= len(want), 3, "system-log messages")
    except Failure:
        pass  # reported below with what did arrive
    time.sleep(0.1)
    got = syslog.messages()
    check(got == want, f"system log {what}: got {got}, want {want}")


def started():
    return [(INFO, "trelvoxlogd", "Service is starting")]


def stopped():
    return [(INFO, "trelvoxlogd", "Service is stopping")]


def warned():
    return [(WARNING, "trelvoxlogd", "Failed to open log file")]


TEXT = (b"{5E6A1B2C}link up on port 0\n"
        b"{65A1F3C0}port login, stray { brace\n"
        b"{1234} short token\n")


@service_world
def start_stop(world, syslog):
    """Start and stop in the system log, the text in the log file, only the
    leading blank lines on standard output; SIGTERM while pumping."""
    replay = world.path("text.replay")
    write_replay(replay, [text_entry(TEXT)])
    world.start_sim("--replay", replay)
    check(not os.path.exists(LOG_DIR), "a fresh /var/quenlab")
    logd = world.start_logd("-s")
    want = CONNECTED + expand_text(TEXT)
    wait_until(lambda: os.path.exists(LOG) and read(LOG) == want, 10, "the text in the log file")
    check_syslog(syslog, started(), "while running")
    logd.signal(signal.SIGTERM)
    check_clean_end(logd, logd.wait(), 0)
    check_bytes(logd.out(), b"\n\n", "standard output")
    check_bytes(read(LOG), want, "the log file")
    check_syslog(syslog, started() + stopped(), "after the stop")


@service_world
def stop_while_waiting(world, syslog):
    """No driver: the waiting message goes into the log file; SIGQUIT stops
    the service with status 0 and "Service is stopping"."""
    logd = world.start_logd("-s")
    wait_until(lambda: os.path.exists(LOG) and read(LOG) == WAITING, 10,
               "the waiting message in the log file")
    logd.signal(signal.SIGQUIT)
    check_clean_end(logd, logd.wait(), 0)
    check_bytes(logd.out(), b"\n\n", "standard output")
    check_syslog(syslog, started() + stopped(), "")


@service_world
def abort(world, syslog):
    """SIGABRT: status 1 and no "Service is stopping"."""
    logd = world.start_logd("-s")
    wait_until(lambda: os.path.exists(LOG) and read(LOG) == WAITING, 10, "the waiting message")
    logd.signal(signal.SIGABRT)
    status = logd.wait()
    check(status == 1, f"{logd.describe_status(status)}")
    time.sleep(0.2)
    check_syslog(syslog, started(), "after SIGABRT")


@service_world
def rotation(world, syslog):
    """The log file reaches exactly 52,428,800 bytes with its last byte and
    is rotated then, not one byte earlier: Trelvox.log becomes Trelvox.01.log
    at exactly that size, 01 to 03 move up, the fifth file (04) and stale
    higher numbers are deleted, and the text goes on in a new Trelvox.log."""
    os.mkdir(LOG_DIR, 0o750)
    old = {1: b"one\n", 2: b"two\n", 3: b"three\n", 4: b"four\n", 7: b"stale seven\n",
           12: b"stale twelve\n"}
    for n, content in old.items():
        with open(numbered(n), "wb") as f:
            f.write(content)

    line = b"x" * 999 + b"\n"
    text = LIMIT - len(CONNECTED)
    count, tail = divmod(text - 1, len(line))
    last = b"y" * (tail - 1) + b"\n"
    after = b"after the rotation\n"
    replay = world.path("fill.replay")
    write_replay(replay, [text_entry(line, repeat=count), text_entry(last), text_entry(b"z"),
                          text_entry(after)])
    world.start_sim("--replay", replay)
    logd = world.start_logd("-s")
    wait_until(lambda: os.path.exists(LOG) and os.path.getsize(LOG) == len(after)
               and os.path.exists(numbered(1)) and os.path.getsize(numbered(1)) == LIMIT, 100,
               "the rotation and the text after it")
    logd.signal(signal.SIGTERM)
    check_clean_end(logd, logd.wait(), 0)
    check_bytes(logd.out(), b"\n\n", "standard output")

    check_bytes(read(LOG), after, "the new Trelvox.log")
    rotated = read(numbered(1))
    check(len(rotated) == LIMIT, f"Trelvox.01.log has {len(rotated)} bytes, want {LIMIT}")
    check_bytes(rotated, CONNECTED + line * count + last + b"z", "Trelvox.01.log")
    for n, content in ((2, old[1]), (3, old[2]), (4, old[3])):
        check_bytes(read(numbered(n)), content, f"Trelvox.{n:02d}.log")
    left = sorted(os.listdir(LOG_DIR))
    want = ["Trelvox.01.log", "Trelvox.02.log", "Trelvox.03.log", "Trelvox.04.log", "Trelvox.log"]
    check(left == want, f"files left: {left}, want {want} (the fifth and stale ones deleted)")
    check_syslog(syslog, started() + stopped(), "")


def drive_once(world, logd, tag, want_out):
    """Publishes a driver that sends one text and goes; waits until the
    service's standard output is want_out plus what that makes. Returns the
    text the service makes of it (connection, text, departure)."""
    text = b"{5E6A1B2C}" + tag + b" event\n"
    replay = world.path(tag.decode() + ".replay")
    write_replay(replay, [text_entry(text)])
    sim = world.start_sim("--replay", replay, "--exit-when-done")
    made = CONNECTED + expand_text(text) + UNLOADED
    check_clean_end(sim, sim.wait(), 0)
    if want_out is not None:
        want = want_out + made
        wait_until(lambda: len(logd.out()) >= len(want), 10, f"the {tag} text")
        check_bytes(logd.out(), want, f"standard output after {tag}")
    return made


@service_world
def unwritable(world, syslog):
    """A read-only /var/quenlab: one warning per failure streak, the text on
    standard output; once the directory can be written the text goes to the
    log file and the next failure is reported again."""
    run("mount", "-t", "tmpfs", "-o", "ro,mode=755", "tmpfs", "/var/quenlab")
    logd = world.start_logd("-s")
    out = b"\n\n" + WAITING
    wait_until(lambda: logd.out() == out, 10, "the waiting message on standard output")
    check_syslog(syslog, started() + warned(), "after the first failure")

    out += drive_once(world, logd, b"first", out)
    check_syslog(syslog, started() + warned(), "within one failure streak")

    run("mount", "-o", "remount,rw", "/var/quenlab")
    in_file = drive_once(world, logd, b"second", None)
    wait_until(lambda: os.path.exists(LOG) and read(LOG) == in_file, 10,
               "the second text in the log file")
    check_bytes(logd.out(), out, "standard output while the log file works")

    run("mount", "-o", "remount,ro", "/var/quenlab")
    out += drive_once(world, logd, b"third", out)
    check_syslog(syslog, started() + warned() + warned(), "after a new failure streak")

    logd.signal(signal.SIGTERM)
    check_clean_end(logd, logd.wait(), 0)
    check_syslog(syslog, started() + warned() + warned() + stopped(), "at the end")


@service_world
def file_in_the_way(world, syslog):
    """/var/quenlab is a file, not a directory: the log cannot be opened,
    the text goes to standard output, one warning."""
    os.rmdir("/var/quenlab")
    with open("/var/quenlab", "wb") as f:
        f.write(b"not a directory\n")
    logd = world.start_logd("-s")
    out = b"\n\n" + WAITING
    wait_until(lambda: logd.out() == out, 10, "the waiting message on standard output")
    out += drive_once(world, logd, b"only", out)
    logd.signal(signal.SIGINT)
    check_clean_end(logd, logd.wait(), 0)
    check_syslog(syslog, started() + warned() + stopped(), "")


SCENARIOS = {
    "start-stop": start_stop,
    "stop-while-waiting": stop_while_waiting,
    "abort": abort,
    "rotation": rotation,
    "unwritable": unwritable,
    "file-in-the-way": file_in_the_way,
}

if __name__ == "__main__":
    run_scenarios(SCENARIOS)
