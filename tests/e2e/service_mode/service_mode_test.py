#!/usr/bin/env python3
"""trelvoxlogd in service mode (-s) against trelvoxsim, in a private mount
namespace: a fresh /var/quenlab on a tmpfs, and a /dev of its own in which
this script binds the system-log socket /dev/log and reads the datagrams as a
syslog daemon would. Nothing on the machine is touched; when the namespace
cannot be made, the scenario is skipped and says why.

With --unit UNIT --unit-exec PROGRAM the service runs as that systemd unit
runs it (unit_sandbox.py): from its ExecStart=, confined by the unit's
restrictions, on the driver directory /run/trelvox, its system log reaching
the receiver through the journal's socket as /dev/log does under systemd."""

import argparse
import grp
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from trelvox_e2e import (CLOSE_FAILED, CONNECTED, ESTABLISHING, UNLOADED,  # noqa: E402
                         ScriptedDriver, event_reply,
                         WAITING, Failure, Skip, World, check, check_bytes, check_clean_end,
                         expand_record, expand_text, first_difference, read_record, run_scenarios,
                         text_entry, wait_until, write_replay)
from trelvox_namespace import enter_namespace, make_namespace_world, run  # noqa: E402
from unit_sandbox import JOURNAL_SOCKET, Sandbox, SandboxError  # noqa: E402

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
    would receive. pause() stops the reading, as a daemon that is stuck."""

    PATTERN = re.compile(rb"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^:\[]+): (.*)$", re.S)

    def __init__(self, path="/dev/log"):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.1)
        self.datagrams = []
        self.lock = threading.Lock()
        self.running = True
        self.reading = threading.Event()
        self.reading.set()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def pause(self):
        """Stops reading and fills the queue, so that the next message is
        refused; returns how many messages filled it."""
        self.reading.clear()
        time.sleep(0.2)  # a read in progress ends
        sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        count = 0
        try:
            while True:
                sender.sendto(b"<14>Jan  1 00:00:00 filler: queued", socket.MSG_DONTWAIT, self.path)
                count += 1
        except BlockingIOError:
            return count
        finally:
            sender.close()

    def resume(self):
        self.reading.set()

    def _run(self):
        while self.running:
            if not self.reading.wait(0.1):
                continue
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
            if match.group(3) != b"filler":
                out.append((int(match.group(1)), match.group(3).decode(),
                            match.group(4).decode()))
        return out

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class NotifyReceiver:
    """A datagram socket where systemd's notification socket would be, read
    by a thread: each message with the time it came."""

    def __init__(self, path="/run/systemd/notify"):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.1)
        self.received = []
        self.invalid = 0
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            try:
                text = data.decode()
            except UnicodeDecodeError:
                self.invalid += 1  # systemd ignores such a datagram
                text = data.decode(errors="replace")
            self.received.append((time.monotonic(), text))

    def lines(self):
        """Every NAME=value line, in order."""
        return [line for _, text in list(self.received) for line in text.split("\n")]

    def statuses(self):
        return [line[7:] for line in self.lines() if line.startswith("STATUS=")]

    def pings(self, since):
        return sum(text.split("\n").count("WATCHDOG=1") for at, text in list(self.received)
                   if at >= since)

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class UnitWorld(World):
    """The service started as the unit starts it; each start is checked to
    have reached the service with the unit's restrictions in force."""

    def __init__(self, logd, sim, sandbox):
        logd = reachable(logd)
        sandbox.unit_exec = reachable(sandbox.unit_exec)
        super().__init__(logd, sim, driver_dir="/run/trelvox", launcher=sandbox.command)
        self.sandbox = sandbox
        self.umask = sandbox.umask

    def start_logd(self, *args, stdout=None):
        process = super().start_logd(*args, stdout=stdout)
        problems = self.sandbox.confinement_problems(process.proc.pid, self.logd_path)
        check(not problems, "the service is not confined as the unit says:\n" + "\n".join(problems)
              + f"\nits standard error: {process.err()!r}")
        return process


