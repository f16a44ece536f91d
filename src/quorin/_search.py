"""Searches over a range of the cost order, split into tasks that any engine can run.

Positions [start, stop) of the cost order split into tasks of consecutive positions. A task
holds its matrix and its range, so it runs anywhere quorin is installed: in this process,
in local worker processes, on a concurrent.futures executor, on a Dask cluster or through
any map-like callable. A worker runs `quorin.batches` over its task's range and calls the
user's test on every batch; the hits come back with their exact ranks.

NumPy, concurrent.futures and the engines are imported when a search needs them, so that
`import quorin` stays light.
"""

import functools
import math
import operator
import os
import sys
import typing as _typing

if _typing.TYPE_CHECKING:
    import numpy

PLAN_TASK_SIZE = 2**28
# search's default task size: about 64 tasks per search, within these bounds
MIN_TASK_SIZE, MAX_TASK_SIZE = 2**23, 2**28
BATCH_SIZE = 2**20
# plan() returns a list; past this many tasks that list alone would take gigabytes
MAX_PLANNED_TASKS = 2**24
CHECKPOINT_FORMAT = "quorin search checkpoint"
CHECKPOINT_VERSION = 1


class Task(_typing.NamedTuple):
    """Positions ``start`` .. ``stop - 1`` (0-based) of the cost order of ``probs``; ``id`` is
    its number in the plan. ``probs`` is the matrix in float64: a read-only two-dimensional
    array, or a tuple of read-only rows when rows differ in length. Picklable."""

    id: int
    probs: _typing.Any
    start: int
    stop: int

    def __repr__(self):
        return (f"Task(id={self.id}, probs=<{_shape(self.probs)}>, "
                f"start={self.start}, stop={self.stop})")


class Hit(_typing.NamedTuple):
    """A configuration the test accepted: its ``rank`` in the cost order (1-based, exact),
    its ``columns`` (one per row) and its ``cost``."""

    rank: int
    columns: _typing.Tuple[int, ...]
    cost: float


class TaskResult(_typing.NamedTuple):
    """What running task ``id`` found: its ``hits`` by rank and the number of configurations
    ``tested``."""

    id: int
    hits: _typing.List[Hit]
    tested: int


for _type in (Task, Hit, TaskResult):
    _type.__module__ = "quorin"  # pickles and reprs name the public home


def plan(probs, *, start=0, stop, task_size=PLAN_TASK_SIZE):
    """Tasks of ``task_size`` consecutive positions (the last may be shorter) covering
    positions ``start`` .. ``stop - 1`` of the cost order; ``stop=None`` means the last
    configuration. Positions past the last configuration make no task."""
    start, stop = _range_arguments(start, stop)
    task_size = _positive("task_size", task_size)
    layout = _Layout(_matrix(probs), start, stop, task_size)
    if layout.count > MAX_PLANNED_TASKS:
        raise ValueError(
            f"plan would make {layout.count} tasks (more than {MAX_PLANNED_TASKS}): give a "
            f"larger task_size, or let quorin.search make the tasks as it goes")
    return [layout.task(k) for k in range(layout.count)]


def run_task(task, test, *, threads=1, batch_size=BATCH_SIZE):
    """Runs ``test(columns, costs)`` on every batch of ``task`` (``batch_size``
    configurations each, from ``quorin.batches`` with ``threads`` threads) and returns
    the hits. ``test`` returns a boolean mask of the batch or the integer indices of its
    hits; it must not keep or change the arrays (they are read-only)."""
    if not isinstance(task, Task):
        raise TypeError(f"task must be a quorin.Task, not {type(task).__name__}")
    if not callable(test):
        raise TypeError(f"test must be callable, not {type(test).__name__}")
    return _run(task, test, threads, _positive("batch_size", batch_size), None)


