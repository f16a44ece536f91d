"""The public records of a search: tasks, their results and hits."""

import typing as _typing

from quorin._search.arguments import _shape, _show_bound
from quorin._search.constants import Bound


class Task(_typing.NamedTuple):
    """The configurations of the cost order of ``probs`` from bound ``lower`` (included) to
    bound ``upper`` (excluded; None: to the last configuration); ``id`` is its number in the
    search or plan that made it.

    A bound is ``(cost, columns)``: the configurations at or after it are those of greater
    cost and those of cost ``cost`` whose columns are not lexicographically below
    ``columns``. ``probs`` is the matrix in float64: a read-only two-dimensional array, or a
    tuple of read-only rows when rows differ in length; ``log``: it holds natural-log
    likelihoods (as with ``log=True``) rather than probabilities. Small, picklable,
    self-contained.
    """

    id: int
    probs: _typing.Any
    lower: Bound
    upper: _typing.Optional[Bound]
    log: bool = False

    def __repr__(self):
        return (f"Task(id={self.id}, probs=<{_shape(self.probs)}>, "
                f"lower={_show_bound(self.lower)}, upper={_show_bound(self.upper)}"
                + (", log=True)" if self.log else ")"))


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