# What PrivateTmp= and ProtectHome= hide from the service.
HIDDEN = ("/tmp/", "/var/tmp/", "/home/", "/root/", "/run/user/")


def reachable(program):
    """The program where the unit's private directories do not hide it: a
    build tree under /tmp or a home is copied to /run/unit-programs (the
    programs link no library of the build tree)."""
    path = os.path.abspath(program)
    if not path.startswith(HIDDEN):
        return program
    os.makedirs("/run/unit-programs", 0o755, exist_ok=True)
    copy = os.path.join("/run/unit-programs", os.path.basename(path))
    shutil.copy2(path, copy)
    return copy


def make_unit_world():
    """/run as systemd leaves it for the service: the driver directory, and
    the journal's socket, at which the receiver is bound."""
    run("mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run")
    os.mkdir("/run/trelvox", 0o755)
    os.makedirs(os.path.dirname(JOURNAL_SOCKET))
    return SysLogReceiver(JOURNAL_SOCKET)


def service_world(body):
    """Runs body(world, syslog) in the namespace with the receiver bound."""
    def scenario(args, rest):
        parser = argparse.ArgumentParser()
        parser.add_argument("--unit")
        parser.add_argument("--unit-exec")
        options = parser.parse_args(rest)
        sandbox = None
        if options.unit:
            try:
                sandbox = Sandbox(options.unit, options.unit_exec)
            except SandboxError as error:
                raise Skip(f"the unit's restrictions cannot be applied here: {error}")
        enter_namespace("service mode")
        if sandbox:
            print(f"unit settings not applied, only analysed: {', '.join(sandbox.not_applied)}")
        stage = tempfile.mkdtemp(prefix="trelvox-stage-")
        try:
            make_namespace_world(stage)
        finally:
            os.rmdir(stage)  # an empty directory by now; never a mount
        syslog = make_unit_world() if sandbox else SysLogReceiver()
        try:
            with UnitWorld(args.logd, args.sim, sandbox) if sandbox else World(args.logd, args.sim) \
                    as world:
                body(world, syslog)
        finally:
            syslog.close()
    return scenario


def service_umask(world):
    """The file-creation mask the service runs with."""
    if hasattr(world, "umask"):
        return world.umask
    mask = os.umask(0)
    os.umask(mask)
    return mask


def check_mode(path, mode, what):
    have = os.stat(path).st_mode & 0o7777
    check(have == mode, f"{what} {path} has mode {have:04o}, want {mode:04o}")


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


def warned(reason="Read-only file system"):
    return [(WARNING, "trelvoxlogd", f"Failed to open log file ({reason})")]


def reopened():
    return [(INFO, "trelvoxlogd", "Log file reopened")]


