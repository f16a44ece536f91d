"""Searches over a range of the cost order, split into tasks that any engine can run.

Positions [start, stop) of the cost order are located once per search, as *bounds*: a bound
``(cost, columns)`` stands before every configuration of greater cost and every configuration
of cost ``cost`` whose columns are not lexicographically below ``columns``. The range is cut
at bounds chosen from the weight table so that each task holds about ``task_size``
configurations. A task holds its matrix and its two bounds, so it runs anywhere quorin is
installed: in this process, in local worker processes, on a concurrent.futures executor, on a
Dask cluster or through any map-like callable. A task walks every configuration between its
bounds, calls the user's test on every batch, and reports how many configurations it tested
and its hits by their index in the task. A hit's exact rank is ``start`` plus what the tasks
before it tested plus its index in its task, plus one.

NumPy, concurrent.futures and the engines are imported when a search needs them, so that
``import quorin`` stays light.
"""

import collections
import functools
import math
import operator
import os
import sys
import typing as _typing

if _typing.TYPE_CHECKING:
    import numpy

PLAN_TASK_SIZE = 2**28
# search's default task size: about 8 tasks per worker, within these bounds
MIN_TASK_SIZE, MAX_TASK_SIZE = 2**23, 2**28
TASKS_PER_WORKER = 8
BATCH_SIZE = 2**20
# cuts asked of the weight table at once; a search to the end makes its tasks as it goes
CUTS_PER_CALL = 1024
# plan() returns a list; past this many tasks that list alone would take gigabytes
MAX_PLANNED_TASKS = 2**24
CHECKPOINT_FORMAT = "quorin search checkpoint"
CHECKPOINT_VERSION = 2

Bound = _typing.Tuple[float, _typing.Tuple[int, ...]]


class Task(_typing.NamedTuple):
    """The configurations of the cost order of ``probs`` from bound ``lower`` (included) to
    bound ``upper`` (excluded; None: to the last configuration); ``id`` is its number in the
    search or plan that made it.

    A bound is ``(cost, columns)``: the configurations at or after it are those of greater
    cost and those of cost ``cost`` whose columns are not lexicographically below
    ``columns``. ``probs`` is the matrix in float64: a read-only two-dimensional array, or a
    tuple of read-only rows when rows differ in length. Small, picklable, self-contained.
    """

    id: int
    probs: _typing.Any
    lower: Bound
    upper: _typing.Optional[Bound]

    def __repr__(self):
        return (f"Task(id={self.id}, probs=<{_shape(self.probs)}>, "
                f"lower={_show_bound(self.lower)}, upper={_show_bound(self.upper)})")


class Hit(_typing.NamedTuple):
    """A configuration the test accepted: its ``rank`` in the cost order (1-based, exact),
    its ``columns`` (one per row) and its ``cost``."""

    rank: int
    columns: _typing.Tuple[int, ...]
    cost: float


class TaskHit(_typing.NamedTuple):
    """A configuration the test accepted in one task: its ``index`` in the task (0-based: how
    many configurations of the task come before it in the cost order), its ``columns`` and
    its ``cost``."""

    index: int
    columns: _typing.Tuple[int, ...]
    cost: float


class TaskResult(_typing.NamedTuple):
    """What running task ``id`` found: the number of configurations it ``tested`` (all of
    the task's) and its ``hits``, ``TaskHit`` records sorted by index in the task."""

    id: int
    tested: int
    hits: _typing.List[TaskHit]

    def ranked(self, before):
        """The hits as ``Hit`` records with exact ranks, given ``before``: the number of
        configurations before this task in the cost order (the search's ``start`` plus what
        every earlier task tested)."""
        return [Hit(before + hit.index + 1, hit.columns, hit.cost) for hit in self.hits]


for _type in (Task, Hit, TaskHit, TaskResult):
    _type.__module__ = "quorin"  # pickles and reprs name the public home


