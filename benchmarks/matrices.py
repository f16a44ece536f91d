"""Seeded probability matrices for benchmarks: rows drawn from a gamma distribution, and
the scores of a simulated Hamming-weight template attack on the 16 bytes of an AES key.

    from matrices import gamma_matrix, hamming_weight_matrix, MATRIX_KINDS
    probs = gamma_matrix(0.3, seed=1)          # 16 x 256, rows sum to 1
    probs = hamming_weight_matrix(seed=1)      # the same shape, from 30 simulated traces
"""

import numpy


def _sbox():
    """The AES S-box (FIPS-197, 5.1.1): the inverse in GF(2^8), then the affine map."""
    def multiply(a, b):
        product = 0
        while b:
            if b & 1:
                product ^= a
            a = ((a << 1) ^ (0x1B if a & 0x80 else 0)) & 0xFF
            b >>= 1
        return product

    inverse = [0] * 256
    for a in range(1, 256):
        for b in range(1, 256):
            if multiply(a, b) == 1:
                inverse[a] = b
                break
    box = []
    for a in range(256):
        x = inverse[a]
        y = x
        for shift in range(1, 5):
            y ^= ((x << shift) | (x >> (8 - shift))) & 0xFF
        box.append(y ^ 0x63)
    return numpy.array(box, dtype=numpy.uint8)


SBOX = _sbox()
HAMMING_WEIGHT = numpy.array([bin(v).count("1") for v in range(256)], dtype=numpy.float64)


def gamma_matrix(shape, seed, rows=16, columns=256):
    """Rows of gamma(shape) draws, each normalised to sum to 1 (a tiny floor keeps every
    entry positive)."""
    rng = numpy.random.default_rng(seed)
    probs = rng.gamma(shape, size=(rows, columns)) + 1e-12
    return probs / probs.sum(axis=1, keepdims=True)


def hamming_weight_matrix(seed, traces=30, sigma=1.5, rows=16):
    """A template attack on a random AES key: for every byte, `traces` random plaintext
    bytes p and leakages HW(Sbox[p ^ k]) + N(0, sigma^2); each candidate k' scores the sum of
    the Gaussian log-likelihoods of the leakages under HW(Sbox[p ^ k']), normalised into
    probabilities per row. Returns (probs, key)."""
    rng = numpy.random.default_rng(seed)
    key = rng.integers(0, 256, size=rows)
    candidates = numpy.arange(256)
    probs = numpy.empty((rows, 256))
    for row in range(rows):
        plaintexts = rng.integers(0, 256, size=traces)
        leakage = HAMMING_WEIGHT[SBOX[plaintexts ^ key[row]]] + rng.normal(0.0, sigma, size=traces)
        model = HAMMING_WEIGHT[SBOX[plaintexts[:, None] ^ candidates[None, :]]]  # traces x 256
        score = -((leakage[:, None] - model) ** 2).sum(axis=0) / (2.0 * sigma * sigma)
        weights = numpy.exp(score - score.max())
        probs[row] = weights / weights.sum()
    return probs, key


# The three kinds the counting benchmark measures, by name: a function of the seed.
MATRIX_KINDS = {
    "gamma0.3": lambda seed: gamma_matrix(0.3, seed),
    "gamma1.0": lambda seed: gamma_matrix(1.0, seed),
    "hamming": lambda seed: hamming_weight_matrix(seed)[0],
}
