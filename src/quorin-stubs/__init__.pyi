"""Lazy best-first enumeration of joint configurations of independent categorical variables."""

from collections.abc import Sequence
from typing import Any, NamedTuple, SupportsFloat, SupportsIndex

import numpy
import numpy.typing

class quorin:
    """Iterator over every configuration of ``probs``, most probable first.

    Row i of ``probs`` (a sequence of sequences of numbers, or a two-dimensional NumPy
    array) holds the probabilities of variable i's values. Each ``next()``
    returns a fresh one-dimensional ``numpy.int32`` array: the chosen column of every row;
    ``next_batch(k)`` returns the next k at once, with their costs.
    ``iter()``, ``copy.copy()`` and ``copy.deepcopy()`` return an independent copy that
    starts at the current position; ``pickle`` saves and restores the complete state.
    """

    def __init__(
        self,
        probs: Sequence[Sequence[SupportsFloat | SupportsIndex]] | numpy.typing.NDArray[Any],
        cache_assignments: bool = True,
        *,
        log: bool = False,
    ) -> None: ...
    def __iter__(self) -> quorin: ...
    def __next__(self) -> numpy.typing.NDArray[numpy.int32]: ...
    def next_batch(self, k: SupportsIndex) -> Batch:
        """The next ``min(k, left)`` configurations (``columns``, int32, shape ``(m, rows)``)
        and their costs (``costs``, float64, shape ``(m,)``), advancing like ``m`` calls of
        ``next()``; an empty batch once exhausted. ``k`` is an int (a bool counts as 0 or 1,
        NumPy integers are accepted) and at least 0."""
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
    *,
    log: bool = False,
) -> BatchIterator:
    """The configurations at positions ``start`` .. ``stop - 1`` of the cost order (cost,
    then columns in lexicographic order; zero probabilities last), ``size`` per batch."""

# Searches over ranges of the cost order

import concurrent.futures
import os
from collections.abc import Callable, Iterable
from typing import Protocol

_Probs = Sequence[Sequence[SupportsFloat | SupportsIndex]] | numpy.typing.NDArray[Any]
_Test = Callable[
    [numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.float64]],
    numpy.typing.ArrayLike,
]

class _DaskClient(Protocol):
    def get_executor(self, **kwargs: Any) -> Any: ...
    def nthreads(self, *args: Any, **kwargs: Any) -> Any: ...

_Bound = tuple[float, tuple[int, ...]]

class Task(NamedTuple):
    """The configurations of the cost order of ``probs`` from bound ``lower`` (included) to
    bound ``upper`` (excluded; None: to the end). A bound ``(cost, columns)`` stands before
    the configurations of greater cost and those of cost ``cost`` whose columns are not
    lexicographically below ``columns``. Small, picklable, self-contained."""

    id: int
    probs: numpy.typing.NDArray[numpy.float64] | tuple[numpy.typing.NDArray[numpy.float64], ...]
    lower: _Bound
    upper: _Bound | None
    log: bool = False

class Hit(NamedTuple):
    """A configuration the test accepted, with its exact 1-based rank in the cost order."""

    rank: int
    columns: tuple[int, ...]
    cost: float

class TaskHit(NamedTuple):
    """A configuration the test accepted in one task, with its 0-based index in the task."""

    index: int
    columns: tuple[int, ...]
    cost: float

class TaskResult(NamedTuple):
    """How many configurations task ``id`` tested, and its hits by index in the task."""

    id: int
    tested: int
    hits: list[TaskHit]
    def ranked(self, before: int) -> list[Hit]:
        """The hits with exact ranks, ``before`` being the number of configurations before
        the task in the cost order (``start`` plus what every earlier task tested)."""

_MapLike = Callable[[Callable[[Task], TaskResult], Iterable[Task]], Iterable[TaskResult]]

def plan(
    probs: _Probs,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None,
    task_size: SupportsIndex = ...,
    log: bool = False,
) -> list[Task]:
    """The tasks covering positions ``start`` .. ``stop - 1``, each starting where the
    previous one ends, about ``task_size`` configurations each."""
def run_task(
    task: Task, test: _Test, *, threads: SupportsIndex = 1, batch_size: SupportsIndex = ...
) -> TaskResult:
    """Runs ``test`` on every configuration of ``task``; what it tested and its hits."""
