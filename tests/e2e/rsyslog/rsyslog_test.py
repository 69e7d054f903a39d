#!/usr/bin/env python3
"""The driver's events collected from a host on a central server through
rsyslog, all real processes: trelvoxsim -> trelvoxlogd -s -> a host rsyslogd
with the shipped packaging/rsyslog/trelvoxlogd-forward.conf -> a central
rsyslogd with trelvoxlogd-central.conf on 127.0.0.1, which writes the host's
file /var/log/trelvox/HOST/Trelvox.log.

Each scenario runs in private mount, network and host-name namespaces: /var
is a tmpfs (the service's /var/quenlab, rsyslog's work directories, the
central's files), the loopback network is the scenario's own, the host is
called trelvox-host-a, and "loghost" (the central server in the shipped
configuration) is 127.0.0.1 through an /etc/hosts of its own. The shipped
files are included unchanged, under a main configuration that stands for
/etc/rsyslog.conf and sets only the work directory (/var/spool/rsyslog, as
Debian's does; the central's is /var/spool/rsyslog-central).

Every driver line carries a sequence number; the central file must hold the
lines of Trelvox.log in their order, each once (after a SIGKILL each at least
once, and the repeats are counted)."""

import fcntl
import os
import random
import shutil
import signal
import socket
import statistics
import struct
import sys
import tempfile
import time
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))

from trelvox_e2e import (CLOSE_FAILED, ESTABLISHED, ESTABLISHING, LOST_DATA,  # noqa: E402
                         WAITING, Failure, Process, World, check, run_scenarios, stamp,
                         write_replay)
from trelvox_namespace import enter_namespace, make_namespace_world, run  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
CONF_DIR = os.path.join(SOURCE, "packaging", "rsyslog")
HOST = "trelvox-host-a"
LOG_DIR = "/var/quenlab/log"
CENTRAL_FILE = f"/var/log/trelvox/{HOST}/Trelvox.log"
LIMIT = 52428800  # the service rotates its log at 50 MiB
MIB = 1 << 20
RELP_PORT = 2514
TCP_PORT = 10514

# ------------------------------------------------------------ the driver's lines

LINE_SIZE = 500  # a driver line with its token and line end; two to a reply
FIRST_TIME = 0x65A1F3C0
FILLER = b"Port login to WWPN 21:00:00:24:ff:4a:9c:10, D_ID 0x010200, RPI 17; "