def plan(probs, *, start=0, stop, task_size=PLAN_TASK_SIZE):
    """The tasks covering positions ``start`` .. ``stop - 1`` of the cost order, in order,
    each holding about ``task_size`` configurations (``stop=None``: to the last
    configuration). Each task starts at the bound where the previous one ends: together
    they hold every configuration of the range exactly once. ``start`` and ``stop`` are
    located once (seconds deep down); the cuts between them come from the weight table.

    Run each task with ``run_task``; the hit at index ``i`` of task ``k`` has rank
    ``start + (tested by tasks 0 .. k - 1) + i + 1``, see ``TaskResult.ranked``.
    """
    start, stop = _range_arguments(start, stop)
    task_size = _positive("task_size", task_size)
    matrix = _matrix(probs)
    estimate = -(-_length(matrix, start, stop) // task_size)
    if estimate > MAX_PLANNED_TASKS:
        raise ValueError(
            f"plan would make about {estimate} tasks (more than {MAX_PLANNED_TASKS}): give a "
            f"larger task_size, or let quorin.search make the tasks as it goes")
    span = _Span(matrix, start, stop)
    tasks = []
    for piece in _pieces(span, task_size, []):
        if len(tasks) >= MAX_PLANNED_TASKS:
            raise ValueError(f"plan made more than {MAX_PLANNED_TASKS} tasks: give a larger "
                             f"task_size, or let quorin.search make the tasks as it goes")
        tasks.append(Task(len(tasks), matrix, piece.lower, piece.upper))
    return tasks


def run_task(task, test, *, threads=1, batch_size=BATCH_SIZE):
    """Runs ``test(columns, costs)`` on every configuration of ``task``, a batch (up to
    ``batch_size`` configurations, walked with ``threads`` threads) at a time, and returns a
    ``TaskResult``: how many configurations it tested and the hits by index in the task.

    ``test`` returns a boolean mask of the batch or the integer indices of its hits; it must
    not keep or change the arrays (they are read-only). Batches come in no particular order.
    A native tester (an instance of ``quorin._core.Tester``) runs entirely in C++.
    """
    if not isinstance(task, Task):
        raise TypeError(f"task must be a quorin.Task, not {type(task).__name__}")
    _check_test(test)
    threads = _positive("threads", threads)
    return _run(task, test, threads, _positive("batch_size", batch_size), None)


def search(probs, test, *, start=0, stop, workers=None, task_size=None, checkpoint=None,
           progress=False, first=False):
    """The configurations at positions ``start`` .. ``stop - 1`` of the cost order that
    ``test`` accepts, as a list of ``Hit`` records sorted by rank (``stop=None``: to the
    end).

    ``test(columns, costs)`` returns a boolean mask of the batch or the indices of its hits.
    ``workers``: None = a worker process per core, n = n processes (1 = this process, on
    every core), an Executor, a Dask Client, or a map-like callable called as
    ``workers(fn, tasks)``. Worker processes receive ``test`` pickled (by value with
    cloudpickle when it is installed, so lambdas and notebook functions work).
    ``task_size``: configurations per task (default: about 8 tasks per worker, 2**23 to
    2**28 each). ``checkpoint``: a path where finished tasks are recorded; a search started
    again with the same matrix, start and stop skips them. ``progress``: a progress bar on
    stderr. ``first``: return only the first hit, as soon as every task before it has
    finished.
    """
    _refuse_while_bootstrapping()
    _check_test(test)
    start, stop = _range_arguments(start, stop)
    if task_size is not None:
        task_size = _positive("task_size", task_size)
    engine = _engine(workers)
    matrix = _matrix(probs)
    configurations = _length(matrix, start, stop)
    if task_size is None:
        task_size = default_task_size(configurations, engine.capacity)
    if configurations:
        engine.open(test, -(-configurations // task_size))
    try:
        span = _Span(matrix, start, stop)
        record = _Checkpoint(checkpoint, span) if checkpoint is not None else None
        collector = _Collector(span, task_size, bool(first), record)
        with _Progress(progress, span.stop - span.start, collector.tested) as bar:
            collector.bar = bar
            if not collector.complete():
                engine.run(collector, test)
    finally:
        engine.close()
    return collector.answer()


def default_task_size(configurations, workers=1):
    """search's task size when none is given: about 8 tasks per worker, at least 2**23 and
    at most 2**28 configurations each (small enough to spread and to checkpoint often, large
    enough that a task's set-up stays far below its run)."""
    share = -(-configurations // (TASKS_PER_WORKER * max(1, workers)))
    return min(MAX_TASK_SIZE, max(MIN_TASK_SIZE, share))


# ---------------------------------------------------------------------------------------
# the core's functions a search is built on


def _engine_api():
    """The module holding ``_locate``, ``_cuts``, ``_TaskWalk`` and ``_run_native``: bounds
    of positions, cuts of a range from the weight table, the walk of a task, a native
    tester's run. Looked up here alone."""
    from quorin import _core

    if not hasattr(_core, "_TaskWalk"):
        raise RuntimeError("this build of quorin has no task walk (quorin._core._TaskWalk): "
                           "rebuild quorin from a source tree that has it")
    return _core


def _check_test(test):
    native = _native_tester_type()
    if not (callable(test) or (native and isinstance(test, native))):
        raise TypeError(f"test must be callable or a native tester, not "
                        f"{type(test).__name__}")


def _native_tester_type():
    from quorin import _core

    return getattr(_core, "Tester", ())


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


def _length(matrix, start, stop):
    """How many configurations positions ``start`` .. ``stop - 1`` hold."""
    return max(0, min(stop, _configurations(matrix)) - start)


def _shape(matrix):
    if len(matrix) and getattr(matrix, "ndim", 1) == 2:
        return f"{matrix.shape[0]} x {matrix.shape[1]}"
    return f"{len(matrix)} rows"


def _show_bound(bound, columns_shown=6):
    if bound is None:
        return "None"
    cost, columns = bound
    shown = ", ".join(str(c) for c in columns[:columns_shown])
    if len(columns) > columns_shown:
        shown += ", ..."
    elif len(columns) == 1:
        shown += ","
    return f"({cost!r}, ({shown}))"


def _describe(task):
    upper = "the end" if task.upper is None else _show_bound(task.upper, 4)
    return f"quorin task {task.id} (from {_show_bound(task.lower, 4)} to {upper})"


def _note(error, text):
    if text not in getattr(error, "__notes__", ()):
        error.add_note(text)


# ---------------------------------------------------------------------------------------
# the range and its pieces


def _before(a, b):
    """Whether bound ``a`` comes before bound ``b`` in the cost order (None: the end, after
    every bound)."""
    return a is not None and (b is None or a < b)


class _Span:
    """The range of a search: positions ``start`` .. ``stop - 1`` clipped to the
    configurations that exist, and the bounds ``lower`` and ``upper`` (None: the end) where
    they sit in the cost order, each located once."""

    def __init__(self, matrix, start, stop):
        self.matrix = matrix
        self.configurations = _configurations(matrix)
        self.stop = min(stop, self.configurations)
        self.start = min(start, self.stop)
        self.lower = self.upper = None
        if self.start >= self.stop:
            return
        api = _engine_api()
        if self.stop >= self.configurations:
            self.lower = _bound(api._locate(matrix, self.start))
            return
        lower, upper = _locate_both(api, matrix, self.start, self.stop)
        self.lower, self.upper = _bound(lower), _bound(upper)

    @property
    def empty(self):
        return self.start >= self.stop


def _locate_both(api, matrix, start, stop):
    """The bounds of ``start`` and ``stop``, located at once: each takes seconds deep down
    and the search waits for both. ``start`` is located in this thread, where Ctrl-C stops
    it; a helper thread locating ``stop`` is left to end on its own then."""
    import threading

    found = {}

    def locate_stop():
        try:
            found["upper"] = api._locate(matrix, stop)
        except BaseException as error:
            found["error"] = error

    helper = threading.Thread(target=locate_stop, name="quorin locate", daemon=True)
    helper.start()
    lower = api._locate(matrix, start)
    helper.join()
    if "error" in found:
        raise found["error"]
    return lower, found["upper"]


def _bound(value):
    cost, columns = value
    return float(cost), tuple(int(c) for c in columns)


class _Piece:
    """A stretch of the range between two bounds: a task still to run (``task`` set) or a
    stretch a checkpoint records as finished. ``tested`` and ``hits`` (TaskHits by index in
    the piece) are None until it has finished."""

    __slots__ = ("lower", "upper", "task", "tested", "hits")

    def __init__(self, lower, upper, task=None, tested=None, hits=None):
        self.lower, self.upper, self.task = lower, upper, task
        self.tested, self.hits = tested, hits


def _pieces(span, task_size, finished):
    """The pieces tiling the range in order: the ``finished`` ones (sorted, disjoint, inside
    the range) as they are, and tasks cut from the weight table between them, made as they
    are taken (a search to the end of 2^128 configurations makes only those it reaches)."""
    if span.empty:
        return
    api = _engine_api()
    bound, upper, k = span.lower, span.upper, 0
    while True:
        if k < len(finished) and finished[k].lower == bound:
            yield finished[k]
            bound = finished[k].upper
            k += 1
        else:
            limit = finished[k].lower if k < len(finished) else upper
            while True:
                cuts = [_bound(c) for c in
                        api._cuts(span.matrix, bound, limit, task_size, CUTS_PER_CALL)]
                for cut in cuts:
                    if not (_before(bound, cut) and _before(cut, limit)):
                        raise RuntimeError(f"the weight table cut the range at "
                                           f"{_show_bound(cut)}, outside "
                                           f"{_show_bound(bound)} .. {_show_bound(limit)}")
                    yield _Piece(bound, cut)
                    bound = cut
                if len(cuts) < CUTS_PER_CALL:
                    break
            yield _Piece(bound, limit)
            bound = limit
        if bound == upper:
            return


# ---------------------------------------------------------------------------------------
# running one task


def _run(task, test, threads, batch_size, stopped):
    """run_task's work; returns None as soon as ``stopped()`` says the search is over."""
    api = _engine_api()
    native = _native_tester_type()
    if native and isinstance(test, native):
        tested, found = api._run_native(task.probs, task.lower, task.upper, test, threads)
        hits = [TaskHit(int(i), tuple(int(c) for c in columns), float(cost))
                for i, columns, cost in found]
        return TaskResult(task.id, int(tested), sorted(hits))
    walk = api._TaskWalk(task.probs, task.lower, task.upper, threads, batch_size)
    found = []
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
        for i in _hit_indices(accepted, len(costs), task).tolist():
            found.append((float(costs[i]), tuple(columns[i].tolist())))
    found.sort()  # the cost order: index_of walks less for nearby hits in a row
    hits = [TaskHit(walk.index_of(columns), columns, cost) for cost, columns in found]
    return TaskResult(task.id, walk.tested, hits)


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
    """The pieces of the range in order, as they are made: hands out the tasks still to run,
    takes their results, gives hits their ranks as soon as every piece before them has
    finished, decides when the search is complete, and keeps the checkpoint and the
    progress bar up to date."""

    def __init__(self, span, task_size, first, record):
        self.span, self.first, self.record = span, first, record
        finished = record.load() if record is not None else []
        self.source = _pieces(span, task_size, finished)
        self.open = collections.deque()  # made and not ranked yet, in order
        self.ahead = None  # the next task's piece: made, not handed out yet
        self.exhausted = False  # every piece of the range is made
        self.tasks_made = 0
        self.running = {}  # task id -> its piece, until it finishes
        self.before = span.start  # configurations before the first open piece
        self.ranked_upper = span.lower  # where the ranked pieces end
        self.hits, self.first_hit = [], None  # ranked hits; with first: the earliest one
        self.first_piece = None  # with first: the earliest piece known to hold a hit
        self.tested = sum(piece.tested for piece in finished)
        self.bar = None
        self._fill()  # the finished pieces at the front rank at once
        if record is not None:
            record.save(self)

    def _fill(self):
        """Makes pieces until the next task is ahead or the range ends, then ranks what it
        can."""
        while self.ahead is None and not self.exhausted:
            piece = next(self.source, None)
            if piece is None:
                self.exhausted = True
                break
            if piece.tested is None:
                piece.task = Task(self.tasks_made, self.span.matrix, piece.lower, piece.upper)
                self.tasks_made += 1
                self.running[piece.task.id] = piece
                self.ahead = piece
            elif self.first and piece.hits and self.first_piece is None:
                self.first_piece = piece  # made in order: later pieces are not needed
            self.open.append(piece)
        self._take()

    def _past_first(self, piece):
        """Whether ``piece`` comes after the earliest piece holding a hit (first=True)."""
        first = self.first_piece
        return (first is not None and first is not piece
                and not _before(piece.lower, first.lower))

    def wanted(self, task):
        """Whether ``task`` still has to run."""
        piece = self.running.get(task.id)
        return piece is not None and not self._past_first(piece)

    def tasks(self):
        """The tasks still to run, in order, each made when it is taken."""
        while not self.complete():
            piece = self.ahead
            if piece is None or self._past_first(piece):
                return
            self.ahead = None
            yield piece.task

    def complete(self):
        if self.first and self.first_hit is not None:
            return True
        self._fill()
        return self.exhausted and not self.open

    def add(self, result):
        if not isinstance(result, TaskResult):
            raise TypeError(f"a worker returned {type(result).__name__}, not a "
                            f"quorin.TaskResult")
        piece = self.running.pop(result.id, None)
        if piece is None:  # a task that ran again after a worker failure
            return
        _check_result(result, piece.task)
        piece.tested, piece.hits = result.tested, list(result.hits)
        self.tested += result.tested
        if self.first and piece.hits and (self.first_piece is None
                                          or _before(piece.lower, self.first_piece.lower)):
            self.first_piece = piece
        self._take()
        if self.record is not None:
            self.record.save(self)
        if self.bar is not None:
            self.bar.update(result.tested, len(self.hits) + self._hits_waiting())

    def _hits_waiting(self):
        return sum(len(piece.hits) for piece in self.open if piece.hits)

    def _take(self):
        """Ranks the hits of the finished pieces at the front."""
        while self.open and self.open[0].tested is not None:
            piece = self.open.popleft()
            for hit in piece.hits:
                ranked = Hit(self.before + hit.index + 1, hit.columns, hit.cost)
                self.hits.append(ranked)
                if self.first and self.first_hit is None:
                    self.first_hit = ranked
            self.before += piece.tested
            self.ranked_upper = piece.upper
            if self.before > self.span.stop:
                raise RuntimeError(f"the tasks up to bound {_show_bound(piece.upper)} tested "
                                   f"{self.before - self.span.start} configurations, more "
                                   f"than the {self.span.stop - self.span.start} of the range")
        if self.exhausted and not self.open and self.before != self.span.stop:
            raise RuntimeError(f"the tasks tested {self.before - self.span.start} "
                               f"configurations, but the range holds "
                               f"{self.span.stop - self.span.start}")

    def finished(self):
        """The finished stretches of the range, in order: the ranked ones before the first
        open piece as one, then the finished open pieces, neighbours joined."""
        joined = []
        if self.before > self.span.start:
            end = self.ranked_upper
            hits = [TaskHit(h.rank - 1 - self.span.start, h.columns, h.cost)
                    for h in self.hits]
            joined.append(_Piece(self.span.lower, end, tested=self.before - self.span.start,
                                 hits=hits))
        for piece in self.open:
            if piece.tested is None:
                continue
            last = joined[-1] if joined else None
            if last is not None and last.upper == piece.lower:
                hits = [TaskHit(last.tested + h.index, h.columns, h.cost) for h in piece.hits]
                joined[-1] = _Piece(last.lower, piece.upper, tested=last.tested + piece.tested,
                                    hits=last.hits + hits)
            else:
                joined.append(piece)
        return joined

    def answer(self):
        if self.first:
            return [self.first_hit] if self.first_hit is not None else []
        return sorted(self.hits)


def _check_result(result, task):
    """A worker's result, checked before it counts: nothing is misread silently."""
    tested, hits = result.tested, result.hits
    if not isinstance(tested, int) or tested < 0:
        raise RuntimeError(f"{_describe(task)} reported {tested!r} configurations tested")
    last = -1
    for hit in hits:
        if not (isinstance(hit, TaskHit) and last < hit.index < tested):
            raise RuntimeError(f"{_describe(task)} reported the hit {hit!r} among "
                               f"{tested} configurations tested (after index {last})")
        last = hit.index


# ---------------------------------------------------------------------------------------
# checkpoints


class _Checkpoint:
    """A JSON file recording the finished stretches of one search by their bounds, the
    configurations each tested and its hits by index in it, under the search's fingerprint
    (matrix, start, stop). Each record replaces the previous one atomically. How the rest of
    the range is cut does not matter: a search resumed with another task size, or on other
    workers, cuts the gaps its own way."""

    def __init__(self, path, span):
        self.path = os.fspath(path)
        self.span = span
        self.search = {"matrix": _matrix_digest(span.matrix), "start": span.start,
                       "stop": span.stop}

    def load(self):
        """The finished pieces recorded, in order; none if there is no file."""
        import json

        try:
            with open(self.path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return []
        try:
            record = json.loads(data)
            if not isinstance(record, dict) or record.get("format") != CHECKPOINT_FORMAT:
                raise ValueError("no checkpoint format tag")
            version = record.get("version")
            if version == 1:
                raise _EarlierLayout()
            if version != CHECKPOINT_VERSION:
                raise ValueError(f"format version {version!r}, this quorin reads "
                                 f"{CHECKPOINT_VERSION}")
            other = record["search"]
            if other != self.search:
                raise _OtherSearch(self._difference(other))
            pieces = [self._piece(entry) for entry in record["finished"]]
            self._check(pieces)
        except _EarlierLayout:
            raise ValueError(
                f"checkpoint {self.path} was written by an earlier quorin, whose tasks were "
                f"cut at positions; this one cuts them at bounds of the cost order and cannot "
                f"resume it: delete the file (its hits are in it, with their ranks) or give "
                f"another path") from None
        except _OtherSearch as error:
            raise ValueError(f"checkpoint {self.path} records another search ({error}): "
                             f"give another path or remove the file") from None
        except (ValueError, KeyError, TypeError, IndexError) as error:
            raise ValueError(f"checkpoint {self.path} is not a readable quorin search "
                             f"checkpoint: {error}") from None
        return pieces

    def _difference(self, other):
        if not isinstance(other, dict):
            return "unreadable arguments"
        names = [n for n in ("matrix", "start", "stop") if other.get(n) != self.search[n]]
        return ", ".join(f"its {n} {'differs' if n == 'matrix' else other.get(n)!r}"
                         for n in names) or "other arguments"

    def _piece(self, entry):
        lower = self._read_bound(entry["lower"])
        upper = None if entry["upper"] is None else self._read_bound(entry["upper"])
        tested = entry["tested"]
        if type(tested) is not int or tested < 0:
            raise ValueError(f"{tested!r} configurations tested")
        hits = []
        for index, columns, cost in entry["hits"]:
            if type(index) is not int:
                raise ValueError(f"hit index {index!r}")
            cost, columns = self._read_bound([cost, columns])
            if not _about(cost, _cost_of(self.span.matrix, columns)):
                raise ValueError(f"hit {columns} of cost {cost!r}, not its cost")
            hits.append(TaskHit(index, columns, cost))
        return _Piece(lower, upper, tested=tested, hits=hits)

    def _read_bound(self, value):
        cost, columns = value
        if type(cost) not in (int, float) or math.isnan(cost) or cost < 0:
            raise ValueError(f"cost {cost!r}")
        rows = [len(row) for row in self.span.matrix]
        if (not isinstance(columns, list) or len(columns) != len(rows)
                or any(type(c) is not int or not 0 <= c < n for c, n in zip(columns, rows))):
            raise ValueError(f"columns {columns!r} for a matrix of rows of {rows}")
        return float(cost), tuple(columns)

    def _check(self, pieces):
        span = self.span
        if pieces and span.empty:
            raise ValueError("finished stretches in an empty range")
        bound, total = span.lower, 0
        for piece in pieces:
            if _before(piece.lower, bound) or not _before(piece.lower, piece.upper):
                raise ValueError(f"finished stretch {_show_bound(piece.lower)} .. "
                                 f"{_show_bound(piece.upper)} out of order or outside the "
                                 f"range")
            if _before(span.upper, piece.upper):
                raise ValueError(f"finished stretch ending at {_show_bound(piece.upper)}, "
                                 f"past the range")
            last = -1
            for hit in piece.hits:
                where = (hit.cost, hit.columns)
                if not (last < hit.index < piece.tested and not _before(where, piece.lower)
                        and _before(where, piece.upper)):
                    raise ValueError(f"hit {hit.index} {hit.columns} outside its stretch")
                last = hit.index
            bound, total = piece.upper, total + piece.tested
        if total > span.stop - span.start:
            raise ValueError(f"{total} configurations tested, more than the range's "
                             f"{span.stop - span.start}")

    def save(self, collector):
        import json

        def bound(b):
            return None if b is None else [b[0], list(b[1])]

        finished = [{"lower": bound(p.lower), "upper": bound(p.upper), "tested": p.tested,
                     "hits": [[h.index, list(h.columns), h.cost] for h in p.hits]}
                    for p in collector.finished()]
        record = {"format": CHECKPOINT_FORMAT, "version": CHECKPOINT_VERSION,
                  "search": self.search, "finished": finished}
        _write_atomically(self.path, json.dumps(record).encode())


def _cost_of(matrix, columns):
    total = 0.0
    for row, column in zip(matrix, columns):
        p = float(row[column])
        if p == 0.0:
            return math.inf
        total += -math.log(p)
    return total


def _about(a, b):
    """Equal costs, up to the rounding of another machine's logarithm."""
    return a == b or abs(a - b) <= 1e-9 * max(1.0, abs(b))


class _OtherSearch(Exception):
    pass


class _EarlierLayout(Exception):
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


class _Engine:
    """What every engine offers: ``capacity`` (tasks it runs at once), ``open`` before the
    range is located, ``run`` and ``close``."""

    capacity = 1

    def open(self, test, tasks):
        pass

    def close(self):
        pass


class _InProcess(_Engine):
    """workers=1: every task in this process, in order, each walked on every core."""

    def run(self, collector, test):
        threads = _local_cores()
        for task in collector.tasks():
            collector.add(_run(task, test, threads, BATCH_SIZE, None))


class _MapLike(_Engine):
    """``workers(fn, tasks)``, its results consumed as they come."""

    def __init__(self, map_):
        self.map = map_
        self.capacity = _local_cores()  # a guess: a map-like callable does not say

    def run(self, collector, test):
        given = []

        def tasks():
            for task in collector.tasks():
                given.append(task)
                yield task

        results = self.map(functools.partial(run_task, test=test), tasks())
        try:
            for result in results:
                collector.add(result)
                if collector.complete():
                    return
        except Exception as error:
            due = [task for task in given if collector.wanted(task)]
            if due:
                _note(error, f"while {_describe(due[0])} or a later one was running")
            raise
        finally:
            close = getattr(results, "close", None)
            if close is not None:
                close()


class _Futures(_Engine):
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
                    if not collector.wanted(task):
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


MISSING_MAIN_GUARD = (
    "worker processes import the script that started them; this one starts a search at "
    "its top level. Start it under `if __name__ == \"__main__\":` so that it runs in the "
    "script alone, not in every worker process")


class _OwnPool(_Futures):
    """``n`` worker processes of our own, started with 'spawn' while this process locates
    the range (at most one per task expected). The test is pickled once
    (by value with cloudpickle when it is installed) and unpickled once per process. A task
    that was in flight when a worker process died runs again in a new pool, once; if workers
    die again while it runs, the search stops. Processes that die before they start (a
    script without the ``__main__`` guard) stop the search at once."""

    restartable = True

    def __init__(self, n):
        super().__init__(None, n)
        self.stop = self.started = self.payload = None
        self.unsent = set()  # tasks the broken pool refused: they never ran

    def open(self, test, tasks):
        """Starts the processes for about ``tasks`` tasks, so that they import quorin and
        unpickle the test while this process locates the range."""
        self.payload = _pickled_test(test)
        self.capacity = min(self.capacity, max(1, tasks))
        self._start()
        from concurrent.futures.process import BrokenProcessPool

        try:
            for _ in range(self.capacity):  # a submission finding no idle process starts one
                self.executor.submit(_warm_up)
        except BrokenProcessPool:
            pass  # the first task finds out why

    def close(self):
        if self.executor is not None:
            self._close()
            self.executor = None

    def submit(self, task, test):
        import concurrent.futures
        from concurrent.futures.process import BrokenProcessPool

        try:
            return self.executor.submit(_run_in_worker, task)
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
        # every platform. Their start, a fraction of a second, is paid once per search, while
        # this process locates the range.
        context = multiprocessing.get_context("spawn")
        self.stop, self.started = context.Event(), context.Event()
        self.executor = concurrent.futures.ProcessPoolExecutor(
            self.capacity, mp_context=context, initializer=_start_worker,
            initargs=(self.stop, self.started, self.payload))

    def _close(self):
        self.stop.set()  # running tasks return at their next batch
        self.executor.shutdown(wait=True, cancel_futures=True)

    def _restart(self, pending, deaths, broken, collector, test):
        if not self.started.is_set():
            self._close()
            raise RuntimeError(f"worker processes ended while starting, before any of them "
                               f"could run a task: {MISSING_MAIN_GUARD} (their own error "
                               f"output, above, tells more)") from broken
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
        twice = [task for task in lost if deaths.get(task.id, 0) > 1]
        if twice:
            where = ("; the finished tasks are in the checkpoint" if collector.record
                     else "")
            raise RuntimeError(
                f"worker processes died twice while {_list(twice)} ran: the test ends its "
                f"process, crashes, or memory runs out{where}") from broken
        self._start()
        return {self.submit(task, test): task for task in lost if collector.wanted(task)}


def _list(tasks):
    return "; ".join(_describe(task) for task in tasks)


def _refuse_while_bootstrapping():
    """A search in a worker process that is still importing the script that started it
    (a script without the ``__main__`` guard) would run again in every worker and start
    worker processes of its own: refused, with the reason."""
    import multiprocessing

    if getattr(multiprocessing.current_process(), "_inheriting", False):
        raise RuntimeError(f"quorin.search was called while a worker process was starting: "
                           f"{MISSING_MAIN_GUARD}")


def _pickled_test(test):
    """``test`` as bytes for worker processes: by value with cloudpickle when it is
    installed (lambdas, functions of a notebook or of the script), else by reference."""
    import pickle

    try:
        import cloudpickle
    except ImportError:
        cloudpickle = None
    if cloudpickle is None and _defined_interactively(test):
        raise TypeError(
            "test is defined in a notebook or an interactive session, which worker processes "
            "cannot import: install cloudpickle (the test is then sent by value), define it "
            "in a module, or run it in this process with workers=1")
    try:
        if cloudpickle is not None:
            return cloudpickle.dumps(test, protocol=pickle.HIGHEST_PROTOCOL)
        return pickle.dumps(test, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as error:
        how = ("cloudpickle could not pickle it" if cloudpickle is not None else
               "it must be a function defined at the top level of a module or an instance of "
               "such a class, or cloudpickle must be installed to send lambdas and local "
               "functions by value")
        raise TypeError(f"test must be picklable to run in worker processes, and this one is "
                        f"not ({error}): {how}; workers=1 runs it in this process") from None


def _defined_interactively(test):
    main = sys.modules.get("__main__")
    if main is None or hasattr(main, "__file__"):
        return False
    module = getattr(test, "__module__", None) or type(test).__module__
    return module == "__main__" or type(test).__module__ == "__main__"


_stop_event = None
_worker_test = None
_worker_test_error = None


def _start_worker(stop, started, payload):
    global _stop_event, _worker_test, _worker_test_error
    import pickle
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the search's to handle
    _stop_event = stop
    try:
        _worker_test = pickle.loads(payload)
    except BaseException as error:  # reported with the first task, naming it
        _worker_test_error = f"{type(error).__name__}: {error}"
    started.set()


def _warm_up():
    pass


def _run_in_worker(task):
    if _worker_test_error is not None:
        raise RuntimeError(f"a worker process could not unpickle the test "
                           f"({_worker_test_error})")
    return _run(task, _worker_test, 1, BATCH_SIZE, _stop_event.is_set)
