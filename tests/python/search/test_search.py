"""quorin.plan, run_task and search against the brute-force cost order: planted keys found
at their exact ranks on every kind of workers (this process, worker processes, executors,
map-like callables, a Dask cluster), first=True, checkpoints resumed after a failure,
failing tests and workers, bad input."""

import concurrent.futures
import itertools
import json
import logging
import multiprocessing
import os
import pickle
import subprocess
import sys
import time

import numpy as np
import pytest

import cost_order_oracle as oracle
import quorin
import task_oracle
from conftest import run_python


# Ties within and between rows, a zero, ragged rows: 4 * 3 * 4 * 2 * 5 = 480 configurations.
PROBS = [[0.5, 0.25, 0.25, 0.0], [0.3, 0.3, 0.4], [0.125, 0.5, 0.125, 0.25], [0.6, 0.4],
         [0.2] * 5]
ORDER = oracle.cost_order(PROBS)
START, STOP, TASK_SIZE = 37, 431, 25  # 16 tasks
PLANTED = [3, 37, 38, 200, 201, 430, 431]  # positions; 3 and 431 lie outside the range
EXPECTED = [quorin.Hit(p + 1, ORDER[p][1], ORDER[p][0]) for p in PLANTED if START <= p < STOP]

needs_processes = pytest.mark.skipif(
    bool(os.environ.get("QUORIN_ASAN")),
    reason="worker processes would need the sanitizer runtime preloaded too")


@pytest.fixture(params=["oracle", "core"])
def engine(request, monkeypatch):
    """The search on the brute-force stand-ins, then on the core's own functions."""
    if request.param == "oracle":
        monkeypatch.setattr(quorin._search.core, "_engine_api", lambda: task_oracle)
    else:
        monkeypatch.setattr(quorin._search.core, "_engine_api", lambda: quorin._core)
    return request.param


def codes(columns):
    """One integer per configuration (rows have at most 5 columns)."""
    columns = np.asarray(columns, dtype=np.int64).reshape(-1, len(PROBS))
    return columns @ (8 ** np.arange(len(PROBS), dtype=np.int64))


class Planted:
    """A test accepting the configurations at `positions` of the cost order, answering with a
    mask or with indices. Defined at module level, so worker processes can unpickle it."""

    def __init__(self, positions, as_indices=False):
        self.codes = codes([ORDER[p][1] for p in positions])
        self.as_indices = as_indices

    def holds(self, columns, position):
        return bool(np.isin(codes(ORDER[position][1]), codes(columns))[0])

    def __call__(self, columns, costs):
        mask = np.isin(codes(columns), self.codes)
        return np.flatnonzero(mask) if self.as_indices else mask


class SlowOn(Planted):
    """Takes `delay` seconds over the batch holding `position`."""

    def __init__(self, positions, position, delay):
        super().__init__(positions)
        self.position, self.delay = position, delay

    def __call__(self, columns, costs):
        if self.holds(columns, self.position):
            time.sleep(self.delay)
        return super().__call__(columns, costs)


class FailsOn(Planted):
    """Raises on the batch holding `position` while the file `unless` does not exist (a
    failure that goes away: the same test resumes the search)."""

    def __init__(self, positions, position, unless="/nonexistent/quorin-never"):
        super().__init__(positions)
        self.position, self.unless = position, str(unless)

    def __call__(self, columns, costs):
        if self.holds(columns, self.position) and not os.path.exists(self.unless):
            raise KeyError("the tester failed")
        return super().__call__(columns, costs)


class ExitsOn(Planted):
    """Ends its worker process on the batch holding `position`: always (while the file
    `unless` does not exist), or only while the file `once` does not exist yet (it makes
    it)."""

    def __init__(self, positions, position, once=None, unless="/nonexistent/quorin-never"):
        super().__init__(positions)
        self.position, self.once, self.unless = position, once, str(unless)

    def __call__(self, columns, costs):
        if self.holds(columns, self.position) and not os.path.exists(self.unless):
            if self.once is None:
                os._exit(3)
            try:
                open(self.once, "x").close()
            except FileExistsError:
                pass
            else:
                os._exit(3)
        return super().__call__(columns, costs)


class AcceptAll:
    def __call__(self, columns, costs):
        return np.ones(len(costs), dtype=bool)


