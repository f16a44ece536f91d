"""quorin.batches against brute force (every configuration sorted by cost, then columns),
against quorin.quorin on 16 x 256, and its iterator protocol, pickling, Ctrl-C and errors."""

import itertools
import math
import os
import pickle
import random
import signal
import time

import numpy as np
import pytest

import quorin
from cost_order_oracle import cost_order

ASAN = bool(os.environ.get("QUORIN_ASAN"))


def drain(it):
    out = []
    for batch in it:
        assert batch.columns.dtype == np.int32 and batch.costs.dtype == np.float64
        assert batch.columns.shape == (len(batch.costs), len(batch.columns[0]) if len(batch.columns) else batch.columns.shape[1])
        out.extend(zip(batch.costs.tolist(), map(tuple, batch.columns.tolist())))
    return out


def random_matrix(rng, kind):
    rows = rng.randint(1, 5)
    matrix = []
    for _ in range(rows):
        n = rng.randint(1, 5)
        if kind == "ties":
            matrix.append([rng.choice([0.1, 0.2, 0.4]) for _ in range(n)])
        elif kind == "zeros":
            row = [rng.choice([0.0, rng.random()]) for _ in range(n)]
            if not any(row):  # a row of zeros only is refused: keep one value possible
                row[rng.randrange(n)] = rng.random()
            matrix.append(row)
        else:
            matrix.append([rng.random() ** 3 for _ in range(n)])
    return matrix


MATRICES = [random_matrix(random.Random(seed), kind) for seed, kind in
            itertools.product(range(6), ["random", "ties", "zeros"])] + [
    [[1.0]],  # one configuration
    [],  # no rows: the empty configuration
    [[0.0, 0.0, 0.25], [0.0, 0.5, 0.0]],  # one finite configuration among +inf on either side
    [[0.5] * 3] * 5,  # all equal
]


@pytest.mark.parametrize("probs", MATRICES)
def test_whole_sequence_every_size_and_range(probs):
    want = cost_order(probs)
    for size in range(1, len(want) + 2):
        got = drain(quorin.batches(probs, size=size, threads=1 + size % 2))
        assert got == want
    rng = random.Random(len(want))
    for _ in range(5):
        a, b = sorted(rng.randint(0, len(want) + 1) for _ in range(2))
        for threads in (1, 2):
            it = quorin.batches(probs, size=rng.randint(1, 4), start=a, stop=b, threads=threads)
            assert drain(it) == want[a:b]
            assert it.position == max(a, min(b, len(want))) or a >= len(want)


