"""Calls that `mypy --strict` must flag: a string for probs and for cache_assignments."""

import quorin

quorin.quorin("x", cache_assignments="no")
