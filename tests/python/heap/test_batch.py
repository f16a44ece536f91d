"""next_batch: the sequence of next() in batches, with costs bit for bit against an
independent sum; one position shared with next(); its argument; and nothing lost when a
batch is interrupted by a signal or runs out of memory."""

import copy
import hashlib
import itertools
import math
import os
import pickle
import random
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import quorin
from conftest import Enumerator, drain, run_python
from digest_cases import cases, matrix
from test_memory import PRELUDE, asan, linux_only, run_limited

PROBS = [[0.2, 0.8], [0.1, 0.9]]


def cost_tables(probs):
    """Per row, -math.log(p) of each entry (+inf for p = 0), as NumPy arrays."""
    return [np.array([-math.log(p) if p > 0 else math.inf for p in map(float, row)]) for row in probs]


def checked(batch, tables):
    """The batch's columns, after checking its types and shapes and that its costs are,
    bit for bit, the sums over rows in row order from 0.0 of the tables' entries: the same
    additions as the core's, made here."""
    assert type(batch) is quorin.Batch
    columns, costs = batch
    assert columns.dtype == np.int32 and costs.dtype == np.float64
    assert columns.flags.c_contiguous and columns.flags.writeable
    assert columns.shape == (len(costs), len(tables)) and costs.shape == (len(costs),)
    expected = np.zeros(len(costs))
    for i, table in enumerate(tables):
        expected += table[columns[:, i]]
    assert np.array_equal(costs.view(np.uint64), expected.view(np.uint64))
    return columns


SIZES = [4096, 1, 0, 1000, 3, 65536]


# The batch code is the same with the cache on or off: the cases take turns.
@pytest.mark.parametrize("case, cache", [(c, i % 2 == 0) for i, c in enumerate(cases())],
                         ids=[c[0] for c in cases()])
def test_batches_mixed_with_next_hand_out_the_recorded_sequence(case, cache):
    _, kind, rows, min_cols, max_cols, seed, limit, count, digest = case
    probs = matrix(kind, rows, min_cols, max_cols, seed)
    tables = cost_tables(probs)
    q = Enumerator(probs, cache)
    sha = hashlib.sha256()
    taken = 0
    for k in itertools.cycle(SIZES):
        asked = min(k, limit - taken)
        columns = checked(q.next_batch(asked), tables)
        sha.update(columns.astype("<i4").tobytes())
        taken += len(columns)
        if len(columns) < asked or taken == limit:
            break
        single = next(q, None)
        if single is None:
            break
        sha.update(single.astype("<i4").tobytes())
        taken += 1
    assert (taken, sha.hexdigest()) == (count, digest)


MATRICES = {
    "ragged_with_zeros": [[0.5, 0.0, 0.5], [1.0], [0.0, 0.25, 0.25, 0.5]],
    "levels_ties": matrix("levels", 6, 2, 6, 11),
    "nine_equal": [[0.5, 0.5]] * 9,
    "single_configuration": [[0.4], [0.7]],
    "no_rows": [],
}


@pytest.mark.parametrize("name", MATRICES)
def test_next_and_next_batch_share_one_position_to_the_end(name, cache):
    probs = MATRICES[name]
    tables = cost_tables(probs)
    whole = drain(Enumerator(probs, cache))
    q = Enumerator(probs, cache)
    got = []
    rng = random.Random(name)
    while len(got) < len(whole):
        if rng.random() < 0.3:
            got.append(next(q).tolist())
            continue
        k = rng.choice([0, 1, 2, 5, 17, 300])
        columns = checked(q.next_batch(k), tables)
        assert len(columns) == min(k, len(whole) - len(got))
        got += columns.tolist()
        if len(got) >= len(whole) // 2 and rng.random() < 0.2:
            q = pickle.loads(pickle.dumps(q, pickle.HIGHEST_PROTOCOL))  # goes on where it stood
    assert got == whole
    for _ in range(2):  # exhausted: empty batches, and they stay so
        columns, costs = q.next_batch(10)
        assert columns.shape == (0, len(probs)) and costs.shape == (0,)
        assert columns.dtype == np.int32 and costs.dtype == np.float64
    with pytest.raises(StopIteration):
        next(q)


@pytest.mark.parametrize(
    "k, error, message",
    [(-1, ValueError, "at least 0, not -1"), (-(2**80), ValueError, "at least 0"),
     (2.0, TypeError, "must be an int, not float"), ("3", TypeError, "not str"),
     (None, TypeError, "not NoneType")],
)
def test_bad_k_is_refused_and_moves_nothing(k, error, message):
    q = Enumerator(PROBS)
    with pytest.raises(error, match="next_batch.*" + message):
        q.next_batch(k)
    assert next(q).tolist() == [1, 1]


