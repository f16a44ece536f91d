"""Stretches of the cost order pinned by the sha256 of their output.

tests/data/window_digests.txt lists the cases: a matrix made by the generator of
digest_cases (plus a "skewed" kind, uniform draws to the fourth power, as peaked as a
side-channel attack's rows), a start position and a number of configurations. The digest is
the sha256 of every batch's columns (little-endian int32, row after row) followed by its
costs (little-endian float64), batch after batch.
"""

import hashlib
import pathlib

from digest_cases import SplitMix64, matrix as tie_matrix

DIGEST_FILE = pathlib.Path(__file__).resolve().parent.parent / "data" / "window_digests.txt"


def matrix(kind, rows, min_cols, max_cols, seed):
    if kind != "skewed":
        return tie_matrix(kind, rows, min_cols, max_cols, seed)
    rng = SplitMix64(seed)
    probs = []
    for _ in range(rows):
        length = min_cols + rng.below(max_cols - min_cols + 1)
        row = []
        for _ in range(length):
            u = rng.uniform()
            row.append(u * u * u * u)  # exact products: the same on every platform
        probs.append(row)
    return probs


def cases():
    """(name, kind, rows, min_cols, max_cols, seed, start, count, sha256) per case."""
    found = []
    for line in DIGEST_FILE.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        name, kind, rows, min_cols, max_cols, seed, start, count, digest = line.split()
        found.append((name, kind, int(rows), int(min_cols), int(max_cols), int(seed), int(start), int(count),
                      digest))
    return found


def digest_of(batches):
    """(configurations, sha256 hex) of an iterable of quorin.Batch."""
    sha = hashlib.sha256()
    total = 0
    for columns, costs in batches:
        sha.update(columns.astype("<i4").tobytes())
        sha.update(costs.astype("<f8").tobytes())
        total += len(costs)
    return total, sha.hexdigest()
