"""Log-likelihood input (log=True) against brute force over the log-domain costs, against
the probability form where exp does not underflow, and the traps around it: underflowing
rows, bytes keys, the accuracy of rank's bounds, cost_bound against count, pickling."""

import itertools
import math
import pickle
import random
import warnings

import numpy
import pytest

import quorin


def template_scores(seed, rows, columns, traces=1500, noise=0.7):
    """Log-likelihoods of a template attack: each row scores its candidates by the
    Gaussian log-density of `traces` leakages of the true candidate (column 0) under each
    candidate's template; rows span thousands of nats."""
    rng = numpy.random.default_rng(seed)
    scores = []
    for width in ([columns] * rows if isinstance(columns, int) else columns):
        templates = rng.normal(0.0, 1.0, size=(width, traces))
        leak = templates[0] + rng.normal(0.0, noise, size=traces)
        scores.append((-0.5 * ((leak - templates) / noise) ** 2).sum(axis=1) + rng.normal(0, 50))
    return scores


def log_cost_order(scores):
    """Every configuration by (cost, columns), costs from each row's log-sum-exp:
    cost = lse - l, lse = max + log(sum(exp(l - max))) (-inf entries cost +inf)."""
    rows = [numpy.asarray(r, dtype=float) for r in scores]
    entry = []
    for r in rows:
        top = r.max()
        lse = top + math.log(numpy.exp(r - top).sum())
        entry.append(numpy.where(r == -math.inf, math.inf, lse - r))
    grids = numpy.meshgrid(*(numpy.arange(len(r)) for r in rows), indexing="ij")
    columns = numpy.stack([g.ravel() for g in grids], axis=1)
    total = numpy.zeros(len(columns))
    for i, e in enumerate(entry):
        total = total + e[columns[:, i]]
    order = numpy.lexsort([columns[:, i] for i in reversed(range(len(rows)))] + [total])
    return total[order], columns[order]


def drain(iterator):
    columns, costs = [], []
    for batch in iterator:
        columns.append(batch.columns)
        costs.append(batch.costs)
    return numpy.concatenate(columns), numpy.concatenate(costs)


