"""The progress bar of a search."""

import math
import sys



# ---------------------------------------------------------------------------------------
# progress


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
        line = (f"quorin search: {self.tested:,} of {self.total:,} configurations tested "
                f"({share:.1f} %), {self.hits} hits")
        sys.stderr.write(("\r" + line) if self.tty else (line + "\n"))
        sys.stderr.flush()

    def close(self):
        self._show()
        if self.tty:
            sys.stderr.write("\n")
            sys.stderr.flush()
