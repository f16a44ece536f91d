"""Long enumerations hand out exactly the recorded sequences (tests/data/digests.txt)."""

import pytest

from conftest import Enumerator
from digest_cases import cases, digest_of, matrix


@pytest.mark.parametrize("case", cases(), ids=[c[0] for c in cases()])
def test_recorded_digest(case, cache):
    _, kind, rows, min_cols, max_cols, seed, limit, count, digest = case
    probs = matrix(kind, rows, min_cols, max_cols, seed)
    assert digest_of(Enumerator(probs, cache), limit) == (count, digest)
