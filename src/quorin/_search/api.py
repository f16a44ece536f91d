"""``plan`` and ``search``."""

from quorin._search.arguments import _length, _matrix, _positive, _range_arguments
from quorin._search.checkpoint import _Checkpoint
from quorin._search.collect import _Collector
from quorin._search import constants
from quorin._search import core
from quorin._search.constants import (MAX_PLANNED_TASKS, MAX_TASK_SIZE, MIN_TASK_SIZE, PLAN_TASK_SIZE,
                                      TASKS_PER_WORKER)
from quorin._search.core import _check_test
from quorin._search.engines import _engine
from quorin._search.progress import _Progress
from quorin._search.run import _unique
from quorin._search.span import _Span, _pieces
from quorin._search.types import Task
from quorin._search.workers import _refuse_while_bootstrapping


def plan(probs, *, start=0, stop, task_size=PLAN_TASK_SIZE, log=False):
    """The tasks covering positions ``start`` .. ``stop - 1`` of the cost order, in order,
    each holding about ``task_size`` configurations (``stop=None``: to the last
    configuration). Each task starts at the bound where the previous one ends: together
    they hold every configuration of the range exactly once. ``start`` and ``stop`` are
    located once (seconds deep down); the cuts between them come from the weight table.

    Run each task with ``run_task``; the hit at index ``i`` of task ``k`` has rank
    ``start + (tested by tasks 0 .. k - 1) + i + 1``, see ``TaskResult.ranked``.
    ``log=True``: ``probs`` holds natural-log likelihoods (the tasks carry the flag).
    ``probs`` is checked as ``quorin.batches`` checks it: a row of zeros only raises
    ValueError naming the row.
    """
    start, stop = _range_arguments(start, stop)
    task_size = _positive("task_size", task_size)
    log = bool(log)
    matrix = _matrix(probs, log)
    estimate = -(-_length(matrix, start, stop) // task_size)
    if estimate > MAX_PLANNED_TASKS:
        raise ValueError(
            f"plan would make about {estimate} tasks (more than {MAX_PLANNED_TASKS}): give a "
            f"larger task_size, or let quorin.search make the tasks as it goes")
    span = _Span(matrix, start, stop, log=log)
    tasks = []
    for piece in _pieces(span, task_size, []):
        if len(tasks) >= MAX_PLANNED_TASKS:
            raise ValueError(f"plan made more than {MAX_PLANNED_TASKS} tasks: give a larger "
                             f"task_size, or let quorin.search make the tasks as it goes")
        tasks.append(Task(len(tasks), matrix, piece.lower, piece.upper, log))
    return tasks


def search(probs, test, *, start=0, stop, workers=None, task_size=None, checkpoint=None,
           progress=False, first=False, log=False):
    """The configurations at positions ``start`` .. ``stop - 1`` of the cost order that
    ``test`` accepts, as a list of ``Hit`` records sorted by rank (``stop=None``: to the
    end).

    ``test(columns, costs)`` returns a boolean mask of the batch or the indices of its hits.
    ``workers``: None = a worker process per core, n = n processes (1 = this process, on
    every core), an Executor, a Dask Client, or a map-like callable called as
    ``workers(fn, tasks)``. Worker processes receive ``test`` pickled (by value with
    cloudpickle when it is installed, so lambdas and notebook functions work).
    A native tester (``quorin.AES128``) with ``workers=None`` runs in this process on every
    core, in C++.
    ``task_size``: configurations per task (default: about 8 tasks per worker, larger deep
    down where a task's walk costs more to start; the first tasks of a search are smaller,
    so that every core works on the front). ``checkpoint``: a path where finished tasks are
    recorded; a search started again with the same matrix, start, stop and test skips
    them (another test is refused).
    ``progress``: a progress bar on stderr (configurations per second, time left).
    ``first``: return only the first hit, as soon as every task before it has finished. A
    test whose ``unique`` attribute is true (``quorin.AES128``: a false key is as likely as
    guessing the key) has at most one hit: the task that finds it stops there and the search
    returns it at once, as with ``first``. The stop's position is located only when the
    tasks get near it (with a native tester in this process, by the last task's own
    walk). ``log=True``: ``probs`` holds natural-log likelihoods (as for
    ``quorin.quorin``); hits' costs are then those of the normalised probabilities.
    ``probs`` is checked as ``quorin.batches`` checks it: a row of zeros only raises
    ValueError naming the row.
    """
    _refuse_while_bootstrapping()
    _check_test(test)
    start, stop = _range_arguments(start, stop)
    if task_size is not None:
        task_size = _positive("task_size", task_size)
    engine = _engine(workers, test)
    log = bool(log)
    matrix = _matrix(probs, log)
    configurations = _length(matrix, start, stop)
    sizes = None
    if task_size is None:
        task_size = default_task_size(configurations, engine.capacity, start)
        sizes = _front_sizes(start, task_size, engine.capacity)
    if configurations:
        engine.open(test, -(-configurations // task_size))
    try:
        span = _Span(matrix, start, stop, log=log)
        record = _Checkpoint(checkpoint, span, test) if checkpoint is not None else None
        counted = engine.sequential and core._is_native(test)
        collector = _Collector(span, task_size, bool(first), record, _unique(test), sizes,
                               counted)
        with _Progress(progress, span.stop - span.start, collector.tested) as bar:
            collector.bar = bar
            if not collector.complete():
                engine.run(collector, test)
    finally:
        engine.close()
        _release_walk_memory()
    return collector.answer()


def default_task_size(configurations, workers=1, start=0):
    """search's task size when none is given: about 8 tasks per worker, at least 2**23 and
    at most 2**28 configurations each at position 2**32 and above it, both grown with the
    depth of ``start`` as a task's fixed cost grows (small enough to spread and to
    checkpoint often, large enough that what a task's walk pays before its first
    configuration stays a small share of its run)."""
    scale = _depth_scale(start)
    share = -(-configurations // (TASKS_PER_WORKER * max(1, workers)))
    return min(int(MAX_TASK_SIZE * scale), max(int(MIN_TASK_SIZE * scale), share))


def _depth_scale(start):
    """How much a task's fixed cost (the walk's visits of prefixes that yield nothing, a
    fraction of a second at 2**36, seconds at 2**40) has grown at ``start`` against
    position 2**32: about 8 times for every 16 times deeper."""
    return max(1.0, start / 2**32) ** 0.75


def _front_sizes(start, task_size, workers):
    """The sizes of a search's first tasks: constants.FIRST_TASK_SIZE (grown with depth),
    then growing by constants.FRONT_GROWTH up to ``task_size``, ``workers`` tasks of each
    size, so that every worker is on the front of the search while it is near its start. A
    task finds a unique hit at any point of its walk, so the task holding it costs about
    half its size: slow growth keeps that share small."""
    size = min(task_size, max(1, int(constants.FIRST_TASK_SIZE * _depth_scale(start))))
    while size < task_size:
        for _ in range(max(1, workers)):
            yield size
        size = max(size + 1, int(size * constants.FRONT_GROWTH))


def _release_walk_memory():
    """Frees what the walks of this process kept of the matrix for the next task."""
    from quorin import _core
    release = getattr(_core, "_release_walk_memory", None)
    if release is not None:
        release()
