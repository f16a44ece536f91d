"""The range of a search and the pieces that tile it."""

from quorin._search.arguments import _configurations, _show_bound
from quorin._search import constants
from quorin._search import core


def _before(a, b):
    """Whether bound ``a`` comes before bound ``b`` in the cost order (None: the end, after
    every bound)."""
    return a is not None and (b is None or a < b)


class _Span:
    """The range of a search: positions ``start`` .. ``stop - 1`` clipped to the
    configurations that exist, and the bounds ``lower`` and ``upper`` (None: the end) where
    they sit in the cost order. ``lower`` is located at once, ``upper`` when it is first
    asked for (a search that ends early never pays for it). ``log``: the matrix holds
    log-likelihoods."""

    def __init__(self, matrix, start, stop, log=False):
        self.matrix = matrix
        self.log = log
        self.configurations = _configurations(matrix)
        self.stop = min(stop, self.configurations)
        self.start = min(start, self.stop)
        self.lower = self._upper = None
        self.upper_located = True
        if self.start >= self.stop:
            return
        self.lower = _bound(core._engine_api()._locate(matrix, self.start, **core._log_kw(log)))
        self.upper_located = self.stop >= self.configurations

    @property
    def upper(self):
        if not self.upper_located:
            self.locate_upper(self.lower, self.start)
        return self._upper

    def locate_upper(self, bound, position):
        """Locates ``upper`` from ``bound``, the bound of ``position`` (at or after start)."""
        self.found_upper(_bound(_locate_after(self.matrix, bound, position, self.stop, self.log)))

    def found_upper(self, bound):
        """``upper`` is ``bound``, found by the walk of a task that counted where it falls."""
        self._upper = bound
        self.upper_located = True

    @property
    def empty(self):
        return self.start >= self.stop


def _locate_after(matrix, lower, start, stop, log=False):
    """The bound of position ``stop``, given ``lower``, the bound of ``start``. Counting
    the configurations from ``lower`` on costs about as much as walking them, locating a
    position from the top of the order about as much as its depth: a range no longer than
    its start is counted from its start (when that finds it), others located."""
    api = core._engine_api()
    if stop - start <= start:
        found = api._locate_after(matrix, lower, stop - start, **core._log_kw(log))
        if found is not None:
            return found
    return api._locate(matrix, stop, **core._log_kw(log))


def _counted_piece(span, bound, left):
    """The last task of a search from ``bound``, ``left`` configurations before the stop:
    cut a 256th past it by the weight table, and a 16th more (at most 4096) for few (the
    table's cuts land within a thousandth of what is asked for millions of configurations,
    within a few thousand configurations for fewer, measured down to 2^40), so that its
    walk, counting by cost as it goes, finds the stop instead of a count of its own
    beforehand. None when the order ends before that cut."""
    slack = left // 256 + min(left // 16, 4096) + 1
    cuts = core._engine_api()._cuts(span.matrix, bound, None, left + slack, 1,
                                    **core._log_kw(span.log))
    return _Piece(bound, _bound(cuts[0]), most=left) if cuts else None


def _bound(value):
    cost, columns = value
    return float(cost), tuple(int(c) for c in columns)


class _Piece:
    """A stretch of the range between two bounds: a task still to run (``task`` set) or a
    stretch a checkpoint records as finished. ``tested`` and ``hits`` (TaskHits by index in
    the piece) are None until it has finished."""

    __slots__ = ("lower", "upper", "task", "tested", "hits", "partial", "walked", "most")

    def __init__(self, lower, upper, task=None, tested=None, hits=None, most=None):
        self.lower, self.upper, self.task = lower, upper, task
        self.tested, self.hits = tested, hits
        self.partial = False  # finished early at a unique test's hit: tested up to it
        self.walked = None  # walked to its end, its hits still being indexed: how many it holds
        # The last task, cut by an estimate a little past the stop: only its first ``most``
        # configurations count, and its walk finds where they end (its upper once run).
        self.most = most


def _pieces(span, task_size, finished, sizes=None, frontier=None, counted=False):
    """The pieces tiling the range in order: the ``finished`` ones (sorted, disjoint, inside
    the range) as they are, and tasks cut from the weight table between them, made as they
    are taken (a search to the end of 2^128 configurations makes only those it reaches).

    ``sizes``, when given, is an iterator of the sizes of the first tasks from ``lower``
    (small at the front, growing to ``task_size``); the rest hold ``task_size`` each. While
    the stop is not located, tasks are cut towards the end of the order as long as their
    nominal sizes keep them in the first half of the range (the table cuts far closer to
    the sizes asked than twice), and the stop is located before any cut past that.
    ``frontier()``, when given, returns a bound and its exact position (where the
    finished tasks end): while it is where the next task starts, the stop is located only
    when less than two tasks' worth is left before it, from that bound (a short count);
    otherwise it is located from the frontier when the nominal sizes pass half-way.

    With ``counted`` (tasks run one after the other, each finished before the next is
    cut), the stop is not located: the last task reaches a little past it and counts,
    as it walks, where the stop falls (_counted_piece)."""
    if span.empty:
        return
    api = core._engine_api()
    sizes = iter(sizes if sizes is not None and not finished else ())
    bound, k = span.lower, 0
    nominal = span.start  # where ``bound`` stands by the nominal sizes of the tasks before it
    while True:
        if k < len(finished) and finished[k].lower == bound:
            yield finished[k]
            bound = finished[k].upper
            k += 1
            if bound == span.upper:
                return
            continue
        size = next(sizes, task_size)
        if not span.upper_located:
            known = frontier() if frontier is not None else None
            if known is not None and known[0] == bound:
                left = span.stop - known[1]
                piece = _counted_piece(span, bound, left) if counted and left <= 2 * size else None
                if piece is not None:
                    yield piece
                    if piece.tested is None:
                        raise RuntimeError(f"the task from {_show_bound(bound)} was to finish "
                                           f"before the next one was cut")
                    bound = piece.upper
                    if piece.tested == left:
                        if not span.upper_located:
                            span.found_upper(bound)
                        return
                    continue
                if left <= 2 * size:
                    span.locate_upper(bound, known[1])
            elif 2 * (nominal + size - span.start) > span.stop - span.start:
                span.locate_upper(*(known or (span.lower, span.start)))
            if span.upper_located and not _before(bound, span.upper):  # can't happen by the table's cuts
                raise RuntimeError(f"the tasks were cut up to {_show_bound(bound)}, past the "
                                   f"stop's bound {_show_bound(span.upper)}")
        if k < len(finished):
            limit = finished[k].lower
        else:
            limit = span.upper if span.upper_located else None
        most = constants.CUTS_PER_CALL if size == task_size and span.upper_located else 1
        cuts = [_bound(c) for c in api._cuts(span.matrix, bound, limit, size, most,
                                             **core._log_kw(span.log))]
        for cut in cuts:
            if not (_before(bound, cut) and _before(cut, limit)):
                raise RuntimeError(f"the weight table cut the range at {_show_bound(cut)}, "
                                   f"outside {_show_bound(bound)} .. {_show_bound(limit)}")
            yield _Piece(bound, cut)
            bound, nominal = cut, nominal + size
        if len(cuts) < most:  # what is left up to the limit holds about size or less
            if limit is None and span.stop < span.configurations:
                span.upper  # the stop is before the end: located now, then cut up to it
                continue
            yield _Piece(bound, limit)
            bound = limit
            if bound == span.upper:
                return