class CountingTested:
    """A lazy map-like callable that adds up what its tasks tested."""

    def __init__(self):
        self.tested = 0

    def __call__(self, fn, tasks):
        for task in tasks:
            result = fn(task)
            self.tested += result.tested
            yield result


class ReversedMap:
    """Runs every task it is given, the last first."""

    def __call__(self, fn, tasks):
        for task in reversed(list(tasks)):
            yield fn(task)


class CountingMap:
    """A lazy map-like callable that records the ids of the tasks it was given."""

    def __init__(self):
        self.ids, self.tasks = [], []

    def __call__(self, fn, tasks):
        for task in tasks:
            self.ids.append(task.id)
            self.tasks.append(task)
            yield fn(task)


@pytest.fixture(scope="module")
def pool():
    with concurrent.futures.ProcessPoolExecutor(
            2, mp_context=multiprocessing.get_context("spawn")) as executor:
        yield executor


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster) as client:
            yield client


WORKERS = {
    "this-process": lambda request: 1,
    "builtin-map": lambda request: map,
    "processes": lambda request: 2,
    "executor": lambda request: request.getfixturevalue("pool"),
    "executor-map": lambda request: request.getfixturevalue("pool").map,
    "dask-client": lambda request: request.getfixturevalue("dask_client"),
    "dask-executor": lambda request: request.getfixturevalue("dask_client").get_executor(),
}
IN_PROCESS = {"this-process", "builtin-map"}
ANSWER_WITH_INDICES = {"builtin-map", "executor", "dask-client"}  # the others with masks


def kinds(names):
    return [pytest.param(name, marks=[] if name in IN_PROCESS else [needs_processes])
            for name in names]


@pytest.mark.parametrize("kind", kinds(WORKERS))
def test_planted_keys_found_at_their_ranks_by_every_kind_of_workers(kind, request):
    test = Planted(PLANTED, as_indices=kind in ANSWER_WITH_INDICES)
    hits = quorin.search(PROBS, test, start=START, stop=STOP, workers=WORKERS[kind](request),
                         task_size=TASK_SIZE)
    assert hits == EXPECTED  # ranks, columns and costs, bit for bit
    assert all(type(h.rank) is int and type(h.cost) is float for h in hits)


@pytest.mark.parametrize("kind", kinds(["this-process", "processes", "dask-client"]))
def test_first_returns_the_first_hit_once_every_task_before_it_finished(kind, request):
    # The batch of the first hit is slow: hits in later tasks come back first.
    test = SlowOn(PLANTED, position=38, delay=0.5)
    hits = quorin.search(PROBS, test, start=START, stop=STOP, workers=WORKERS[kind](request),
                         task_size=TASK_SIZE, first=True)
    assert hits == EXPECTED[:1]


def holds(task, position, order=ORDER):
    """Whether the configuration at `position` lies between the bounds of `task`."""
    entry = order[position]
    return tuple(task.lower) <= entry and (task.upper is None or entry < tuple(task.upper))


def task_holding(position, start=START, stop=STOP, task_size=TASK_SIZE):
    tasks = quorin.plan(PROBS, start=start, stop=stop, task_size=task_size)
    return next(t.id for t in tasks if holds(t, position))


def test_first_takes_no_task_after_the_hit(engine):
    counting = CountingMap()
    hits = quorin.search(PROBS, Planted([200, 201]), start=START, stop=STOP,
                         workers=counting, task_size=TASK_SIZE, first=True)
    assert hits == [quorin.Hit(201, ORDER[200][1], ORDER[200][0])]
    holding = next(t.id for t in counting.tasks if holds(t, 200))
    assert counting.ids == list(range(holding + 1))
    assert quorin.search(PROBS, Planted([3]), start=START, stop=STOP, workers=1,
                         first=True) == []


# Ties, zeros and ragged rows; a single row; rows of one column; a zero-only tail.
MATRICES = [
    PROBS,
    [[0.25, 0.25, 0.25, 0.25]] * 4,
    [[0.1, 0.0, 0.9, 0.0, 0.0, 0.0, 0.0]],
    [[1.0], [0.5, 0.5], [1.0], [0.2, 0.3, 0.5]],
    [[0.0, 0.5, 0.5], [0.0, 1.0], [0.5, 0.0, 0.25, 0.25]],
]


