"""The result of quorin.rank and quorin.count."""

import math


class CountBounds(tuple):
    """Bounds ``low <= value <= high`` on a rank or a count, both Python ints.

    It unpacks as the pair ``low, high`` (``low, high = quorin.rank(probs, key)``) and
    compares equal to that tuple; ``estimate`` is a value between them, ``exact`` tells
    whether they are equal and ``bits`` is their ratio in bits (``log2(high / low)``).
    """

    __slots__ = ()

    def __new__(cls, low, high):
        return super().__new__(cls, (low, high))

    def __getnewargs__(self):
        return (self[0], self[1])

    @property
    def low(self):
        """The lower bound."""
        return self[0]

    @property
    def high(self):
        """The upper bound."""
        return self[1]

    @property
    def exact(self):
        """Whether the value is known exactly (``low == high``)."""
        return self[0] == self[1]

    @property
    def bits(self):
        """``log2(high / low)``: 0.0 when exact, ``math.inf`` when only ``low`` is 0."""
        low, high = self
        if low == high:
            return 0.0
        if low == 0:
            return math.inf
        return math.log2(high) - math.log2(low)

    @property
    def estimate(self):
        """An int between the bounds: their geometric mean (the midpoint when ``low`` is 0)."""
        low, high = self
        if low == 0:
            return high // 2
        return min(high, max(low, math.isqrt(low * high)))

    def __repr__(self):
        return f"CountBounds(low={self[0]}, high={self[1]})"
