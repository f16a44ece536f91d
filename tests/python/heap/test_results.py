"""The arrays handed out by next(): type, layout, ownership and independence."""

import gc

import numpy as np
import pytest

from conftest import Enumerator, configurations, drain, drain_arrays

MATRICES = {
    "two rows": [[0.2, 0.8], [0.1, 0.9]],
    "ragged": [[0.5, 0.3, 0.2], [0.7, 0.3]],
    "single row": [[0.3, 0.7]],
    "one configuration": [[0.4], [0.7]],
    "no rows": [],
    "with zeros": [[0.5, 0.5], [0.5, 0.0]],
    "many rows": [[0.6, 0.4]] * 9,
}


@pytest.mark.parametrize("probs", MATRICES.values(), ids=MATRICES.keys())
def test_every_result_is_a_fresh_owning_int32_vector(probs, cache):
    results = drain_arrays(Enumerator(probs, cache))
    assert results
    for array in results:
        assert type(array) is np.ndarray
        assert array.dtype == np.dtype(np.int32)
        assert array.ndim == 1
        assert array.shape == (len(probs),)
        assert array.flags.writeable
        assert array.flags.owndata
        assert array.base is None
        assert array.flags.c_contiguous
        assert all(0 <= column < len(row) for column, row in zip(array.tolist(), probs))
    # All results are alive at once here, so equal ids would mean a reused object.
    assert len({id(array) for array in results}) == len(results)
    for earlier, later in zip(results, results[1:]):
        assert not np.shares_memory(earlier, later)


@pytest.mark.parametrize("probs", MATRICES.values(), ids=MATRICES.keys())
def test_writing_into_results_changes_no_later_result(probs, cache):
    expected = configurations(probs, cache)
    enumerator = Enumerator(probs, cache)
    copy = iter(enumerator)
    seen = []
    for array in drain_arrays(enumerator):
        seen.append(array.tolist())
        array[:] = 12345
    assert seen == expected
    # The copy shares nothing with the instance whose results were overwritten.
    assert drain(copy) == expected


def test_results_outlive_their_enumerator(cache):
    enumerator = Enumerator([[0.1, 0.2, 0.7]] * 3, cache)
    first, second = next(enumerator), next(enumerator)
    del enumerator
    gc.collect()
    # Garbage from freed memory would show here, and if the arrays pointed into the
    # enumerator this would also be a use after free.
    filler = [Enumerator([[0.5, 0.5]] * 3) for _ in range(50)]
    for f in filler:
        drain(f)
    assert first.tolist() == [2, 2, 2]
    assert second.tolist() in ([1, 2, 2], [2, 1, 2], [2, 2, 1])


def test_results_of_empty_matrix_are_empty_int32_vectors(cache):
    (only,) = drain_arrays(Enumerator([], cache))
    assert only.dtype == np.dtype(np.int32)
    assert only.shape == (0,)
    assert only.flags.writeable and only.flags.owndata
