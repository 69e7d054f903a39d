"""Shared pieces of the end-to-end suites: trelvoxlogd and trelvoxsim as real
processes, the simulated driver's record, and the text the service must make
of it.

The programs may be built for another CPU than this host's: they are then
started under the target's emulator, and every binary layout they read or
write (records, bus frames) is packed here in their byte order, not the
host's (run_scenarios takes both from its command line).

Every wait has a time limit; a scenario that fails raises Failure, one that
cannot run here raises Skip (reported to CTest with status 77).
"""

import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP_STATUS = 77

# A zone with an offset and summer time, written out so that no zone files
# are needed; the service and this module both convert with the C library.
TZ = "CET-1CEST,M3.5.0,M10.5.0/3"

ESTABLISHING = b"Establishing driver connection...."
ESTABLISHED = b"driver connection established.\n\n"
CONNECTED = ESTABLISHING + ESTABLISHED
WAITING = b"Waiting for driver to load....\n"
LOST_DATA = b"\nCould not retrieve log data. "
CLOSE_FAILED = b"Closing driver connection failed.\n"
UNLOADED = LOST_DATA + CLOSE_FAILED + WAITING


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(predicate, timeout, what):
    """Polls predicate until it is true; Failure naming `what` after timeout."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= end:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.01)


def first_difference(got, want):
    """A readable account of where two byte strings part."""
    n = min(len(got), len(want))
    at = next((i for i in range(n) if got[i] != want[i]), n)
    return (f"lengths {len(got)} and {len(want)}, first difference at byte {at}:\n"
            f"  got:  {got[max(0, at - 60):at + 60]!r}\n"
            f"  want: {want[max(0, at - 60):at + 60]!r}")


def check_bytes(got, want, what):
    if got != want:
        raise Failure(f"{what} differs: {first_difference(got, want)}")


# ---------------------------------------------------- the programs under test

# The command that starts a program of the build under test: empty for this
# host's own programs, the target's emulator for another CPU's.
TARGET_RUN = []


def target_command(program, *args):
    """The command line that starts `program`, a program of the build."""
    return [*TARGET_RUN, program, *args]


def use_byte_order(order):
    """Makes the binary layouts in `order`, "little" or "big": the byte
    order of the programs under test (the host's until told otherwise)."""
    global RECORD_HEADER, BUS_REQUEST, BUS_REPLY, EVENT_HEADER
    mark = {"little": "<", "big": ">"}[order]
    # A trelvoxsim record: a header before each reply's text.
    RECORD_HEADER = struct.Struct(mark + "iIII")  # lost bytes, text length, wait flag, repeat
    # The driver bus's frames and the header of an event-log reply.
    BUS_REQUEST = struct.Struct(mark + "IIIII")  # magic, kind, selector, input size, capacity
    BUS_REPLY = struct.Struct(mark + "IiI")  # magic, result, output size
    EVENT_HEADER = struct.Struct(mark + "iII")  # lost bytes, text length, wait flag


use_byte_order(sys.byteorder)

# ------------------------------------------------------------------ records

TEXT_SIZE = 1024


def read_record(path):
    """The replies a trelvoxsim record holds: (lostBytes, textLen, waitFlag, text)."""
    with open(path, "rb") as f:
        data = f.read()
    entries, at = [], 0
    while at < len(data):
        if at + RECORD_HEADER.size > len(data):
            raise Failure(f"{path}: cut short in a header")
        lost, length, wait, repeat = RECORD_HEADER.unpack_from(data, at)
        at += RECORD_HEADER.size
        n = min(length, TEXT_SIZE)
        if at + n > len(data):
            raise Failure(f"{path}: cut short in a text")
        for _ in range(repeat):
            entries.append((lost, length, wait, data[at:at + n]))
        at += n
    return entries


def write_replay(path, entries):
    """entries: (lostBytes, textLen, waitFlag, text, repeat)."""
    with open(path, "wb") as f:
        for lost, length, wait, text, repeat in entries:
            f.write(RECORD_HEADER.pack(lost, length, wait, repeat))
            f.write(text[:TEXT_SIZE])


def text_entry(text, repeat=1, lost=0):
    return (lost, len(text), 0, text, repeat)


# ---------------------------------------------------------- the text scan

HEX = b"0123456789abcdefABCDEF"
SPACE = b" \t\n\v\f\r"
ULONG_MAX = (1 << 64) - 1


def strtoul16(text, start):
    """The C library's strtoul(text + start, &end, 16): (value, end)."""
    i, n = start, len(text)
    while i < n and text[i] in SPACE:
        i += 1
    negative = False
    if i < n and text[i] in b"+-":
        negative = text[i] == ord("-")
        i += 1
    if i + 2 < n and text[i] == ord("0") and text[i + 1] in b"xX" and text[i + 2] in HEX:
        i += 2
    digits = i
    while i < n and text[i] in HEX:
        i += 1
    if i == digits:
        return 0, start  # no conversion: the end is the start
    value = min(int(text[digits:i], 16), ULONG_MAX)
    if negative:
        value = (-value) & ULONG_MAX
    return value, i


def stamp(seconds):
    """A token's time as the service writes it, in the local zone (TZ)."""
    if seconds >= 1 << 63:
        seconds -= 1 << 64  # unsigned long to time_t
    t = time.localtime(seconds)
    return b"%02d/%02d/%02d %02d:%02d:%02d  " % (t.tm_mon, t.tm_mday, t.tm_year % 100,
                                                 t.tm_hour, t.tm_min, t.tm_sec)


def expand_text(text):
    """One reply's text as the service writes it: valid tokens become local
    time, every other '{' is dropped."""
    out, p, n = bytearray(), 0, len(text)
    while True:
        brace = text.find(b"{", p)
        if brace < 0:
            out += text[p:]
            return bytes(out)
        out += text[p:brace]
        p = brace
        if n - p - 1 >= 9 and text[p + 9] == ord("}"):
            value, end = strtoul16(text, p + 1)
            if end < n and text[end] == ord("}"):
                end += 1
            out += stamp(value)
            p = end
        else:
            p += 1


def expand_reply(lost, length, text):
    out = b""
    if lost != 0:
        out += b"...Lost %d bytes..." % lost
    text = text[:min(length, TEXT_SIZE)]
    nul = text.find(b"\0")
    if nul >= 0:
        text = text[:nul]
    return out + expand_text(text)


def expand_record(entries):
    return b"".join(expand_reply(lost, length, text) for lost, length, _, text in entries)


def use_zone():
    os.environ["TZ"] = TZ
    time.tzset()


# ---------------------------------------------------------------- processes

class Process:
    """A program whose standard output and error go to files."""

    def __init__(self, argv, env, workdir, name, stdout=None):
        """stdout: a descriptor to give the program instead of its file."""
        self.name = name
        self.out_path = os.path.join(workdir, name + ".out")
        self.err_path = os.path.join(workdir, name + ".err")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                         stdout=out if stdout is None else stdout,
                                         stderr=err, env=env)

    def out(self):
        with open(self.out_path, "rb") as f:
            return f.read()

    def err(self):
        with open(self.err_path, "rb") as f:
            return f.read()

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=15):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure(f"{self.name} did not end within {timeout} s")

    def running(self):
        return self.proc.poll() is None

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def describe_status(self, status):
        if status is None:
            return "still running"
        if status < 0:
            return f"ended by signal {signal.Signals(-status).name}"
        return f"status {status}"