def line_text(seq, size):
    """The text of driver line `seq` after its token, `size` bytes with the
    line end."""
    head = b"trelvox0: seq %09d " % seq
    body = (FILLER * (size // len(FILLER) + 1))[:size - len(head) - 1]
    return head + body + b"\n"


class LogModel:
    """Where the service's writes fall among its rotations: every output item
    is one write, and the log rotates after the write that brings it to 50
    MiB. The lines are sized so that no rotation falls inside one."""

    def __init__(self):
        self.size = 0
        self.rotations = 0
        self.lines = []  # the lines of the log, as the central file must have them
        self.partial = b""

    def write(self, piece):
        self.partial += piece
        *done, self.partial = self.partial.split(b"\n")
        self.lines += [line for line in done if line]  # empty lines are not sent
        self.size += len(piece)
        if self.size >= LIMIT:
            check(piece.endswith(b"\n"), "the test's lines put a rotation inside a line")
            self.size = 0
            self.rotations += 1


class Phase:
    """One driver that sends `nbytes` of lines and goes: its replay file and
    what the service makes of it. With `pace`, every pace-th reply sets the
    wait flag, so that the service rests a millisecond: a steady stream
    rather than a burst."""

    def __init__(self, world, model, first_seq, nbytes, name, pace=0):
        self.path = world.path(name + ".replay")
        model.write(ESTABLISHING)
        model.write(ESTABLISHED)
        entries, reply, seq, sent = [], b"", first_seq, 0
        while sent < nbytes:
            size = LINE_SIZE
            # A line ending within a time stamp's length of the limit would
            # let the next stamp rotate the log; make it reach the limit.
            end = model.size + 19 + size - 10
            if LIMIT - 19 <= end < LIMIT:
                size += LIMIT - end
            token = b"{%08X}" % (FIRST_TIME + seq // 100)
            text = line_text(seq, size - len(token))
            model.write(stamp(FIRST_TIME + seq // 100))
            model.write(text)
            if len(reply) + len(token) + len(text) > 1024:
                rest = 1 if pace and len(entries) % pace == pace - 1 else 0
                entries.append((0, len(reply), rest, reply, 1))
                reply = b""
            reply += token + text
            seq += 1
            sent += len(token) + len(text)
        entries.append((0, len(reply), 0, reply, 1))
        for piece in (LOST_DATA, CLOSE_FAILED, WAITING):
            model.write(piece)
        write_replay(self.path, entries)
        self.next_seq = seq

    def start(self, world):
        return world.start_sim("--replay", self.path, "--exit-when-done")


def seq_of(line):
    at = line.find(b": seq ")
    return int(line[at + 6:at + 15]) if at >= 0 else None

# ---------------------------------------------------------------- the namespace


def bring_up_loopback():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        flags = 0x1 | 0x8 | 0x40  # IFF_UP, IFF_LOOPBACK, IFF_RUNNING
        fcntl.ioctl(sock, 0x8914, struct.pack("16sH14x", b"lo", flags))  # SIOCSIFFLAGS
    finally:
        sock.close()


def make_collection_world():
    stage = tempfile.mkdtemp(prefix="trelvox-stage-")
    try:
        # The service's logs (five of 50 MiB at most) and the central's copy.
        make_namespace_world(stage, var_size="1g")
    finally:
        os.rmdir(stage)
    bring_up_loopback()
    with open("/proc/sys/kernel/hostname", "w") as f:
        f.write(HOST)
    os.makedirs("/var/etc")
    with open("/var/etc/hosts", "w") as f:
        f.write("127.0.0.1 localhost loghost\n")
    run("mount", "--bind", "/var/etc/hosts", "/etc/hosts")


def tcp_sockets(port, state):
    """The TCP sockets of this network namespace on the local port in the
    state (0A listening, 01 established), as rows of /proc/net/tcp."""
    with open("/proc/net/tcp") as f:
        rows = [row.split() for row in f.readlines()[1:]]
    return [r for r in rows if r[1].endswith(":%04X" % port) and r[3] == state]


def listening(port):
    return bool(tcp_sockets(port, "0A"))


def received_unread(port):
    """The bytes that the connections to the local port have received and
    their program has not read, once that has not changed for half a
    second."""
    held, steady = -1, time.monotonic()
    while time.monotonic() - steady < 0.5:
        time.sleep(0.05)
        now = sum(int(r[4].split(":")[1], 16) for r in tcp_sockets(port, "01"))
        if now != held:
            held, steady = now, time.monotonic()
    return held

# ---------------------------------------------------------------- rsyslog


class Rsyslogd:
    """One rsyslogd in the foreground with a main configuration that includes
    shipped files, as /etc/rsyslog.conf includes /etc/rsyslog.d/*.conf; its
    own messages go to standard error."""

    def __init__(self, world, name, workdir, includes, ports=()):
        self.world, self.name, self.ports = world, name, ports
        os.makedirs(workdir, 0o700, exist_ok=True)
        self.conf = world.path(name + ".conf")
        with open(self.conf, "w") as f:
            f.write(f'global(workDirectory="{workdir}")\n')
            for include in includes:
                f.write(f'include(file="{os.path.join(CONF_DIR, include)}")\n')
        self.starts = 0
        self.process = None

    def start(self):
        self.starts += 1
        argv = [shutil.which("rsyslogd") or "rsyslogd", "-n", "-f", self.conf,
                "-i", self.world.path(self.name + ".pid")]
        self.process = Process(argv, self.world.env, self.world.work, f"{self.name}{self.starts}")
        self.world.processes.append(self.process)
        for port in self.ports:
            wait_until_listening(self, port)
        return self

    def stop(self, sig=signal.SIGTERM):
        self.process.signal(sig)
        status = self.process.wait(30)
        want = -sig if sig == signal.SIGKILL else 0
        check(status == want, f"{self.name}: {self.process.describe_status(status)} after "
                              f"{signal.Signals(sig).name}; its messages: {self.messages()}")

    def messages(self):
        """What rsyslogd said of itself: in the foreground, on standard error."""
        return self.process.err()[-2000:] if self.process else b""


def wait_until_listening(rsyslogd, port):
    end = time.monotonic() + 20
    while not listening(port):
        check(rsyslogd.process.running(), f"{rsyslogd.name} ended: {rsyslogd.messages()!r}")
        check(time.monotonic() < end, f"{rsyslogd.name} does not listen on port {port}")
        time.sleep(0.02)


class CentralFile:
    """The central server's file for the host, read as it grows."""

    def __init__(self):
        self.lines, self.times = [], []
        self.offset, self.partial = 0, b""
        self.top = -1  # the highest sequence number so far

    def poll(self):
        try:
            with open(CENTRAL_FILE, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return
        now = time.monotonic()
        self.offset += len(data)
        *done, self.partial = (self.partial + data).split(b"\n")
        for line in done:
            # The host's time of reading, a blank, the line.
            self.lines.append(line.split(b" ", 1)[1] if b" " in line else b"")
            self.times.append(now)
            self.top = max(self.top, seq_of(self.lines[-1]) or -1)

    def wait_for(self, done, what, rsyslogs, quiet=30):
        """Until done(self) holds; Failure when nothing new arrives for
        `quiet` seconds."""
        last, progress = len(self.lines), time.monotonic()
        while True:
            self.poll()
            if done(self):
                return
            if len(self.lines) != last:
                last, progress = len(self.lines), time.monotonic()
            if time.monotonic() - progress > quiet:
                for r in rsyslogs:
                    print(f"{r.name} said: {r.messages().decode(errors='replace')}")
                raise Failure(f"{what}: the central file stopped at {len(self.lines)} lines, up "
                              f"to seq {self.top}")
            time.sleep(0.01)


def ranges(numbers):
    """Sequence numbers as runs: 3-7, 12."""
    runs = []
    for n in sorted(numbers):
        if runs and runs[-1][1] == n - 1:
            runs[-1][1] = n
        else:
            runs.append([n, n])
    return ", ".join(f"{a}-{b}" if a != b else f"{a}" for a, b in runs[:10])


def compare(got, want, what):
    """Every line once and in order; Failure with the first difference and
    the sequence numbers missing or repeated."""
    if got == want:
        return
    n = min(len(got), len(want))
    at = next((i for i in range(n) if got[i] != want[i]), n)
    wanted, counts = set(want), {}
    for line in got:
        counts[line] = counts.get(line, 0) + 1
    missing = [line for line in want if line not in counts]
    twice = [line for line, c in counts.items() if c > 1]
    strange = [line for line in counts if line not in wanted]

    def seqs(lines):
        return ranges(s for s in map(seq_of, lines) if s is not None)

    raise Failure(f"{what}: {len(got)} lines, want {len(want)}; first difference at line {at}:\n"
                  f"  got:  {[g[:60] for g in got[at:at + 2]]!r}\n"
                  f"  want: {[w[:60] for w in want[at:at + 2]]!r}\n"
                  f"  missing {len(missing)} (seq {seqs(missing)}) {[m[:60] for m in missing[:3]]}\n"
                  f"  repeated {len(twice)} (seq {seqs(twice)}); not sent {len(strange)}: "
                  f"{[x[:60] for x in strange[:3]]}")


def repeats(got, want, what):
    """Every line at least once and the first arrivals in order; returns
    where in `got` lines came again (a line the log holds n times counts
    from n + 1)."""
    allowed, first, again = Counter(want), [], []
    for at, line in enumerate(got):
        if allowed[line] > 0:
            allowed[line] -= 1
            first.append(line)
        else:
            again.append(at)
    compare(first, want, what + " (first arrivals)")
    return again


class Collection:
    """The whole chain in one namespace: the service, the central and the
    host rsyslogd, and the model of the log they carry."""

    def __init__(self, world, host_conf="trelvoxlogd-forward.conf", central_extra=(),
                 ports=(RELP_PORT,)):
        self.world = world
        self.model = LogModel()
        self.central = Rsyslogd(world, "central", "/var/spool/rsyslog-central",
                                ["trelvoxlogd-central.conf", *central_extra], ports).start()
        self.host = Rsyslogd(world, "host", "/var/spool/rsyslog", [host_conf]).start()
        self.file = CentralFile()
        self.seq = 0
        self.phases = 0
        self.logd = None

    def phase(self, nbytes, pace=0):
        """Publishes a driver that sends nbytes of lines and goes; the first
        one starts the service."""
        self.phases += 1
        phase = Phase(self.world, self.model, self.seq, nbytes, f"phase{self.phases}", pace)
        self.seq = phase.next_seq
        sim = phase.start(self.world)
        if self.logd is None:
            self.logd = self.world.start_logd("-s")
        return sim

    def written(self, sim):
        """Waits until the driver has sent everything and gone."""
        status = sim.wait(120)
        check(status == 0, f"{sim.name}: {sim.describe_status(status)}, {sim.err()!r}")
        wait_until_true(lambda: tail(LOG_DIR + "/Trelvox.log", len(WAITING)) == WAITING, 30,
                        "the service's log after the driver left")

    def wait_for(self, count, what):
        self.file.wait_for(lambda f: len(f.lines) >= count, what, [self.host, self.central])

    def delivered(self, what):
        """Until the file ends with the log's last line: repeats and losses
        make a count unreliable."""
        last = self.model.lines[-1]
        try:
            self.file.wait_for(lambda f: f.lines[-1:] == [last], what, [self.host, self.central])
        except Failure:
            compare(self.file.lines, self.model.lines, what)
            raise
        time.sleep(0.5)  # anything more would be a repeat
        self.file.poll()


def wait_until_true(predicate, timeout, what):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.01)


def tail(path, n):
    try:
        with open(path, "rb") as f:
            f.seek(max(0, os.path.getsize(path) - n))
            return f.read()
    except FileNotFoundError:
        return b""


def collection(body):
    def scenario(args, rest):
        enter_namespace("the rsyslog suite", ("mount", "net", "uts"))
        check(shutil.which("rsyslogd") is not None,
              "rsyslogd is not installed (scripts/setup.sh installs rsyslog and rsyslog-relp)")
        make_collection_world()
        with World(args.logd, args.sim) as world:
            body(world)
    return scenario

# ---------------------------------------------------------------- scenarios


def mb(n):
    return f"{n / 1e6:.1f} MB"


@collection
def rotations(world):
    """110 MiB through two rotations of the service's log: every line once
    and in order; the throughput of the chain and its latency for a single
    line."""
    chain = Collection(world)
    began = time.monotonic()
    sim = chain.phase(110 * MIB)
    chain.written(sim)
    wrote = time.monotonic() - began
    chain.delivered("110 MiB")
    took = chain.file.times[-1] - began
    check(chain.model.rotations == 2, f"{chain.model.rotations} rotations, want 2")
    check(os.path.exists(LOG_DIR + "/Trelvox.02.log"), "no Trelvox.02.log: the log did not rotate")
    compare(chain.file.lines, chain.model.lines, "the central file after 110 MiB")
    size = sum(len(line) + 1 for line in chain.model.lines)
    print(f"throughput: {mb(size)} in {len(chain.model.lines)} lines collected in {took:.1f} s: "
          f"{size / took / 1e6:.1f} MB/s, {len(chain.model.lines) / took:.0f} lines/s "
          f"(the service wrote them in {wrote:.1f} s)")

    # Latency: one line at a time; the service's log and the central file
    # are polled in turn every millisecond.
    from_log, from_driver = [], []
    for _ in range(5):
        before = len(chain.model.lines)
        published = time.monotonic()
        sim = chain.phase(200)
        line, written = chain.model.lines[before + 1], None
        end = published + 30
        while len(chain.file.lines) < before + 2:
            check(time.monotonic() < end, "the probe line did not arrive within 30 s")
            if written is None and line in tail(LOG_DIR + "/Trelvox.log", 4096):
                written = time.monotonic()
            chain.file.poll()
            time.sleep(0.001)
        arrived = chain.file.times[before + 1]
        from_log.append((arrived - (written or arrived)) * 1000)
        from_driver.append((arrived - published) * 1000)
        chain.written(sim)
        chain.delivered("the probe")
    compare(chain.file.lines, chain.model.lines, "the central file after the probes")
    print(f"latency of a single line, median and max over {len(from_log)}: from Trelvox.log to "
          f"the central file {statistics.median(from_log):.1f} and {max(from_log):.1f} ms (0.0: "
          f"there before the 1 ms poll saw it in the log); from the driver's start "
          f"{statistics.median(from_driver):.0f} and {max(from_driver):.0f} ms")


@collection
def host_restart(world):
    """The host's rsyslogd stopped (SIGTERM) while lines flow, the log rotated
    while it is down, and started again: it takes up the rest of the renamed
    file, then the new one; no line lost, none twice."""
    chain = Collection(world)
    sim = chain.phase(30 * MIB)
    chain.wait_for(10000, "the first lines")
    chain.host.stop(signal.SIGTERM)
    stopped_at = len(chain.file.lines)
    chain.written(sim)
    chain.written(chain.phase(30 * MIB))
    check(chain.model.rotations == 1 and os.path.exists(LOG_DIR + "/Trelvox.01.log"),
          "the log did not rotate while the host's rsyslogd was down")
    chain.host.start()
    chain.delivered("after the restart")
    compare(chain.file.lines, chain.model.lines, "the central file after the restart")
    print(f"stopped after {stopped_at} of {len(chain.model.lines)} lines; the log rotated "
          f"meanwhile; all lines arrived once, in order")


# The kill scenario: KILLS kills along a stream that crosses the first
# rotation, paced (a rest every KILL_PACE replies) so that the host mostly
# reads the log as it grows, and from a backlog after each start.
KILLS = 5
KILL_STREAM = 56 * MIB
KILL_PACE = 32


@collection
def host_kill(world):
    """SIGKILL to the host's rsyslogd at KILLS random places of a steady
    stream, each followed by a random pause and a start: no line lost. The
    last kill finds the central server hung, with the lines the host sent
    unanswered waiting in the central's socket: no more than the host's
    RELP window of two (librelp takes 1 for its default, 128). What the
    host had read since it last noted its reading position comes again;
    that is counted for each kill and not limited here, since a kill while
    rsyslog rewrites its position file leaves it empty and the whole file
    comes again. TRELVOX_KILL_SEED=N repeats the places and pauses of a
    run."""
    seed = int(os.environ.get("TRELVOX_KILL_SEED") or random.SystemRandom().randrange(1 << 32))
    rng = random.Random(seed)
    print(f"TRELVOX_KILL_SEED={seed}")
    chain = Collection(world)
    began = time.monotonic()
    sim = chain.phase(KILL_STREAM, pace=KILL_PACE)
    # One kill at a random place in each of KILLS stretches of the stream,
    # from a few thousand lines in to a tenth before its end: apart
    # whatever the load, and each while lines flow.
    stretch = (chain.seq * 9 // 10 - 3000) // KILLS
    places = [3000 + k * stretch + rng.randrange(stretch // 10, stretch) for k in range(KILLS)]
    marks = []  # where in the central file each kill falls
    for k, place in enumerate(places):
        chain.file.wait_for(lambda f: f.top >= place, f"kill {k + 1} at seq {place}",
                            [chain.host, chain.central])
        hung = k == KILLS - 1
        if hung:
            # Frozen while the host has lines on their way: a host that was
            # between two reads when the central stopped is given another go.
            for _ in range(10):
                chain.central.process.signal(signal.SIGSTOP)
                held = received_unread(RELP_PORT)
                if held > 0:
                    break
                chain.central.process.signal(signal.SIGCONT)
                time.sleep(0.2)
        chain.host.stop(signal.SIGKILL)
        if hung:
            chain.central.process.signal(signal.SIGCONT)
            # A frame is longer than its line, and the lines here are LINE_SIZE.
            check(0 < held < 3 * LINE_SIZE, f"the host sent {held} bytes to the hung central "
                  f"server, want one or two lines ({LINE_SIZE} bytes and more each)")
        chain.file.poll()
        marks.append(len(chain.file.lines))
        pause = rng.uniform(0.1, 1.0)
        print(f"kill {k + 1} after seq {chain.file.top}, {pause:.2f} s down" +
              (f", the central hung with {held} bytes unread" if hung else ""))
        time.sleep(pause)
        chain.host.start()
    chain.written(sim)
    wrote = time.monotonic() - began
    check(chain.model.rotations == 1 and os.path.exists(LOG_DIR + "/Trelvox.01.log"),
          "the log did not rotate during the kills")
    what = f"the central file after {KILLS} SIGKILLs of the host's rsyslogd"
    chain.delivered(what)
    again = repeats(chain.file.lines, chain.model.lines, what)
    check(not again or again[0] >= marks[0], f"{what}: a line came twice before the first kill")
    marks.append(len(chain.file.lines))
    counts = [sum(marks[k] <= at < marks[k + 1] for at in again) for k in range(KILLS)]
    print(f"{KILLS} SIGKILLs along {len(chain.model.lines)} lines with a rotation, written in "
          f"{wrote:.1f} s: 0 lost; came again after each kill: {counts}")


@collection
def central_outage(world):
    """The central server away for three seconds while lines flow: the
    host's reading waits and resumes, RELP sends again what the server did
    not acknowledge; no line lost, none twice."""
    chain = Collection(world)
    sim = chain.phase(30 * MIB)
    chain.wait_for(10000, "the first lines")
    chain.central.stop(signal.SIGTERM)
    stopped_at = len(chain.file.lines)
    time.sleep(3)
    chain.central.start()
    chain.written(sim)
    chain.delivered("after the central's outage")
    compare(chain.file.lines, chain.model.lines, "the central file after its outage")
    print(f"central rsyslogd stopped after {stopped_at} of {len(chain.model.lines)} lines, 3 s "
          "down: all lines arrived once, in order")


@collection
def tcp_fallback(world):
    """The plain-TCP variant of both sides carries the lines too."""
    chain = Collection(world, "trelvoxlogd-forward-tcp.conf", ["trelvoxlogd-central-tcp.conf"],
                       (RELP_PORT, TCP_PORT))
    chain.written(chain.phase(5 * MIB))
    chain.delivered("over TCP")
    compare(chain.file.lines, chain.model.lines, "the central file over TCP")


SCENARIOS = {
    "rotations": rotations,
    "host-restart": host_restart,
    "host-kill": host_kill,
    "central-outage": central_outage,
    "tcp-fallback": tcp_fallback,
}

if __name__ == "__main__":
    run_scenarios(SCENARIOS)
