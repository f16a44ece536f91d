"""Lazy best-first enumeration of joint configurations of independent categorical variables."""

from collections.abc import Sequence
from typing import Any, NamedTuple, SupportsFloat, SupportsIndex

import numpy
import numpy.typing

class quorin:
    """Iterator over every configuration of ``probs``, most probable first.

    Row i of ``probs`` (a sequence of sequences of numbers, or a two-dimensional NumPy
    array) holds the probabilities of variable i's values. Each ``next()``
    returns a fresh one-dimensional ``numpy.int32`` array: the chosen column of every row.
    ``iter()``, ``copy.copy()`` and ``copy.deepcopy()`` return an independent copy that
    starts at the current position; ``pickle`` saves and restores the complete state.
    """

    def __init__(
        self,
        probs: Sequence[Sequence[SupportsFloat | SupportsIndex]] | numpy.typing.NDArray[Any],
        cache_assignments: bool = True,
    ) -> None: ...
    def __iter__(self) -> quorin: ...
    def __next__(self) -> numpy.typing.NDArray[numpy.int32]: ...
    def __copy__(self) -> quorin: ...
    def __deepcopy__(self, memo: dict[int, object]) -> quorin: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...

class Batch(NamedTuple):
    """Configurations handed out together, with their costs."""

    columns: numpy.typing.NDArray[numpy.int32]
    costs: numpy.typing.NDArray[numpy.float64]

class BatchIterator:
    """Iterator of ``Batch`` over positions ``start`` .. ``stop - 1`` of the cost order."""

    @property
    def position(self) -> int: ...
    def __iter__(self) -> BatchIterator: ...
    def __next__(self) -> Batch: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...

def batches(
    probs: Sequence[Sequence[SupportsFloat | SupportsIndex]] | numpy.typing.NDArray[Any],
    size: SupportsIndex = 1048576,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    threads: SupportsIndex | None = None,
) -> BatchIterator:
    """The configurations at positions ``start`` .. ``stop - 1`` of the cost order (cost,
    then columns in lexicographic order; zero probabilities last), ``size`` per batch."""
