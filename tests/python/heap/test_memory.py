"""Running out of memory raises MemoryError and leaves the process usable."""

import gc
import os
import textwrap
import weakref

import pytest

from conftest import Enumerator, HugeLength, configurations, run_python

PROBS = [[0.2, 0.8], [0.1, 0.9]]


class Tracked(Enumerator):
    """Lets a test see whether a half-built instance is still alive after a failure."""

    last = None

    def __init__(self, probs):
        Tracked.last = weakref.ref(self)
        super().__init__(probs)


@pytest.mark.skipif(bool(os.environ.get("QUORIN_ASAN")),
                    reason="ASan aborts on an impossible allocation instead of throwing bad_alloc")
@pytest.mark.parametrize(
    "probs",
    [HugeLength([0.5, 0.5]), [[0.5], HugeLength(0.5)], [[0.5, 0.5]] * 3 + [HugeLength(1.0)]],
    ids=["rows", "columns", "columns of a later row"],
)
def test_absurd_length_raises_memory_error_and_builds_nothing(probs, cache):
    # No allocation of that size can succeed, whatever the machine.
    for _ in range(3):
        with pytest.raises(MemoryError):
            Enumerator(probs, cache)
    with pytest.raises(MemoryError):
        Tracked(probs)
    gc.collect()
    assert Tracked.last() is None
    # The process carries on as before.
    assert configurations(PROBS, cache) == [[1, 1], [0, 1], [1, 0], [0, 0]]


# Runs in a fresh interpreter: NumPy is imported and its C API loaded before the address
# space is limited; each check then lowers the limit to the current size plus a little
# headroom.
PRELUDE = textwrap.dedent(
    """
    import resource
    import numpy as np
    import quorin

    Q = quorin.quorin
    next(Q([[0.5, 0.5]]))

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    def limit_to(headroom):
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom, hard))

    def still_works():
        assert [a.tolist() for a in Q([[0.2, 0.8], [0.1, 0.9]])] == [[1, 1], [0, 1], [1, 0], [0, 0]]
    """
)

LARGE_MATRICES = textwrap.dedent(
    """
    matrices = {
        # 19 MB as doubles: converts within the limit, but the enumerator needs more.
        "list 600 x 4000": [[0.5] * 4000] * 600,
        # 96 MB as doubles: cannot even be converted.
        "list 3000 x 4000": [[0.25] * 4000] * 3000,
        # Allocated before the limit, so only the conversion counts against it.
        "numpy 1000 x 4000": np.full((1000, 4000), 0.5),
    }
    # One fixed ceiling for all attempts, so memory kept by the allocator after a failed
    # attempt cannot make room for a later one.
    limit_to(24 * 2**20)
    for name, probs in matrices.items():
        for cache in (True, False):
            try:
                Q(probs, cache)
            except MemoryError:
                pass
            else:
                raise AssertionError(name + " was built within the limit")
            still_works()
    print("ok")
    """
)

COPY_FAILS = textwrap.dedent(
    """
    probs = [[0.3, 0.25, 0.2, 0.15, 0.1]] * 10
    start = vm_size()
    source = Q(probs)
    steps = 0
    while vm_size() - start < 8 * 2**20:  # the copy below must not fit by accident
        for _ in range(10000):
            next(source)
        steps += 10000
    used = vm_size() - start
    twin = Q(probs)
    for _ in range(steps):
        next(twin)
    limit_to(used // 3)
    for _ in range(3):
        try:
            iter(source)
        except MemoryError:
            pass
        else:
            raise AssertionError("a copy was made within the limit")
    # The source neither moved nor broke.
    for _ in range(200):
        assert next(source).tolist() == next(twin).tolist()
    still_works()
    print("ok")
    """
)

NEXT_FAILS = textwrap.dedent(
    """
    probs = [[0.3, 0.25, 0.2, 0.15, 0.1]] * 10
    enumerator = Q(probs, CACHE)
    limit_to(12 * 2**20)
    produced = 0
    while True:
        try:
            next(enumerator)
        except MemoryError:
            break
        produced += 1
    assert produced > 1000, produced
    # Under the same limit, further calls fail again or hand out what was due; never crash.
    handed_out = []
    for _ in range(20):
        try:
            handed_out.append(next(enumerator).tolist())
        except MemoryError:
            pass
    # With memory back, the enumerator goes on exactly where it stood: nothing was lost.
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    handed_out += [next(enumerator).tolist() for _ in range(100)]
    fresh = Q(probs, CACHE)
    expected = [next(fresh).tolist() for _ in range(produced + len(handed_out))][produced:]
    assert handed_out == expected
    still_works()
    print("ok", produced)
    """
)


asan = pytest.mark.skipif(
    bool(os.environ.get("QUORIN_ASAN")), reason="AddressSanitizer cannot run under RLIMIT_AS"
)
linux_only = pytest.mark.skipif(
    not os.path.exists("/proc/self/status"), reason="needs /proc to size the limit"
)


def run_limited(script):
    # One BLAS thread keeps NumPy's own address-space reservation small and predictable.
    result = run_python(
        PRELUDE + script, extra_env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    )
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    assert result.stdout.startswith("ok"), result.stdout
    return result.stdout


@asan
@linux_only
def test_large_matrix_under_address_space_limit_raises_memory_error():
    run_limited(LARGE_MATRICES)


@asan
@linux_only
def test_failed_copy_under_address_space_limit_leaves_source_intact():
    run_limited(COPY_FAILS)


@asan
@linux_only
@pytest.mark.parametrize("cache_flag", ["True", "False"])
def test_next_under_address_space_limit_raises_memory_error(cache_flag):
    run_limited(NEXT_FAILS.replace("CACHE", cache_flag))