def test_k_is_any_integer_and_a_huge_one_takes_what_is_left():
    q = Enumerator(PROBS)
    assert q.next_batch(True).columns.tolist() == [[1, 1]]  # a bool counts as 0 or 1
    assert q.next_batch(k=np.int64(2)).columns.tolist() == [[0, 1], [1, 0]]
    # Memory grows with what is handed out, not with k.
    assert q.next_batch(2**100).columns.tolist() == [[0, 0]]
    with pytest.raises(TypeError, match="__init__"):
        Enumerator.__new__(Enumerator).next_batch(1)


class Stop(Exception):
    pass


def interrupted_batch(q, delay):
    """next_batch(10**9) on q until a signal handler raises Stop after `delay` seconds;
    returns how long the call ran."""
    def stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, stop)
    start = time.monotonic()
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        with pytest.raises(Stop):
            q.next_batch(10**9)  # never ends on 16 x 256 before the signal
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return time.monotonic() - start


def same_continuations(twin, others, seconds):
    """`twin` runs on for at least `seconds`, in batches; each of `others` must hand out
    exactly what it handed out."""
    batches, start = [], time.monotonic()
    while time.monotonic() - start < seconds or not batches:
        batches.append(twin.next_batch(4096))
    for other in others:
        for expected in batches:
            got = other.next_batch(len(expected.costs))
            assert np.array_equal(got.columns, expected.columns)
            assert np.array_equal(got.costs.view(np.uint64), expected.costs.view(np.uint64))


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_batch_stopped_by_a_signal_handler_loses_nothing_and_pickles():
    probs = matrix("uniform", 16, 256, 256, 1)
    q = Enumerator(probs)
    q.next_batch(100)
    twin = copy.copy(q)  # uninterrupted
    ran = interrupted_batch(q, 0.02)
    restored = pickle.loads(pickle.dumps(q, pickle.HIGHEST_PROTOCOL))
    copied = copy.deepcopy(q)
    # The twin covers twice what the failed call could have computed in its time, so the
    # comparison passes the configurations it had taken and reaches new ones.
    same_continuations(twin, [q, restored, copied], 2 * ran)


SIGINT_SCRIPT = textwrap.dedent(
    """
    import copy, time
    import numpy as np
    import quorin

    probs = np.random.default_rng(5).random((16, 256)) + 0.01
    q = quorin.quorin(probs)
    q.next_batch(3)
    twin = copy.copy(q)
    print("ready", flush=True)
    start = time.monotonic()
    try:
        q.next_batch(10**9)
    except KeyboardInterrupt:
        ran = time.monotonic() - start
        print("interrupted after", round(ran, 3), flush=True)
    else:
        raise AssertionError("next_batch(10**9) ended")
    batches = []
    start = time.monotonic()
    while time.monotonic() - start < 2 * ran:
        batches.append(twin.next_batch(4096))
    for expected in batches:
        got = q.next_batch(4096)
        assert np.array_equal(got.columns, expected.columns), "a configuration was lost"
        assert np.array_equal(got.costs, expected.costs)
    print("ok", 4096 * len(batches), flush=True)
    """
)


@asan
@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="POSIX signals")
def test_sigint_during_a_long_batch_raises_and_loses_nothing():
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(quorin.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [module_dir, env.get("PYTHONPATH", "")] if p)
    child = subprocess.Popen([sys.executable, "-c", SIGINT_SCRIPT], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        line = child.stdout.readline()
        assert line.startswith("ready"), child.stderr.read()
        time.sleep(0.1)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, out + err
    assert "interrupted" in out and "ok" in out, out + err


BATCH_FAILS = textwrap.dedent(
    """
    import copy
    probs = np.random.default_rng(6).random((16, 256)) + 0.01
    q = Q(probs)
    q.next_batch(1000)
    limit_to(12 * 2**20)
    try:
        q.next_batch(10**9)
    except MemoryError:
        pass
    else:
        raise AssertionError("next_batch(10**9) fitted in the limit")
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    # The failed call could keep at most 12 MB of configurations, each well over 80 bytes
    # in the search and the buffer: the comparison passes all it had taken.
    fresh = Q(probs)
    fresh.next_batch(1000)
    for _ in range(40):
        expected, got = fresh.next_batch(4096), q.next_batch(4096)
        assert np.array_equal(got.columns, expected.columns), "a configuration was lost"
        assert np.array_equal(got.costs, expected.costs)
    still_works()
    print("ok")
    """
)


@asan
@linux_only
def test_batch_running_out_of_memory_raises_and_loses_nothing():
    run_limited(BATCH_FAILS)
