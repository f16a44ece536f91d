"""What a user waits for in a search: hits indexed in one walk however many there are,
a unique test's hit back as soon as it is found, the stop located only when needed, and
small tasks first. Checked against independent orders: the brute-force cost order on a
small awkward matrix, and quorin.batches (the ordered windows) on 16 x 256."""

import numpy as np
import pytest

import cost_order_oracle as oracle
import quorin
from quorin._search import constants, core

# Ties, a zero and ragged rows: 4 * 3 * 4 * 2 * 5 = 480 configurations.
PROBS = [[0.5, 0.25, 0.25, 0.0], [0.3, 0.3, 0.4], [0.125, 0.5, 0.125, 0.25], [0.6, 0.4],
         [0.2] * 5]
ORDER = oracle.cost_order(PROBS)


def even_first_column(columns, costs):
    return columns[:, 0] % 2 == 0


def test_thousands_of_hits_per_task_against_the_ordered_windows():
    probs = np.random.default_rng(5).dirichlet(np.full(256, 0.3), size=16)
    start, stop = 2**20, 2**20 + 3 * 2**14
    expected = []
    position = start
    for columns, costs in quorin.batches(probs, size=2**14, start=start, stop=stop):
        for k in np.flatnonzero(even_first_column(columns, costs)):
            expected.append(quorin.Hit(position + int(k) + 1, tuple(columns[k].tolist()),
                                       float(costs[k])))
        position += len(costs)
    assert len(expected) > 10_000
    hits = quorin.search(probs, even_first_column, start=start, stop=stop, workers=1,
                         task_size=2**14 + 5)
    assert hits == expected
    # run_task alike, each task's hits by index in it
    before, ranked = start, []
    for task in quorin.plan(probs, start=start, stop=stop, task_size=2**15):
        result = quorin.run_task(task, even_first_column, threads=2)
        ranked += result.ranked(before)
        before += result.tested
    assert ranked == expected and before == stop


class FirstOf:
    """Accepts the configurations at `positions` of ORDER and says its hit is unique."""

    unique = True

    def __init__(self, positions):
        self.wanted = {ORDER[p][1] for p in positions}

    def __call__(self, columns, costs):
        return np.array([tuple(c) in self.wanted for c in columns.tolist()], dtype=bool)


class Recording:
    """The core's functions, counting the stop's and start's locations and the tasks run."""

    def __init__(self):
        self.located, self.walks, self.after = [], 0, []

    def __getattr__(self, name):
        return getattr(quorin._core, name)

    def _locate(self, probs, position):
        self.located.append(position)
        return quorin._core._locate(probs, position)

    def _locate_after(self, probs, lower, offset, **kw):
        self.after.append(offset)
        return quorin._core._locate_after(probs, lower, offset, **kw)

    def _TaskWalk(self, *arguments):
        self.walks += 1
        return quorin._core._TaskWalk(*arguments)


def test_a_unique_hit_ends_its_task_and_the_search(monkeypatch):
    api = Recording()
    monkeypatch.setattr(core, "_engine_api", lambda: api)
    test = FirstOf([200])
    assert quorin.search(PROBS, test, start=37, stop=431, workers=1, task_size=25) == [
        quorin.Hit(201, ORDER[200][1], ORDER[200][0])]
    tasks = quorin.plan(PROBS, start=37, stop=431, task_size=25)
    holding = next(t.id for t in tasks
                   if t.lower <= ORDER[200] and (t.upper is None or ORDER[200] < t.upper))
    assert api.walks == holding + 1  # no task after it
    # run_task stops at the hit: tested counts the task up to it
    result = quorin.run_task(tasks[holding], FirstOf([200]), batch_size=1)
    assert len(result.hits) == 1 and result.tested == result.hits[0].index + 1
    before = 37 + sum(quorin.run_task(t, FirstOf([])).tested for t in tasks[:holding])
    assert result.ranked(before) == [quorin.Hit(201, ORDER[200][1], ORDER[200][0])]
    # a later task finishing first does not hide an earlier hit
    assert quorin.search(PROBS, FirstOf([100, 300]), start=37, stop=431, task_size=25,
                         workers=lambda fn, ts: reversed([fn(t) for t in ts])) == [
        quorin.Hit(101, ORDER[100][1], ORDER[100][0])]


def test_the_stop_is_located_only_when_the_tasks_near_it(monkeypatch):
    api = Recording()
    monkeypatch.setattr(core, "_engine_api", lambda: api)
    probs = np.random.default_rng(3).dirichlet(np.full(256, 0.3), size=16)
    key = quorin.batches(probs, size=1, start=2**16 + 7, stop=2**16 + 8).__next__().columns[0]

    def test(columns, costs):
        return (columns == key).all(axis=1)

    hits = quorin.search(probs, test, start=2**16, stop=2**30, workers=1, first=True)
    assert [h.rank for h in hits] == [2**16 + 8]
    assert api.located == [2**16]  # the start alone
    # a search that reaches its stop locates it, and tiles the range exactly
    api.located.clear()
    whole = quorin.search(PROBS, FirstOf([]), start=37, stop=431, workers=1, task_size=7)
    assert whole == [] and api.located == [37, 431]
    # hits in every task, each task's indexed while the next one runs: the hits of the
    # order, and the stop still counted from where the walked tasks end (two tasks' worth)
    hits = quorin.search(PROBS, even_first_column, start=37, stop=300, workers=1, task_size=7)
    assert hits == [quorin.Hit(p + 1, columns, cost) for p, (cost, columns) in enumerate(ORDER)
                    if 37 <= p < 300 and columns[0] % 2 == 0]
    assert api.after and max(api.after) <= 2 * 7