@pytest.mark.parametrize("matrix", range(len(MATRICES)))
def test_tasks_tile_the_range_and_ranks_follow_from_their_counts(matrix, engine, monkeypatch):
    monkeypatch.setattr(quorin._search.constants, "CUTS_PER_CALL", 3)  # cuts asked for again and again
    probs = MATRICES[matrix]
    order = oracle.cost_order(probs)
    n = len(order)
    accept_all = AcceptAll()
    for start, stop, task_size in [(0, None, 1), (0, n, 7), (n // 3, n - 1, 5),
                                   (n // 2, n // 2 + 1, 3), (1, 10**30, max(1, n // 4))]:
        tasks = quorin.plan(probs, start=start, stop=stop, task_size=task_size)
        end = n if stop is None else min(stop, n)
        assert [t.id for t in tasks] == list(range(len(tasks)))
        # Each task starts where the previous one ends: no gap, no overlap.
        assert tasks[0].lower == order[start]
        assert tasks[-1].upper == (order[end] if end < n else None)
        assert all(a.upper == b.lower for a, b in zip(tasks, tasks[1:]))
        before, hits = start, []
        for task in tasks:
            result = quorin.run_task(pickle.loads(pickle.dumps(task)), accept_all,
                                     batch_size=1 + task.id % 4, threads=1 + task.id % 2)
            assert result.id == task.id
            assert [h.index for h in result.hits] == list(range(result.tested))
            hits += result.ranked(before)
            before += result.tested
        assert before == end
        assert hits == [quorin.Hit(p + 1, order[p][1], order[p][0]) for p in range(start, end)]
    assert quorin.plan(probs, start=5, stop=5) == [] == quorin.plan(probs, start=n, stop=n + 9)


def test_counts_that_do_not_add_up_are_an_error(engine):
    for error, message in [(-1, f"tested {STOP - START - 1} configurations, but the range "
                                f"holds {STOP - START}"),
                           (+1, f"tested {STOP - START + 1} configurations, more than the "
                                f"{STOP - START} of the range")]:
        def miscounting(fn, tasks):
            for result in map(fn, tasks):
                yield result._replace(tested=result.tested + error * (result.id == 3))

        with pytest.raises(RuntimeError, match=message):
            quorin.search(PROBS, Planted([3]), start=START, stop=STOP, workers=miscounting,
                          task_size=TASK_SIZE)

    def misplaced(fn, tasks):
        for result in map(fn, tasks):
            yield result._replace(hits=[quorin.TaskHit(result.tested, (0,) * 5, 1.0)])

    with pytest.raises(RuntimeError, match="reported the hit"):
        quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=misplaced,
                      task_size=TASK_SIZE)


class NativeApi:
    """The core's task functions, and a stand-in for its native run: the tester accepts the
    configurations at the given positions; with ``most``, the first ``most`` alone count,
    and where they end is told when ``end_known`` (else the search locates it)."""

    _locate, _locate_after, _cuts = quorin._core._locate, quorin._core._locate_after, quorin._core._cuts
    _TaskWalk = quorin._core._TaskWalk
    end_known = True

    @classmethod
    def _run_native(cls, probs, lower, upper, tester, threads, most=None):
        getattr(cls, "counted", []).append(most)
        walk = quorin._core._TaskWalk(probs, lower, upper, threads, 64)
        walked = sorted((cost, tuple(c)) for columns, costs in walk
                        for c, cost in zip(columns.tolist(), costs.tolist()))
        hits = [(i, c, cost) for i, (cost, c) in enumerate(walked) if c in tester.wanted]
        if most is None or len(walked) <= most:
            return len(walked), hits[::-1], True, False, None  # hits in any order
        end = walked[most] if cls.end_known else None
        return most, [h for h in hits if h[0] < most], True, True, end


class NativeTester:
    def __init__(self, positions):
        self.wanted = {ORDER[p][1] for p in positions}


@pytest.mark.parametrize("end_known", [True, False])
def test_a_native_tester_runs_in_the_core(monkeypatch, end_known):
    # The last task in this process is cut past the stop and counts where it falls: the
    # hits just before the stop are kept, those after it dropped, the stop found or located.
    monkeypatch.setattr(quorin._search.core, "_engine_api", lambda: NativeApi)
    monkeypatch.setattr(quorin._search.core, "_native_tester_type", lambda: NativeTester)
    monkeypatch.setattr(NativeApi, "end_known", end_known)
    for stop in (STOP, 201, 202):
        counted = []
        monkeypatch.setattr(NativeApi, "counted", counted, raising=False)
        expected = [hit for hit in EXPECTED if hit.rank <= stop]
        assert quorin.search(PROBS, NativeTester(PLANTED), start=START, stop=stop, workers=1,
                             task_size=TASK_SIZE) == expected, stop
        assert stop == STOP or any(most is not None for most in counted)  # STOP: past the finite


def test_a_counted_last_task_is_checkpointed_with_the_end_it_found(monkeypatch, tmp_path):
    # The checkpoint records the last task up to the stop its walk found: a search started
    # again runs no task and gives the same hits.
    monkeypatch.setattr(quorin._search.core, "_engine_api", lambda: NativeApi)
    monkeypatch.setattr(quorin._search.core, "_native_tester_type", lambda: NativeTester)
    path = tmp_path / "search.json"
    expected = [hit for hit in EXPECTED if hit.rank <= 202]
    runs = []
    monkeypatch.setattr(NativeApi, "counted", runs, raising=False)
    for run in range(2):
        assert quorin.search(PROBS, NativeTester(PLANTED), start=START, stop=202, workers=1,
                             task_size=TASK_SIZE, checkpoint=path) == expected
        if run == 0:
            assert any(most is not None for most in runs)
            del runs[:]
    assert runs == []


def test_plan_and_run_task_give_the_parts_of_a_scheduler(engine):
    tasks = quorin.plan(PROBS, start=START, stop=STOP, task_size=TASK_SIZE)
    assert len(repr(tasks[1])) < 120 and "probs=<5 rows>" in repr(tasks[1])
    assert len(pickle.dumps(tasks[1])) < 2000
    # Tasks run in any order; their counts give the ranks in plan order.
    results = {t.id: quorin.run_task(t, Planted(PLANTED)) for t in reversed(tasks)}
    before, hits = START, []
    for task in tasks:
        hits += results[task.id].ranked(before)
        before += results[task.id].tested
    assert hits == EXPECTED and before == STOP
    found = [h for r in results.values() for h in r.hits]
    assert all(type(h) is quorin.TaskHit and type(h.index) is int for h in found)


def gamma_matrix(rows=16, cols=256, seed=2024):
    rng = np.random.default_rng([seed, rows, cols])
    p = rng.gamma(0.3, size=(rows, cols))
    return p / p.sum(axis=1, keepdims=True)


class Keys:
    """Accepts the given configurations of a 256-column matrix; remembers the greatest cost
    it saw (in this process)."""

    def __init__(self, keys=()):
        self.keys = np.asarray(keys, dtype=np.uint8).reshape(len(keys), 16)
        self.greatest = -np.inf

    def __call__(self, columns, costs):
        self.greatest = max(self.greatest, float(costs.max(initial=-np.inf)))
        if not len(self.keys):
            return []
        as_bytes = columns.astype(np.uint8)
        return np.flatnonzero((as_bytes[:, None, :] == self.keys[None]).all(axis=2).any(axis=1))


def configuration_at(probs, position):
    return next(iter(quorin.batches(probs, size=1, start=position, stop=position + 1)))


def test_tasks_of_16_by_256_hold_what_count_counts():
    probs = gamma_matrix()
    cost = float(configuration_at(probs, 2**21).costs[0])
    low, high = quorin.count(probs, cost, exact_up_to=2**40)
    assert low == high
    start, stop = 2**20, low  # every configuration of cost at most `cost`, from 2^20 on
    tasks = quorin.plan(probs, start=start, stop=stop, task_size=2**18)
    assert all(a.upper == b.lower for a, b in zip(tasks, tasks[1:]))
    assert tasks[-1].upper[0] > cost
    seen, tested = Keys(), 0
    for task in tasks:
        tested += quorin.run_task(task, seen, threads=2).tested
    assert tested == stop - start and seen.greatest == cost


class Hashed:
    """Accepts the given configurations of any width, known by a 64-bit hash of their columns."""

    def __init__(self, keys):
        keys = np.asarray(keys, dtype=np.uint64)
        self.weights = np.random.default_rng(7).integers(1, 2**63, size=keys.shape[1], dtype=np.uint64)
        self.hashes = keys @ self.weights

    def __call__(self, columns, costs):
        return np.flatnonzero(np.isin(columns.astype(np.uint64) @ self.weights, self.hashes))


def test_a_search_over_hundreds_of_rows_finds_its_keys_in_tasks_of_the_size_asked():
    # Hundreds of rows: over the whole span of their costs the weight table's steps are so
    # wide that the first millions of configurations share a weight or two, and a task
    # asked to hold 2^14 held about 10^83 (the search never ended).
    probs = np.random.default_rng(5).dirichlet(np.full(4, 0.5), size=400)
    stop = 2**18
    positions = [0, 5000, 2**17 + 3, stop - 1]
    keys, first = [], 0
    for columns, _ in quorin.batches(probs, size=2**16, stop=stop):
        keys += [columns[p - first] for p in positions if first <= p < first + len(columns)]
        first += len(columns)
    tested = []

    def each_task(fn, tasks):
        for task in tasks:
            result = fn(task)
            tested.append(result.tested)
            yield result

    hits = quorin.search(probs, Hashed(keys), stop=stop, workers=each_task, task_size=2**14)
    assert [h.rank for h in hits] == [p + 1 for p in positions]
    assert [h.columns for h in hits] == [tuple(k.tolist()) for k in keys]
    assert sum(tested) == stop and all(0.9 * 2**14 < t < 1.1 * 2**14 for t in tested[:-1])
    # Every configuration of the first 2^13, in tasks of 2^9: the heap enumerator's order.
    heap = [tuple(c.tolist()) for c in itertools.islice(quorin.quorin(probs), 2**13)]
    every = quorin.search(probs, AcceptAll(), stop=2**13, workers=1, task_size=2**9)
    assert [h.rank for h in every] == list(range(1, 2**13 + 1))
    assert [h.columns for h in every] == heap


def test_first_hit_of_a_search_to_the_end_of_2_to_the_128():
    probs = gamma_matrix()
    key = configuration_at(probs, 300_000).columns[0]
    hits = quorin.search(probs, Keys([key]), stop=None, workers=1, task_size=2**14,
                         first=True)
    assert [h.rank for h in hits] == [300_001]


def test_task_walk_indices_of_an_array_as_of_lists():
    # The hits' columns come as one array: every integer type, every configuration of the
    # matrix (before, inside and after the range, cost +inf too), the same indices.
    walk = quorin._core._TaskWalk(PROBS, ORDER[START], ORDER[STOP], 1, 64)
    positions = range(0, len(ORDER), 3)
    configurations = [ORDER[p][1] for p in positions]
    expected = [min(max(p, START), STOP) - START for p in positions]
    assert walk.indices_of(configurations) == expected
    for dtype in (np.int32, np.int64, np.uint16):
        assert walk.indices_of(np.array(configurations, dtype=dtype)) == expected
        assert walk.indices_later(np.array(configurations, dtype=dtype), 1).result() == expected
    with pytest.raises(ValueError, match=">= 0"):
        walk.indices_of(np.array([[0, 0, -1, 0, 0]]))
    with pytest.raises(ValueError):
        walk.indices_of(np.zeros((1, 4), dtype=np.int32))


def test_ranks_of_hits_deep_down_match_quorin_rank():
    probs = gamma_matrix()
    start, n = 2**28, 2**22
    positions = [start, start + 12345, start + n - 1]
    keys, first = [], start
    for columns, _ in quorin.batches(probs, size=2**20, start=start, stop=start + n):
        keys += [columns[p - first] for p in positions if first <= p < first + len(columns)]
        first += len(columns)
    hits = quorin.search(probs, Keys(keys), start=start, stop=start + n, workers=1,
                         task_size=2**20)
    assert [h.rank for h in hits] == [p + 1 for p in positions]
    for hit, key in zip(hits, keys):
        assert hit.columns == tuple(key.tolist())
        assert quorin.rank(probs, hit.columns, exact_up_to=2**40) == (hit.rank, hit.rank)


def test_checkpoint_resumes_after_a_failing_test_and_refuses_another_search(tmp_path, engine):
    path = tmp_path / "search.json"
    fixed = tmp_path / "fixed"
    failing = FailsOn(PLANTED, position=201, unless=fixed)
    with pytest.raises(KeyError, match="the tester failed") as failure:
        quorin.search(PROBS, failing, start=START, stop=STOP,
                      workers=1, task_size=TASK_SIZE, checkpoint=path)
    failed = task_holding(201)
    assert any(f"quorin task {failed} " in note for note in failure.value.__notes__)
    finished = json.loads(path.read_text())["finished"]
    tasks = quorin.plan(PROBS, start=START, stop=STOP, task_size=TASK_SIZE)
    assert len(finished) == 1 and finished[0]["upper"] == [tasks[failed].lower[0],
                                                             list(tasks[failed].lower[1])]

    # Another test (here: other positions, or another kind) is refused, naming it.
    for other in [FailsOn(PLANTED[:3], position=201, unless=fixed), Planted(PLANTED)]:
        with pytest.raises(ValueError, match="records another search.*its test was"):
            quorin.search(PROBS, other, start=START, stop=STOP, workers=1, checkpoint=path)

    # The failure gone, the same test resumes with another task size: the gap is cut
    # anew, nothing runs twice.
    fixed.touch()
    counting = CountingTested()
    assert quorin.search(PROBS, failing, start=START, stop=STOP, workers=counting,
                         task_size=TASK_SIZE + 4, checkpoint=path) == EXPECTED
    assert counting.tested == STOP - START - finished[0]["tested"]
    counting = CountingTested()
    assert quorin.search(PROBS, failing, start=START, stop=STOP, workers=counting,
                         checkpoint=path) == EXPECTED
    assert counting.tested == 0
    assert quorin.search(PROBS, failing, start=START, stop=STOP, workers=1,
                         checkpoint=path, first=True) == EXPECTED[:1]

    for other in [dict(start=START + 1), dict(stop=STOP - 1),
                  dict(probs=[row[::-1] for row in PROBS])]:
        arguments = dict(probs=PROBS, start=START, stop=STOP) | other
        with pytest.raises(ValueError, match="records another search"):
            quorin.search(arguments.pop("probs"), failing, workers=1,
                          checkpoint=path, **arguments)


def test_checkpoint_from_finished_tasks_out_of_order(tmp_path, engine):
    # Tasks finish out of order on two workers; a failure leaves gaps, which the resumed
    # search fills exactly.
    path = tmp_path / "search.json"
    failing = FailsOn(PLANTED, position=100, unless=tmp_path / "fixed")
    with pytest.raises(KeyError):
        quorin.search(PROBS, failing, start=START, stop=STOP,
                      workers=ReversedMap(), task_size=TASK_SIZE, checkpoint=path)
    finished = json.loads(path.read_text())["finished"]
    # The tasks after the failing one ran first.
    assert len(finished) == 1 and finished[0]["upper"] == [ORDER[STOP][0], list(ORDER[STOP][1])]
    counting = CountingTested()
    (tmp_path / "fixed").touch()
    assert quorin.search(PROBS, failing, start=START, stop=STOP, workers=counting,
                         task_size=TASK_SIZE, checkpoint=path) == EXPECTED
    assert counting.tested == STOP - START - finished[0]["tested"]


def test_checkpoint_with_negative_costs_resumes(tmp_path):
    # Values above 1 give negative costs: written and read back like any other.
    probs = [[3.0, 0.5, 0.25], [2.0, 1.0], [0.7, 0.2, 0.1, 4.0]]
    order = oracle.cost_order(probs)
    wanted = [1, 5, 17]
    codes = np.array([sum(c * 8**i for i, c in enumerate(order[p][1])) for p in wanted])

    def test(columns, costs):
        return np.isin(columns.astype(np.int64) @ (8 ** np.arange(3)), codes)

    path = tmp_path / "search.json"
    first = quorin.search(probs, test, stop=24, workers=1, task_size=4, checkpoint=path)
    assert first == [quorin.Hit(p + 1, order[p][1], order[p][0]) for p in wanted]
    assert order[1][0] < 0
    counting = CountingTested()
    assert quorin.search(probs, test, stop=24, workers=counting, checkpoint=path) == first
    assert counting.tested == 0


def test_checkpoint_of_an_earlier_layout_or_altered_is_refused(tmp_path, engine):
    path = tmp_path / "search.json"
    quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=1,
                  task_size=TASK_SIZE, checkpoint=path)
    record = json.loads(path.read_text())
    earlier = {"format": "quorin search checkpoint", "version": 1,
               "search": {"start": START, "stop": STOP, "task_size": TASK_SIZE},
               "finished": [[0, 3]], "tested": 75, "hits": []}
    path.write_text(json.dumps(earlier))
    with pytest.raises(ValueError, match="earlier quorin, whose tasks were cut at positions"):
        quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=1,
                      checkpoint=path)

    def altered(change):
        changed = json.loads(json.dumps(record))
        change(changed["finished"][0])
        return json.dumps(changed)

    hit = record["finished"][0]["hits"][0]
    for text in [json.dumps(record)[:-20],
                 altered(lambda f: f.update(hits=[[hit[0] + 1000, hit[1], hit[2]]])),
                 altered(lambda f: f.update(hits=[[hit[0], hit[1], hit[2] + 50]])),
                 altered(lambda f: f.update(lower=[f["lower"][0], [9] * 5])),
                 altered(lambda f: f.update(tested=-1)),
                 altered(lambda f: f.update(upper=[0.0, [0] * 5]))]:
        path.write_text(text)
        with pytest.raises(ValueError, match="not a readable quorin search checkpoint"):
            quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=1,
                          checkpoint=path)


