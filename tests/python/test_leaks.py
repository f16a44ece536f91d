"""Memory must not grow across repeated rounds of building, iterating, copying and dropping
enumerators, failed constructions included."""

import copy
import gc
import os
import pickle
import sys
import tracemalloc
import weakref

import pytest

from conftest import Enumerator, Floatable, HugeLength, Indexable, IntOnly, drain


class FailingRow:
    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 2:
            raise KeyError(index)
        return 0.5


class Subclassed(Enumerator):
    pass


class FreshRow:
    """A row whose items are new objects on every access, so that a reference kept by
    the conversion shows up as growing memory (and as live weak references)."""

    created = []

    def __len__(self):
        return 4

    def __getitem__(self, index):
        if index >= 4:
            raise IndexError(index)
        item = Floatable(0.25 * (index + 1))
        FreshRow.created.append(weakref.ref(item))
        return item


class FreshRows:
    def __init__(self, rows):
        self.rows = rows

    def __len__(self):
        return self.rows

    def __getitem__(self, index):
        row = FreshRow()
        FreshRow.created.append(weakref.ref(row))
        return row


WIDE = [[0.3, 0.25, 0.2, 0.15, 0.1]] * 6  # 7776 configurations
TIED = [[0.5, 0.5]] * 8
MANY_VALUES = [[0.5] * 200] * 10

FAILING_CONSTRUCTIONS = [
    ((MANY_VALUES + [[0.5, -1.0]],), ValueError),
    ((MANY_VALUES + [[]],), ValueError),
    (([[0.5, float("nan")]],), ValueError),
    ((MANY_VALUES + [["0.5"]],), TypeError),
    (([[Indexable(1)] * 50, [IntOnly()]],), TypeError),
    (([[0.5, 0.5]], "yes"), TypeError),
    (([[0.5]], True, 3), TypeError),
    (((row for row in TIED),), TypeError),
    ((MANY_VALUES + [FailingRow()],), KeyError),
]
if not os.environ.get("QUORIN_ASAN"):  # ASan aborts on an impossible size instead of throwing
    FAILING_CONSTRUCTIONS.append(((HugeLength([0.5, 0.5]),), MemoryError))


def one_round(configurations_per_enumerator):
    """Exercises every path that allocates: full and partial enumerations, copies at
    various positions, copies outliving their sources, pickling, failed loads and
    failed constructions."""
    for cache in (True, False):
        enumerator = Enumerator(WIDE, cache)
        copies = []
        for step in range(configurations_per_enumerator):
            next(enumerator)
            if step % (configurations_per_enumerator // 4 + 1) == 0:
                copies.append(iter(enumerator))
        for later in copies[1:]:
            for _ in range(configurations_per_enumerator // 8):
                next(later)
        state = pickle.dumps(enumerator)
        restored = pickle.loads(state)
        next(copy.deepcopy(restored))
        corrupt = bytearray(state)
        corrupt[-40] ^= 0x20  # inside the saved state: its checksum fails
        try:
            pickle.loads(bytes(corrupt))
        except ValueError:
            pass
        else:
            raise AssertionError("an altered state was loaded")
        del enumerator, restored  # dropped mid-iteration, its copies still alive
        copies.clear()

        tied = Enumerator(TIED, cache)
        drain(tied)
        for _ in range(3):
            next(tied, None)
        list(iter(tied))  # a copy of an exhausted instance

        for probs in ([[1.0]], [], [[0.5, 0.0], [1.0, 0.0]]):
            small = Enumerator(probs, cache)
            drain(iter(small))
            drain(small)

        fresh = Enumerator(FreshRows(3), cache)
        drain(fresh)
        FreshRow.created.clear()

        built = Enumerator([[Indexable(2), 1.5], [0.25, Indexable(1)]], cache)
        built.__init__(TIED)  # ignored second construction
        list(built)
        sub = Subclassed([[0.5, 0.5]] * 4, cache)
        next(sub)
        list(sub)
        del built, sub

        for args, error in FAILING_CONSTRUCTIONS:
            try:
                Enumerator(*args)
            except error:
                pass
            else:
                raise AssertionError(f"{error.__name__} expected for {args!r:.60}")


def test_python_object_memory_stays_flat():
    rounds = 5
    one_round(300)  # warm-up: caches, interned names, NumPy's first import effects
    gc.collect()
    tracemalloc.start()
    try:
        one_round(300)
        gc.collect()
        baseline = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            one_round(300)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - baseline
    finally:
        tracemalloc.stop()
    print(f"traced Python memory growth over {rounds} rounds: {growth} bytes")
    # One leaked array or row object per call would cost far more than this.
    assert growth < 32 * 1024


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    bool(os.environ.get("QUORIN_ASAN")),
    reason="AddressSanitizer's quarantine holds freed memory; it checks leaks itself",
)
def test_resident_size_stays_flat():
    # Each round builds and drops enumerators holding a few MB of native memory in total,
    # so a leak of any of them adds up to far more than the bound over the rounds.
    rounds = 12
    for _ in range(2):
        one_round(3000)
    gc.collect()
    baseline = resident_bytes()
    for _ in range(rounds):
        one_round(3000)
    gc.collect()
    growth = resident_bytes() - baseline
    print(f"resident size growth over {rounds} rounds: {growth / 2**20:.2f} MiB")
    assert growth < 4 * 2**20


@pytest.mark.parametrize(
    "tail, error",
    [([], None), ([["x"]], TypeError), ([[-1.0]], ValueError), ([FailingRow()], KeyError)],
    ids=["built", "TypeError", "ValueError", "KeyError"],
)
def test_construction_keeps_no_reference_to_its_input(tail, error):
    FreshRow.created.clear()
    elements = [Floatable(0.5), Indexable(1), float("0.75")]
    probs = [elements, FreshRow()] + tail
    counts_before = [sys.getrefcount(o) for o in elements + probs]
    if error is None:
        drain(Enumerator(probs))
    else:
        with pytest.raises(error):
            Enumerator(probs)
    drain(Enumerator(FreshRows(2), False))
    gc.collect()
    assert [sys.getrefcount(o) for o in elements + probs] == counts_before
    assert FreshRow.created, "the conversion read no items"
    assert [ref for ref in FreshRow.created if ref() is not None] == []