def search(
    probs: _Probs,
    test: _Test,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None,
    workers: SupportsIndex | concurrent.futures.Executor | _DaskClient | _MapLike | None = None,
    task_size: SupportsIndex | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    progress: bool = False,
    first: bool = False,
    log: bool = False,
) -> list[Hit]:
    """The configurations at positions ``start`` .. ``stop - 1`` that ``test`` accepts, by
    rank."""

class CountBounds(tuple[int, int]):
    """Bounds ``low <= value <= high`` on a rank or a count; unpacks as ``low, high``."""

    def __new__(cls, low: int, high: int) -> CountBounds: ...
    @property
    def low(self) -> int: ...
    @property
    def high(self) -> int: ...
    @property
    def exact(self) -> bool: ...
    @property
    def bits(self) -> float: ...
    @property
    def estimate(self) -> int: ...

def rank(
    probs: Sequence[Sequence[SupportsFloat | SupportsIndex]] | numpy.typing.NDArray[Any],
    columns: Sequence[SupportsIndex] | numpy.typing.NDArray[numpy.integer[Any]] | bytes | bytearray,
    *,
    exact_up_to: int = ...,
    bits: float = 0.125,
    log: bool = False,
) -> CountBounds:
    """Bounds on the 1-based rank of ``columns`` in the cost order: exact (``low == high``)
    when the rank is at most ``exact_up_to``, else refined towards ``high <= low * 2**bits``,
    the ratio reached in the result's ``bits``."""

def count(
    probs: Sequence[Sequence[SupportsFloat | SupportsIndex]] | numpy.typing.NDArray[Any],
    cost: SupportsFloat | SupportsIndex,
    *,
    exact_up_to: int = ...,
    bits: float = 0.125,
    log: bool = False,
) -> CountBounds:
    """Bounds on the number of configurations of cost at most ``cost``, with the rules of
    :func:`rank`; ``cost = inf`` gives every configuration."""

def cost_bound(
    probs: Sequence[Sequence[SupportsFloat | SupportsIndex]] | numpy.typing.NDArray[Any],
    n: SupportsIndex,
    *,
    log: bool = False,
) -> float:
    """The least cost whose count reaches ``n`` (the cost of the configuration of rank ``n``)."""

# Native testers

_Block = bytes | bytearray | str | numpy.typing.NDArray[numpy.integer[Any]]

class _Tester:
    """``quorin._core.Tester``: a test of configurations that runs in native code (made by
    its subclasses)."""

    def __call__(
        self,
        columns: numpy.typing.ArrayLike,
        costs: numpy.typing.ArrayLike | None = None,
    ) -> numpy.typing.NDArray[numpy.int64]:
        """The indices (ascending) of the configurations of ``columns`` that pass."""
    def check_shape(self, probs_row_lengths: Sequence[SupportsIndex]) -> None:
        """Raises ValueError when a matrix of rows of these lengths cannot be tested."""
    @property
    def unique(self) -> bool:
        """Whether a hit is the only one there is: a search stops at it."""

class AES128(_Tester):
    """AES-128 known-plaintext test: configurations of a 16-row matrix are keys (column j of
    row i: key byte i = j); a key passes when it encrypts every plaintext to its ciphertext.
    ``plaintext``/``ciphertext``: one block (16 bytes, a uint8 array of shape (16,), or 32 hex
    digits) or several (an array of shape (k, 16) or a sequence of blocks)."""

    def __init__(
        self,
        plaintext: _Block | Sequence[_Block],
        ciphertext: _Block | Sequence[_Block],
        implementation: str = "automatic",
    ) -> None: ...
    @property
    def plaintexts(self) -> tuple[bytes, ...]: ...
    @property
    def ciphertexts(self) -> tuple[bytes, ...]: ...
    @property
    def implementation(self) -> str:
        """The implementation in use: "portable", "aesni", "vaes256" or "vaes512"."""
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...
    @staticmethod
    def encrypt(key: _Block, plaintext: _Block, implementation: str = "automatic") -> bytes:
        """The AES-128 encryption of one block, as bytes."""
    @staticmethod
    def available(implementation: str) -> bool:
        """Whether this CPU and this build can run that implementation."""
