"""The status line of a running search, on stderr: configurations tested and the share of
the range, the rate of this run, the time left at that rate, hits so far, time elapsed.

It is read from the search's checkpoint, which quorin.search rewrites (atomically) every
time a task finishes: the line moves a task at a time and never counts work that a Ctrl-C
would lose. On a terminal it is redrawn in place; otherwise (a log file, a pipe) it is
printed as a new line every ``every`` seconds.
"""

import math
import os
import sys
import threading
import time

from quorin.cli.session import read_checkpoint

TERMINAL_REDRAW = 0.5  # seconds between redraws on a terminal


class Status:
    def __init__(self, checkpoint, total, every=10.0, stream=None, enabled=True, unit="keys"):
        self.checkpoint = checkpoint
        self.total = total  # configurations in the range (None: beyond counting)
        self.stream = stream if stream is not None else sys.stderr
        self.tty = bool(getattr(self.stream, "isatty", lambda: False)())
        self.every = TERMINAL_REDRAW if self.tty else max(0.1, float(every))
        self.enabled = enabled
        self.unit = unit  # what the rate counts: "keys", "configurations"
        self.began = self.changed_at = time.monotonic()
        self.tested = self.initial = 0
        self.hits = 0
        self.drawn = False
        self._stop = threading.Event()
        self._thread = None
        self._lock = threading.Lock()
        self._seen = None  # the checkpoint file last read: (mtime, size, inode)

    def start(self):
        """Reads where the search stands (a restored session's work counts as done, not as
        this run's rate) and starts the line."""
        found = read_checkpoint(self.checkpoint)
        if found is not None:
            self.initial, self.hits = found
            self.tested = self.initial
        self.began = self.changed_at = time.monotonic()
        if self.enabled:
            self._thread = threading.Thread(target=self._run, name="quorin status", daemon=True)
            self._thread.start()

    def _run(self):
        while not self._stop.wait(self.every):
            self.show()

    def refresh(self):
        """Reads the checkpoint again if it has been replaced since the last read."""
        try:
            stat = os.stat(self.checkpoint)
            seen = (stat.st_mtime_ns, stat.st_size, stat.st_ino)
        except OSError:
            seen = None
        if seen is not None and seen == self._seen:
            return
        found = read_checkpoint(self.checkpoint)
        if found is not None:
            if found[0] != self.tested:
                self.changed_at = time.monotonic()
            self.tested, self.hits = found
            self._seen = seen

    def rate(self):
        """Configurations per second in this run, as of the last task that finished (None
        before the first): the count moves a task at a time, the rate stays steady."""
        elapsed = self.changed_at - self.began
        done = self.tested - self.initial
        return done / elapsed if done > 0 and elapsed > 0 else None

    def left(self, rate):
        """Seconds left at ``rate``, counted down since the last task finished."""
        since = time.monotonic() - self.changed_at
        return max(0.0, (self.total - self.tested) / rate - since)

    def line(self):
        rate = self.rate()
        parts = [f"{count_text(self.tested)}"]
        if self.total is not None:
            share = 100.0 * self.tested / self.total if self.total else 100.0
            parts[0] += f" of {count_text(self.total)} tested ({share:.1f} %)"
        else:
            parts[0] += " tested"
        parts.append(f"{count_text(rate)} {self.unit}/s" if rate else "rate -")
        if self.total is not None:
            parts.append(f"{duration_text(self.left(rate))} left" if rate else "time left -")
        parts.append(f"{self.hits} hit{'s' if self.hits != 1 else ''}")
        parts.append(f"{duration_text(time.monotonic() - self.began)} elapsed")
        return "quorin: " + ", ".join(parts)

    def show(self):
        with self._lock:
            self.refresh()
            text = self.line()
            if self.tty:
                self.stream.write("\r" + text + "\x1b[K")
                self.drawn = True
            else:
                self.stream.write(text + "\n")
            self.stream.flush()

    def stop(self, show=True):
        """Stops the thread, shows the line one last time (unless ``show`` is false) and
        ends it."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
            if show:
                self.show()
            else:
                self.refresh()
            if self.tty and self.drawn:
                self.stream.write("\n")
                self.stream.flush()
        else:
            self.refresh()


def count_text(value):
    """A count with SI prefixes: 1.23 G."""
    if value is None:
        return "-"
    if value >= 1e21:
        return f"2^{math.log2(value):.1f}"
    for prefix, scale in (("E", 1e18), ("P", 1e15), ("T", 1e12), ("G", 1e9), ("M", 1e6),
                          ("k", 1e3)):
        if value >= scale:
            return f"{value / scale:.3g} {prefix}"
    return f"{value:.0f}" if isinstance(value, float) else str(value)


def duration_text(seconds):
    """Seconds as people read them: 42 s, 3 min 20 s, 5 h 02 min, 12 days, 3.1e+09 years."""
    if seconds < 1:
        return f"{seconds:.2g} s" if seconds >= 0.01 else "0 s"
    if seconds < 10:
        return f"{seconds:.1f} s"
    if seconds < 60:
        return f"{seconds:.0f} s"
    if seconds < 3600:
        return f"{int(seconds // 60)} min {int(seconds % 60):02d} s"
    if seconds < 86400:
        return f"{int(seconds // 3600)} h {int(seconds % 3600 // 60):02d} min"
    days = seconds / 86400
    if days < 365:
        return f"{days:.1f} days"
    years = days / 365.25
    return f"{years:.3g} years" if years < 1e6 else f"{years:.2e} years"
