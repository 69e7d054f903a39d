"""A driver that makes numbered event lines at a steady rate into a buffer
of its own, as the adapter's driver does: what the service does not fetch in
time is dropped when the buffer is full, counted, and reported as lost bytes
in the next reply. The numbers let a scenario count exactly what reached
the log and what did not."""

import re
import threading
import time

from trelvox_e2e import TEXT_SIZE, ScriptedDriver, event_reply

LINE_SIZE = 75  # the size of a typical line of the adapter's log
NUMBER = re.compile(rb"san line (\d{7}) ")


def numbers(text):
    """The line numbers in a text the service wrote, in order."""
    return [int(n) for n in NUMBER.findall(text)]


class NumberedDriver(ScriptedDriver):
    """Lines "{time}san line NNNNNNN ....\\n", `rate` a second from now on
    until stop(); buffer: the bytes held for the service."""

    def __init__(self, world, name, rate, buffer=65536):
        self.rate = rate
        self.buffer_size = buffer
        self.lock = threading.Lock()
        self.pending = bytearray()
        self.made = 0  # lines made
        self.dropped = []  # numbers of the lines the buffer had no room for
        self.unreported = 0  # dropped bytes not yet told to the service
        self.served = []  # (monotonic time, last number) of each reply with text
        self.producing = True
        super().__init__(world, name, [])
        self.producer = threading.Thread(target=self._produce, daemon=True)
        self.producer.start()

    def _line(self, number):
        head = b"{%08X}san line %07d " % (int(time.time()), number)
        return head + b"." * (LINE_SIZE - len(head) - 1) + b"\n"

    def _produce(self):
        began = time.monotonic()
        while self.producing:
            due = int((time.monotonic() - began) * self.rate)
            with self.lock:
                while self.made < due:
                    line = self._line(self.made)
                    if len(self.pending) + len(line) > self.buffer_size:
                        self.dropped.append(self.made)
                        self.unreported += len(line)
                    else:
                        self.pending += line
                    self.made += 1
            time.sleep(0.002)

    def next_reply(self):
        with self.lock:
            take = len(self.pending) if len(self.pending) <= TEXT_SIZE else \
                self.pending.rfind(b"\n", 0, TEXT_SIZE) + 1
            text = bytes(self.pending[:take])
            del self.pending[:take]
            lost, self.unreported = self.unreported, 0
            if text:
                self.served.append((time.monotonic(), numbers(text)[-1]))
            return event_reply(text, wait=0 if self.pending else 1, lost=lost)

    def stop(self):
        """Makes no more lines; returns how many were made."""
        self.producing = False
        self.producer.join()
        return self.made

    def close(self, unpublish=False):
        self.producing = False
        super().close(unpublish)

    def drained(self):
        with self.lock:
            return not self.pending

    def last_served(self):
        """The number of the last line fetched by the service, or -1."""
        with self.lock:
            return self.served[-1][1] if self.served else -1

    def served_before(self, moment):
        """The number of the last line the service fetched before `moment`
        (monotonic), or -1."""
        with self.lock:
            done = [number for at, number in self.served if at < moment]
        return done[-1] if done else -1