@pytest.mark.parametrize("kind", kinds(["processes", "dask-client"]))
def test_a_failing_test_stops_the_search_naming_its_task(kind, request):
    with pytest.raises(KeyError, match="the tester failed") as failure:
        quorin.search(PROBS, FailsOn(PLANTED, position=300), start=START, stop=STOP,
                      workers=WORKERS[kind](request), task_size=TASK_SIZE)
    assert any(f"quorin task {task_holding(300)} " in note
               for note in failure.value.__notes__)


@needs_processes
def test_a_dead_worker_process_runs_its_task_again_or_fails_the_search(tmp_path):
    once = ExitsOn(PLANTED, position=200, once=str(tmp_path / "died"))
    assert quorin.search(PROBS, once, start=START, stop=STOP, workers=2,
                         task_size=TASK_SIZE) == EXPECTED
    assert (tmp_path / "died").exists()

    path = tmp_path / "search.json"
    exits = ExitsOn(PLANTED, position=200, unless=tmp_path / "fixed")
    with pytest.raises(RuntimeError, match="worker processes died twice") as failure:
        quorin.search(PROBS, exits, start=START, stop=STOP,
                      workers=2, task_size=TASK_SIZE, checkpoint=path)
    assert f"quorin task {task_holding(200)} " in str(failure.value)
    (tmp_path / "fixed").touch()
    assert quorin.search(PROBS, exits, start=START, stop=STOP, workers=2,
                         task_size=TASK_SIZE, checkpoint=path) == EXPECTED