class World:
    """A private driver directory, the two programs and a work directory;
    everything started is stopped at the end. driver_dir names an existing
    driver directory instead; launcher(program, args) gives the command line
    that starts the service, when it is not started directly."""

    def __init__(self, logd, sim, driver_dir=None, launcher=None):
        self.logd_path = logd
        self.sim_path = sim
        self.launcher = launcher
        # Under /tmp whatever TMPDIR says: socket paths must stay short.
        self.work = tempfile.mkdtemp(prefix="trelvox-e2e-",
                                     dir="/tmp" if os.path.isdir("/tmp") else None)
        self.driver_dir = driver_dir or os.path.join(self.work, "drivers")
        if driver_dir is None:
            os.mkdir(self.driver_dir, 0o700)
        self.env = dict(os.environ, TZ=TZ, TRELVOX_DRIVER_DIR=self.driver_dir)
        self.processes = []
        self.count = 0
        use_zone()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for p in self.processes:
            p.kill()
        subprocess.run(["rm", "-rf", self.work], check=False)
        return False

    def path(self, name):
        return os.path.join(self.work, name)

    def start_logd(self, *args, stdout=None):
        self.count += 1
        argv = (self.launcher(self.logd_path, args) if self.launcher
                else target_command(self.logd_path, *args))
        p = Process(argv, self.env, self.work, f"trelvoxlogd{self.count}", stdout)
        self.processes.append(p)
        return p

    def start_sim(self, *args, wait_published=True):
        self.count += 1
        name = f"sim{self.count}"
        p = Process(target_command(self.sim_path, "--name", f"TrelvoxController.{name}", *args),
                    self.env, self.work, name)
        self.processes.append(p)
        if wait_published:
            socket_path = os.path.join(self.driver_dir, f"TrelvoxController.{name}")
            wait_until(lambda: os.path.exists(socket_path) or not p.running(), 10,
                       f"{name} to publish its socket")
            # A driver that has already done its work and gone is fine.
            check(p.running() or p.proc.returncode == 0,
                  f"{name} failed at once: {p.describe_status(p.proc.returncode)}, {p.err()!r}")
        return p

    def sockets(self):
        return [n for n in os.listdir(self.driver_dir) if not n.startswith(".")]


