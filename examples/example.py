"""Rank the joint guesses of a 4-byte key, most probable first.

A side-channel attack leaves, for every key byte, a probability for each of its 256
values. quorin lists whole keys best first, lazily, so an attacker tests the most
likely keys first and stops as soon as one is right.
"""

import itertools
import math

import numpy as np

import quorin

rng = np.random.default_rng(2026)
scores = rng.gamma(0.3, size=(4, 256))          # one row per key byte
probs = scores / scores.sum(axis=1, keepdims=True)
secret = [int(np.argsort(-row)[i]) for row, i in zip(probs, (0, 2, 1, 5))]

guesses = quorin.quorin(probs)
for rank, key in enumerate(itertools.islice(guesses, 10), start=1):
    log_p = sum(math.log(probs[row, col]) for row, col in enumerate(key))
    print(f"{rank:2d}: key bytes {bytes(key.astype(np.uint8)).hex()}  log p = {log_p:.3f}")

# islice() and for loops iterate a copy, so this search starts again from the best guess.
for rank, key in enumerate(guesses, start=1):
    if key.tolist() == secret:
        print(f"the secret key {bytes(secret).hex()} is guess number {rank}")
        break
