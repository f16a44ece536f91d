"""Recover an AES-128 key from simulated side-channel leakage, then find it by search.

A first-round attack: the device encrypts random known plaintexts, and for each key byte
i it leaks the Hamming weight of Sbox[plaintext[i] ^ key[i]] with Gaussian noise. For
every candidate value of every key byte, a Gaussian template gives the log-likelihood of
the observed leakage, summed over the traces: a 16 x 256 matrix of log-likelihoods, which
quorin takes as it is (log=True) and normalises per row in the log domain, however many
nats a row spans. quorin.rank says how far down the cost order the true
key lies, and quorin.search tests keys best first against one known plaintext/ciphertext
pair with the native AES-128 tester until one encrypts correctly.

    python3 examples/aes_key_search.py                          # rank about 2^20: seconds
    python3 examples/aes_key_search.py --seed 4 --traces 80 --task-size 67108864
                                                                # rank about 2^30

The defaults (seed 10, 100 traces, noise 4) put the key near 2^20; more traces or less
noise bring it up, fewer traces or more noise push it down (--seed 4 --traces 80: near
2^30, a search of about a billion keys).
"""

import argparse
import math
import time

import numpy as np

import quorin


def aes_sbox():
    """The AES S-box from its definition: inverse in GF(2^8), then the affine map."""
    def times(a, b):
        product = 0
        while b:
            if b & 1:
                product ^= a
            a = ((a << 1) ^ 0x11B) if a & 0x80 else a << 1
            b >>= 1
        return product

    sbox = []
    for x in range(256):
        inverse = next((y for y in range(1, 256) if times(x, y) == 1), 0)
        s = 0x63
        for shift in range(5):
            s ^= ((inverse << shift) | (inverse >> (8 - shift))) & 0xFF
        sbox.append(s)
    return np.array(sbox)


SBOX = aes_sbox()
HAMMING_WEIGHT = np.array([bin(x).count("1") for x in range(256)])


def simulate_attack(rng, key, traces, noise):
    """The 16 x 256 log-likelihoods of the key bytes after `traces` noisy leakages."""
    plaintexts = rng.integers(0, 256, size=(traces, 16))
    leakage = HAMMING_WEIGHT[SBOX[plaintexts ^ key]] + noise * rng.standard_normal((traces, 16))
    candidates = np.arange(256)
    log_likelihood = np.empty((16, 256))
    for i in range(16):
        model = HAMMING_WEIGHT[SBOX[plaintexts[:, i, None] ^ candidates[None, :]]]  # traces x 256
        log_likelihood[i] = -((leakage[:, i, None] - model) ** 2).sum(axis=0) / (2 * noise**2)
    return log_likelihood


def log2_text(n):
    return f"2^{math.log2(n):.1f}" if n > 0 else "0"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=10, help="seed of the key, plaintexts and noise")
    parser.add_argument("--traces", type=int, default=100, help="number of leakage traces")
    parser.add_argument("--noise", type=float, default=4.0, help="standard deviation of the Gaussian noise")
    parser.add_argument("--budget", type=int, default=2**36,
                        help="search at most this many keys, best first (default 2^36)")
    parser.add_argument("--task-size", type=int, default=2**22,
                        help="keys per task of the search (default 2^22: a hit is reported when its "
                             "task ends, so small tasks stop a shallow search early; deep searches "
                             "run better with 2^26 and more)")
    parser.add_argument("--workers", type=int, default=None,
                        help="worker processes (default: one per core; 1: this process)")
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    key = rng.integers(0, 256, size=16)
    scores = simulate_attack(rng, key, args.traces, args.noise)
    print(f"true key        {bytes(key.tolist()).hex()}")
    print(f"most likely key {bytes(scores.argmax(axis=1).tolist()).hex()}")

    low, high = quorin.rank(scores, bytes(key.tolist()), log=True)
    rank_text = f"{low}" if low == high else f"between {low} and {high}"
    print(f"rank of the true key: {rank_text} (about {log2_text(low)})")

    # One known plaintext and its ciphertext under the true key.
    plaintext = rng.bytes(16)
    ciphertext = quorin.AES128.encrypt(bytes(key.tolist()), plaintext)
    tester = quorin.AES128(plaintext, ciphertext)
    print(f"known pair: {plaintext.hex()} -> {ciphertext.hex()} (AES-128 tester: {tester.implementation})")

    started = time.perf_counter()
    hits = quorin.search(scores, tester, stop=args.budget, workers=args.workers, task_size=args.task_size,
                         progress=True, first=True, log=True)
    seconds = time.perf_counter() - started
    if not hits:
        print(f"no key among the first {args.budget} ({log2_text(args.budget)}) in {seconds:.1f} s")
        return
    hit = hits[0]
    print(f"found key       {bytes(hit.columns).hex()} at rank {hit.rank} ({log2_text(hit.rank)}) "
          f"in {seconds:.1f} s")
    assert bytes(hit.columns) == bytes(key.tolist())


if __name__ == "__main__":
    main()