@needs_processes
def test_dask_runs_the_task_of_a_dead_worker_again(dask_client, tmp_path):
    once = ExitsOn(PLANTED, position=200, once=str(tmp_path / "died"))
    assert quorin.search(PROBS, once, start=START, stop=STOP, workers=dask_client,
                         task_size=TASK_SIZE) == EXPECTED
    assert (tmp_path / "died").exists()


@pytest.mark.parametrize("found, message", [
    (None, "returned None"),
    (np.zeros(3), "dtype float64"),
    (np.zeros(4, dtype=bool), r"mask of shape \(4,\) for a batch of 5"),
    ([0, 5], "index 5 for a batch of 5"),
    ([-1], "index -1"),
    (np.zeros((5, 1), dtype=bool), r"shape \(5, 1\)"),
    (np.array([0, 1, 0, 0, 1], dtype=np.uint8), "integers of dtype uint8.*astype\\(bool\\)"),
    (np.array([1], dtype=np.int16), "integers of dtype int16"),
])
def test_run_task_refuses_what_is_neither_a_mask_nor_indices(found, message):
    task = quorin.plan(PROBS, start=10, stop=15, task_size=5)[0]
    with pytest.raises(ValueError, match=message) as error:
        quorin.run_task(task, lambda columns, costs: found)
    assert "quorin task 0 (from (" in str(error.value)
    assert quorin.run_task(task, lambda c, k: []).hits == []


