"""quorin.batches hands out exactly the pinned stretches of the cost order, at the top and
far down, on one thread and on two, in batches of any size."""

import pytest

import quorin
from window_digest_cases import cases, digest_of, matrix


@pytest.mark.parametrize("case", cases(), ids=lambda c: c[0])
def test_pinned_stretches(case):
    name, kind, rows, min_cols, max_cols, seed, start, count, expected = case
    probs = matrix(kind, rows, min_cols, max_cols, seed)
    for threads, size in [(2, 2**16), (1, 100_003)]:
        got = _regrouped(probs, start, count, threads, size)
        assert got == (count, expected), (name, threads, size)


def _regrouped(probs, start, count, threads, size):
    """The digest of batches of `size`, regrouped into batches of 2**16 as recorded (the
    digest hashes batch by batch)."""
    import numpy as np

    columns, costs = [], []
    for batch in quorin.batches(probs, size=size, start=start, stop=start + count, threads=threads):
        columns.append(batch.columns)
        costs.append(batch.costs)
    columns, costs = np.concatenate(columns), np.concatenate(costs)
    step = 2**16
    return digest_of(quorin.Batch(columns[i:i + step], costs[i:i + step]) for i in range(0, len(costs), step))
