#!/usr/bin/env python3
"""The text keeps flowing: trelvoxlogd against what an administrator's bad
day does to its outputs, one row per trouble, each in the private namespace
of service_mode_test.py (a fresh /var/quenlab and /run, a receiver of the
system log at /dev/log). Each row prints what it measured."""

import os
import re
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from trelvox_e2e import (CONNECTED, UNLOADED, WAITING, check, check_bytes,  # noqa: E402
                         check_clean_end, expand_text, first_difference, run_scenarios,
                         target_command, text_entry, wait_until, write_replay)
from trelvox_namespace import run  # noqa: E402
from service_mode_test import (INFO, LIMIT, LOG, LOG_DIR, WARNING, check_syslog,  # noqa: E402
                               numbered, read, reopened, service_world, size, started,
                               stop_within_a_second, stopped, streamed)

ERR = 24 + 3


def texts(syslog):
    return [text for _, _, text in syslog.messages()]


def stop_in_time(logd, status):
    return stop_within_a_second(logd, status, quiet=False)


def fill_to(world, upto, after):
    """A driver whose replies bring Trelvox.log to `upto` bytes with whole
    lines and a part of one, then the replies in `after` (text with no time
    token), and go. Returns it and all that the service writes of it."""
    line = b"x" * 999 + b"\n"
    count, tail = divmod(upto - len(CONNECTED), len(line))
    entries = [text_entry(line, repeat=count), text_entry(b"t" * tail)] + after
    replay = world.path("fill.replay")
    write_replay(replay, entries)
    text = b"".join(entry[3] * entry[4] for entry in entries)
    return world.start_sim("--replay", replay, "--exit-when-done"), CONNECTED + text + UNLOADED


@service_world
def stalled_system_log(world, syslog):
    """A receiver on /dev/log that has stopped reading: the service starts,
    logs, serves a hang-up and stops as if it read; once it reads again, the
    service says how many messages it dropped."""
    filled = syslog.pause()
    sim, _ = streamed(world, 50, 10 ** 7)
    began = time.monotonic()
    logd = world.start_logd("-s")
    wait_until(lambda: size(LOG) > 0, 5, "text in the log file while the system log is stuck")
    first = time.monotonic() - began
    logd.signal(signal.SIGHUP)
    before = size(LOG)
    time.sleep(1)
    grown = size(LOG) - before
    check(grown > 0, "the log file did not grow in the second after a hang-up")
    syslog.resume()
    time.sleep(0.3)  # the queue is read empty
    logd.signal(signal.SIGHUP)
    note = re.compile(r"^(\d+) messages to the system log were dropped while it did not take them$")
    wait_until(lambda: any(note.match(t) for t in texts(syslog)), 5,
               "the count of dropped messages")
    dropped = int(next(note.match(t) for t in texts(syslog) if note.match(t)).group(1))
    check(dropped == 2, f"{dropped} dropped, want 2 (the start and the first reopening)")
    # The note and the reopening are two datagrams; the receiver may have
    # read only the first when the note is seen.
    wait_until(lambda: not note.match(texts(syslog)[-1]), 3, "the message after the note")
    check(texts(syslog)[-1] == "Log file reopened", f"{texts(syslog)}")
    took = stop_in_time(logd, 0)
    sim.kill()
    print(f"queue filled with {filled}; first text after {first:.2f} s; {grown} bytes in the "
          f"second after a hang-up; {dropped} messages dropped; stopped in {took:.2f} s")


def blocked_stdout(world, syslog, service):
    """Standard output is a pipe nobody reads (in service mode the log file
    cannot be opened, so the text goes there): a stop ends the service within
    a second, and it says how much text standard output did not take."""
    if service:
        run("mount", "-t", "tmpfs", "-o", "ro,mode=755", "tmpfs", "/var/quenlab")
    read_end, write_end = os.pipe()
    sim, _ = streamed(world, 0, 10 ** 7)
    logd = world.start_logd(*(["-s"] if service else []), stdout=write_end)
    os.close(write_end)
    time.sleep(1.5)  # the pipe fills and the service waits on it
    took = stop_in_time(logd, 0 if service else 1)
    os.close(read_end)
    sim.kill()
    lost = re.compile(rb"(\d+) bytes of text could not be written to standard output")
    said = logd.err() if not service else "\n".join(texts(syslog)).encode()
    match = lost.search(said)
    check(match is not None and int(match.group(1)) > 0, f"no count of the lost text: {said!r}")
    print(f"stopped in {took:.2f} s; {int(match.group(1))} bytes counted as lost")


@service_world
def blocked_stdout_app(world, syslog):
    blocked_stdout(world, syslog, False)


@service_world
def blocked_stdout_service(world, syslog):
    blocked_stdout(world, syslog, True)


