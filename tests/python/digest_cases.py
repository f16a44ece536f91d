"""Long enumerations pinned by the sha256 of their output.

tests/data/digests.txt lists the cases; the C++ tests read the same file and build the
same matrices with the same generator (tests/cpp/digest_cases.h), so both languages, every
build and every toolchain must hand out exactly the recorded sequences.

The digest is the sha256 of the concatenated configurations, each as little-endian int32.
"""

import hashlib
import pathlib

DIGEST_FILE = pathlib.Path(__file__).resolve().parent.parent / "data" / "digests.txt"

MASK = (1 << 64) - 1

# Probability levels of the tie-heavy kinds; repeated values make long runs of equal costs.
LEVELS = {
    "levels": [0.5, 0.25, 0.125, 0.0625, 0.25, 0.5],
    "zeros": [0.0, 0.5, 0.25, 0.125, 0.5],
    "equal": [0.5],
}


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def uniform(self):
        """A double in (0, 1), exact on every platform."""
        return ((self.next() >> 11) + 0.5) * 2.0**-53

    def below(self, n):
        return self.next() % n


def matrix(kind, rows, min_cols, max_cols, seed):
    rng = SplitMix64(seed)
    probs = []
    for _ in range(rows):
        length = min_cols + rng.below(max_cols - min_cols + 1)
        if kind == "uniform":
            probs.append([rng.uniform() for _ in range(length)])
        else:
            levels = LEVELS[kind]
            probs.append([levels[rng.below(len(levels))] for _ in range(length)])
    return probs


def cases():
    """(name, kind, rows, min_cols, max_cols, seed, limit, count, sha256) per case."""
    found = []
    for line in DIGEST_FILE.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        name, kind, rows, min_cols, max_cols, seed, limit, count, digest = line.split()
        found.append((name, kind, int(rows), int(min_cols), int(max_cols), int(seed),
                      int(limit), int(count), digest))
    return found


def digest_of(enumerator, limit):
    """(configurations taken, sha256 hex) of the first `limit` configurations."""
    sha = hashlib.sha256()
    count = 0
    for _ in range(limit):
        try:
            configuration = next(enumerator)
        except StopIteration:
            break
        sha.update(configuration.astype("<i4").tobytes())
        count += 1
    return count, sha.hexdigest()