def size(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


def stop_within_a_second(logd, status=0, quiet=True):
    """SIGTERM, and the service must be gone within a second (quiet: with
    nothing on standard error); returns the seconds it took."""
    logd.signal(signal.SIGTERM)
    began = time.monotonic()
    got = logd.wait()
    took = time.monotonic() - began
    check(got == status, f"{logd.describe_status(got)}, want {status}; {logd.err()!r}")
    check(took < 1.0, f"the stop took {took:.2f} s")
    check(not quiet or logd.err() == b"", f"standard error: {logd.err()!r}")
    return took


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
    # The directory the service made is its own alone, so that it can write
    # there without any capability; the file has the service's umask.
    mask = service_umask(world)
    check_mode(LOG_DIR, 0o700 & ~mask, "the directory the service made,")
    check_mode(LOG, 0o644 & ~mask, "the log file")


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
    """The log file reaches exactly 52,428,800 bytes with a line end in the
    middle of a reply and is rotated there, not one byte earlier or later:
    Trelvox.log becomes Trelvox.01.log at exactly that size, 01 to 03 move up, the fifth file (04) and stale
    higher numbers are deleted, and the text goes on in a new Trelvox.log.
    The directory is made as the package makes it, setgid group adm: the
    files the service makes belong to adm, and the service's umask decides
    who may read them."""
    adm = grp.getgrnam("adm").gr_gid
    os.mkdir(LOG_DIR)
    os.chown(LOG_DIR, 0, adm)
    os.chmod(LOG_DIR, 0o2750)
    old = {1: b"one\n", 2: b"two\n", 3: b"three\n", 4: b"four\n", 7: b"stale seven\n",
           12: b"stale twelve\n"}
    for n, content in old.items():
        with open(numbered(n), "wb") as f:
            f.write(content)

    line = b"x" * 999 + b"\n"
    text = LIMIT - len(CONNECTED)
    count, tail = divmod(text - 1, len(line))
    last = b"y" * tail  # one byte short of the limit, inside a line
    after = b"after the rotation\n"
    replay = world.path("fill.replay")
    write_replay(replay, [text_entry(line, repeat=count), text_entry(last),
                          text_entry(b"\n" + after)])
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
    check_bytes(rotated, CONNECTED + line * count + last + b"\n", "Trelvox.01.log")
    for n, content in ((2, old[1]), (3, old[2]), (4, old[3])):
        check_bytes(read(numbered(n)), content, f"Trelvox.{n:02d}.log")
    left = sorted(os.listdir(LOG_DIR))
    want = ["Trelvox.01.log", "Trelvox.02.log", "Trelvox.03.log", "Trelvox.04.log", "Trelvox.log"]
    check(left == want, f"files left: {left}, want {want} (the fifth and stale ones deleted)")
    for path in (LOG, numbered(1)):
        check(os.stat(path).st_gid == adm, f"{path} does not belong to group adm")
        check_mode(path, 0o644 & ~service_umask(world), "the log file")
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
def reconnect(world, syslog):
    """The driver leaves and comes back, twice: each instance is served in
    its turn, its text goes into the log file, and the service waits for the
    driver in between."""
    logd = world.start_logd("-s")
    wait_until(lambda: os.path.exists(LOG) and read(LOG) == WAITING, 10, "the waiting message")
    want = WAITING
    for tag in (b"first", b"second"):
        want += drive_once(world, logd, tag, None)
        wait_until(lambda: read(LOG) == want, 10, f"the {tag.decode()} driver's text in the log file")
    logd.signal(signal.SIGTERM)
    check_clean_end(logd, logd.wait(), 0)
    check_bytes(read(LOG), want, "the log file")
    check_bytes(logd.out(), b"\n\n", "standard output")
    check_syslog(syslog, started() + stopped(), "")


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
    streaks = started() + warned() + reopened() + warned()
    check_syslog(syslog, streaks, "after a new failure streak")

    logd.signal(signal.SIGTERM)
    check_clean_end(logd, logd.wait(), 0)
    check_syslog(syslog, streaks + stopped(), "at the end")


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
    check_syslog(syslog, started() + warned("Not a directory") + stopped(), "")


@service_world
def stop_while_driver_hangs(world, syslog):
    """A driver that never answers a call (the connection, method 0, method
    6 after some text, or method 1 at the close): a stop still ends the
    service within a second, with "Service is stopping", and the text
    already received is in the log file."""
    text = b"{5E6A1B2C}received before the hang\n"
    replay = world.path("before.replay")
    write_replay(replay, [text_entry(text)])
    connected = CONNECTED + expand_text(text)
    cases = (
        ("open", (), ESTABLISHING, b"Failed to establish a driver connection\n"),
        ("0", (), ESTABLISHING, b"Failed to open user client\n"),
        ("6", ("--fail-after", "2"), connected, CLOSE_FAILED),
        ("1", (), connected, CLOSE_FAILED),
    )
    for method, more, before, after in cases:
        if os.path.exists(LOG):
            os.unlink(LOG)
        count = len(syslog.messages())
        sim = world.start_sim("--replay", replay, "--fail-method", method, "--fail-code", "hang",
                              *more)
        logd = world.start_logd("-s")
        # A pump holds a line until its end: a hang inside the first line
        # shows nothing yet.
        if before.endswith(b"\n"):
            wait_until(lambda: os.path.exists(LOG) and read(LOG) == before, 10,
                       f"method {method}: the text before the hang")
        else:
            time.sleep(1.0)
        time.sleep(0.3)  # inside the call that does not return
        stop_within_a_second(logd)
        check_bytes(read(LOG), before + after, f"method {method}: the log file")
        check_syslog(syslog, syslog.messages()[:count] + started() + stopped(), f"method {method}")
        sim.signal(signal.SIGTERM)
        sim.wait()


@service_world
def stdout_gone(world, syslog):
    """Standard output is a pipe whose reader has gone (a journal that
    restarted): the service goes on, says so once in the system log, and the
    log file receives every byte; at the stop it counts what standard output
    did not take (the two blank lines)."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    logd = world.start_logd("-s", stdout=write_end)
    os.close(write_end)
    check_syslog(syslog, started() + [(WARNING, "trelvoxlogd", "Standard output has gone away")],
                 "after the blank lines met the closed pipe")
    text = b"{5E6A1B2C}after the pipe closed\n" * 25
    replay = world.path("text.replay")
    write_replay(replay, [text_entry(text, repeat=8)])
    world.start_sim("--replay", replay, "--exit-when-done")
    want = WAITING + CONNECTED + expand_text(text) * 8 + UNLOADED
    wait_until(lambda: size(LOG) >= len(want), 10, "the text in the log file")
    check_bytes(read(LOG), want, "the log file")
    stop_within_a_second(logd)
    check_syslog(syslog, started() + [(WARNING, "trelvoxlogd", "Standard output has gone away"),
                                      (WARNING, "trelvoxlogd",
                                       "2 bytes of text could not be written to standard output")]
                 + stopped(), "at the end")


def streamed(world, rate, total):
    """A driver sending generated lines at the rate, `total` bytes in all,
    recorded; returns it and a function giving the text the service must
    make of the recording once the driver has gone."""
    record = world.path("sent.rec")
    sim = world.start_sim("--rate", str(rate), "--total", str(total), "--seed", "11",
                          "--gap-every", "0", "--record", record, "--exit-when-done")
    return sim, lambda: CONNECTED + expand_record(read_record(record)) + UNLOADED


@service_world
def abort_while_writing(world, syslog):
    """SIGABRT while text streams into the log file: status 1 at once, and the
    log file holds the driver's text up to that point, nothing twice."""
    sim, want = streamed(world, 0, 20000000)
    logd = world.start_logd("-s")
    wait_until(lambda: size(LOG) > 2000000, 30, "2 MB in the log file")
    logd.signal(signal.SIGABRT)
    began = time.monotonic()
    status = logd.wait()
    check(status == 1 and time.monotonic() - began < 1.0, f"{logd.describe_status(status)}")
    sim.signal(signal.SIGTERM)
    sim.wait()
    got = read(LOG)
    check(want().startswith(got), f"the log file: {first_difference(got, want())}")
    check_syslog(syslog, started(), "after SIGABRT")


@service_world
def hangup_reopens(world, syslog):
    """The log file moved away and SIGHUP: the archive holds the start, a new
    Trelvox.log the rest, nothing lost or doubled; "Log file reopened"."""
    sim, want = streamed(world, 400, 120000)
    logd = world.start_logd("-s")
    wait_until(lambda: size(LOG) > 20000, 20, "text in the log file")
    archive = LOG_DIR + "/archived.log"
    os.rename(LOG, archive)
    logd.signal(signal.SIGHUP)
    wait_until(lambda: size(LOG) > 0, 5, "a new Trelvox.log")
    check_clean_end(sim, sim.wait(60), 0)
    wait_until(lambda: read(LOG).endswith(UNLOADED), 10, "the end of the driver's text")
    check(logd.running(), "still running after SIGHUP")
    check_bytes(read(archive) + read(LOG), want(), "the archive and the new log file")
    stop_within_a_second(logd)
    check_syslog(syslog, started() + reopened() + stopped(), "")


@service_world
def hangup_storm(world, syslog):
    """A hundred hang-ups while text streams in: the service keeps running,
    the log file holds every byte once, and every reopening is reported."""
    sim, want = streamed(world, 2000, 400000)
    logd = world.start_logd("-s")
    wait_until(lambda: size(LOG) > 10000, 20, "text in the log file")
    for _ in range(100):
        logd.signal(signal.SIGHUP)
        time.sleep(0.01)
    check_clean_end(sim, sim.wait(60), 0)
    wait_until(lambda: read(LOG).endswith(UNLOADED), 10, "the end of the driver's text")
    check_bytes(read(LOG), want(), "the log file")
    stop_within_a_second(logd)
    messages = syslog.messages()
    check(messages[0] == started()[0] and messages[-1] == stopped()[0], f"{messages}")
    check(1 <= len(messages) - 2 <= 100 and set(messages[1:-1]) == set(reopened()),
          f"between start and stop: {messages[1:-1]}")


@service_world
def notify(world, syslog):
    """systemd is told the truth: READY=1 before the first driver line, a
    status line that follows waiting, logging, the log file closed and
    reopened; RELOADING=1 and READY=1 around a reload; the watchdog's ping
    at its rate while idle and while busy; STOPPING=1 before the end."""
    receiver = NotifyReceiver()
    world.env.update(NOTIFY_SOCKET=receiver.path, WATCHDOG_USEC="3000000")
    try:
        gate = threading.Event()
        first = ScriptedDriver(world, "gated", [event_reply(b"{5E6A1B2C}first line\n")], gate=gate)
        logd = world.start_logd("-s")
        wait_until(lambda: "READY=1" in receiver.lines(), 10, "READY=1")
        check(b"first line" not in (read(LOG) if os.path.exists(LOG) else b""),
              "a driver line came before READY=1")
        gate.set()
        wait_until(lambda: os.path.exists(LOG) and b"first line" in read(LOG), 10, "the line")
        first.close(unpublish=True)

        def status(pattern):
            wait_until(lambda: any(re.search(pattern, s) for s in receiver.statuses()), 10,
                       f"a status line like {pattern!r}: {receiver.statuses()[-3:]}")
            return receiver.statuses()[-1]

        status(r"^Logging TrelvoxController\.gated since \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: "
               r"\d+ bytes written, 0 bytes lost by the driver$")
        status(r"^Waiting for a driver$")
        idle_from = time.monotonic()
        time.sleep(3.5)
        idle = receiver.pings(idle_from)
        sim = world.start_sim("--rate", "200", "--gap-every", "0")
        status(r"^Logging TrelvoxController\.sim")
        busy_from = time.monotonic()
        time.sleep(3.5)
        busy = receiver.pings(busy_from)
        check(idle >= 3 and busy >= 3, f"{idle} pings in 3.5 s idle, {busy} busy; want 3 or more")

        # A file where the log directory was (under the unit /var/quenlab is
        # a mount of its own: one made again is not the one the service sees).
        subprocess.run(["rm", "-rf", LOG_DIR], check=True)
        with open(LOG_DIR, "w"):
            pass
        status(r"; log file closed \(Not a directory\), text going to standard output$")
        os.unlink(LOG_DIR)
        wait_until(lambda: not receiver.statuses()[-1].endswith("standard output"), 10,
                   "the status line without the closed log file")

        mark = len(receiver.lines())
        logd.signal(signal.SIGHUP)
        wait_until(lambda: "READY=1" in receiver.lines()[mark:], 5, "READY=1 after the reload")
        after = receiver.lines()[mark:]
        check(after.index("RELOADING=1") < after.index("READY=1"), f"{after}")
        stop_within_a_second(logd)
        check("STOPPING=1" in receiver.lines(), f"no STOPPING=1: {receiver.lines()[-5:]}")
        sim.kill()
        print(f"{idle} pings in 3.5 s while waiting, {busy} while logging; "
              f"{len(receiver.statuses())} status lines")
    finally:
        receiver.close()


def stream_around(world, meddle):
    """trelvoxsim sends generated lines steadily into the log file; once it
    holds some, meddle() does to Trelvox.log what an administrator's tool
    would, and the text flows on for a while. Then the driver goes and the
    service stops. Returns everything the service wrote, in order, and what
    meddle returned."""
    record = world.path("stream.rec")
    sim = world.start_sim("--rate", "1500", "--gap-every", "0", "--seed", "5", "--record", record)
    logd = world.start_logd("-s")
    wait_until(lambda: os.path.exists(LOG) and os.path.getsize(LOG) > 30000, 10,
               "some text in the log file")
    meddled = meddle()
    wait_until(lambda: os.path.exists(LOG) and os.path.getsize(LOG) > 100000, 10,
               "more text in Trelvox.log after that")
    sim.signal(signal.SIGTERM)
    check_clean_end(sim, sim.wait(), 0)
    wait_until(lambda: read(LOG).endswith(UNLOADED), 10, "the driver's departure in the log")
    logd.signal(signal.SIGTERM)
    check_clean_end(logd, logd.wait(), 0)
    check_bytes(logd.out(), b"\n\n", "standard output")
    return CONNECTED + expand_record(read_record(record)) + UNLOADED, meddled


@service_world
def truncate(world, syslog):
    """Trelvox.log emptied mid-stream (as `: > Trelvox.log` or a copy and
    truncate would): the service's next write goes to the new end of the
    file, so it holds no NUL byte, and what it holds is the rest of the text,
    every byte once."""
    def empty_it():
        before = read(LOG)
        open(LOG, "wb").close()
        return before

    sent, before = stream_around(world, empty_it)
    after = read(LOG)
    check(b"\0" not in after, f"Trelvox.log holds {after.count(0)} NUL bytes")
    check(sent.startswith(before), "the text before the truncation is the start of the text")
    check(len(before) + len(after) <= len(sent),
          f"{len(before)} + {len(after)} bytes around the truncation, {len(sent)} sent")
    check_bytes(after, sent[len(sent) - len(after):], "Trelvox.log after the truncation")
    check(sorted(os.listdir(LOG_DIR)) == ["Trelvox.log"], f"files: {os.listdir(LOG_DIR)}")
    check_syslog(syslog, started() + stopped(), "")


@service_world
def delete(world, syslog):
    """Trelvox.log deleted mid-stream: a new Trelvox.log appears within a
    second and holds the rest of the text. What went into the deleted file
    (read here through a descriptor kept open on it) and the new file
    together are the whole text, every byte once, and at most 64 KiB went
    into the deleted file after its deletion."""
    def delete_it():
        fd = os.open(LOG, os.O_RDONLY)
        size = os.fstat(fd).st_size
        os.unlink(LOG)
        deleted = time.monotonic()
        wait_until(lambda: os.path.exists(LOG), 2, "a new Trelvox.log within a second")
        return fd, size, time.monotonic() - deleted

    sent, (fd, size, took) = stream_around(world, delete_it)
    try:
        old = os.pread(fd, len(sent) + 1, 0)
    finally:
        os.close(fd)
    check_bytes(old + read(LOG), sent, "the deleted file and the new Trelvox.log together")
    # The bytes a write may have added between the size query and the
    # deletion count as written after it: a message's worth of slack.
    check(len(old) - size <= 65536 + 1024,
          f"{len(old) - size} bytes went into the deleted file ({took:.2f} s to the new one)")
    print(f"{len(old) - size} bytes went into the deleted file; the new one came "
          f"{took:.2f} s after the deletion")
    check(sorted(os.listdir(LOG_DIR)) == ["Trelvox.log"], f"files: {os.listdir(LOG_DIR)}")
    check_syslog(syslog, started() + stopped(), "")


SCENARIOS = {
    "start-stop": start_stop,
    "stop-while-waiting": stop_while_waiting,
    "abort": abort,
    "rotation": rotation,
    "reconnect": reconnect,
    "unwritable": unwritable,
    "file-in-the-way": file_in_the_way,
    "stop-while-driver-hangs": stop_while_driver_hangs,
    "stdout-gone": stdout_gone,
    "abort-while-writing": abort_while_writing,
    "hangup-reopens": hangup_reopens,
    "hangup-storm": hangup_storm,
    "notify": notify,
    "truncate": truncate,
    "delete": delete,
}

if __name__ == "__main__":
    run_scenarios(SCENARIOS)
