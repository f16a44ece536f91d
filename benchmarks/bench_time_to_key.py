#!/usr/bin/env python3
"""What a user of the key search waits for: the time until a planted AES-128 key comes back
with its exact rank, by depth, on easy and hard matrices.

For each matrix (benchmarks/matrices.py: gamma(0.3), gamma(1.0) and a Hamming-weight
template attack, 16 x 256, seed --seed) and each depth 2^k of --depths, the key is the
configuration at position 2^k + 2^--log2-offset; the search runs from 2^k to 2^(k+1) with
first=True and the defaults (quorin.AES128 as the test, workers=None: in this process on
every core). One line of JSON per run:

  locate      seconds to locate position 2^k alone (what any search from there pays first)
  search      seconds of quorin.search until the key is back, its rank checked exactly
  search_locating, search_after_locating
              the search's own locating of 2^k, and the rest of it
  budget      the issue's target for that depth: the search's own locating + 1.5 x the
              search at the shallowest depth measured

A first line gives the fused rate: keys per second of the AES-128 tester inside the walk on
every core (a range of 2^--log2-rate from 2^28 holding no key), and the time both cores
need to test 2^offset keys at that rate. With --throughput-depths, the same long search's
rate from each of those depths on each matrix (past locating its start; finding its stop
counts), and its ratio to the rate from 2^28.

    python3 benchmarks/bench_time_to_key.py                          # 2^28, 2^32, 2^36
    python3 benchmarks/bench_time_to_key.py --depths 28 32 36 40 --matrices hamming
"""

import argparse
import json
import os
import sys
import time

import quorin

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrices import MATRIX_KINDS  # noqa: E402

PLAINTEXT = bytes(range(16))


def fused_rate(probs, log2_count, start=2**28):
    """Keys per second of a whole range from ``start`` with no key in it (a long search,
    without first=True), past the search's own locating of its start (what any search from
    there pays first); finding its stop counts."""
    absent = quorin.AES128(PLAINTEXT, quorin.AES128.encrypt(bytes(16), PLAINTEXT))
    located = []
    original = _timing(located)
    began = time.perf_counter()
    try:
        quorin.search(probs, absent, start=start, stop=start + 2**log2_count)
    finally:
        quorin._core._locate = original
    seconds = time.perf_counter() - began
    return 2**log2_count / (seconds - sum(t for position, t in located if position == start))


def _timing(record):
    """Replaces quorin._core._locate with a wrapper adding (position, seconds) of each call
    to ``record``; returns the original."""
    original = quorin._core._locate

    def timed(probs, position, *args, **kwargs):
        began = time.perf_counter()
        try:
            return original(probs, position, *args, **kwargs)
        finally:
            record.append((position, time.perf_counter() - began))

    quorin._core._locate = timed
    return original


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[28, 32, 36])
    parser.add_argument("--matrices", nargs="+", default=list(MATRIX_KINDS), choices=list(MATRIX_KINDS))
    parser.add_argument("--log2-offset", type=int, default=27)
    parser.add_argument("--log2-rate", type=int, default=28)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--throughput-depths", type=int, nargs="*", default=[])
    parser.add_argument("--output", help="also write the lines to this file (JSON list)")
    args = parser.parse_args()
    lines = []

    def emit(record):
        lines.append(record)
        print(json.dumps(record), flush=True)

    offset = 2**args.log2_offset
    rate = fused_rate(MATRIX_KINDS["gamma0.3"](args.seed), args.log2_rate)
    emit({"fused_keys_per_second": round(rate), "seconds_for_offset_keys": round(offset / rate, 2),
          "log2_offset": args.log2_offset, "cores": os.cpu_count()})
    for name in args.matrices:
        probs = MATRIX_KINDS[name](args.seed)
        first = None
        for k in sorted(args.depths):
            start = 2**k
            began = time.perf_counter()
            quorin._core._locate(probs, start)
            locate = time.perf_counter() - began
            at = start + offset
            key = next(iter(quorin.batches(probs, size=1, start=at, stop=at + 1))).columns[0]
            tester = quorin.AES128(PLAINTEXT, quorin.AES128.encrypt(bytes(int(c) for c in key), PLAINTEXT))
            located = []
            locate_in_search = _timing(located)
            began = time.perf_counter()
            try:
                hits = quorin.search(probs, tester, start=start, stop=2 * start, first=True)
            finally:
                quorin._core._locate = locate_in_search
            seconds = time.perf_counter() - began
            own = seconds - sum(t for _, t in located)
            if [h.rank for h in hits] != [at + 1]:
                sys.exit(f"bench_time_to_key: {name} at 2^{k} found {hits}, not the key at rank {at + 1}")
            first = seconds if first is None else first
            # The search locates its start too: its own locating time stands for "the time
            # it takes to locate 2^k" (a locate deep down varies by tens of seconds between
            # runs).
            emit({"matrix": name, "log2_start": k, "locate": round(locate, 2), "search": round(seconds, 2),
                  "search_locating": round(seconds - own, 2), "search_after_locating": round(own, 2),
                  "budget": round(seconds - own + 1.5 * first, 2), "within": own <= 1.5 * first})
    for name in args.matrices if args.throughput_depths else []:
        probs = MATRIX_KINDS[name](args.seed)
        base = None
        for k in sorted(set(args.throughput_depths) | {28}):
            keys = fused_rate(probs, args.log2_rate, 2**k)
            base = keys if base is None else base
            emit({"matrix": name, "log2_start": k, "throughput_keys_per_second": round(keys),
                  "ratio_to_2^28": round(keys / base, 2)})
    if args.output:
        with open(args.output, "w") as f:
            json.dump(lines, f, indent=1)


if __name__ == "__main__":
    main()
