"""Best-first enumeration of the joint configurations of independent categorical variables.

``quorin.quorin`` hands out configurations lazily, cheapest first, in its own fixed order.
The other functions work in the cost order: configurations by cost, equal costs by their
columns in ascending lexicographic order.
"""

import typing as _typing

from quorin._bounds import CountBounds
from quorin._core import AES128, BatchIterator, batches, cost_bound, count, quorin, rank

if _typing.TYPE_CHECKING:  # NumPy is imported only when the first array is made
    import numpy


class Batch(_typing.NamedTuple):
    """Configurations handed out together: ``columns[j]`` is the j-th configuration (one
    column per row, ``numpy.int32``, shape ``(m, rows)``) and ``costs[j]`` its cost
    (``numpy.float64``, shape ``(m,)``), the sum over rows, in row order, of -ln p."""

    columns: "numpy.ndarray"
    costs: "numpy.ndarray"


__all__ = ["AES128", "Batch", "BatchIterator", "CountBounds", "batches", "cost_bound", "count", "quorin", "rank"]

# Searches over ranges of the cost order, on local processes or an existing cluster.
from quorin._search import Hit, Task, TaskHit, TaskResult, plan, run_task, search  # noqa: E402

__all__ += ["Hit", "Task", "TaskHit", "TaskResult", "plan", "run_task", "search"]
