"""The range of a search and the pieces that tile it."""

from quorin._search.arguments import _configurations, _show_bound
from quorin._search import constants
from quorin._search import core


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
        api = core._engine_api()
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
    api = core._engine_api()
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
                        api._cuts(span.matrix, bound, limit, task_size, constants.CUTS_PER_CALL)]
                for cut in cuts:
                    if not (_before(bound, cut) and _before(cut, limit)):
                        raise RuntimeError(f"the weight table cut the range at "
                                           f"{_show_bound(cut)}, outside "
                                           f"{_show_bound(bound)} .. {_show_bound(limit)}")
                    yield _Piece(bound, cut)
                    bound = cut
                if len(cuts) < constants.CUTS_PER_CALL:
                    break
            yield _Piece(bound, limit)
            bound = limit
        if bound == upper:
            return
