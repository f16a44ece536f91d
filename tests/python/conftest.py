"""Shared helpers for the quorin tests: draining enumerators, a brute-force oracle and a
way to run code in a fresh interpreter that finds the same quorin module."""

import itertools
import math
import os
import signal
import subprocess
import sys

import pytest

import quorin

# A run started in the background by a shell inherits SIGINT ignored, and so would every
# process the Ctrl-C tests start (they would run on forever): SIGINT is delivered again.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

Enumerator = quorin.quorin


@pytest.fixture(params=[True, False], ids=["cache", "no-cache"])
def cache(request):
    """The cache changes speed and memory only, so every behaviour is checked both ways."""
    return request.param


class Indexable:
    """An integer-like object that only offers __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatable:
    """A number-like object that only offers __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IntOnly:
    """__int__ alone is not a float conversion."""

    def __int__(self):
        return 1


class HugeLength:
    """Claims 2**50 items, far more than any machine can hold as doubles or rows."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 2**50

    def __getitem__(self, index):
        return self.item


def drain_arrays(enumerator):
    """Advances `enumerator` itself (not a copy) until StopIteration; returns the arrays."""
    arrays = []
    while True:
        try:
            arrays.append(next(enumerator))
        except StopIteration:
            return arrays


def drain(enumerator):
    """Like drain_arrays, with every configuration as a plain list of column indices."""
    return [array.tolist() for array in drain_arrays(enumerator)]


def configurations(probs, cache_assignments=True):
    return drain(Enumerator(probs, cache_assignments))


def all_configurations(probs):
    return [list(c) for c in itertools.product(*(range(len(row)) for row in probs))]


def configuration_cost(probs, configuration):
    """Sum of -ln p over the rows in row order; +inf as soon as one pick has p == 0."""
    total = 0.0
    for row, column in zip(probs, configuration):
        p = float(row[column])
        if p == 0.0:
            return math.inf
        total += -math.log(p)
    return total


def assert_best_first(probs, sequence):
    """Oracle for any order the enumerator may legally pick among equal costs: every
    configuration exactly once, finite costs non-decreasing up to rounding, and the
    probability-zero configurations after all others."""
    assert sorted(sequence) == sorted(all_configurations(probs))
    assert len(sequence) == len(all_configurations(probs))
    costs = [configuration_cost(probs, c) for c in sequence]
    finite = [c for c in costs if c != math.inf]
    assert costs[: len(finite)] == finite, "a probability-zero configuration came early"
    for position, (earlier, later) in enumerate(zip(finite, finite[1:])):
        # Equal exact costs may come out one rounding step apart, in either direction.
        tolerance = 1e-12 * max(1.0, abs(earlier), abs(later))
        assert later >= earlier - tolerance, (position, sequence[position : position + 2])


def run_python(code, timeout=120, extra_env=None):
    """Runs `code` in a fresh interpreter that imports the quorin module under test (the
    one this process imported, wherever it is installed)."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(quorin.__file__))
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in [module_dir, env.get("PYTHONPATH", "")] if p
    )
    env.update(extra_env or {})
    return subprocess.run(
        [sys.executable, "-c", code],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