@pytest.mark.parametrize("probs", MATRICES[::3])
def test_pickled_mid_way_resumes_at_its_position(probs):
    want = cost_order(probs)
    for cut in range(0, len(want) + 1, max(1, len(want) // 4)):
        it = quorin.batches(probs, size=2, start=1 if len(want) > 1 else 0)
        got = []
        while it.position < cut:
            batch = next(it, None)
            if batch is None:
                break
            got.extend(zip(batch.costs.tolist(), map(tuple, batch.columns.tolist())))
        state = pickle.dumps(it)
        assert len(state) < 200 + 9 * sum(map(len, probs))
        resumed = pickle.loads(state)
        assert resumed.position == it.position
        assert got + drain(resumed) == want[1 if len(want) > 1 else 0:]
        assert got + drain(it) == want[1 if len(want) > 1 else 0:]


def test_ragged_rows_and_columns_past_256():
    rng = np.random.default_rng(3)
    probs = [rng.random(300).tolist(), rng.random(2).tolist(), rng.random(70).tolist()]
    want = cost_order(probs)
    assert drain(quorin.batches(probs, size=9999, threads=2)) == want


@pytest.fixture(scope="module")
def key_matrix():
    rng = np.random.default_rng(11)
    p = rng.gamma(0.3, size=(16, 256))
    return p / p.sum(axis=1, keepdims=True)


def test_first_configurations_are_the_heap_enumerators_sorted(key_matrix):
    k = 20_000 if ASAN else 100_000
    heap = quorin.quorin(key_matrix)
    first = [next(heap) for _ in range(k + 2000)]
    columns = np.array(first)
    # -ln p as the core takes it (the C library's log: NumPy's own may differ in the last bit)
    row_costs = np.array([[-math.log(x) for x in row] for row in key_matrix])
    costs = np.zeros(len(first))
    for i in range(16):  # row order, as the core sums
        costs = costs + row_costs[i, columns[:, i]]
    order = np.lexsort(tuple(columns[:, i] for i in reversed(range(16))) + (costs,))[:k]
    got = quorin.batches(key_matrix, size=7000, stop=k)
    batches = list(got)
    assert np.array_equal(np.concatenate([b.columns for b in batches]), columns[order])
    assert np.array_equal(np.concatenate([b.costs for b in batches]), costs[order])


@pytest.mark.skipif(ASAN, reason="seconds of counting per position")
def test_far_down_configurations_have_their_rank(key_matrix):
    for position in (2 ** 24, 2 ** 28):
        batch = next(quorin.batches(key_matrix, size=3, start=position))
        for j in range(3):
            assert quorin.rank(key_matrix, batch.columns[j]) == (position + j + 1, position + j + 1)


def test_threads_give_identical_output(key_matrix):
    a = quorin.batches(key_matrix, size=30_000, start=0, stop=100_000, threads=1)
    b = quorin.batches(key_matrix, size=30_000, start=0, stop=100_000, threads=2)
    for x, y in zip(a, b):
        assert np.array_equal(x.columns, y.columns) and np.array_equal(x.costs, y.costs)


@pytest.mark.skipif(ASAN or not hasattr(signal, "setitimer"), reason="timing; POSIX timers")
def test_ctrl_c_stops_a_batch_quickly_and_loses_nothing(key_matrix):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        it = quorin.batches(key_matrix, size=1_000_000, threads=1)
        signal.setitimer(signal.ITIMER_REAL, 0.03)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            next(it)
        assert time.monotonic() - start < 0.03 + 0.1
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert it.position == 0
    it_small = quorin.batches(key_matrix, size=1000, stop=3000)
    want = np.concatenate([b.columns for b in it_small])
    got = next(it).columns[:3000]
    assert np.array_equal(got, want)


def test_arguments():
    p = [[0.5, 0.5], [0.2, 0.8]]
    for bad in (dict(size=0), dict(start=-1), dict(stop=-1), dict(threads=0)):
        with pytest.raises(ValueError):
            quorin.batches(p, **bad)
    for bad in (dict(size=2.0), dict(start="1"), dict(stop=1.5), dict(threads=1.0)):
        with pytest.raises(TypeError):
            quorin.batches(p, **bad)
    with pytest.raises(ValueError, match=r"probs\[1\]\[0\] is nan"):
        quorin.batches([[0.5], [float("nan")]])
    with pytest.raises(ValueError, match=r"probs\[0\] is empty"):
        quorin.batches([[]])
    with pytest.raises(TypeError):
        quorin.batches("ab")
    assert list(quorin.batches(p, start=3, stop=2)) == []
    assert list(quorin.batches(p, start=4)) == []
    assert list(quorin.batches(p, start=10 ** 50)) == []
    it = quorin.batches(p, size=np.int64(3), start=np.int32(1))
    assert iter(it) is it
    assert [len(b.costs) for b in it] == [3]


@pytest.mark.parametrize("use", [next, lambda it: it.position, pickle.dumps], ids=["next", "position", "pickle"])
def test_iterator_made_without_batches_is_refused(use):
    bare = quorin.BatchIterator.__new__(quorin.BatchIterator)  # storage never constructed
    with pytest.raises(TypeError, match="quorin.batches"):
        use(bare)
