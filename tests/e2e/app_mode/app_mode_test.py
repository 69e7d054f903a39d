#!/usr/bin/env python3
"""trelvoxlogd in application mode against trelvoxsim, both real processes:
the exact standard output while waiting, connecting, logging, losing the
driver and finding it again; nothing lost over megabytes of text; the stop
signals while waiting and while pumping."""

import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from trelvox_e2e import (CONNECTED, UNLOADED, WAITING, Failure, World, check,  # noqa: E402
                         check_bytes, check_clean_end, expand_record, expand_text, read_record,
                         run_scenarios, text_entry, wait_until, write_replay)

STOPS = {"sigint": signal.SIGINT, "sigterm": signal.SIGTERM, "sigquit": signal.SIGQUIT}


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
    """SIGABRT ends the service with status 1, waiting or pumping."""
    with World(args.logd, args.sim) as world:
        logd = world.start_logd()
        wait_until(lambda: logd.out().endswith(WAITING), 10, "the waiting message")
        logd.signal(signal.SIGABRT)
        status = logd.wait()
        check(status == 1, f"waiting: {logd.describe_status(status)}")

        world.start_sim("--rate", "0", "--seed", "5")
        logd = world.start_logd()
        wait_until(lambda: len(logd.out()) > 50000, 30, "50 kB of text")
        logd.signal(signal.SIGABRT)
        status = logd.wait()
        check(status == 1, f"pumping: {logd.describe_status(status)}")


SCENARIOS = {
    "waiting": waiting,
    "arrive-leave-return": arrive_leave_return,
    "unload-cycle": unload_cycle,
    "nothing-lost": nothing_lost,
    "stop-while-waiting": stop_while_waiting,
    "stop-while-pumping": stop_while_pumping,
    "signal-burst": signal_burst,
    "abort": abort,
}

if __name__ == "__main__":
    try:
        run_scenarios(SCENARIOS)
    except Failure as failure:
        print(f"FAIL: {failure}")
        sys.exit(1)
