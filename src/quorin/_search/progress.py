"""The progress bar of a search."""

import math
import sys


class _Progress:
    """A progress bar of configurations tested: tqdm when installed, else a line on stderr."""

    def __init__(self, enabled, total, initial):
        self.bar = None
        if enabled:
            try:
                import tqdm
            except ImportError:
                self.bar = _LineProgress(total, initial)
            else:
                self.bar = _TqdmProgress(tqdm, total, initial)

    def __enter__(self):
        return self.bar

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()


class _TqdmProgress:
    def __init__(self, tqdm, total, initial):
        self.bar = tqdm.tqdm(total=total, initial=initial, unit="config", unit_scale=True,
                             desc="quorin search", file=sys.stderr)

    def update(self, tested, hits):
        self.bar.set_postfix(hits=hits, refresh=False)
        self.bar.update(tested)

    def close(self):
        self.bar.close()


class _LineProgress:
    """One line, rewritten in place on a terminal and printed at most every few seconds
    elsewhere (a log file gets a readable history)."""

    def __init__(self, total, initial):
        import time

        self.clock = time.monotonic
        self.total, self.tested, self.hits = total, initial, 0
        self.began, self.initial = self.clock(), initial
        self.tty = sys.stderr.isatty()
        self.every = 0.2 if self.tty else 5.0
        self.shown = -math.inf

    def update(self, tested, hits):
        self.tested += tested
        self.hits = hits
        if self.clock() - self.shown >= self.every:
            self._show()

    def _show(self):
        self.shown = self.clock()
        share = 100.0 * self.tested / self.total if self.total else 100.0
        elapsed = self.shown - self.began
        rate = (self.tested - self.initial) / elapsed if elapsed > 0 else 0.0
        left = (f", {_duration((self.total - self.tested) / rate)} left"
                if rate > 0 and self.total != math.inf else "")
        line = (f"quorin search: {self.tested:,} of {self.total:,} configurations tested "
                f"({share:.1f} %), {_rate(rate)}{left}, {self.hits} hits")
        sys.stderr.write(("\r" + line) if self.tty else (line + "\n"))
        sys.stderr.flush()

    def close(self):
        self._show()
        if self.tty:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _rate(per_second):
    for scale, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if per_second >= scale:
            return f"{per_second / scale:.1f} {unit}/s"
    return f"{per_second:.0f} /s"


def _duration(seconds):
    if seconds >= 86400 * 365:
        return f"{seconds / (86400 * 365):.1f} years"
    if seconds >= 86400:
        return f"{seconds / 86400:.1f} days"
    hours, rest = divmod(int(seconds), 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"
