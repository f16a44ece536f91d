"""A search's arguments, checked and converted."""

import math
import operator


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


def _matrix(probs, log=False):
    """``probs`` in float64 as the core reads it, after the checks of every cost-order
    function (``log``: of log-likelihoods): ValueError for a row of zeros only."""
    from quorin._core import _check_matrix

    _check_matrix(probs, log=bool(log))  # the same checks and messages as quorin.count's
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