def test_progress_line_without_tqdm(monkeypatch, capsys):
    monkeypatch.setitem(__import__("sys").modules, "tqdm", None)
    quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=1,
                  task_size=TASK_SIZE, progress=True)
    import re

    last = capsys.readouterr().err.splitlines()[-1]  # with the rate and the time left
    assert re.fullmatch(f"quorin search: {STOP - START} of {STOP - START} configurations tested "
                        f"\\(100.0 %\\), [0-9.]+ [kMG]?/s, 0:00 left, {len(EXPECTED)} hits", last)


def accept_all(columns, costs):
    return np.ones(len(costs), dtype=bool)


@pytest.mark.parametrize("arguments, error, message", [
    (dict(start=5, stop=4), ValueError, r"stop \(4\) is below start \(5\)"),
    (dict(start=-1, stop=4), ValueError, "start is -1"),
    (dict(stop=-2), ValueError, "stop is -2"),
    (dict(stop=4, task_size=0), ValueError, "task_size is 0"),
    (dict(stop=4, workers=0), ValueError, "workers is 0"),
    (dict(stop=4, workers=-3), ValueError, "workers is -3"),
    (dict(stop=4, workers="2"), TypeError, "workers must be"),
    (dict(stop=4.0), TypeError, "stop must be an integer"),
    (dict(stop=4, probs=[[0.5, -0.25]]), ValueError, r"probs\[0\]\[1\] is -0.25"),
    (dict(stop=4, probs=[[0.5], []]), ValueError, r"probs\[1\] is empty"),
    (dict(stop=4, test=None), TypeError, "test must be callable"),
])
def test_bad_arguments(arguments, error, message):
    arguments = dict(probs=PROBS, test=accept_all) | arguments
    with pytest.raises(error, match=message):
        quorin.search(arguments.pop("probs"), arguments.pop("test"), **arguments)


