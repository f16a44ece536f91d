"""quorin.rank and quorin.count against brute force in the cost order, and their errors."""

import math
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import numpy
import pytest

import quorin
from conftest import configuration_cost


def cost_order(probs):
    """Every configuration's cost and columns, sorted by (cost, columns): +inf costs last,
    lexicographically. Entry costs from math.log, summed in row order from +0.0 as the core
    sums them (NumPy adds doubles as C does)."""
    grids = numpy.meshgrid(*(numpy.arange(len(row)) for row in probs), indexing="ij")
    columns = numpy.stack([g.ravel() for g in grids], axis=1) if probs else numpy.zeros((1, 0), dtype=int)
    total = numpy.zeros(len(columns))
    for i, row in enumerate(probs):
        entry = numpy.array([-math.log(p) if p > 0 else math.inf for p in row])
        total = total + entry[columns[:, i]]
    order = numpy.lexsort([columns[:, i] for i in reversed(range(len(probs)))] + [total])
    return total[order], columns[order]


def random_matrix(rng, rows, columns, coarse):
    """Ragged rows with zeros, ties within rows and, when coarse, many equal sums."""
    matrix = []
    for _ in range(rows):
        width = rng.randint(1, columns)
        values = [0.25, 0.5, 0.125] if coarse else [rng.gammavariate(0.3, 1.0) + 1e-300 for _ in range(4)]
        matrix.append([0.0 if rng.random() < 0.1 else rng.choice(values + [rng.random()]) for _ in range(width)])
    return matrix


MATRICES = [
    ("small", lambda rng: random_matrix(rng, 4, 5, False)),
    ("ties", lambda rng: random_matrix(rng, 5, 4, True)),
    ("20x2", lambda rng: [[rng.random(), rng.random()] for _ in range(20)]),
    ("3x100", lambda rng: [[rng.gammavariate(0.5, 1.0) for _ in range(100)] for _ in range(3)]),
    ("one cost", lambda rng: [[0.5, 0.5]] * 10),
]


@pytest.mark.parametrize("make", [m for _, m in MATRICES], ids=[name for name, _ in MATRICES])
def test_ranks_and_counts_match_brute_force(make):
    rng = random.Random(17)
    for _ in range(2):
        probs = make(rng)
        costs, order = cost_order(probs)
        for position in sorted(set(rng.randrange(len(order)) for _ in range(40))):
            cost, columns = float(costs[position]), order[position]
            key = columns if position % 2 else [int(x) for x in columns]
            assert quorin.rank(probs, key) == (position + 1, position + 1)
            for query in (cost, math.nextafter(cost, -math.inf), math.nextafter(cost, math.inf)):
                expected = int(numpy.searchsorted(costs, query, side="right"))
                assert quorin.count(probs, query) == (expected, expected)
        assert quorin.count(probs, math.inf) == (len(order), len(order))
        assert quorin.count(probs, -math.inf) == (0, 0)


@pytest.mark.skipif(bool(os.environ.get("QUORIN_ASAN")), reason="heavy under AddressSanitizer")
def test_ranks_of_the_heap_enumerators_first_configurations_on_16x256():
    rng = numpy.random.default_rng(5)
    probs = rng.gamma(0.3, size=(16, 256)) + 1e-12
    probs /= probs.sum(axis=1, keepdims=True)
    q = quorin.quorin(probs)
    first = [[int(x) for x in next(q)] for _ in range(20000)]
    scored = sorted((configuration_cost(probs, c), c) for c in first)
    last = max(cost for cost, _ in scored)
    for position in range(0, len(scored), 331):
        cost, columns = scored[position]
        if cost < last - 1e-9:  # no configuration left unenumerated can come before it
            assert quorin.rank(probs, columns) == (position + 1, position + 1)
            assert quorin.count(probs, cost) == (position + 1, position + 1)


def test_large_counts_are_python_ints_with_tight_bounds():
    assert quorin.count([[1 / 256] * 256] * 16, math.inf) == (2**128, 2**128)
    assert quorin.rank([[1 / 256] * 256] * 16, [255] * 16) == (2**128, 2**128)
    assert quorin.count([[0.5, 0.25, 0.25]] * 200, math.inf) == (3**200, 3**200)
    rng = numpy.random.default_rng(9)
    probs = rng.gamma(1.0, size=(32, 256))
    low, high = quorin.rank(probs, [int(rng.integers(256)) for _ in range(32)])
    assert type(low) is int and type(high) is int
    assert 2**128 < low <= high <= low * 2 ** (1 / 8)


def test_zero_probability_keys_have_exact_ranks_after_every_finite_configuration():
    probs = [[0.5, 0.0, 0.2], [0.0, 0.3], [0.1, 0.6, 0.0, 0.3]]
    for position, columns in enumerate(cost_order(probs)[1]):
        assert quorin.rank(probs, columns) == (position + 1, position + 1)
    large = [[0.0] + [0.5] * 255] * 20  # 256^20 configurations, nearly all finite
    finite = 255**20
    assert quorin.rank(large, [0] * 20) == (finite + 1, finite + 1)
    assert quorin.rank(large, [255] * 19 + [0]) == (256**20, 256**20)


