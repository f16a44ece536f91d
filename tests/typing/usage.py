"""Typed use of quorin: `mypy --strict` must accept this file as it stands."""

import itertools

import numpy as np
import numpy.typing as npt

import quorin

probs: list[list[float]] = [[0.1, 0.9], [0.5, 0.25, 0.25]]
q = quorin.quorin(probs, cache_assignments=False)
best: npt.NDArray[np.int32] = next(q)
rest: quorin.quorin = iter(q)
top: list[npt.NDArray[np.int32]] = list(itertools.islice(rest, 3))
for configuration in quorin.quorin(np.full((2, 3), 1 / 3)):
    column: int = int(configuration[0])
batch: quorin.Batch = q.next_batch(100)
columns: npt.NDArray[np.int32] = batch.columns
costs: npt.NDArray[np.float64] = batch.costs
while (block := q.next_batch(4096)).costs.size:
    cheapest: float = float(block.costs[0])
batches: quorin.BatchIterator = quorin.batches(probs, size=2, start=1, stop=None, threads=None)
for window in batches:
    window_costs: npt.NDArray[np.float64] = window.costs
    where: int = batches.position
tester = quorin.AES128(bytes(16), "66e94bd4ef8a2c3b884cfa59ca342b2e")
found: npt.NDArray[np.int64] = tester(np.zeros((3, 16), dtype=np.int32), None)
tester.check_shape([256] * 16)
pairs: tuple[bytes, ...] = tester.plaintexts
ciphertext: bytes = quorin.AES128.encrypt(bytes(16), np.zeros(16, dtype=np.uint8))
scores = np.log(np.full((16, 256), 1 / 256))
from_scores = quorin.quorin(scores, log=True)
low, high = quorin.rank(scores, bytes(16), bits=0.5, log=True)
bounds: quorin.CountBounds = quorin.count(scores, 100.0, log=True)
middle: int = bounds.estimate
reached: float = bounds.bits
budget: float = quorin.cost_bound(scores, 2**20, log=True)
