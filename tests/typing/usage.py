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
batches: quorin.BatchIterator = quorin.batches(probs, size=2, start=1, stop=None, threads=None)
for batch in batches:
    costs: npt.NDArray[np.float64] = batch.costs
    where: int = batches.position