@pytest.mark.parametrize("arguments, error, message", [
    (dict(start=5, stop=4), ValueError, r"stop \(4\) is below start \(5\)"),
    (dict(stop=4, task_size=0), ValueError, "task_size is 0"),
    (dict(stop=4, task_size=None), TypeError, "task_size must be an integer"),
    (dict(stop=2**60, task_size=1), ValueError, "larger task_size"),
])
def test_plan_bad_arguments(arguments, error, message):
    with pytest.raises(error, match=message):
        quorin.plan([[0.5] * 256] * 16, **arguments)


@needs_processes
def test_lambdas_and_notebook_functions_run_on_worker_processes_with_cloudpickle():
    pytest.importorskip("cloudpickle")
    planted = Planted(PLANTED)
    assert quorin.search(PROBS, lambda columns, costs: planted(columns, costs), start=START,
                         stop=STOP, workers=2, task_size=TASK_SIZE) == EXPECTED
    # `python -c` runs in a __main__ without a file, as a notebook does.
    result = run_python(
        "import numpy as np, quorin\n"
        "probs = [[0.5, 0.3, 0.2]] * 6\n"
        "key = list(quorin.batches(probs, size=1, start=300, stop=301))[0].columns[0]\n"
        "def test(columns, costs):\n"
        "    return (columns == key).all(axis=1)\n"
        "hits = quorin.search(probs, test, stop=None, workers=2, task_size=50)\n"
        "assert [h.rank for h in hits] == [301], hits\n")
    assert result.returncode == 0, result.stderr