@service_world
def nonblocking_stdout(world, syslog):
    """Standard output a non-blocking pipe with a slow reader: every byte
    arrives, in order; status 0."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    sim, want = streamed(world, 0, 2 * 10 ** 6)
    logd = world.start_logd(stdout=write_end)
    os.close(write_end)
    got = bytearray()

    def reader():
        while chunk := os.read(read_end, 4096):
            got.extend(chunk)
            time.sleep(0.002)

    thread = threading.Thread(target=reader)
    thread.start()
    check_clean_end(sim, sim.wait(60), 0)
    expected = b"\n\n" + want()
    wait_until(lambda: len(got) >= len(expected), 30, "all the text through the slow pipe")
    stop_in_time(logd, 0)
    thread.join()
    check_bytes(bytes(got), expected, "standard output")
    print(f"{len(got)} bytes through a non-blocking pipe, none lost")


def stdout_error(world, limit_fsize):
    """Standard output a file that cannot take it all (a full disk, or a
    file-size limit): the error is said once on standard error with its
    reason, and the stop ends with status 1."""
    if limit_fsize:
        world.launcher = lambda program, args: ["prlimit", "--fsize=65536",
                                                *target_command(program, *args)]
        reason = b"File too large"
    else:
        run("mount", "-t", "tmpfs", "-o", "size=64k,mode=755", "tmpfs", "/var/quenlab")
        reason = b"No space left on device"
    path = "/var/quenlab/out" if not limit_fsize else world.path("out")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    sim, _ = streamed(world, 0, 300000)
    logd = world.start_logd(stdout=fd)
    os.close(fd)
    check_clean_end(sim, sim.wait(60), 0)
    time.sleep(0.5)
    stop_in_time(logd, 1)
    said = logd.err()
    check(said.count(b"Cannot write to standard output") == 1 and reason in said,
          f"standard error: {said!r}")
    print(f"standard error said: {said.decode().strip()!r}")


@service_world
def stdout_disk_full(world, syslog):
    stdout_error(world, False)


@service_world
def stdout_file_too_large(world, syslog):
    stdout_error(world, True)


@service_world
def file_size_limit(world, syslog):
    """Service mode under a file-size limit of 1 MiB: every file fills to
    the limit and is rotated; the files hold the whole text, once."""
    world.launcher = lambda program, args: ["prlimit", "--fsize=1048576",
                                            *target_command(program, *args)]
    sim, want = streamed(world, 0, 2500000)
    logd = world.start_logd("-s")
    check_clean_end(sim, sim.wait(60), 0)
    wait_until(lambda: read(LOG).endswith(WAITING), 20, "the driver's departure in the log")
    check(logd.running(), f"the service ended: {logd.describe_status(logd.proc.poll())}")
    files = [numbered(n) for n in (2, 1)] + [LOG]
    check_bytes(b"".join(read(f) for f in files), want(), "Trelvox.02, .01 and .log")
    stop_in_time(logd, 0)
    full = texts(syslog).count("Log file is full (File too large); it was rotated")
    check(full == 2, f"{full} reports of a full file, want 2: {texts(syslog)}")
    check_bytes(logd.out(), b"\n\n", "standard output")
    print(f"3 files of at most 1 MiB, {full} reported full, nothing lost")


@service_world
def disk_full_at_limit(world, syslog):
    """The disk fills exactly as Trelvox.log reaches its limit: the short
    write still rotates the log, which deletes the oldest predecessor and
    makes room; the text goes on in the new file, none to standard output."""
    mib = 1 << 20
    run("mount", "-t", "tmpfs", "-o", f"size={LIMIT + 4 * mib},mode=755", "tmpfs",
        "/var/quenlab")
    os.mkdir(LOG_DIR)
    for n in range(1, 5):
        with open(numbered(n), "wb") as f:
            f.write(bytes([48 + n]) * mib)
    sim, whole = fill_to(world, LIMIT + mib // 2, [])
    logd = world.start_logd("-s")
    check_clean_end(sim, sim.wait(120), 0)
    wait_until(lambda: read(LOG).endswith(WAITING), 30, "the driver's departure in the log")
    stop_in_time(logd, 0)
    rotated = os.path.getsize(numbered(1))
    check_bytes(read(numbered(1)) + read(LOG), whole, "Trelvox.01.log and .log")
    check_bytes(logd.out(), b"\n\n", "standard output")
    check(read(numbered(4)) == b"3" * mib, "Trelvox.04.log is the old number 3")
    print(f"Trelvox.01.log ended at {rotated} bytes ({rotated - LIMIT} past the limit)")


@service_world
def disk_full_then_freed(world, syslog):
    """The disk fills below the limit and is freed again: the text goes to
    standard output meanwhile, nothing is lost or written twice, and the
    system log says once that the log cannot be written and once that it
    can again."""
    run("mount", "-t", "tmpfs", "-o", "size=1m,mode=755", "tmpfs", "/var/quenlab")
    filler = "/var/quenlab/filler"
    with open(filler, "wb") as f:
        f.write(b"f" * (768 << 10))
    sim, want = streamed(world, 4000, 800000)
    logd = world.start_logd("-s")
    wait_until(lambda: len(logd.out()) > 10000, 30, "text on standard output once the disk is full")
    os.unlink(filler)
    before = size(LOG)
    wait_until(lambda: size(LOG) > before, 10, "text in the log file again")
    check_clean_end(sim, sim.wait(60), 0)
    wait_until(lambda: read(LOG).endswith(WAITING), 20, "the driver's departure")
    stop_in_time(logd, 0)
    into_file, to_stdout = read(LOG), logd.out()[2:]
    whole = want()
    check(len(into_file) + len(to_stdout) == len(whole),
          f"{len(into_file)} + {len(to_stdout)} bytes written, {len(whole)} sent")
    check(whole.replace(to_stdout, b"", 1) == into_file,
          "the file and standard output do not make the text: "
          + first_difference(whole.replace(to_stdout, b"", 1), into_file))
    want_log = [(WARNING, "trelvoxlogd", "Cannot write the log file (No space left on device); "
                 "text goes to standard output"),
                (INFO, "trelvoxlogd", "Log file is written again")]
    check_syslog(syslog, started() + want_log + stopped(), "")
    print(f"{len(to_stdout)} bytes went to standard output while the disk was full")


@service_world
def log_closed_mid_session(world, syslog):
    """/var/quenlab deleted while the driver is served: the log closes, the
    text goes to standard output; once the directory is back the log opens
    again within about a second, with no hang-up, and both are reported."""
    sim, _ = streamed(world, 400, 10 ** 7)
    logd = world.start_logd("-s")
    wait_until(lambda: size(LOG) > 10000, 20, "text in the log file")
    subprocess.run(["rm", "-rf", "/var/quenlab"], check=True)
    wait_until(lambda: len(logd.out()) > 1000, 5, "text on standard output")
    os.makedirs(LOG_DIR)
    back = time.monotonic()
    wait_until(lambda: size(LOG) > 0, 3, "the log file opened again")
    took = time.monotonic() - back
    stop_in_time(logd, 0)
    sim.kill()
    closed = (WARNING, "trelvoxlogd",
              "Log file closed (No such file or directory); text goes to standard output")
    check_syslog(syslog, started() + [closed] + reopened() + stopped(), "")
    print(f"the log opened again {took:.2f} s after its directory was back")


@service_world
def second_copy(world, syslog):
    """A second service started by hand ends at once with status 1, naming
    the first; a copy that died (SIGKILL) keeps no one out."""
    first = world.start_logd("-s")
    wait_until(lambda: os.path.exists(LOG), 10, "the first copy's log")
    second = world.start_logd("-s")
    status = second.wait(5)
    named = f"Another copy of the service (process {first.proc.pid}) is logging already"
    check(status == 1 and named.encode() in second.err(), f"{second.describe_status(status)}, "
          f"{second.err()!r}")
    wait_until(lambda: (ERR, "trelvoxlogd", named) in syslog.messages(), 3,
               f"the second copy's message in the system log: {syslog.messages()}")
    first.kill()
    third = world.start_logd("-s")
    wait_until(lambda: read(LOG).count(WAITING) == 2, 10, "the third copy at work")
    stop_in_time(third, 0)
    print(f"the second copy named process {first.proc.pid}; the third started after a kill")


@service_world
def line_ends(world, syslog):
    """A time-stamped line that crosses the limit stays whole in the old
    file; a text without line ends rotates 64 KiB past the limit."""
    crossing = b"{5E6A1B2C} the line that crosses the limit\n"
    sim, _ = fill_to(world, LIMIT - 8, [text_entry(b"\n" + crossing + b"next line\n")])
    logd = world.start_logd("-s")
    check_clean_end(sim, sim.wait(120), 0)
    wait_until(lambda: read(LOG).endswith(WAITING), 60, "the departure after the rotation")
    old = read(numbered(1))
    check(old.endswith(b"\n" + expand_text(crossing)), f"Trelvox.01.log ends {old[-80:]!r}")
    first = len(old)

    os.unlink(LOG)  # the next driver's text starts a new file
    run_on = [text_entry(b"q" * 1024, repeat=80), text_entry(b"\nend\n")]
    sim, _ = fill_to(world, LIMIT - 1, run_on)
    check_clean_end(sim, sim.wait(120), 0)
    wait_until(lambda: b"end\n" in read(LOG) and read(LOG).endswith(WAITING), 60,
               "the second rotation")
    second = os.path.getsize(numbered(1))
    check(second == LIMIT + 65536, f"Trelvox.01.log has {second} bytes, want {LIMIT + 65536}")
    stop_in_time(logd, 0)
    print(f"a crossing line ended the file at {first - LIMIT} bytes past the limit; a text "
          f"without line ends at {second - LIMIT}")


ROWS = {
    "stalled-system-log": stalled_system_log,
    "blocked-stdout-app": blocked_stdout_app,
    "blocked-stdout-service": blocked_stdout_service,
    "nonblocking-stdout": nonblocking_stdout,
    "stdout-disk-full": stdout_disk_full,
    "stdout-file-too-large": stdout_file_too_large,
    "file-size-limit": file_size_limit,
    "disk-full-at-limit": disk_full_at_limit,
    "disk-full-then-freed": disk_full_then_freed,
    "log-closed-mid-session": log_closed_mid_session,
    "second-copy": second_copy,
    "line-ends": line_ends,
}

if __name__ == "__main__":
    run_scenarios(ROWS)
