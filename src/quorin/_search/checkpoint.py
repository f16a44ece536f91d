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
    (matrix, start, stop and the test: a native tester's parameters, a Python test's module,
    name and a digest of its code and state). Each record replaces the previous one
    atomically. How the rest of
    the range is cut does not matter: a search resumed with another task size, or on other
    workers, cuts the gaps its own way."""

    def __init__(self, path, span, test):
        self.path = os.fspath(path)
        self.span = span
        self.search = {"matrix": _matrix_digest(span.matrix, span.log), "start": span.start,
                       "stop": span.stop, "test": _test_identity(test)}

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
            if not isinstance(other, dict):
                raise ValueError("no search fingerprint")
            # A checkpoint written before tests were recorded is matched on the rest.
            mine = self.search if "test" in other else {
                k: v for k, v in self.search.items() if k != "test"}
            if other != mine:
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
        said = [f"its {n} {'differs' if n == 'matrix' else other.get(n)!r}" for n in names]
        test = other.get("test")
        if test is not None and test != self.search["test"]:
            said.append(f"its test was {_describe_test(test)}, this one is "
                        f"{_describe_test(self.search['test'])}")
        return ", ".join(said) or "other arguments"

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
            if not _about(cost, _cost_of(self.span.matrix, columns, self.span.log)):
                raise ValueError(f"hit {columns} of cost {cost!r}, not its cost")
            hits.append(TaskHit(index, columns, cost))
        return _Piece(lower, upper, tested=tested, hits=hits)

    def _read_bound(self, value):
        cost, columns = value
        # Any real cost or +inf: matrices with values above 1 give negative costs.
        if type(cost) not in (int, float) or math.isnan(cost) or cost == -math.inf:
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


def _cost_of(matrix, columns, log=False):
    if log:
        from quorin._core import _cost

        return _cost(matrix, columns, log=True)
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


def _test_identity(test):
    """What a checkpoint records of the test: a native tester's kind and a digest of its
    parameters, or a Python test's module and name with a digest of its code (nested
    functions included) and of its pickled state (an instance's attributes, a partial's
    arguments), so that a search is never resumed with another test."""
    import hashlib
    import pickle

    from quorin._search import core

    kind = type(test)
    if core._is_native(test):
        reduced = test.__reduce__()
        parameters = [a for a in reduced[1] if not isinstance(a, str)]  # not the kernel's name
        digest = hashlib.sha256(repr(parameters).encode()).hexdigest()
        return {"name": f"{kind.__module__}.{kind.__qualname__}", "digest": digest}
    function = test if hasattr(test, "__code__") else None
    owner = function if function is not None else kind
    name = f"{getattr(owner, '__module__', '?')}.{getattr(owner, '__qualname__', '?')}"
    sha = hashlib.sha256()
    code = getattr(function, "__code__", None)
    if code is None:
        code = getattr(getattr(kind, "__call__", None), "__code__", None)
    if code is not None:
        _digest_code(sha, code)
    if function is None:
        try:
            sha.update(pickle.dumps(test, protocol=4))
        except Exception:  # state that does not pickle: the code alone identifies it
            pass
    return {"name": name, "digest": sha.hexdigest()}


def _digest_code(sha, code):
    sha.update(code.co_code)
    sha.update(repr(code.co_names).encode())
    for constant in code.co_consts:
        if hasattr(constant, "co_code"):
            _digest_code(sha, constant)
        else:
            sha.update(repr(constant).encode())


def _describe_test(identity):
    if not isinstance(identity, dict):
        return "unreadable"
    return f"{identity.get('name')} ({str(identity.get('digest'))[:12]})"


class _OtherSearch(Exception):
    pass


class _EarlierLayout(Exception):
    pass


def _matrix_digest(matrix, log=False):
    """The digest of the matrix; a matrix of log-likelihoods is told apart by its prefix
    (that of probabilities is the one checkpoints always had)."""
    import hashlib

    sha = hashlib.sha256(b"quorin log-likelihoods\0" if log else b"quorin matrix\0")
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
