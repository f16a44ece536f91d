"""Checkpoints: the finished stretches of a search in a JSON file."""

import math
import os

from quorin._search.arguments import _show_bound
from quorin._search.constants import CHECKPOINT_FORMAT, CHECKPOINT_VERSION
from quorin._search.span import _Piece, _before
from quorin._search.types import TaskHit


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