@needs_processes
def test_unpicklable_test_is_refused_before_workers_start(monkeypatch):
    import threading

    lock = threading.Lock()
    with pytest.raises(TypeError, match="test must be picklable"):
        quorin.search(PROBS, lambda columns, costs: lock and [], stop=10, workers=2)
    monkeypatch.setitem(__import__("sys").modules, "cloudpickle", None)
    with pytest.raises(TypeError, match="cloudpickle must be installed"):
        quorin.search(PROBS, lambda columns, costs: [], stop=10, workers=2)


@needs_processes
def test_a_script_without_the_main_guard_fails_at_once_saying_why(tmp_path):
    script = tmp_path / "unguarded.py"
    script.write_text(
        "import quorin\n"
        "def test(columns, costs):\n"
        "    return []\n"
        "quorin.search([[0.5, 0.5]] * 8, test, stop=None, workers=2, task_size=16)\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(quorin.__file__)))
    result = subprocess.run([sys.executable, str(script)], env=env, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode != 0
    assert "worker processes ended while starting" in result.stderr
    assert 'if __name__ == "__main__":' in result.stderr
    assert "quorin.search was called while a worker process was starting" in result.stderr


def test_import_does_not_import_numpy_or_the_engines():
    result = run_python(
        "import sys, quorin\n"
        "loaded = {'numpy', 'dask', 'distributed', 'concurrent.futures'} & set(sys.modules)\n"
        "assert not loaded, loaded\n"
        "assert quorin.search and quorin.plan and quorin.Task and quorin.Hit\n")
    assert result.returncode == 0, result.stderr
