"""The cost order by brute force, for small matrices: every configuration with its cost,
sorted with Python's sorted by (cost, columns). `batches` hands it out with the contract of
quorin.batches (positions start .. stop - 1, `size` per batch, `position`, picklable), so
code built on quorin.batches can be checked against it."""

import itertools
import operator

import numpy as np

import quorin
from conftest import configuration_cost as cost


def cost_order(probs):
    """[(cost, columns)] of every configuration of `probs`, in the cost order."""
    rows = [[float(p) for p in row] for row in probs]
    every = itertools.product(*(range(len(row)) for row in rows))
    return sorted((cost(rows, columns), columns) for columns in every)


def _integer(name, value, allow_none=False):
    if value is None and allow_none:
        return None
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    return value


class OracleBatches:
    """An iterator of quorin.Batch over positions start .. stop - 1 of the cost order."""

    def __init__(self, probs, size=2**20, start=0, stop=None, threads=None):
        size = _integer("size", size)
        start = _integer("start", start)
        stop = _integer("stop", stop, allow_none=True)
        threads = _integer("threads", threads, allow_none=True)
        for name, value, least in (("size", size, 1), ("start", start, 0),
                                   ("stop", stop, 0), ("threads", threads, 1)):
            if value is not None and value < least:
                raise ValueError(f"{name} is {value}: it must be at least {least}")
        quorin._core._check_matrix(probs)  # the checks of quorin.batches: a row of zeros only is refused
        self.rows = len(probs)
        self.order = cost_order(probs)
        self.size = size
        self.position = start
        self.stop = len(self.order) if stop is None else min(stop, len(self.order))

    def __iter__(self):
        return self

    def __next__(self):
        if self.position >= self.stop:
            raise StopIteration
        part = self.order[self.position : min(self.position + self.size, self.stop)]
        self.position += len(part)
        columns = np.array([c for _, c in part], dtype=np.int32).reshape(len(part), self.rows)
        costs = np.array([c for c, _ in part], dtype=np.float64)
        return quorin.Batch(columns, costs)


def batches(probs, size=2**20, start=0, stop=None, threads=None):
    return OracleBatches(probs, size, start, stop, threads)