def search(probs, test, *, start=0, stop, workers=None, task_size=None, checkpoint=None,
           progress=False, first=False):
    """The configurations at positions ``start`` .. ``stop - 1`` of the cost order that
    ``test`` accepts, as a list of hits sorted by rank (``stop=None``: to the end).

    ``test(columns, costs)`` returns a boolean mask of the batch or the indices of its hits.
    ``workers``: None = a worker process per core, n = n processes (1 = this process), an
    Executor, a Dask Client, or a map-like callable called as ``workers(fn, tasks)``. For
    worker processes ``test`` must be picklable (defined at the top level of a module).
    ``task_size``: configurations per task (default: about 64 tasks, 2**23 to 2**28 each).
    ``checkpoint``: a path where finished tasks are recorded; a search started again with
    the same arguments skips them. ``progress``: a progress bar on stderr. ``first``:
    return only the first hit, as soon as every task before it has finished.
    """
    if not callable(test):
        raise TypeError(f"test must be callable, not {type(test).__name__}")
    start, stop = _range_arguments(start, stop)
    if task_size is not None:
        task_size = _positive("task_size", task_size)
    engine = _engine(workers)
    layout = _Layout(_matrix(probs), start, stop, task_size)
    record = _Checkpoint(checkpoint, layout) if checkpoint is not None else None
    collector = _Collector(layout, bool(first), record)
    with _Progress(progress, layout.stop - layout.start, collector.tested) as bar:
        collector.bar = bar
        if not collector.complete():
            engine.run(collector, test)
    return collector.answer()