# ------------------------------------------------- a driver of the script's

# The driver bus's frames (BUS_REQUEST, BUS_REPLY and the EVENT_HEADER of a
# reply, made by use_byte_order above), written down again here from the
# protocol rather than taken from lib/platform, so that the service is
# checked against an independent reading of it.
BUS_REQUEST_MAGIC = 0x51425654
BUS_REPLY_MAGIC = 0x52425654


def event_reply(text, wait=0, lost=0, text_len=None, size=None):
    """A method-6 reply: the 1036-byte record, or only its first `size` bytes."""
    body = EVENT_HEADER.pack(lost, len(text) if text_len is None else text_len, wait)
    body += text.ljust(TEXT_SIZE, b"\0")
    return body if size is None else body[:size]


class ScriptedDriver:
    """A driver instance served by this script: every method-6 request takes
    the next prepared reply, as raw bytes; once they are used up, `after` is
    the reply (by default one that asks the service to wait). Every other
    call succeeds with no output. `requests` counts the method-6 requests;
    while `gate` (an Event) is clear, method 6 is not answered. `adopt`: a
    socket already published under the name that refused until now (bound,
    not listening), which from now on answers: the same instance, mended."""

    def __init__(self, world, name, replies, after=None, gate=None, adopt=None):
        self.replies = list(replies)
        self.after = event_reply(b"", wait=1) if after is None else after
        self.requests = 0
        self.gate = gate
        self.path = os.path.join(world.driver_dir, "TrelvoxController." + name)
        hidden = os.path.join(world.driver_dir, "." + name)
        self.sock = adopt or socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        if adopt is None:
            self.sock.bind(hidden)
        self.sock.listen(4)
        self.sock.settimeout(0.1)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        if adopt is None:
            os.rename(hidden, self.path)

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            with conn:
                try:
                    self._answer(conn)
                except OSError:
                    pass  # the service went away in the middle of an answer

    def _answer(self, conn):
        buffered = b""
        while self.running:
            while len(buffered) < BUS_REQUEST.size:
                data = conn.recv(65536)
                if not data:
                    return
                buffered += data
            magic, kind, selector, size, capacity = BUS_REQUEST.unpack_from(buffered)
            while len(buffered) < BUS_REQUEST.size + size:
                data = conn.recv(65536)
                if not data:
                    return
                buffered += data
            buffered = buffered[BUS_REQUEST.size + size:]
            payload = b""
            if kind == 3 and selector == 6:
                while self.gate is not None and self.running and not self.gate.wait(0.1):
                    pass
                self.requests += 1
                payload = self.next_reply()
            conn.sendall(BUS_REPLY.pack(BUS_REPLY_MAGIC, 0, len(payload)) + payload)

    def next_reply(self):
        """The answer to a method-6 request."""
        return self.replies.pop(0) if self.replies else self.after

    def close(self, unpublish=False):
        self.running = False
        self.thread.join()
        self.sock.close()
        if unpublish:
            os.unlink(self.path)


def check_clean_end(process, status, want):
    check(status == want, f"{process.name}: {process.describe_status(status)}, want {want}; "
                          f"standard error: {process.err()!r}")
    check(process.err() == b"", f"{process.name} wrote to standard error: {process.err()!r}")


def run_scenarios(scenarios, argv=None):
    """Command line: --logd PATH --sim PATH [--target-run PATH] [--byte-order
    ORDER] SCENARIO. Runs one scenario."""
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--logd", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--target-run", help="the command that runs the build's programs, "
                                             "when they are another CPU's")
    parser.add_argument("--byte-order", choices=["little", "big"], default=sys.byteorder,
                        help="the programs' byte order (default: this host's)")
    parser.add_argument("scenario", choices=sorted(scenarios))
    args, rest = parser.parse_known_args(argv)
    TARGET_RUN[:] = [args.target_run] if args.target_run else []
    use_byte_order(args.byte_order)
    started = time.monotonic()
    try:
        scenarios[args.scenario](args, rest)
    except Skip as skip:
        print(f"SKIP: {skip}")
        sys.exit(SKIP_STATUS)
    except Failure as failure:
        print(f"FAIL: {args.scenario}: {failure}")
        sys.exit(1)
    print(f"PASS: {args.scenario} ({time.monotonic() - started:.1f} s)")
