#!/usr/bin/env python3
"""trelvoxlogd in application mode against trelvoxsim, both real processes:
the exact standard output while waiting, connecting, logging, losing the
driver and finding it again; nothing lost over megabytes of text; the stop
signals while waiting and while pumping."""

import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from trelvox_e2e import (CLOSE_FAILED, CONNECTED, LOST_DATA, UNLOADED, WAITING, Failure,  # noqa: E402
                         ScriptedDriver, World, check, check_bytes, check_clean_end,
                         event_reply, expand_record, expand_text, first_difference, read_record,
                         run_scenarios, target_command, text_entry, wait_until, write_replay)

# In application mode a hang-up stops the service as the others do.
STOPS = {"sigint": signal.SIGINT, "sigterm": signal.SIGTERM, "sigquit": signal.SIGQUIT,
         "sighup": signal.SIGHUP}


def prepared_text(tag):
    """Event text with every kind of token: valid ones, a dropped brace, a
    short token, letters among the digits, a doubled brace."""
    return (b"{5E6A1B2C}" + tag + b" link up\n"
            b"{00000000}epoch\n"
            b"{1234} not a token, {abcdefgh} partly one\n"
            b"{{65A1F3C0}doubled brace, stray { here\n"
            b"{ 5E6A1B2} blank-led, {0x5E6A1B} with prefix\n"
            b"no token at the end {\n")


def waiting(args, rest):
    """No driver: the blank lines, the waiting message, and nothing more."""
    with World(args.logd, args.sim) as world:
        logd = world.start_logd()
        wait_until(lambda: logd.out() == b"\n\n" + WAITING, 10, "the waiting message")
        time.sleep(0.3)
        check_bytes(logd.out(), b"\n\n" + WAITING, "standard output while waiting")
        logd.signal(signal.SIGTERM)
        check_clean_end(logd, logd.wait(), 0)
        check_bytes(logd.out(), b"\n\n" + WAITING, "standard output after the stop")


def arrive_leave_return(args, rest):
    """The service waits, a driver arrives and logs, unloads, and another
    comes back: every message exactly, with the tokens in local time."""
    with World(args.logd, args.sim) as world:
        logd = world.start_logd()
        wait_until(lambda: logd.out().endswith(WAITING), 10, "the waiting message")

        first = world.path("first.replay")
        write_replay(first, [text_entry(prepared_text(b"first"))])
        sim = world.start_sim("--replay", first, "--exit-when-done")
        want = b"\n\n" + WAITING + CONNECTED + expand_text(prepared_text(b"first")) + UNLOADED
        wait_until(lambda: logd.out() == want or len(logd.out()) > len(want), 10,
                   "the first driver's text and its departure")
        check_bytes(logd.out(), want, "standard output after the first driver")
        check_clean_end(sim, sim.wait(), 0)

        second = world.path("second.replay")
        write_replay(second, [text_entry(prepared_text(b"second"))])
        sim2 = world.start_sim("--replay", second)
        want += CONNECTED + expand_text(prepared_text(b"second"))
        wait_until(lambda: len(logd.out()) >= len(want), 10, "the second driver's text")
        time.sleep(0.2)
        check_bytes(logd.out(), want, "standard output with the second driver")

        logd.signal(signal.SIGINT)
        check_clean_end(logd, logd.wait(), 0)
        check_bytes(logd.out(), want, "standard output after the stop")
        check(sim2.running(), "the driver outlives the service")


def unload_cycle(args, rest):
    """trelvoxsim's own unload and return while it sends generated lines:
    the departure messages fall between the two connections and no text is
    lost around them."""
    with World(args.logd, args.sim) as world:
        record = world.path("cycle.rec")
        sim = world.start_sim("--rate", "200", "--gap-every", "0", "--seed", "11",
                              "--malformed", "5", "--record", record, "--unload-after", "0.8",
                              "--return-after", "0.4", "--cycles", "1")
        logd = world.start_logd()
        wait_until(lambda: logd.out().count(CONNECTED) == 2 and len(logd.out()) > 3000, 15,
                   "the second connection and some of its text")
        sim.signal(signal.SIGTERM)
        check_clean_end(sim, sim.wait(), 0)
        wait_until(lambda: logd.out().endswith(UNLOADED), 10, "the driver's final departure")
        logd.signal(signal.SIGTERM)
        check_clean_end(logd, logd.wait(), 0)

        out = logd.out()
        head = b"\n\n" + CONNECTED
        check(out.startswith(head), f"output begins {out[:80]!r}")
        body = out[len(head):-len(UNLOADED)]
        between = UNLOADED + CONNECTED
        check(body.count(between) == 1, "one departure and one return between the texts")
        check(CONNECTED not in body.replace(between, b"", 1), "no other connection message")
        check_bytes(body.replace(between, b"", 1), expand_record(read_record(record)),
                    "the text of both connections")