def default_task_size(configurations):
    """search's task size when none is given: about 64 tasks, at least 2**23 and at most
    2**28 configurations each (small enough to spread, large enough that the cost of
    starting a task stays far below that of running it)."""
    return min(MAX_TASK_SIZE, max(MIN_TASK_SIZE, -(-configurations // 64)))


# ---------------------------------------------------------------------------------------
# arguments


def _integer(name, value):
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _positive(name, value):
    value = _integer(name, value)
    if value < 1:
        raise ValueError(f"{name} is {value}: it must be at least 1")
    return value


def _range_arguments(start, stop):
    start = _integer("start", start)
    if start < 0:
        raise ValueError(f"start is {start}: it must be at least 0")
    if stop is None:
        return start, math.inf
    stop = _integer("stop", stop)
    if stop < 0:
        raise ValueError(f"stop is {stop}: it must be at least 0")
    if stop < start:
        raise ValueError(f"stop ({stop}) is below start ({start})")
    return start, stop


def _matrix(probs):
    """``probs`` in float64 as the core reads it, after the core's own checks."""
    from quorin._core import quorin as enumerator

    enumerator(probs)  # the same checks and messages as every other entry point
    import numpy

    if isinstance(probs, numpy.ndarray) and probs.ndim == 2:
        matrix = numpy.array(probs, dtype=numpy.float64)  # a copy the caller cannot change
        rows = [matrix] if len(matrix) else []
    else:
        rows = [numpy.array([float(p) for p in row], dtype=numpy.float64) for row in probs]
        if rows and len({len(row) for row in rows}) == 1:
            rows = [numpy.stack(rows)]
    if not rows:
        return ()
    if len(rows) == 1 and rows[0].ndim == 2:
        rows[0].setflags(write=False)
        return rows[0]
    for row in rows:
        row.setflags(write=False)
    return tuple(rows)


def _configurations(matrix):
    return math.prod(len(row) for row in matrix)


def _shape(matrix):
    if len(matrix) and getattr(matrix, "ndim", 1) == 2:
        return f"{matrix.shape[0]} x {matrix.shape[1]}"
    return f"{len(matrix)} rows"


class _Layout:
    """The tasks of a search: ``count`` tasks of ``task_size`` consecutive positions from
    ``start``, the last one ending at ``stop`` (both clipped to the configurations that
    exist; task_size None: the default for that range)."""

    def __init__(self, matrix, start, stop, task_size):
        self.matrix = matrix
        self.stop = min(stop, _configurations(matrix))
        self.start = min(start, self.stop)
        self.task_size = task_size or default_task_size(self.stop - self.start)
        self.count = -(-(self.stop - self.start) // self.task_size)

    def bounds(self, k):
        first = self.start + k * self.task_size
        return first, min(first + self.task_size, self.stop)

    def task(self, k):
        return Task(k, self.matrix, *self.bounds(k))

    def task_of_rank(self, rank):
        return (rank - 1 - self.start) // self.task_size

    def configurations(self, first, last):
        """How many positions tasks ``first`` .. ``last - 1`` cover."""
        if first >= last:
            return 0
        return self.bounds(last - 1)[1] - self.bounds(first)[0]


def _describe(task):
    return f"quorin task {task.id} (positions {task.start} to {task.stop - 1})"


def _note(error, text):
    if text not in getattr(error, "__notes__", ()):
        error.add_note(text)


# ---------------------------------------------------------------------------------------
# running one task


def _run(task, test, threads, batch_size, stopped):
    """run_task's work; returns None as soon as ``stopped()`` says the search is over."""
    import quorin  # at call time: a worker process imports the package itself

    position, hits = task.start, []
    size = max(1, min(batch_size, task.stop - task.start))
    for columns, costs in quorin.batches(task.probs, size=size, start=task.start,
                                         stop=task.stop, threads=threads):
        if stopped is not None and stopped():
            return None
        columns.setflags(write=False)
        costs.setflags(write=False)
        try:
            found = test(columns, costs)
        except Exception as error:
            _note(error, f"raised by the test in {_describe(task)}")
            raise
        for i in _hit_indices(found, len(costs), task).tolist():
            hits.append(Hit(position + i + 1, tuple(columns[i].tolist()), float(costs[i])))
        position += len(costs)
    return TaskResult(task.id, hits, position - task.start)


def _hit_indices(found, m, task):
    """The sorted indices of the hits in a batch of ``m`` that ``test`` returned as ``found``."""
    import numpy

    expected = (f"return a boolean mask of shape ({m},) or the integer indices of the hits "
                f"in the batch")
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
    if array.ndim == 1 and array.dtype.kind in "iu":
        outside = array[(array < 0) | (array >= m)]
        if outside.size:
            raise ValueError(f"the test returned the index {outside[0]} for a batch of {m} "
                             f"in {_describe(task)}: indices go from 0 to {m - 1}")
        return numpy.unique(array)
    raise ValueError(f"the test returned {type(found).__name__} of dtype {array.dtype} and "
                     f"shape {array.shape} in {_describe(task)}: {expected}")


# ---------------------------------------------------------------------------------------
# collecting results


class _Collector:
    """Finished tasks, their hits and what they tested; decides what still has to run and
    when the search is complete, and keeps the checkpoint and the progress bar up to date."""

    def __init__(self, layout, first, record):
        self.layout, self.first, self.record = layout, first, record
        self.finished_below = 0  # every task before this one has finished
        self.finished_above = set()  # finished tasks after finished_below
        self.hits, self.tested, self.first_hit = [], 0, None
        self.bar = None
        if record is not None:
            intervals, self.tested, hits = record.load()
            for a, b in intervals:
                if a == 0:
                    self.finished_below = b
                else:
                    self.finished_above.update(range(a, b))
            self._advance()
            for hit in hits:
                self._add_hit(hit)
            record.save(self)

    def finished(self, k):
        return k < self.finished_below or k in self.finished_above

    def wanted(self, k):
        """Whether task ``k`` still has to run."""
        return not self.finished(k) and (self.first_hit is None or k < self.first_hit)

    def complete(self):
        if self.first_hit is not None and self.finished_below > self.first_hit:
            return True
        return self.finished_below >= self.layout.count

    def tasks(self):
        """The tasks still wanted, in order, each checked when it is taken."""
        k = self.finished_below
        while k < self.layout.count:
            if self.first_hit is not None and k >= self.first_hit:
                return
            if not self.finished(k):
                yield self.layout.task(k)
            k += 1

    def remaining(self):
        return self.layout.count - self.finished_below - len(self.finished_above)

    def add(self, result):
        if not isinstance(result, TaskResult):
            raise TypeError(f"a worker returned {type(result).__name__}, not a "
                            f"quorin.TaskResult")
        k = result.id
        if self.finished(k):  # a task that ran again after a worker failure
            return
        first, last = self.layout.bounds(k)
        if result.tested != last - first:
            raise RuntimeError(f"quorin task {k} tested {result.tested} configurations of "
                               f"its {last - first}")
        self.finished_above.add(k)
        self._advance()
        self.tested += result.tested
        for hit in result.hits:
            self._add_hit(hit)
        if self.record is not None:
            self.record.save(self)
        if self.bar is not None:
            self.bar.update(result.tested, len(self.hits))

    def _add_hit(self, hit):
        self.hits.append(hit)
        k = self.layout.task_of_rank(hit.rank)
        if self.first and (self.first_hit is None or k < self.first_hit):
            self.first_hit = k  # with first=True, nothing after this task is needed

    def _advance(self):
        while self.finished_below in self.finished_above:
            self.finished_above.remove(self.finished_below)
            self.finished_below += 1

    def intervals(self):
        """The finished tasks as sorted half-open intervals of ids."""
        intervals = [[0, self.finished_below]] if self.finished_below else []
        for k in sorted(self.finished_above):
            if intervals and intervals[-1][1] == k:
                intervals[-1][1] = k + 1
            else:
                intervals.append([k, k + 1])
        return intervals

    def answer(self):
        if self.first:
            return [min(self.hits)] if self.hits else []
        return sorted(self.hits)


# ---------------------------------------------------------------------------------------
# checkpoints


class _Checkpoint:
    """A JSON file recording the finished tasks of one search: their ids as intervals, the
    configurations they tested and their hits, under the search's fingerprint (matrix,
    start, stop, task size). Each record replaces the previous one atomically."""

    def __init__(self, path, layout):
        self.path = os.fspath(path)
        self.layout = layout
        self.search = {"matrix": _matrix_digest(layout.matrix), "start": layout.start,
                       "stop": layout.stop, "task_size": layout.task_size}

    def load(self):
        """(intervals, tested, hits) of the finished tasks recorded, none if no file."""
        import json

        try:
            with open(self.path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return [], 0, []
        try:
            record = json.loads(data)
            if not isinstance(record, dict) or record.get("format") != CHECKPOINT_FORMAT:
                raise ValueError("no checkpoint format tag")
            if record.get("version") != CHECKPOINT_VERSION:
                raise ValueError(f"format version {record.get('version')!r}, "
                                 f"this quorin reads {CHECKPOINT_VERSION}")
            other = record["search"]
            if other != self.search:
                raise _OtherSearch(self._difference(other))
            intervals, tested = record["finished"], record["tested"]
            hits = [Hit(rank, tuple(columns), float(cost))
                    for rank, columns, cost in record["hits"]]
            self._check(intervals, tested, hits)
        except _OtherSearch as error:
            raise ValueError(f"checkpoint {self.path} records another search ({error}): "
                             f"give another path or remove the file") from None
        except (ValueError, KeyError, TypeError) as error:
            raise ValueError(f"checkpoint {self.path} is not a readable quorin search "
                             f"checkpoint: {error}") from None
        return intervals, tested, hits

    def _difference(self, other):
        if not isinstance(other, dict):
            return "unreadable arguments"
        names = [n for n in ("matrix", "start", "stop", "task_size")
                 if other.get(n) != self.search[n]]
        return ", ".join(f"its {n} {'differs' if n == 'matrix' else other.get(n)!r}"
                         for n in names) or "other arguments"

    def _check(self, intervals, tested, hits):
        count, total, last = self.layout.count, 0, 0
        for a, b in intervals:
            if not (isinstance(a, int) and isinstance(b, int) and last <= a < b <= count):
                raise ValueError(f"task interval {[a, b]} out of order or outside 0..{count}")
            total += self.layout.configurations(a, b)
            last = b
        if tested != total:
            raise ValueError(f"{tested} configurations tested, but the finished tasks "
                             f"cover {total}")
        for hit in hits:
            k = self.layout.task_of_rank(hit.rank) if isinstance(hit.rank, int) else -1
            if not any(a <= k < b for a, b in intervals):
                raise ValueError(f"hit at rank {hit.rank} outside the finished tasks")

    def save(self, collector):
        import json

        record = {"format": CHECKPOINT_FORMAT, "version": CHECKPOINT_VERSION,
                  "search": self.search, "finished": collector.intervals(),
                  "tested": collector.tested,
                  "hits": [[h.rank, list(h.columns), h.cost] for h in sorted(collector.hits)]}
        _write_atomically(self.path, json.dumps(record).encode())


class _OtherSearch(Exception):
    pass


def _matrix_digest(matrix):
    import hashlib

    sha = hashlib.sha256(b"quorin matrix\0")
    for row in matrix:
        sha.update(len(row).to_bytes(8, "little"))
        sha.update(row.astype("<f8").tobytes())
    return sha.hexdigest()


def _write_atomically(path, data):
    """Writes ``data`` to ``path`` so that a crash leaves either the old file or the new."""
    import tempfile

    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=os.path.basename(path) + ".",
                               suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:  # make the rename itself durable where directories can be synced
        dir_fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


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


# ---------------------------------------------------------------------------------------
# engines


def _engine(workers):
    """The engine ``workers`` names, checked before anything starts."""
    import concurrent.futures

    if workers is None:
        return _OwnPool(_local_cores())
    if isinstance(workers, concurrent.futures.Executor):
        return _Futures(workers, _executor_capacity(workers))
    if hasattr(workers, "get_executor") and hasattr(workers, "nthreads"):  # a Dask Client
        return _Futures(workers.get_executor(pure=False), _dask_capacity(workers))
    if callable(workers):
        return _MapLike(workers)
    try:
        n = operator.index(workers)
    except TypeError:
        raise TypeError(f"workers must be None, a number of processes, an Executor, a Dask "
                        f"Client or a map-like callable, not {type(workers).__name__}") from None
    if n < 1:
        raise ValueError(f"workers is {n}: it must be at least 1")
    return _InProcess() if n == 1 else _OwnPool(n)


def _local_cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def _executor_capacity(executor):
    client = getattr(executor, "_client", None)  # Dask's ClientExecutor
    if client is not None and hasattr(client, "nthreads"):
        return _dask_capacity(client)
    workers = getattr(executor, "_max_workers", None)  # concurrent.futures' own executors
    return workers if isinstance(workers, int) and workers > 0 else _local_cores()


def _dask_capacity(client):
    return max(1, sum(client.nthreads().values()))


class _InProcess:
    """workers=1: every task in this process, in order."""

    def run(self, collector, test):
        for task in collector.tasks():
            collector.add(_run(task, test, 1, BATCH_SIZE, None))
            if collector.complete():
                return


class _MapLike:
    """``workers(fn, tasks)``, its results consumed as they come."""

    def __init__(self, map_):
        self.map = map_

    def run(self, collector, test):
        given = []

        def tasks():
            for task in collector.tasks():
                given.append(task.id)
                yield task

        results = self.map(functools.partial(run_task, test=test), tasks())
        try:
            for result in results:
                collector.add(result)
                if collector.complete():
                    return
        except Exception as error:
            due = [k for k in given if not collector.finished(k)]
            if due:
                _note(error, f"while quorin task {due[0]} or a later one was running")
            raise
        finally:
            close = getattr(results, "close", None)
            if close is not None:
                close()


class _Futures:
    """Tasks submitted to an executor, at most twice as many in flight as it has workers,
    collected as they finish."""

    restartable = False

    def __init__(self, executor, capacity):
        self.executor, self.capacity = executor, capacity

    def submit(self, task, test):
        return self.executor.submit(run_task, task, test)

    def run(self, collector, test):
        import concurrent.futures

        window, pending, deaths = 2 * self.capacity, {}, {}
        tasks = collector.tasks()
        try:
            while True:
                for task in tasks:
                    try:
                        pending[self.submit(task, test)] = task
                    except Exception as error:
                        _note(error, f"while submitting {_describe(task)}")
                        raise
                    if len(pending) >= window:
                        break
                if not pending:
                    return
                done, _ = concurrent.futures.wait(pending, return_when="FIRST_COMPLETED")
                broken = None
                for future in sorted(done, key=lambda f: pending[f].id):
                    task = pending.pop(future)
                    try:
                        result = future.result()
                    except Exception as error:
                        if self.restartable and _is_broken_pool(error):
                            broken = broken or error
                            pending[future] = task  # settled with the rest below
                            continue
                        _note(error, f"while running {_describe(task)}")
                        raise
                    if result is not None:  # None: stopped, the search is over
                        collector.add(result)
                if broken is not None:
                    pending = self._restart(pending, deaths, broken, collector, test)
                if collector.complete():
                    return
                for future, task in list(pending.items()):  # past the first hit
                    if not collector.wanted(task.id):
                        future.cancel()
                        del pending[future]
        finally:
            for future in pending:
                future.cancel()

    def _restart(self, pending, deaths, broken, collector, test):
        raise broken  # only an own pool restarts


def _is_broken_pool(error):
    from concurrent.futures.process import BrokenProcessPool

    return isinstance(error, BrokenProcessPool)


class _OwnPool(_Futures):
    """``n`` worker processes of our own, started with 'spawn'. A task that was in flight
    when a worker process died runs again in a new pool, once; if workers die again while
    it runs, the search stops."""

    restartable = True

    def __init__(self, n):
        super().__init__(None, n)
        self.stop = None
        self.unsent = set()  # tasks the broken pool refused: they never ran

    def run(self, collector, test):
        _check_picklable(test)
        self.capacity = min(self.capacity, max(1, collector.remaining()))
        self._start()
        try:
            super().run(collector, test)
        finally:
            self._close()

    def submit(self, task, test):
        import concurrent.futures
        from concurrent.futures.process import BrokenProcessPool

        try:
            return self.executor.submit(_run_in_worker, task, test)
        except BrokenProcessPool as error:
            # The pool broke after the last wait: settled with the other tasks in flight.
            self.unsent.add(task.id)
            future = concurrent.futures.Future()
            future.set_exception(error)
            return future

    def _start(self):
        import concurrent.futures
        import multiprocessing

        # 'spawn': fresh interpreters, which inherit no threads or locks from this process
        # (a Dask client, a progress bar, the caller's own threads) and behave the same on
        # every platform. Their start, a fraction of a second, is paid once per search.
        context = multiprocessing.get_context("spawn")
        self.stop = context.Event()
        self.executor = concurrent.futures.ProcessPoolExecutor(
            self.capacity, mp_context=context, initializer=_start_worker,
            initargs=(self.stop,))

    def _close(self):
        self.stop.set()  # running tasks return at their next batch
        self.executor.shutdown(wait=True, cancel_futures=True)

    def _restart(self, pending, deaths, broken, collector, test):
        self._close()  # every future of the broken pool is settled after this
        lost = []
        for future, task in pending.items():
            if future.done() and not future.cancelled() and future.exception() is None:
                if future.result() is not None:
                    collector.add(future.result())
            else:
                lost.append(task)
        lost.sort(key=lambda t: t.id)
        for task in lost:
            if task.id not in self.unsent:
                deaths[task.id] = deaths.get(task.id, 0) + 1
        self.unsent.clear()
        twice = [task.id for task in lost if deaths.get(task.id, 0) > 1]
        if twice:
            where = ("; the finished tasks are in the checkpoint" if collector.record
                     else "")
            raise RuntimeError(
                f"worker processes died twice while quorin task(s) {_list(twice)} were in "
                f"progress: the test ends its process, crashes, or memory runs out (or the "
                f"script starts a search without `if __name__ == \"__main__\":`){where}"
            ) from broken
        self._start()
        return {self.submit(task, test): task for task in lost if collector.wanted(task.id)}


def _list(ids):
    return ", ".join(str(k) for k in ids)


def _check_picklable(test):
    import pickle

    try:
        pickle.dumps(test)
    except Exception as error:
        raise TypeError(
            f"test must be picklable to run in worker processes (a function defined at the "
            f"top level of a module, or an instance of such a class), and this one is not "
            f"({error}); workers=1 runs it in this process, a Dask client ships it by value"
        ) from None


_stop_event = None


def _start_worker(stop):
    global _stop_event
    import signal

    _stop_event = stop
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the search's to handle


def _run_in_worker(task, test):
    return _run(task, test, 1, BATCH_SIZE, _stop_event.is_set)
