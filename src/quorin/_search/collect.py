"""Collecting results: hits ranked in order, the search complete or not."""

import collections

from quorin._search.arguments import _describe, _show_bound
from quorin._search.span import _Piece, _before, _pieces
from quorin._search.types import Hit, Task, TaskHit, TaskResult


class _Collector:
    """The pieces of the range in order, as they are made: hands out the tasks still to run,
    takes their results, gives hits their ranks as soon as every piece before them has
    finished, decides when the search is complete, and keeps the checkpoint and the
    progress bar up to date."""

    def __init__(self, span, task_size, first, record, unique=False, sizes=None, counted=False):
        # A unique test's hit is the only one: the search ends there, as with first.
        self.span, self.first, self.record, self.unique = span, first or unique, record, unique
        finished = record.load() if record is not None else []
        self.source = _pieces(span, task_size, finished, sizes, frontier=self._frontier,
                              counted=counted)
        self.cut_short = False  # a unique test's task stopped at its hit
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
                piece.task = Task(self.tasks_made, self.span.matrix, piece.lower, piece.upper,
                                  self.span.log)
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

    def _frontier(self):
        """Where the finished pieces at the front end, and that bound's position: the ranked
        ones, then those walked to their end whose hits are still being indexed."""
        bound, position = self.ranked_upper, self.before
        for piece in self.open:
            size = piece.tested if piece.tested is not None else piece.walked
            if size is None or piece.partial or piece.lower != bound:
                break
            bound, position = piece.upper, position + size
        return bound, position

    def most(self, task):
        """How many of ``task``'s configurations count (the last one, cut past the stop),
        None: all of them."""
        piece = self.running.get(task.id)
        return piece.most if piece is not None else None

    def cut(self, task_id, end):
        """Task ``task_id`` held more configurations than count (most): its piece ends where
        they do, at ``end`` (None: where the stop is, located now)."""
        piece = self.running.get(task_id)
        if piece is None:
            return
        if end is None:
            self.span.locate_upper(piece.lower, self.span.stop - piece.most)
        else:
            self.span.found_upper(end)
        piece.upper = self.span.upper

    def walked(self, task_id, tested):
        """Task ``task_id`` was walked to its end and holds ``tested`` configurations; its
        result (add) follows once its hits are indexed."""
        piece = self.running.get(task_id)
        if piece is not None:
            piece.walked = tested

    def add(self, result):
        if not isinstance(result, TaskResult):
            raise TypeError(f"a worker returned {type(result).__name__}, not a "
                            f"quorin.TaskResult")
        piece = self.running.pop(result.id, None)
        if piece is None:  # a task that ran again after a worker failure
            return
        _check_result(result, piece.task)
        piece.tested, piece.hits = result.tested, list(result.hits)
        piece.partial = self.unique and bool(piece.hits)  # stopped at its hit
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
            if piece.partial:  # tested only up to its hit: the search ends with it, and
                # the checkpoint keeps the stretches before it alone
                hit = piece.hits[0]
                self.first_hit = Hit(self.before + hit.index + 1, hit.columns, hit.cost)
                self.cut_short = True
                return
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
        if self.exhausted and not self.open and self.before != self.span.stop and not self.cut_short:
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
            if piece.tested is None or piece.partial:
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
