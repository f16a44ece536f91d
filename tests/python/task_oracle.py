"""Brute-force stand-ins for the core's task functions (`_locate`, `_locate_after`, `_cuts`,
`_TaskWalk`),
built on the brute-force cost order, for small matrices. They keep the contract of the
core's and push its freedoms to the edge: cuts fall on configurations, on the start of a
cost and between two costs, some tasks are empty, batches come shuffled and ragged. A
search built on them must find exactly what it finds on the core."""

import random

import numpy as np

import quorin
from conftest import configuration_cost
from cost_order_oracle import cost_order


def _key(bound):
    cost, columns = bound
    return float(cost), tuple(int(c) for c in columns)


def _inside(entry, lower, upper):
    return _key(lower) <= entry and (upper is None or entry < _key(upper))


def _locate(probs, position):
    order = cost_order(probs)
    return order[position] if position < len(order) else None


def _locate_after(probs, lower, offset):
    """The core may hand a position over to `_locate`: this one does so every other time."""
    inside = [e for e in cost_order(probs) if _inside(e, lower, None)]
    if offset % 2 or offset >= len(inside):
        return None
    return inside[offset]


def _cuts(probs, lower, upper, task_size, most):
    inside = [e for e in cost_order(probs) if _inside(e, lower, upper)]
    zeros = (0,) * len(probs)
    cuts, last = [], _key(lower)
    for k in range(task_size, len(inside), task_size):
        cost, columns = inside[k]
        before = inside[k - 1][0]
        variant = random.Random(k * 7919 + task_size).randrange(4)
        if variant == 1:  # the start of this cost
            wanted = [(cost, zeros)]
        elif variant == 2 and before < cost:  # between two costs (as far as floats allow)
            wanted = [((before + cost) / 2, zeros)]
        elif variant == 3:  # the start of this cost, then the configuration: maybe empty
            wanted = [(cost, zeros), (cost, columns)]
        else:
            wanted = [(cost, columns)]
        for cut in wanted:
            if last < cut and (upper is None or cut < _key(upper)):
                cuts.append(cut)
                last = cut
    return cuts[:most]


class _TaskWalk:
    """Every configuration of [lower, upper) once, shuffled, in batches of at most
    batch_size (ragged)."""

    def __init__(self, probs, lower, upper, threads, batch_size):
        if threads < 1 or batch_size < 1:
            raise ValueError("threads and batch_size must be at least 1")
        self.probs = probs
        self.rows = len(probs)
        self.entries = [e for e in cost_order(probs) if _inside(e, lower, upper)]
        shuffled = list(self.entries)
        rng = random.Random(len(shuffled) * 31 + batch_size)
        rng.shuffle(shuffled)
        self.parts = []
        while shuffled:
            m = rng.randint(1, batch_size)
            self.parts.append(shuffled[:m])
            shuffled = shuffled[m:]
        self.parts.reverse()
        self.tested = 0

    def __iter__(self):
        return self

    def __next__(self):
        if not self.parts:
            raise StopIteration
        part = self.parts.pop()
        self.tested += len(part)
        columns = np.array([c for _, c in part], dtype=np.int32).reshape(len(part), self.rows)
        costs = np.array([c for c, _ in part], dtype=np.float64)
        return quorin.Batch(columns, costs)

    def index_of(self, columns):
        columns = tuple(int(c) for c in columns)
        entry = (configuration_cost(self.probs, columns), columns)
        return sum(1 for e in self.entries if e < entry)

    def indices_of(self, configurations):
        return [self.index_of(columns) for columns in configurations]

    def indices_later(self, configurations, threads=None):
        """Counted at once; result() hands them over (the core counts in the background)."""
        indices = self.indices_of(configurations)

        class Pending:
            def result(self):
                return indices

        return Pending()