@pytest.mark.parametrize("seed, shape", [(1, 4 * [7]), (2, [9, 3, 8, 5]), (3, [6, 6, 6, 6, 2])])
def test_template_scores_against_brute_force(seed, shape):
    scores = template_scores(seed, len(shape), shape)
    assert min(float(numpy.ptp(r)) for r in scores) > 2000  # exp() of them would underflow
    scores[1][2] = -math.inf  # an impossible candidate
    costs, order = log_cost_order(scores)
    finite = int(numpy.isfinite(costs).sum())

    # Batches: the whole cost order, columns exactly, costs to the last bits.
    got_columns, got_costs = drain(quorin.batches(scores, size=97, threads=2, log=True))
    numpy.testing.assert_array_equal(got_columns, order)
    numpy.testing.assert_allclose(got_costs[:finite], costs[:finite], rtol=1e-12)
    assert numpy.isinf(got_costs[finite:]).all()
    # A range deep inside.
    start = len(costs) // 3
    deep, _ = drain(quorin.batches(scores, size=50, start=start, stop=start + 120, log=True))
    numpy.testing.assert_array_equal(deep, order[start:start + 120])

    # The heap enumerator: every configuration once, by non-decreasing cost.
    heap = numpy.array(list(quorin.quorin(scores, log=True)))
    numpy.testing.assert_array_equal(heap[:finite], order[:finite])  # no ties among these sums

    # Ranks, exact, and counts at costs between consecutive configurations.
    for position in sorted({0, 1, 17, finite // 2, finite - 1, finite, len(costs) - 1}):
        r = quorin.rank(scores, order[position], log=True)
        assert (r.low, r.high) == (position + 1, position + 1)
        assert r.exact and r.estimate == position + 1
    for position in (0, 5, finite // 3, finite - 2):
        cost = (costs[position] + costs[position + 1]) / 2
        assert costs[position + 1] - costs[position] > 1e-9 * max(1.0, costs[position])
        assert quorin.count(scores, cost, log=True) == (position + 1, position + 1)
        # cost_bound: the cost of the configuration of rank n, the inverse of count.
        bound = quorin.cost_bound(scores, position + 1, log=True)
        assert bound == pytest.approx(costs[position], rel=1e-12)
        assert quorin.count(scores, bound, log=True).low >= position + 1
        assert quorin.count(scores, math.nextafter(bound, -math.inf), log=True).high < position + 1
    assert quorin.count(scores, math.inf, log=True) == (len(costs), len(costs))
    assert quorin.cost_bound(scores, 0, log=True) == -math.inf
    assert quorin.cost_bound(scores, finite + 1, log=True) == math.inf
    with pytest.raises(ValueError, match="past the last configuration"):
        quorin.cost_bound(scores, len(costs) + 1, log=True)

    # The probability form of the same scores underflows to zeros and loses the order.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rank = quorin.rank([numpy.exp(r - r.max()) for r in scores], order[finite // 2])
    assert rank != (finite // 2 + 1, finite // 2 + 1)


def test_both_forms_agree_where_exp_does_not_underflow():
    rng = random.Random(5)
    probs = [[rng.gammavariate(0.5, 1.0) for _ in range(rng.randint(2, 9))] for _ in range(6)]
    probs = [[p / sum(row) for p in row] for row in probs]
    offsets = [rng.uniform(-300, 300) for _ in probs]
    scores = [[math.log(p) + offset for p in row] for row, offset in zip(probs, offsets)]  # unnormalised
    a = numpy.array(list(quorin.quorin(probs)))
    b = numpy.array(list(quorin.quorin(scores, log=True)))
    numpy.testing.assert_array_equal(a, b)
    ca, ka = drain(quorin.batches(probs, size=1000))
    cb, kb = drain(quorin.batches(scores, size=777, log=True))
    numpy.testing.assert_array_equal(ca, cb)
    numpy.testing.assert_allclose(ka, kb, rtol=1e-12)
    for position in (0, 10, 1000, len(ca) - 1):
        assert quorin.rank(probs, ca[position]) == quorin.rank(scores, ca[position], log=True) == (position + 1,) * 2
    deep = [rng.gammavariate(0.3, 1.0) + 1e-9 for _ in range(256)]
    big = [deep[i:] + deep[:i] for i in range(0, 160, 10)]
    key = [int(numpy.argsort(row)[-3]) for row in big]
    logs = [[math.log(p) for p in row] for row in big]
    # The same bounds within the rounding of the costs: both hold the same true rank.
    r1, r2 = quorin.rank(big, key), quorin.rank(logs, key, log=True)
    assert max(r1.low, r2.low) <= min(r1.high, r2.high)


def test_matrix_checks_and_underflow_warnings():
    with pytest.raises(ValueError, match=r"probs\[0\]\[1\] is inf: log-likelihoods must be finite or -inf"):
        quorin.quorin([[0.0, math.inf]], log=True)
    with pytest.raises(ValueError, match=r"probs\[1\]\[0\] is nan"):
        quorin.rank([[0.0], [math.nan]], [0, 0], log=True)
    with pytest.raises(ValueError, match=r"probs\[1\] is all -inf"):
        quorin.batches([[0.0], [-math.inf, -math.inf]], log=True)
    with pytest.raises(ValueError, match=r"probs\[0\]\[0\] is -1: probabilities"):
        quorin.count([[-1.0]], 1.0)

    def heap(m, log=False):
        return quorin.quorin(m, log=log)

    for call in (heap, lambda m, log=False: quorin.batches(m, log=log),
                 lambda m, log=False: quorin.rank(m, [0, 0], log=log),
                 lambda m, log=False: quorin.count(m, 1.0, log=log),
                 lambda m, log=False: quorin.cost_bound(m, 1, log=log)):
        # A row of zeros only: the heap enumerator warns, the cost order's functions refuse it.
        if call is heap:
            with pytest.warns(UserWarning, match=r"probs\[1\] is all zero.*log=True"):
                call([[0.5, 0.5], [0.0, 0.0]])
        else:
            with pytest.raises(ValueError, match=r"probs\[1\] is all zero.*log=True"):
                call([[0.5, 0.5], [0.0, 0.0]])
        with pytest.warns(UserWarning, match=r"probs\[0\] has zeros next to values below 1e-300.*log=True"):
            call([[0.0, 1e-310, 1.0], [1.0]])
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            call([[0.0, 1e-200], [0.5, 0.5]])  # a zero beside small values: nothing to say
            call([[-math.inf, -1e6], [0.0, -5000.0]], log=True)  # log-likelihoods never warn
    # Negative log-likelihoods, positive ones, any offset: only the differences count.
    assert list(map(list, quorin.quorin([[5.0, 7.0], [-1e300, 0.0]], log=True))) == [[1, 1], [0, 1], [1, 0], [0, 0]]


def _accept_all(columns, costs):
    return numpy.ones(len(costs), dtype=bool)


def _cost_order_entry_points(lower):
    """Every entry point of the cost order, each called as f(matrix, log): the public
    functions, run_task on a task made by hand (with a test in Python and with a native
    tester) and a saved quorin.batches state (not yet located, and mid-way) loaded with
    `matrix`."""

    def restored(m, log, start, steps):
        it = quorin.batches([[0.5, 0.25, 0.25], [0.6, 0.4], [0.3, 0.3, 0.4], [0.1, 0.9]], size=4, start=start,
                            log=log)
        for _ in range(steps):
            next(it)
        load, state = it.__reduce__()
        data = numpy.array([p for row in m for p in row], dtype="<f8").tobytes()
        return load(state[0], data, *state[2:])

    def sixteen_rows(m):
        """16 x 256 for the native tester: row i is m[i % 4] padded with its last value."""
        return [list(m[i % 4]) + [m[i % 4][-1]] * (256 - len(m[i % 4])) for i in range(16)]

    aes = quorin.AES128(bytes(16), bytes(16))
    return {
        "rank": lambda m, log: quorin.rank(m, [0, 0, 0, 0], log=log),
        "rank of a bytes key": lambda m, log: quorin.rank(m, bytes(4), log=log),
        "count": lambda m, log: quorin.count(m, math.inf, log=log),
        "cost_bound": lambda m, log: quorin.cost_bound(m, 1, log=log),
        "batches": lambda m, log: quorin.batches(m, size=4, log=log),
        "batches far down": lambda m, log: quorin.batches(m, size=4, start=5, stop=20, threads=2, log=log),
        "plan": lambda m, log: quorin.plan(m, stop=None, task_size=5, log=log),
        "search": lambda m, log: quorin.search(m, _accept_all, stop=None, workers=1, log=log),
        "first hit": lambda m, log: quorin.search(m, _accept_all, start=3, stop=30, workers=1, first=True, log=log),
        "run_task": lambda m, log: quorin.run_task(quorin.Task(0, m, lower, None, log), _accept_all),
        "run_task native": lambda m, log: quorin.run_task(quorin.Task(0, sixteen_rows(m), (0.0, (0,) * 16), None,
                                                                      log), aes),
        "saved batches, not yet located": lambda m, log: restored(m, log, 5, 0),
        "saved batches, mid-way": lambda m, log: restored(m, log, 0, 1),
    }


def test_a_row_of_zeros_only_is_refused_by_the_cost_order_and_warned_about_by_the_heap():
    """A probability row of zeros only (every configuration impossible, most often
    likelihoods that underflowed) is a ValueError naming the row from every function of the
    cost order, before any warning; its log-likelihood form, a row of -inf only, too.
    quorin.quorin keeps accepting it with a UserWarning and hands out every configuration at
    cost +inf. One possible value in that row makes the matrix valid everywhere (zeros next
    to values below 1e-300 keep their warning)."""
    clean = [[0.5, 0.25, 0.25], [0.6, 0.4], [0.0, 0.0, 0.0], [0.1, 0.9]]
    underflowed = [[0.0, 1e-310, 1.0], [0.6, 0.4], [0.0, 0.0, 0.0], [0.1, 0.9]]  # a warning's row first
    with numpy.errstate(divide="ignore"):
        logs = [numpy.log(row).tolist() for row in clean]
    assert logs[2] == [-math.inf] * 3
    possible = [[0.5, 0.25, 0.25], [0.6, 0.4], [0.0, 0.3, 0.0], [0.1, 0.9]]
    total = 3 * 2 * 3 * 2
    lower = quorin.plan(possible, stop=None)[0].lower
    entry_points = _cost_order_entry_points(lower)
    for name, call in entry_points.items():
        for probs in (clean, underflowed):
            with warnings.catch_warnings():
                warnings.simplefilter("error")  # refused before any warning is given
                with pytest.raises(ValueError, match=r"^probs\[2\] is all zero: .*pass the log-likelihoods .*\(log=True\)$"):
                    call(probs, False)
        with pytest.raises(ValueError, match=r"^probs\[2\] is all -inf: a row needs a possible value$"):
            call(logs, True)

    # The heap enumerator: a warning, and every configuration once, at cost +inf.
    for probs, row in ((clean, 2), (underflowed, 2), (numpy.array([[0.5, 0.5], [0.0, 0.0], [0.2, 0.8]]), 1)):
        with pytest.warns(UserWarning, match=rf"probs\[{row}\] is all zero: .*\(log=True\)"):
            heap = quorin.quorin(probs)
        batch = heap.next_batch(total + 1)
        every = sorted(itertools.product(*(range(len(row)) for row in probs)))
        assert sorted(map(tuple, batch.columns.tolist())) == every and len(batch.costs) == len(every)
        assert numpy.all(batch.costs == math.inf)
    with pytest.raises(ValueError, match=r"^probs\[2\] is all -inf"):
        quorin.quorin(logs, log=True)

    # One possible value in the row: accepted by every one of them, without a warning.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert quorin.count(possible, math.inf) == (total, total)
        assert sum(len(b.costs) for b in entry_points["batches"](possible, False)) == total
        assert len(entry_points["search"](possible, False)) == total
        assert quorin.run_task(quorin.Task(0, possible, lower, None), _accept_all).tested == total
        for name in ("rank", "cost_bound", "batches far down", "plan", "first hit", "saved batches, not yet located",
                     "saved batches, mid-way"):
            entry_points[name](possible, False)
    for name in ("rank", "count", "cost_bound", "batches", "plan", "search"):
        with pytest.warns(UserWarning, match=r"^probs\[0\] has zeros next to values below 1e-300"):
            entry_points[name]([underflowed[0]] + possible[1:], False)


def test_keys_as_bytes():
    rng = random.Random(3)
    probs = [[rng.random() for _ in range(256)] for _ in range(16)]
    key = bytes(rng.randrange(256) for _ in range(16))
    want = quorin.rank(probs, list(key))
    assert quorin.rank(probs, key) == want
    assert quorin.rank(probs, bytearray(key)) == want
    assert quorin.rank([[math.log(p) for p in row] for row in probs], key, log=True).low > 0
    with pytest.raises(ValueError, match="columns has 15 entries but probs has 16 rows"):
        quorin.rank(probs, key[:15])
    with pytest.raises(ValueError, match=r"columns\[0\] is 200: row 0 has columns 0 .. 1"):
        quorin.rank([[0.5, 0.5]], b"\xc8")
    with pytest.raises(TypeError, match="sequence of ints"):
        quorin.rank(probs, "0123456789abcdef")


def test_named_results_unpack_as_pairs():
    r = quorin.rank([[0.2, 0.8], [0.1, 0.9]], [0, 0])
    low, high = r
    assert (low, high) == (4, 4) and r == (4, 4) and isinstance(r, tuple)
    assert isinstance(r, quorin.CountBounds) and r.exact and r.bits == 0.0
    assert pickle.loads(pickle.dumps(r)) == r and repr(r) == "CountBounds(low=4, high=4)"
    b = quorin.CountBounds(1000, 1090)
    assert b.low <= b.estimate <= b.high and b.estimate == 1044
    assert b.bits == pytest.approx(math.log2(1.09))
    assert quorin.CountBounds(0, 9).bits == math.inf and quorin.CountBounds(0, 9).estimate == 4
    assert isinstance(quorin.count([[0.5, 0.5]], 1.0), quorin.CountBounds)


def test_rank_accuracy_on_heavy_tailed_rows():
    # gamma(0.3) rows: a few candidates take most of the mass, the rest spread over many
    # decades; the bounds reach the ratio asked, or say what they reached.
    rng = numpy.random.default_rng(11)
    probs = [list(rng.gamma(0.3, size=256) + 1e-12) for _ in range(16)]
    keys = [[int(numpy.argsort(row)[-1 - rng.integers(0, depth)]) for row in probs] for depth in (4, 12, 40)]
    for key in keys:
        loose = quorin.rank(probs, key, bits=4.0, exact_up_to=0)
        for bits in (1.0, 0.125, 0.01):
            r = quorin.rank(probs, key, bits=bits, exact_up_to=0)
            assert r.low <= r.estimate <= r.high
            assert max(r.low, loose.low) <= min(r.high, loose.high)  # both hold the true rank
            assert r.bits == pytest.approx(math.log2(r.high / r.low)) if r.low else r.bits == math.inf
            if bits >= 0.125:
                assert r.exact or r.bits <= bits, (key, bits, r)
        assert loose.bits <= 4.0
    with pytest.raises(ValueError, match="bits must be finite and not negative"):
        quorin.rank(probs, keys[0], bits=-1)
    with pytest.raises(TypeError, match="bits must be a number"):
        quorin.count(probs, 10.0, bits="1")


def test_pickling_log_enumerators():
    scores = template_scores(9, 3, 6)
    q = quorin.quorin(scores, log=True)
    [next(q) for _ in range(20)]
    again = pickle.loads(pickle.dumps(q))
    numpy.testing.assert_array_equal(numpy.array(list(again)), numpy.array(list(q)))

    it = quorin.batches(scores, size=7, log=True)
    next(it)
    state = it.__reduce__()[1]
    assert len(state) == 9 and state[-1] is True
    resumed = pickle.loads(pickle.dumps(it))
    numpy.testing.assert_array_equal(drain(resumed)[0], drain(it)[0])
    # Probability iterators keep their eight-item state, which loads as ever.
    plain = quorin.batches([[0.5, 0.25, 0.25], [0.9, 0.1]], size=2)
    next(plain)
    assert len(plain.__reduce__()[1]) == 8
    numpy.testing.assert_array_equal(drain(pickle.loads(pickle.dumps(plain)))[0], [[2, 0], [0, 1], [1, 1], [2, 1]])


def test_cost_bound_deep_down_against_count():
    rng = numpy.random.default_rng(8)
    scores = numpy.log(rng.gamma(0.3, size=(16, 256)) + 1e-300)
    # Past 2**50: the least cost whose count's lower bound reaches n.
    for n in (2**60, 2**100):
        c = quorin.cost_bound(scores, n, log=True)
        assert quorin.count(scores, c, log=True, exact_up_to=0).low >= n
        assert quorin.count(scores, math.nextafter(c, -math.inf), log=True, exact_up_to=0).high >= n // 2
        assert quorin.count(scores, math.nextafter(c, -math.inf), log=True, exact_up_to=0, bits=0.5).low < n
    assert quorin.cost_bound(scores, 2**60, log=True) < quorin.cost_bound(scores, 2**100, log=True)
    with pytest.raises(ValueError, match="n must not be negative"):
        quorin.cost_bound(scores, -1, log=True)
