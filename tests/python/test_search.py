"""quorin.plan, run_task and search against the brute-force cost order: planted keys found
at their exact ranks on every kind of workers (this process, worker processes, executors,
map-like callables, a Dask cluster), first=True, checkpoints resumed after a failure,
failing tests and workers, bad input."""

import concurrent.futures
import json
import logging
import multiprocessing
import os
import pickle
import time

import numpy as np
import pytest

import cost_order_oracle as oracle
import quorin
from conftest import run_python

# Ties within and between rows, a zero, ragged rows: 4 * 3 * 4 * 2 * 5 = 480 configurations.
PROBS = [[0.5, 0.25, 0.25, 0.0], [0.3, 0.3, 0.4], [0.125, 0.5, 0.125, 0.25], [0.6, 0.4],
         [0.2] * 5]
ORDER = oracle.cost_order(PROBS)
START, STOP, TASK_SIZE = 37, 431, 25  # 16 tasks
PLANTED = [3, 37, 38, 200, 201, 430, 431]  # positions; 3 and 431 lie outside the range
EXPECTED = [quorin.Hit(p + 1, ORDER[p][1], ORDER[p][0]) for p in PLANTED if START <= p < STOP]

needs_batches = pytest.mark.skipif(
    not hasattr(quorin, "batches"),
    reason="quorin.batches, which runs every task, is not in this build of quorin yet")
needs_processes = pytest.mark.skipif(
    bool(os.environ.get("QUORIN_ASAN")),
    reason="worker processes would need the sanitizer runtime preloaded too")


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
    """Raises on the batch holding `position`."""

    def __init__(self, positions, position):
        super().__init__(positions)
        self.position = position

    def __call__(self, columns, costs):
        if self.holds(columns, self.position):
            raise KeyError("the tester failed")
        return super().__call__(columns, costs)


class ExitsOn(Planted):
    """Ends its worker process on the batch holding `position`: always, or only while the
    file `once` does not exist yet (it makes it)."""

    def __init__(self, positions, position, once=None):
        super().__init__(positions)
        self.position, self.once = position, once

    def __call__(self, columns, costs):
        if self.holds(columns, self.position):
            if self.once is None:
                os._exit(3)
            try:
                open(self.once, "x").close()
            except FileExistsError:
                pass
            else:
                os._exit(3)
        return super().__call__(columns, costs)


class CountingMap:
    """A lazy map-like callable that records the ids of the tasks it was given."""

    def __init__(self):
        self.ids = []

    def __call__(self, fn, tasks):
        for task in tasks:
            self.ids.append(task.id)
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


@needs_batches
@pytest.mark.parametrize("kind", kinds(WORKERS))
def test_planted_keys_found_at_their_ranks_by_every_kind_of_workers(kind, request):
    test = Planted(PLANTED, as_indices=kind in ANSWER_WITH_INDICES)
    hits = quorin.search(PROBS, test, start=START, stop=STOP, workers=WORKERS[kind](request),
                         task_size=TASK_SIZE)
    assert hits == EXPECTED  # ranks, columns and costs, bit for bit
    assert all(type(h.rank) is int and type(h.cost) is float for h in hits)


@needs_batches
@pytest.mark.parametrize("kind", kinds(["this-process", "processes", "dask-client"]))
def test_first_returns_the_first_hit_once_every_task_before_it_finished(kind, request):
    # The batch of the first hit is slow: hits in later tasks come back first.
    test = SlowOn(PLANTED, position=38, delay=0.5)
    hits = quorin.search(PROBS, test, start=START, stop=STOP, workers=WORKERS[kind](request),
                         task_size=TASK_SIZE, first=True)
    assert hits == EXPECTED[:1]


@needs_batches
def test_first_takes_no_task_after_the_hit():
    counting = CountingMap()
    hits = quorin.search(PROBS, Planted([200, 201]), start=START, stop=STOP,
                         workers=counting, task_size=TASK_SIZE, first=True)
    assert hits == [quorin.Hit(201, ORDER[200][1], ORDER[200][0])]
    assert counting.ids == list(range((200 - START) // TASK_SIZE + 1))
    assert quorin.search(PROBS, Planted([3]), start=START, stop=STOP, workers=1,
                         first=True) == []


@needs_batches
def test_plan_covers_the_range_and_run_task_hands_out_exact_ranks():
    tasks = quorin.plan(PROBS, start=START, stop=STOP, task_size=TASK_SIZE)
    assert [t.id for t in tasks] == list(range(16))
    assert [(t.start, t.stop) for t in tasks] == [
        (s, min(s + TASK_SIZE, STOP)) for s in range(START, STOP, TASK_SIZE)]
    accept_all = Planted(range(len(ORDER)))
    hits = []
    for task in tasks:
        result = quorin.run_task(pickle.loads(pickle.dumps(task)), accept_all, batch_size=7)
        assert (result.id, result.tested) == (task.id, task.stop - task.start)
        hits += result.hits
    assert [(h.cost, h.columns) for h in hits] == ORDER[START:STOP]
    assert [h.rank for h in hits] == list(range(START + 1, STOP + 1))
    # Positions past the last configuration make no task; stop=None means the last one.
    whole = quorin.plan(np.array([[0.5, 0.5]] * 3), stop=None, task_size=3)
    assert [(t.start, t.stop) for t in whole] == [(0, 3), (3, 6), (6, 8)]
    assert [(t.start, t.stop) for t in quorin.plan(PROBS, start=470, stop=10**30)] == [
        (470, 480)]
    assert quorin.plan(PROBS, start=5, stop=5) == [] == quorin.plan(PROBS, start=500, stop=600)


@needs_batches
def test_checkpoint_resumes_after_a_failing_test_and_refuses_another_search(tmp_path):
    path = tmp_path / "search.json"
    with pytest.raises(KeyError, match="the tester failed") as failure:
        quorin.search(PROBS, FailsOn(PLANTED, position=201), start=START, stop=STOP,
                      workers=1, task_size=TASK_SIZE, checkpoint=path)
    failed = (201 - START) // TASK_SIZE
    assert any(f"quorin task {failed} " in note for note in failure.value.__notes__)
    assert json.loads(path.read_text())["finished"] == [[0, failed]]

    counting = CountingMap()
    assert quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=counting,
                         task_size=TASK_SIZE, checkpoint=path) == EXPECTED
    assert counting.ids == list(range(failed, 16))  # finished tasks are not run again
    counting = CountingMap()
    assert quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=counting,
                         task_size=TASK_SIZE, checkpoint=path) == EXPECTED
    assert counting.ids == []

    for other in [dict(start=START + 1), dict(task_size=TASK_SIZE + 1),
                  dict(probs=[row[::-1] for row in PROBS])]:
        arguments = dict(probs=PROBS, start=START, stop=STOP, task_size=TASK_SIZE) | other
        with pytest.raises(ValueError, match="records another search"):
            quorin.search(arguments.pop("probs"), Planted(PLANTED), workers=1,
                          checkpoint=path, **arguments)
    path.write_text(path.read_text()[:-20])
    with pytest.raises(ValueError, match="not a readable quorin search checkpoint"):
        quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=1,
                      task_size=TASK_SIZE, checkpoint=path)


