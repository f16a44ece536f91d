#!/usr/bin/env python3
"""Throughput of a key search with the native AES-128 tester, fused with the walk, against
the same search with a test that does nothing and with a vectorised NumPy AES-128 test.

On a seeded 16 x 256 matrix (rows from gamma(0.3), normalised; benchmarks/matrices.py), the
range of --log2-count configurations from position 2^--log2-start, in tasks of 2^25, in this
process (workers=1: every task walked on every core), one line of JSON per test:

  aes128      quorin.AES128(pt, ct): tested inside the walk, in C++, no Python per batch
  nothing     a Python test that accepts nothing (the price of the walk and the batches)
  numpy-aes   benchmarks/numpy_aes.py's vectorised test, over 2^--log2-numpy configurations
              only (it is slow); its throughput is what counts

The planted key (the configuration at a known position of the range) must be found by the
AES tests at its exact rank; the aes128 line's throughput is that of the whole range with
a key from outside it (the tester's hit being unique, a search stops at the planted key). Targets: aes128 at least 0.75x `nothing`, at least 10x
numpy-aes.

    python3 benchmarks/bench_aes_search.py [--log2-start 32] [--log2-count 28] [--output FILE]
"""

import argparse
import json
import os
import sys
import time

import quorin

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrices import gamma_matrix  # noqa: E402
from numpy_aes import numpy_aes128_test  # noqa: E402


def nothing(columns, costs):
    return []


def timed(probs, test, start, count, task_size):
    began = time.perf_counter()
    hits = quorin.search(probs, test, start=start, stop=start + count, workers=1, task_size=task_size)
    return time.perf_counter() - began, hits


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--log2-start", type=int, default=32)
    parser.add_argument("--log2-count", type=int, default=28)
    parser.add_argument("--log2-numpy", type=int, default=22)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", help="also write the lines to this file (JSON list)")
    args = parser.parse_args()
    probs = gamma_matrix(0.3, args.seed)
    start, count = 2**args.log2_start, 2**args.log2_count
    plaintext = bytes(range(16))

    # The planted key: the configuration a little before the end of the numpy range.
    at = start + 2**args.log2_numpy - 1000
    key = next(iter(quorin.batches(probs, size=1, start=at, stop=at + 1))).columns[0]
    ciphertext = quorin.AES128.encrypt(bytes(int(c) for c in key), plaintext)
    aes = quorin.AES128(plaintext, ciphertext)
    task_size = 2**25

    # The AES-128 tester says its hit is unique, so a search stops at the planted key: its
    # throughput is measured over the whole range with a key from outside it, and the
    # planted key is found apart.
    absent = quorin.AES128(plaintext, quorin.AES128.encrypt(bytes(16), plaintext))
    found = quorin.search(probs, aes, start=start, stop=start + 2**args.log2_numpy, workers=1)
    assert [h.rank for h in found] == [at + 1], found
    results = []
    for name, test, n in [("aes128", absent, count), ("nothing", nothing, count),
                          ("numpy-aes", numpy_aes128_test(plaintext, ciphertext), 2**args.log2_numpy)]:
        seconds, hits = timed(probs, test, start, n, min(task_size, n))
        if name == "numpy-aes":
            assert [h.rank for h in hits] == [at + 1], (name, hits)
        results.append({"test": name, "configurations": n, "seconds": round(seconds, 3),
                        "per_second": round(n / seconds), "ns_per_configuration": round(seconds / n * 1e9, 1),
                        "start": start, "tester": aes.implementation if name == "aes128" else None})
        print(json.dumps(results[-1]), flush=True)
    rate = {r["test"]: r["per_second"] for r in results}
    results.append({"aes128_vs_nothing": round(rate["aes128"] / rate["nothing"], 2),
                    "aes128_vs_numpy_aes": round(rate["aes128"] / rate["numpy-aes"], 1)})
    print(json.dumps(results[-1]))
    if args.output:
        with open(args.output, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