def nothing_lost(args, rest):
    """Megabytes of text as fast as the service asks, with lost-byte notices
    and malformed tokens: the output is the record, expanded, byte for
    byte."""
    with World(args.logd, args.sim) as world:
        record = world.path("bulk.rec")
        sim = world.start_sim("--rate", "0", "--total", "4000000", "--max-text", "1000",
                              "--lost-every", "37", "--lost-bytes", "513", "--malformed", "8",
                              "--seed", "20", "--record", record, "--exit-when-done")
        logd = world.start_logd()
        wait_until(lambda: logd.out().endswith(UNLOADED), 90, "the end of the driver's text")
        check_clean_end(sim, sim.wait(), 0)
        logd.signal(signal.SIGTERM)
        check_clean_end(logd, logd.wait(), 0)

        entries = read_record(record)
        check(sum(min(e[1], 1024) for e in entries) == 4000000, "the driver sent 4,000,000 bytes")
        check(sum(1 for e in entries if e[0] == 513) >= 100, "lost-byte notices were sent")
        want = b"\n\n" + CONNECTED + expand_record(entries) + UNLOADED
        check_bytes(logd.out(), want, "standard output")


def stop_while_waiting(args, rest):
    sig = STOPS[rest[0]]
    with World(args.logd, args.sim) as world:
        logd = world.start_logd()
        wait_until(lambda: logd.out().endswith(WAITING), 10, "the waiting message")
        logd.signal(sig)
        check_clean_end(logd, logd.wait(), 0)
        check_bytes(logd.out(), b"\n\n" + WAITING, "standard output")


def stop_while_pumping(args, rest):
    """A stop while text streams in: status 0, the connection closed
    cleanly (no failure message), no waiting message after the stop."""
    sig = STOPS[rest[0]]
    with World(args.logd, args.sim) as world:
        sim = world.start_sim("--rate", "0", "--seed", "3", "--verbose")
        logd = world.start_logd()
        wait_until(lambda: len(logd.out()) > 200000, 30, "200 kB of text")
        logd.signal(sig)
        status = logd.wait()
        check(status == 0, f"{logd.describe_status(status)}, err {logd.err()!r}")
        check(logd.err() == b"", f"standard error: {logd.err()!r}")
        out = logd.out()
        check(out.startswith(b"\n\n" + CONNECTED), "connected first")
        for text in (b"Could not retrieve", b"Closing driver connection failed", WAITING):
            check(text not in out, f"{text!r} after a stop")
        wait_until(lambda: b"closed" in sim.err(), 5, "the driver to see the connection closed")
        check(sim.running(), "the driver is still there")


def signal_burst(args, rest):
    """Hundreds of stop signals at once while pumping: one clean stop."""
    with World(args.logd, args.sim) as world:
        world.start_sim("--rate", "0", "--seed", "4")
        logd = world.start_logd()
        wait_until(lambda: len(logd.out()) > 100000, 30, "100 kB of text")
        sigs = [signal.SIGINT, signal.SIGTERM, signal.SIGQUIT]
        try:
            for i in range(600):
                logd.signal(sigs[i % 3])
        except ProcessLookupError:
            pass  # it had already gone
        check_clean_end(logd, logd.wait(), 0)


def abort(args, rest):
    """SIGABRT ends the service at once with status 1 in every state: waiting
    for a driver, in the back-off wait of a quiet driver, pumping, and inside
    a driver call that never returns; what it wrote is the driver's text,
    nothing twice (the abort stops in order, so a driver that hangs is said
    to have failed its close, as at any stop)."""
    def quiet(logd):
        if CONNECTED not in logd.out():
            return False
        time.sleep(1.0)  # past the short waits of the back-off
        return True

    states = (
        ("waiting", None, lambda logd: logd.out().endswith(WAITING)),
        ("quiet driver", ("--rate", "2", "--gap-every", "0"), quiet),
        ("pumping", ("--rate", "0", "--seed", "5"), lambda logd: len(logd.out()) > 50000),
        ("hung call", ("--rate", "0", "--fail-method", "6", "--fail-code", "hang",
                       "--fail-after", "50"), quiet),
    )
    for name, sim_args, ready in states:
        with World(args.logd, args.sim) as world:
            record = world.path("sent.rec")
            sim = world.start_sim(*sim_args, "--record", record) if sim_args else None
            logd = world.start_logd()
            wait_until(lambda: ready(logd), 30, f"{name}: the service to get there")
            logd.signal(signal.SIGABRT)
            started = time.monotonic()
            status = logd.wait()
            took = time.monotonic() - started
            check(status == 1, f"{name}: {logd.describe_status(status)}")
            check(took < 1.0, f"{name}: the service took {took:.2f} s to end")
            if sim is None:
                continue
            sim.signal(signal.SIGTERM)
            check_clean_end(sim, sim.wait(), 0)
            want = b"\n\n" + CONNECTED + expand_record(read_record(record))
            out = logd.out()
            if out.endswith(CLOSE_FAILED):
                out = out[:-len(CLOSE_FAILED)]
            check(want.startswith(out),
                  f"{name}: standard output is not the driver's text: {first_difference(out, want)}")