@pytest.mark.parametrize("probs", [[[0.5], []], [[0.5, math.nan]], [[-0.25]], [[math.inf, 0.5]]])
def test_bad_probabilities_raise_what_the_enumerator_raises(probs):
    with pytest.raises(ValueError) as expected:
        quorin.quorin(probs)
    with pytest.raises(ValueError) as got:
        quorin.rank(probs, [0] * len(probs))
    assert str(got.value) == str(expected.value)
    with pytest.raises(ValueError) as got:
        quorin.count(probs, 1.0)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("probs", ["abc", [[0.5, "x"]], ((p for p in [0.5]),), 3.0])
def test_matrices_of_the_wrong_type_raise_type_error(probs):
    with pytest.raises(TypeError):
        quorin.rank(probs, [0])
    with pytest.raises(TypeError):
        quorin.count(probs, 1.0)


PROBS = [[0.5, 0.5], [0.2, 0.3, 0.5]]


@pytest.mark.parametrize(
    "columns, error, message",
    [
        ([0], ValueError, "columns has 1 entries but probs has 2 rows"),
        ([0, 3], ValueError, r"columns\[1\] is 3: row 1 has columns 0 .. 2"),
        ([-1, 0], ValueError, r"columns\[0\] is -1: row 0 has columns 0 .. 1"),
        ([0, 2**70], ValueError, r"columns\[1\] is 1180591620717411303424: row 1"),
        ([0, 1.0], TypeError, r"columns\[1\] must be an int"),
        ([0, "1"], TypeError, r"columns\[1\] must be an int"),
        (numpy.array([0.0, 1.0]), TypeError, r"columns\[0\] must be an int"),
        ("01", TypeError, "columns must be a sequence of ints"),
        (None, TypeError, "columns must be a sequence of ints"),
    ],
)
def test_bad_columns(columns, error, message):
    with pytest.raises(error, match=message):
        quorin.rank(PROBS, columns)


def test_bad_costs_and_limits():
    with pytest.raises(ValueError, match="cost is NaN"):
        quorin.count(PROBS, math.nan)
    with pytest.raises(TypeError):
        quorin.count(PROBS, "1.0")
    with pytest.raises(ValueError, match="exact_up_to must not be negative"):
        quorin.rank(PROBS, [0, 0], exact_up_to=-1)
    with pytest.raises(TypeError, match="exact_up_to must be an int"):
        quorin.count(PROBS, 1.0, exact_up_to=1.5)
    assert quorin.rank(PROBS, numpy.array([0, 2], dtype=numpy.int32), exact_up_to=2**200) == (1, 1)


def test_counts_past_what_doubles_count_exactly_are_refused_plainly():
    probs = numpy.random.default_rng(3).gamma(1.0, size=(16, 256))
    probs /= probs.sum(axis=1, keepdims=True)
    with pytest.raises(ValueError, match="too large to be found exactly"):
        quorin.count(probs, float((-numpy.log(probs)).min(axis=1).sum()) + 8.0, exact_up_to=2**100)  # about 2^75
    assert quorin.count(probs, float((-numpy.log(probs)).min(axis=1).sum()) + 8.0, exact_up_to=2**70)[0] > 2**70


SIGINT_SCRIPT = textwrap.dedent(
    """
    import time
    import numpy as np
    import quorin

    rng = np.random.default_rng(1)
    probs = rng.gamma(0.3, size=(16, 256)) + 1e-12
    probs /= probs.sum(axis=1, keepdims=True)
    first = quorin.count(probs, 49.5, exact_up_to=2**44)
    print("ready", flush=True)
    for call in ("count", "rank", "batches"):
        start = time.monotonic()
        try:
            if call == "count":
                quorin.count(probs, 52.0, exact_up_to=2**50)  # an exact count near 2^40: minutes
            elif call == "batches":
                next(quorin.batches(probs, size=1, start=2**44))  # locating the start: minutes
            else:
                quorin.rank(probs, [int(c) for c in np.argsort(probs, axis=1)[:, -2]], exact_up_to=2**60)  # near 2^42
            print("finished", call, flush=True)
        except KeyboardInterrupt:
            print("interrupted", call, round(time.monotonic() - start, 3), flush=True)
        # Nothing left behind: the same call as before gives the same answer.
        assert quorin.count(probs, 49.5, exact_up_to=2**44) == first
        print("again", flush=True)
    """
)


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="POSIX signals")
def test_sigint_stops_a_long_count_rank_and_start_of_batches():
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.dirname(os.path.abspath(quorin.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [module_dir, env.get("PYTHONPATH", "")] if p)
    child = subprocess.Popen([sys.executable, "-c", SIGINT_SCRIPT], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    seen = []
    try:
        for expected in ("ready", "again", "again"):
            seen.append(child.stdout.readline())
            while seen[-1] and not seen[-1].startswith(expected):
                seen.append(child.stdout.readline())
            assert seen[-1].startswith(expected), child.stderr.read()
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    out = "".join(seen) + out
    assert child.returncode == 0, err
    for call in ("count", "rank", "batches"):
        assert f"interrupted {call}" in out, out + err
