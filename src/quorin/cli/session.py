"""A named search session: two files in the working folder (or where the name points).

``NAME.session.json`` is a small header: the search's inputs (a digest of the matrix, the
known pairs or the test, start, stop, first hit or all), where the matrix came from, its
state (running, interrupted, finished) and, once finished, the result.
``NAME.checkpoint.json`` is quorin.search's own checkpoint: the finished stretches of the
range, their counts and hits. ``--restore`` continues the search from that checkpoint,
after checking that the inputs are the header's; a search is never continued with another
matrix, other pairs or another test, or another range.
"""

import datetime
import json
import os

from quorin.cli.inputs import BadInput

FORMAT = "quorin command session"
VERSION = 1
# The inputs a session is made for, in the order a difference is reported. Whether the
# search stops at the first hit may change on --restore (every finished task stays valid),
# as may the workers and the task size.
INPUT_NAMES = ("matrix", "log", "pairs", "test", "test_digest", "start", "stop")


class Session:
    def __init__(self, name):
        if not name or name.endswith(("/", os.sep)):
            raise BadInput(f"--session {name!r}: give a name")
        self.name = name
        base = os.path.abspath(name)
        self.header_path = base + ".session.json"
        self.checkpoint_path = base + ".checkpoint.json"
        self.lock_path = base + ".session.lock"
        self.header = None
        self._lock = None
        folder = os.path.dirname(base)
        if not os.path.isdir(folder):
            raise BadInput(f"--session {name}: no folder {folder}")

    # -----------------------------------------------------------------------------------
    def read(self):
        """The header on disk, or None when there is none."""
        try:
            with open(self.header_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return None
        except OSError as error:
            raise BadInput(f"--session {self.name}: cannot read {self.header_path} "
                           f"({error})") from None
        try:
            header = json.loads(data)
            if not isinstance(header, dict) or header.get("format") != FORMAT:
                raise ValueError("no session format tag")
            if header.get("version") != VERSION:
                raise ValueError(f"format version {header.get('version')!r}, this quorin "
                                 f"reads {VERSION}")
            if not isinstance(header.get("inputs"), dict):
                raise ValueError("no inputs")
        except ValueError as error:
            raise BadInput(f"--session {self.name}: {self.header_path} is not a quorin "
                           f"session ({error})") from None
        return header

    def open(self, inputs, sources, restore):
        """Starts the session for ``inputs`` (a new search) or continues it (``restore``),
        refusing what would mix two searches. ``sources``: where the inputs came from
        (matrix file, array name), recorded so that ``--restore`` alone can continue."""
        self._take_lock()
        old = self.read()
        if restore:
            if old is None:
                raise BadInput(f"--restore: no session {self.name!r} here "
                               f"({self.header_path} does not exist)")
            differences = self.differences(old["inputs"], inputs)
            if differences:
                raise BadInput(f"--restore: session {self.name!r} was made for other inputs "
                               f"({'; '.join(differences)}): give the same inputs, or start a "
                               f"new search under another --session")
            header = old
            header["inputs"] = dict(old["inputs"], first=inputs.get("first"))
        else:
            if old is not None and old.get("state") != "finished":
                raise BadInput(f"session {self.name!r} holds an unfinished search "
                               f"({self.header_path}): continue it with --restore, or give "
                               f"another --session, or delete its two files")
            if old is None and os.path.exists(self.checkpoint_path):
                raise BadInput(f"session {self.name!r}: {self.checkpoint_path} exists without "
                               f"its header: delete it or give another --session")
            if os.path.exists(self.checkpoint_path):
                os.unlink(self.checkpoint_path)  # a finished session's, replaced by this one
            header = {"format": FORMAT, "version": VERSION, "inputs": inputs,
                      "sources": sources, "created": _now(), "result": None}
        header["state"] = "running"
        header["updated"] = _now()
        self.header = header
        try:
            self._write()
        except OSError as error:
            self.header = None
            raise BadInput(f"--session {self.name}: cannot write {self.header_path} "
                           f"({error.strerror or error})") from None

    @staticmethod
    def differences(recorded, given):
        """What differs between the recorded inputs and the given ones, one phrase each."""
        found = []
        for name in INPUT_NAMES:
            was, now = recorded.get(name), given.get(name)
            if was == now:
                continue
            if name == "test_digest":
                if recorded.get("test") == given.get("test"):
                    found.append("the test's module file has changed")
            elif name == "matrix":
                found.append("the matrix differs")
            elif name == "pairs":
                found.append("the plaintext/ciphertext pairs differ")
            else:
                found.append(f"{name} was {_show(was)}, now {_show(now)}")
        return found

    def stop(self, state, result=None):
        """Records how the run ended: "finished" (with its result) or "interrupted"."""
        if self.header is None:
            return
        self.header["state"] = state
        self.header["updated"] = _now()
        if result is not None:
            self.header["result"] = result
        self._write()

    def discard(self):
        """Removes the session's files (a new session in which nothing was done)."""
        for path in (self.header_path, self.checkpoint_path):
            try:
                os.unlink(path)
            except OSError:
                pass
        self.header = None

    def close(self):
        if self._lock is not None:
            try:
                self._lock.close()
            finally:
                self._lock = None
                try:
                    os.unlink(self.lock_path)
                except OSError:
                    pass

    # -----------------------------------------------------------------------------------
    def _write(self):
        data = json.dumps(self.header, indent=1).encode()
        _write_atomically(self.header_path, data)

    def _take_lock(self):
        """One command at a time per session: an advisory lock on NAME.session.lock."""
        try:
            import fcntl
        except ImportError:  # no advisory locks here: nothing to guard with
            return
        try:
            f = open(self.lock_path, "a+")
        except OSError as error:
            folder = os.path.dirname(self.lock_path)
            raise BadInput(f"--session {self.name}: cannot write in {folder} "
                           f"({error.strerror or error})") from None
        try:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            f.close()
            raise BadInput(f"session {self.name!r} is in use by another quorin command "
                           f"({self.lock_path} is locked)") from None
        self._lock = f


def _show(value):
    if value is None:
        return "none"
    if isinstance(value, bool):
        return "yes" if value else "no"
    return str(value)


def _now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def _write_atomically(path, data):
    """``data`` to ``path``: written aside, synced, renamed over (the old file or the new)."""
    tmp = f"{path}.{os.getpid()}.tmp"
    try:
        with open(tmp, "wb") as f:
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


def read_checkpoint(path):
    """(configurations tested, hits) recorded in quorin.search's checkpoint at ``path``:
    the sums over its finished stretches; (0, 0) while there is none. The file is JSON and
    replaced atomically by the search, so a read sees one whole record."""
    try:
        with open(path, "rb") as f:
            record = json.loads(f.read())
        finished = record["finished"]
        return (sum(int(s["tested"]) for s in finished),
                sum(len(s["hits"]) for s in finished))
    except FileNotFoundError:
        return 0, 0
    except (OSError, ValueError, KeyError, TypeError):
        return None
