"""Pickling and copying: every protocol from 2 on, copy and deepcopy continue exactly where
the instance stood; states saved by an earlier build load; bad states are refused."""

import copy
import itertools
import pathlib
import pickle

import pytest

from conftest import Enumerator, drain
from digest_cases import digest_of, matrix

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"

MATRICES = {
    "ragged_with_zeros": [[0.5, 0.0, 0.5], [1.0], [0.0, 0.25, 0.25, 0.5]],
    "levels_ties": matrix("levels", 6, 2, 6, 11),
    "zeros": matrix("zeros", 7, 1, 5, 12),
    "seventeen_equal": [[0.5, 0.5]] * 17,
    "wide_rows": matrix("uniform", 3, 17, 300, 13),
    "long_nodes": matrix("levels", 40, 1, 4, 14),  # 40 one-byte ranks: fingerprints kept
    "no_rows": [],
}
LIMIT = 2000

RESTORERS = {
    **{f"pickle{p}": (lambda q, p=p: pickle.loads(pickle.dumps(q, p)))
       for p in range(2, pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def taken(enumerator, count):
    return [next(enumerator).tolist() for _ in range(count)]


@pytest.mark.parametrize("restore", RESTORERS.values(), ids=RESTORERS.keys())
@pytest.mark.parametrize("name", MATRICES)
def test_restored_instance_continues_like_an_uninterrupted_run(name, restore, cache):
    probs = MATRICES[name]
    whole = [array.tolist() for array in itertools.islice(Enumerator(probs, cache), LIMIT)]
    n = len(whole)
    complete = n < LIMIT
    for at in sorted({0, 1, n // 2, n - 1, n} | ({n + 1} if complete else set())):
        q = Enumerator(probs, cache)
        head = taken(q, min(at, n))
        if at > n:
            assert next(q, None) is None  # exhausted before saving
        restored = restore(q)
        assert restored is not q and type(restored) is Enumerator
        rest = taken(restored, n - len(head))
        assert head + rest == whole, f"restored after {at}"
        assert taken(q, len(rest)) == rest, "restoring changed the original"
        if complete:
            assert next(restored, None) is None and next(q, None) is None


def pinned_states():
    for line in (DATA / "saved_states.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            file, count, digest = line.split()
            yield file, int(count), digest


@pytest.mark.parametrize("file, count, digest", list(pinned_states()))
def test_state_saved_by_an_earlier_build_continues_as_recorded(file, count, digest):
    saved = (DATA / file).read_bytes()
    q = Enumerator.__new__(Enumerator)
    q.__setstate__(saved)
    assert q.__getstate__() == saved
    assert digest_of(q, count + 1) == (count, digest)


def saved_instance():
    q = Enumerator(MATRICES["levels_ties"])
    taken(q, 50)
    return q


def saved_state():
    return saved_instance().__getstate__()


def altered(position, value):
    state = bytearray(saved_state())
    state[position] = value
    return bytes(state)


BAD_STATES = {
    "another_objects_bytes": (lambda: pickle.dumps([1, 2, 3]), "not a saved quorin state"),
    "empty": (lambda: b"", "truncated in the header"),
    "cut": (lambda: saved_state()[:-1], "truncated: its header gives"),
    "appended": (lambda: saved_state() + b"\0", "1 bytes follow the end"),
    "flipped_byte": (lambda: altered(100, saved_state()[100] ^ 4), "checksum mismatch"),
    "unknown_version": (lambda: altered(8, 9), "format version 9 is not supported"),
}


def pickled_with_state(state):
    """A protocol 3 pickle of a quorin instance whose saved state is `state`."""
    good = saved_state()
    data = pickle.dumps(saved_instance(), 3)
    at = data.index(good)
    assert data[at - 5 : at] == b"B" + len(good).to_bytes(4, "little")  # BINBYTES
    return data[: at - 5] + b"B" + len(state).to_bytes(4, "little") + state + data[at + len(good) :]


@pytest.mark.parametrize("make, message", BAD_STATES.values(), ids=BAD_STATES.keys())
def test_bad_state_is_refused_with_the_cores_message(make, message):
    with pytest.raises(ValueError, match=message):
        pickle.loads(pickled_with_state(make()))
    bare = Enumerator.__new__(Enumerator)
    with pytest.raises(ValueError, match=message):
        bare.__setstate__(make())
    with pytest.raises(TypeError, match="__init__"):
        next(bare)


@pytest.mark.parametrize("state", ["text", bytearray(b"\x89QUORIN\n"), None])
def test_state_that_is_not_bytes_is_a_type_error(state):
    with pytest.raises(TypeError):
        Enumerator.__new__(Enumerator).__setstate__(state)


@pytest.mark.parametrize(
    "operation",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda q: q.__getstate__()],
    ids=["pickle", "copy", "deepcopy", "getstate"],
)
def test_instance_without_init_is_refused(operation):
    with pytest.raises(TypeError, match="__init__"):
        operation(Enumerator.__new__(Enumerator))


@pytest.mark.parametrize("protocol", [0, 1])
def test_protocols_before_2_are_refused(protocol):
    with pytest.raises(TypeError, match="protocol 2"):
        pickle.dumps(Enumerator([[0.5, 0.5]]), protocol)