def closed_descriptors(args, rest):
    """Started with standard input, output and error closed, the service
    holds /dev/null on all three, so that nothing it opens later (the driver
    directory's watch, a driver connection) is taken for them."""
    with World(args.logd, args.sim) as world:
        world.start_sim("--rate", "20")
        logd = subprocess.Popen(["sh", "-c", 'exec "$@" <&- >&- 2>&-', "sh",
                                 *target_command(args.logd)], env=world.env)
        def descriptors():
            """What each open descriptor of the service refers to; one that
            closes while it is looked at is left out."""
            fd_dir = f"/proc/{logd.pid}/fd"
            found = {}
            for name in os.listdir(fd_dir):
                try:
                    found[int(name)] = os.readlink(os.path.join(fd_dir, name))
                except FileNotFoundError:
                    pass
            return found

        try:
            wait_until(lambda: any(t.startswith("socket:") for t in descriptors().values()), 10,
                       "a driver connection")
            for fd in range(3):
                target = descriptors().get(fd)
                check(target == "/dev/null", f"descriptor {fd} is {target}, not /dev/null")
            logd.send_signal(signal.SIGTERM)
            check(logd.wait(timeout=10) == 0, "status 0 after SIGTERM")
        finally:
            if logd.poll() is None:
                logd.kill()
                logd.wait()


def driver_dir_recreated(args, rest):
    """The driver directory is removed and made again: a driver that
    publishes there afterwards is found and logged."""
    with World(args.logd, args.sim) as world:
        logd = world.start_logd()
        wait_until(lambda: logd.out().endswith(WAITING), 10, "the waiting message")
        shutil.rmtree(world.driver_dir)
        time.sleep(0.2)
        os.mkdir(world.driver_dir, 0o700)
        replay = world.path("back.replay")
        write_replay(replay, [text_entry(b"{5E6A1B2C}back again\n")])
        world.start_sim("--replay", replay)
        want = b"\n\n" + WAITING + CONNECTED + expand_text(b"{5E6A1B2C}back again\n")
        wait_until(lambda: logd.out() == want, 10, "the text of the driver in the new directory")
        logd.signal(signal.SIGTERM)
        check(logd.wait() == 0, "status 0 after SIGTERM")


def short_reply(args, rest):
    """Replies shorter than the record: a 12-byte reply whose header claims
    text brings no text (never the previous reply's again), and one shorter
    than the header is a failed request."""
    with World(args.logd, args.sim) as world:
        driver = ScriptedDriver(world, "short", [
            event_reply(b"FULL-REPLY\n"),
            event_reply(b"", text_len=11, size=12),
            event_reply(b"", size=8),
        ])
        try:
            logd = world.start_logd()
            want = b"\n\n" + CONNECTED + b"FULL-REPLY\n" + LOST_DATA + WAITING
            try:
                wait_until(lambda: len(logd.out()) >= len(want), 5, "the failed request")
            except Failure:
                pass  # shown below by what did arrive
            time.sleep(0.2)
            check_bytes(logd.out(), want, "standard output")
            logd.signal(signal.SIGTERM)
            check_clean_end(logd, logd.wait(), 0)
        finally:
            driver.close()


SCENARIOS = {
    "waiting": waiting,
    "arrive-leave-return": arrive_leave_return,
    "unload-cycle": unload_cycle,
    "nothing-lost": nothing_lost,
    "stop-while-waiting": stop_while_waiting,
    "stop-while-pumping": stop_while_pumping,
    "signal-burst": signal_burst,
    "abort": abort,
    "closed-descriptors": closed_descriptors,
    "driver-dir-recreated": driver_dir_recreated,
    "short-reply": short_reply,
}

if __name__ == "__main__":
    try:
        run_scenarios(SCENARIOS)
    except Failure as failure:
        print(f"FAIL: {failure}")
        sys.exit(1)