@needs_batches
@pytest.mark.parametrize("kind", kinds(["processes", "dask-client"]))
def test_a_failing_test_stops_the_search_naming_its_task(kind, request):
    with pytest.raises(KeyError, match="the tester failed") as failure:
        quorin.search(PROBS, FailsOn(PLANTED, position=300), start=START, stop=STOP,
                      workers=WORKERS[kind](request), task_size=TASK_SIZE)
    assert any(f"quorin task {(300 - START) // TASK_SIZE} " in note
               for note in failure.value.__notes__)


@needs_batches
@needs_processes
def test_a_dead_worker_process_runs_its_task_again_or_fails_the_search(tmp_path):
    once = ExitsOn(PLANTED, position=200, once=str(tmp_path / "died"))
    assert quorin.search(PROBS, once, start=START, stop=STOP, workers=2,
                         task_size=TASK_SIZE) == EXPECTED
    assert (tmp_path / "died").exists()

    path = tmp_path / "search.json"
    with pytest.raises(RuntimeError, match="worker processes died twice") as failure:
        quorin.search(PROBS, ExitsOn(PLANTED, position=200), start=START, stop=STOP,
                      workers=2, task_size=TASK_SIZE, checkpoint=path)
    assert f" {(200 - START) // TASK_SIZE}" in str(failure.value)
    assert quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=2,
                         task_size=TASK_SIZE, checkpoint=path) == EXPECTED


@needs_batches
@needs_processes
def test_dask_runs_the_task_of_a_dead_worker_again(dask_client, tmp_path):
    once = ExitsOn(PLANTED, position=200, once=str(tmp_path / "died"))
    assert quorin.search(PROBS, once, start=START, stop=STOP, workers=dask_client,
                         task_size=TASK_SIZE) == EXPECTED
    assert (tmp_path / "died").exists()


@needs_batches
@pytest.mark.parametrize("found, message", [
    (None, "returned None"),
    (np.zeros(3), "dtype float64"),
    (np.zeros(4, dtype=bool), r"mask of shape \(4,\) for a batch of 5"),
    ([0, 5], "index 5 for a batch of 5"),
    ([-1], "index -1"),
    (np.zeros((5, 1), dtype=bool), r"shape \(5, 1\)"),
])
def test_run_task_refuses_what_is_neither_a_mask_nor_indices(found, message):
    task = quorin.plan(PROBS, start=10, stop=15, task_size=5)[0]
    with pytest.raises(ValueError, match=message) as error:
        quorin.run_task(task, lambda columns, costs: found)
    assert "quorin task 0 (positions 10 to 14)" in str(error.value)
    assert quorin.run_task(task, lambda c, k: []).hits == []


@needs_batches
def test_progress_line_without_tqdm(monkeypatch, capsys):
    monkeypatch.setitem(__import__("sys").modules, "tqdm", None)
    quorin.search(PROBS, Planted(PLANTED), start=START, stop=STOP, workers=1,
                  task_size=TASK_SIZE, progress=True)
    assert (f"quorin search: {STOP - START} of {STOP - START} configurations tested "
            f"(100.0 %), {len(EXPECTED)} hits") in capsys.readouterr().err


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
def test_unpicklable_test_is_refused_before_workers_start():
    with pytest.raises(TypeError, match="test must be picklable"):
        quorin.search(PROBS, lambda columns, costs: [], stop=10, workers=2)


def test_import_does_not_import_numpy_or_the_engines():
    result = run_python(
        "import sys, quorin\n"
        "loaded = {'numpy', 'dask', 'distributed', 'concurrent.futures'} & set(sys.modules)\n"
        "assert not loaded, loaded\n"
        "assert quorin.search and quorin.plan and quorin.Task and quorin.Hit\n")
    assert result.returncode == 0, result.stderr