def test_a_stop_near_its_start_is_counted_from_it(monkeypatch):
    # The bound `offset` places after another, found by counts, against the located one:
    # every offset of the small awkward matrix (None only where the order holds cost +inf
    # or nothing), and deep in 16 x 256 log-likelihoods spanning hundreds of nats.
    from quorin._search.span import _bound

    finite = sum(1 for cost, _ in ORDER if cost < float("inf"))
    for start in range(0, finite, 29):
        lower = _bound(quorin._core._locate(PROBS, start))
        for stop in range(start, 481, 11):
            found = quorin._core._locate_after(PROBS, lower, stop - start)
            if stop >= finite:
                assert found is None
            else:
                assert _bound(found) == _bound(quorin._core._locate(PROBS, stop)) == ORDER[stop]
    matrix = np.log(np.random.default_rng(9).dirichlet(np.full(256, 0.3), size=16)) * 50.0
    for start, offset in [(2**24, 1), (2**24, 2**20 + 1), (2**30 + 3, 2**25 - 1)]:
        lower = quorin._core._locate(matrix, start, log=True)
        assert (quorin._core._locate_after(matrix, lower, offset, log=True)
                == quorin._core._locate(matrix, start + offset, log=True))
    # a search locates the start alone when its stop is that near
    api = Recording()
    monkeypatch.setattr(core, "_engine_api", lambda: api)
    assert quorin.search(PROBS, FirstOf([]), start=200, stop=350, workers=1, task_size=7) == []
    assert api.located == [200]


def test_small_tasks_first_tile_the_range_exactly(monkeypatch):
    monkeypatch.setattr(constants, "FIRST_TASK_SIZE", 3)
    seen = []

    def record(fn, tasks):
        for task in tasks:
            result = fn(task)
            seen.append(result.tested)
            yield result

    wanted = [37, 38, 39, 200, 430]
    codes = {ORDER[p][1] for p in wanted}

    def test(columns, costs):
        return np.array([tuple(c) in codes for c in columns.tolist()], dtype=bool)

    assert quorin.search(PROBS, test, start=37, stop=431, workers=record) == [
        quorin.Hit(p + 1, ORDER[p][1], ORDER[p][0]) for p in wanted]
    assert sum(seen) == 431 - 37 and seen[0] < seen[-2]  # small first, larger later


def test_the_aes_tester_says_its_hit_is_unique():
    assert quorin.AES128(bytes(16), bytes(16)).unique is True


@pytest.mark.parametrize("threads", [1, 2])
def test_a_native_unique_hit_comes_back_with_its_exact_rank(threads):
    probs = np.random.default_rng(9).dirichlet(np.full(256, 0.3), size=16)
    key = quorin.batches(probs, size=1, start=40_000, stop=40_001).__next__().columns[0]
    plaintext = bytes(range(16))
    tester = quorin.AES128(plaintext, quorin.AES128.encrypt(bytes(key.astype(np.uint8)), plaintext))
    for task in quorin.plan(probs, start=0, stop=2**17, task_size=2**15):
        result = quorin.run_task(task, tester, threads=threads)
        if result.hits:
            assert result.tested == result.hits[0].index + 1
            break
    hits = quorin.search(probs, tester, stop=2**17)
    assert [(h.rank, h.columns) for h in hits] == [(40_001, tuple(key.tolist()))]


def test_the_last_task_counts_where_the_stop_falls(monkeypatch):
    # A native search in this process cuts its last task past the stop and counts the stop
    # in that task's walk: a key just before the stop comes back with its exact rank, a key
    # just past it does not.
    import quorin._search.span as span

    made = []
    counted_piece = span._counted_piece
    monkeypatch.setattr(span, "_counted_piece", lambda *a: made.append(counted_piece(*a)) or made[-1])
    probs = np.random.default_rng(4).dirichlet(np.full(256, 0.3), size=16)
    position = 3 * 2**17 + 12_345
    key = next(quorin.batches(probs, size=1, start=position, stop=position + 1)).columns[0]
    plaintext = bytes(range(16))
    tester = quorin.AES128(plaintext, quorin.AES128.encrypt(bytes(key.astype(np.uint8)), plaintext))
    start = position - 2**17
    assert quorin.search(probs, tester, start=start, stop=position) == []
    hits = quorin.search(probs, tester, start=start, stop=position + 1, task_size=2**15)
    assert [(h.rank, h.columns) for h in hits] == [(position + 1, tuple(key.tolist()))]
    assert len(made) == 2 and all(piece is not None and piece.most for piece in made)


def test_a_search_that_stopped_at_its_unique_hit_resumes_from_its_checkpoint(tmp_path):
    path = tmp_path / "search.json"
    test = FirstOf([300])
    expected = [quorin.Hit(301, ORDER[300][1], ORDER[300][0])]
    for _ in range(2):  # the second run reads what the first wrote, and finds it again
        assert quorin.search(PROBS, test, start=37, stop=431, workers=1, task_size=25,
                             checkpoint=path) == expected
