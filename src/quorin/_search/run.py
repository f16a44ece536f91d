"""Running one task: the walk, the test on every batch, the hits by index."""

import os

from quorin._search.arguments import _describe, _note, _positive
from quorin._search.constants import BATCH_SIZE
from quorin._search import core
from quorin._search.core import _check_test
from quorin._search.types import Task, TaskHit, TaskResult


def run_task(task, test, *, threads=1, batch_size=BATCH_SIZE):
    """Runs ``test(columns, costs)`` on every configuration of ``task``, a batch (up to
    ``batch_size`` configurations, walked with ``threads`` threads) at a time, and returns a
    ``TaskResult``: how many configurations it tested and the hits by index in the task.

    ``test`` returns a boolean mask of the batch or the integer indices of its hits; it must
    not keep or change the arrays (they are read-only). Batches come in no particular order.
    A native tester (an instance of ``quorin._core.Tester``) runs entirely in C++. The
    task's matrix is checked again (a task made by hand may hold anything): a row of zeros
    only raises ValueError, as in ``plan``.
    """
    if not isinstance(task, Task):
        raise TypeError(f"task must be a quorin.Task, not {type(task).__name__}")
    _check_test(test)
    threads = _positive("threads", threads)
    return _run(task, test, threads, _positive("batch_size", batch_size), None)


def _unique(test):
    """Whether a hit of ``test`` is the only one there is (its ``unique`` attribute): a task
    then stops at it."""
    return bool(getattr(test, "unique", False))


class _Indexing:
    """A task walked to its end whose hits are being indexed in the background (one thread
    counting while the caller goes on): ``tested`` is known, ``result()`` waits for the
    indices and returns the TaskResult."""

    def __init__(self, task, tested, found, pending):
        self.task, self.tested, self.found, self.pending = task, tested, found, pending

    def result(self):
        return _indexed(self.task, self.tested, self.found, self.pending.result())


def _indexed(task, tested, found, indices):
    """The TaskResult of hits ``found`` ((cost, columns) in the cost order) at ``indices``."""
    return TaskResult(task.id, tested, [TaskHit(i, columns, cost)
                                        for i, (cost, columns) in zip(indices, found)])


def _local_cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def _run(task, test, threads, batch_size, stopped, later=False, index_threads=None):
    """run_task's work; returns None as soon as ``stopped()`` says the search is over.

    With a unique test, the task stops at its first hit: the result holds that hit alone,
    and ``tested`` counts the task's configurations up to it, itself included. With
    ``later``, a task with hits returns an _Indexing whose result() is the TaskResult.
    The hits are indexed on ``index_threads`` threads (None: ``threads``)."""
    api = core._engine_api()
    if core._is_native(test):
        return _run_native(task, test, threads)[0]
    unique = _unique(test)
    walk = api._TaskWalk(task.probs, task.lower, task.upper, threads, batch_size,
                         **core._log_kw(task.log))
    hit_costs, hit_columns = [], []  # the hits of each batch, as arrays
    for columns, costs in walk:
        if stopped is not None and stopped():
            return None
        columns.setflags(write=False)
        costs.setflags(write=False)
        try:
            accepted = test(columns, costs)
        except Exception as error:
            _note(error, f"raised by the test in {_describe(task)}")
            raise
        hits = _hit_indices(accepted, len(costs), task)
        if hits.size == 0:
            continue
        hit_costs.append(costs[hits])
        hit_columns.append(columns[hits])
        if unique:
            cost, columns = _in_cost_order(hit_costs, hit_columns)[0][0]
            index = walk.index_of(columns)
            return TaskResult(task.id, index + 1, [TaskHit(index, columns, cost)])
    if not hit_costs:
        return TaskResult(task.id, walk.tested, [])
    found, rows = _in_cost_order(hit_costs, hit_columns)
    if later:
        return _Indexing(task, walk.tested, found, walk.indices_later(rows, 1))
    if index_threads is not None and index_threads != threads:
        return _indexed(task, walk.tested, found, walk.indices_later(rows, index_threads).result())
    return _indexed(task, walk.tested, found, walk.indices_of(rows))


def _run_native(task, test, threads, most=None):
    """A native tester's run of ``task`` in C++: (TaskResult, cut, end). With a unique tester
    it stops at the hit, and tested counts the configurations up to it. With ``most``, only
    the first ``most`` configurations count: when the task holds more, cut is true and end
    the bound where they end (None: counts could not tell)."""
    tested, found, _, cut, end = core._engine_api()._run_native(
        task.probs, task.lower, task.upper, test, threads, most=most, **core._log_kw(task.log))
    hits = [TaskHit(int(i), tuple(int(c) for c in columns), float(cost))
            for i, columns, cost in found]
    end = None if end is None else (float(end[0]), tuple(int(c) for c in end[1]))
    return TaskResult(task.id, int(tested), sorted(hits)), bool(cut), end


def _in_cost_order(costs, columns):
    """The hits of the batches (arrays of costs and of columns, row by row) in the cost
    order (by cost, then by columns): a list of (cost, columns) pairs, and their columns as
    one array, a row each."""
    import numpy

    costs = numpy.concatenate(costs)
    columns = numpy.concatenate(columns)
    # lexsort's last key sorts first: the cost, then the first row's column, and so on.
    keys = tuple(columns[:, r] for r in range(columns.shape[1] - 1, -1, -1)) + (costs,)
    order = numpy.lexsort(keys)
    rows = columns[order]
    return list(zip(costs[order].tolist(), map(tuple, rows.tolist()))), rows


def _hit_indices(found, m, task):
    """The sorted indices of the hits in a batch of ``m`` that ``test`` returned as ``found``."""
    import numpy

    expected = (f"return a boolean mask of shape ({m},) or the signed integer indices of the "
                f"hits in the batch")
    if found is None:
        raise ValueError(f"the test returned None in {_describe(task)}: {expected}")
    try:
        array = numpy.asarray(found)
    except Exception as error:  # ragged sequences and the like
        raise ValueError(f"the test returned {type(found).__name__} in {_describe(task)} "
                         f"({error}): {expected}") from None
    if array.dtype == numpy.bool_:
        if array.shape != (m,):
            raise ValueError(f"the test returned a boolean mask of shape {array.shape} for a "
                             f"batch of {m} in {_describe(task)}: {expected}")
        return numpy.flatnonzero(array)
    if array.ndim == 1 and array.size == 0:
        return numpy.empty(0, dtype=numpy.intp)
    if array.dtype.kind == "u" or (array.dtype.kind == "i" and array.dtype.itemsize < 4):
        # A 0/1 array of bytes from a compiled kernel is a mask, not indices: refused
        # rather than read as the indices 0 and 1.
        raise ValueError(f"the test returned integers of dtype {array.dtype} in "
                         f"{_describe(task)}: {expected} (indices as int32 or int64, or a "
                         f"mask as bool: array.astype(bool) turns a 0/1 array into one)")
    if array.ndim == 1 and array.dtype.kind == "i":
        outside = array[(array < 0) | (array >= m)]
        if outside.size:
            raise ValueError(f"the test returned the index {outside[0]} for a batch of {m} "
                             f"in {_describe(task)}: indices go from 0 to {m - 1}")
        return numpy.unique(array)
    raise ValueError(f"the test returned {type(found).__name__} of dtype {array.dtype} and "
                     f"shape {array.shape} in {_describe(task)}: {expected}")
