"""Exact enumeration orders (including how ties are broken) and a brute-force check."""

import itertools

import numpy as np
import pytest

from conftest import Enumerator, assert_best_first, configurations, drain

KNOWN_SEQUENCES = {
    "two by two": (
        [[0.2, 0.8], [0.1, 0.9]],
        [[1, 1], [0, 1], [1, 0], [0, 0]],
    ),
    "ragged": (
        [[0.5, 0.3, 0.2], [0.7, 0.3]],
        [[0, 0], [1, 0], [0, 1], [2, 0], [1, 1], [2, 1]],
    ),
    "three tied rows": (
        [[0.5, 0.5]] * 3,
        [[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0], [0, 0, 1], [1, 0, 1], [0, 1, 1], [1, 1, 1]],
    ),
    "two tied rows of four": (
        [[0.25] * 4] * 2,
        [[0, 0], [1, 0], [0, 1], [2, 0], [1, 1], [3, 0], [0, 2], [2, 1],
         [3, 1], [1, 2], [2, 2], [0, 3], [1, 3], [3, 2], [2, 3], [3, 3]],
    ),
    "single row": ([[0.3, 0.7]], [[1], [0]]),
    "seventeen tied columns": (
        [[1 / 17] * 17],
        [[c] for c in [8, 16, 15, 14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1]],
    ),
    # One configuration, or none to choose: handed out once, then exhaustion.
    "one entry": ([[1.0]], [[0]]),
    "one column per row": ([[0.4], [0.7]], [[0, 0]]),
    "one column, above one": ([[3.0], [0.0], [2.0]], [[0, 0, 0]]),
    "no rows": ([], [[]]),
    # Probability zero: produced once, after every positive configuration.
    "zero in a row of three": ([[1.0], [0.5, 0.5, 0.0]], [[0, 0], [0, 1], [0, 2]]),
    "zero in a row of two": ([[1.0], [0.5, 0.0]], [[0, 0], [0, 1]]),
    "zero among ties": ([[0.5, 0.5], [0.5, 0.0]], [[0, 0], [1, 0], [0, 1], [1, 1]]),
}


@pytest.mark.parametrize(
    "probs, expected", KNOWN_SEQUENCES.values(), ids=KNOWN_SEQUENCES.keys()
)
def test_known_sequences(probs, expected, cache):
    enumerator = Enumerator(probs, cache)
    assert drain(enumerator) == expected
    assert next(enumerator, None) is None


@pytest.mark.parametrize(
    "probs, expected", KNOWN_SEQUENCES.values(), ids=KNOWN_SEQUENCES.keys()
)
def test_known_sequences_through_copies(probs, expected, cache):
    enumerator = Enumerator(probs, cache)
    assert [a.tolist() for a in enumerator] == expected
    # A copy taken at each position continues from there.
    for position in range(len(expected)):
        assert [a.tolist() for a in iter(enumerator)] == expected[position:]
        assert next(enumerator).tolist() == expected[position]
    assert list(enumerator) == []


def test_seventeen_tied_rows_move_the_middle_row_then_the_last(cache):
    # From 17 tied rows on, the row sort no longer keeps equal rows in index order.
    enumerator = Enumerator([[0.5, 0.5]] * 17, cache)
    moved = [np.flatnonzero(next(enumerator)).tolist() for _ in range(3)]
    assert moved == [[], [8], [16]]


@pytest.mark.parametrize("rows", [16, 17, 18, 20])
def test_many_equal_rows_come_out_level_by_level(rows, cache):
    # 2**rows configurations would take too long: check the ones moving at most two rows.
    enumerator = Enumerator([[0.6, 0.4]] * rows, cache)
    count = 1 + rows + rows * (rows - 1) // 2
    first = [next(enumerator).tolist() for _ in range(count)]
    assert first[0] == [0] * rows
    assert [sum(c) for c in first] == sorted(sum(c) for c in first)
    assert len({tuple(c) for c in first}) == count
    assert max(sum(c) for c in first) == 2
    assert sum(next(enumerator)) == 3


def test_many_tied_columns_give_each_column_once(cache):
    probs = [[0.05] * 20, [0.5, 0.5]]
    sequence = configurations(probs, cache)
    assert_best_first(probs, sequence)


VALUE_POOL = [0.0, 0.1, 0.2, 0.25, 0.5, 0.5, 0.7, 1.0, 1.5, 3.0]


def random_matrix(seed, max_rows=5, max_columns=4):
    rng = np.random.default_rng(seed)
    rows = int(rng.integers(1, max_rows + 1))
    return [
        [float(v) for v in rng.choice(VALUE_POOL, size=int(rng.integers(1, max_columns + 1)))]
        for _ in range(rows)
    ]


@pytest.mark.parametrize("seed", range(60))
def test_random_matrices_against_brute_force(seed):
    probs = random_matrix(seed)
    with_cache = configurations(probs, True)
    without_cache = configurations(probs, False)
    assert with_cache == without_cache
    assert_best_first(probs, with_cache)


@pytest.mark.parametrize("seed", range(5))
def test_larger_random_matrices_against_brute_force(seed):
    probs = random_matrix(1000 + seed, max_rows=7, max_columns=5)
    with_cache = configurations(probs, True)
    assert with_cache == configurations(probs, False)
    assert_best_first(probs, with_cache)


def test_continuous_probabilities_against_brute_force(cache):
    rng = np.random.default_rng(7)
    for _ in range(20):
        probs = [list(rng.dirichlet(np.ones(rng.integers(1, 5)))) for _ in range(rng.integers(1, 6))]
        assert_best_first(probs, configurations(probs, cache))


def test_single_row_comes_out_sorted_by_probability(cache):
    row = [0.05, 0.3, 0.1, 0.2, 0.35]
    assert configurations([row], cache) == [[4], [1], [3], [2], [0]]


def test_scaling_a_row_does_not_change_the_order(cache):
    # Multiplying a row by a power of two adds an exact constant to every cost.
    probs = [[0.5, 0.3, 0.2], [0.7, 0.2, 0.1], [0.6, 0.4]]
    scaled = [[p * 4 for p in probs[0]], probs[1], [p / 8 for p in probs[2]]]
    assert configurations(scaled, cache) == configurations(probs, cache)


def test_permuting_columns_permutes_results(cache):
    probs = [[0.5, 0.3, 0.2], [0.6, 0.1, 0.3]]
    permutation = [2, 0, 1]
    permuted = [[row[j] for j in permutation] for row in probs]
    original = configurations(probs, cache)
    # Column j of the permuted matrix is column permutation[j] of the original.
    mapped = [[permutation[j] for j in c] for c in configurations(permuted, cache)]
    assert mapped == original


def test_exhaustive_orders_for_tiny_tied_matrices(cache):
    # Every matrix of up to three rows of up to two entries from a tiny pool, ties included.
    pool = [0.0, 0.5, 1.0]
    rows = [list(r) for n in (1, 2) for r in itertools.product(pool, repeat=n)]
    for count in (1, 2):
        for probs in itertools.product(rows, repeat=count):
            probs = [list(r) for r in probs]
            assert_best_first(probs, configurations(probs, cache))
