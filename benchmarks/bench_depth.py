#!/usr/bin/env python3
"""How the cost-order engine keeps its speed with depth.

On 16 x 256 matrices of three kinds (benchmarks/matrices.py: rows from gamma(0.3), from
gamma(1.0), and a simulated Hamming-weight template attack), at each start position:

  batches   quorin.batches(size=2^20, threads): the first batch (which locates the start),
            then ns per configuration over --log2-count configurations after it
  task      a search task's walk of the next 2^25 configurations (the range from the
            start's bound to a cut of the weight table, in no particular order): its
            set-up (the first batch) and ns per configuration

One line of JSON per (kind, start); every figure from one run.

    python3 benchmarks/bench_depth.py [--depths 24 28 32 36] [--threads 2] [--output benchmarks/results/depth.json]
"""

import argparse
import json
import os
import sys
import time

import quorin
from quorin import _core

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrices import gamma_matrix, hamming_weight_matrix  # noqa: E402

KINDS = {
    "gamma0.3": lambda seed: gamma_matrix(0.3, seed),
    "gamma1.0": lambda seed: gamma_matrix(1.0, seed),
    "hamming": lambda seed: hamming_weight_matrix(seed)[0],
}


def batches_figures(probs, start, count, threads):
    began = time.perf_counter()
    it = quorin.batches(probs, size=2**20, start=start, stop=start + 2**20 + count, threads=threads)
    next(it)
    first = time.perf_counter() - began
    began, seen = time.perf_counter(), 0
    for batch in it:
        seen += len(batch.costs)
    return first, (time.perf_counter() - began) / seen * 1e9


def task_figures(probs, start, threads):
    lower = _core._locate(probs, start)
    upper = _core._cuts(probs, lower, None, 2**25, 1)[0]
    began = time.perf_counter()
    walk = _core._TaskWalk(probs, lower, upper, threads, 2**18)
    next(walk)
    setup = time.perf_counter() - began
    for _ in walk:
        pass
    return setup, (time.perf_counter() - began) / walk.tested * 1e9, walk.tested


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kinds", nargs="+", default=list(KINDS), choices=list(KINDS))
    parser.add_argument("--depths", nargs="+", type=int, default=[24, 28, 32, 36])
    parser.add_argument("--log2-count", type=int, default=22)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", help="also write the lines to this file (JSON list)")
    args = parser.parse_args()
    lines = []
    for kind in args.kinds:
        probs = KINDS[kind](args.seed)
        for depth in args.depths:
            first, per = batches_figures(probs, 2**depth, 2**args.log2_count, args.threads)
            setup, task_per, tested = task_figures(probs, 2**depth, args.threads)
            lines.append({"kind": kind, "start": f"2^{depth}", "threads": args.threads,
                          "batches_first_s": round(first, 2), "batches_ns": round(per, 1),
                          "task_setup_s": round(setup, 3), "task_ns": round(task_per, 1),
                          "task_configurations": tested})
            print(json.dumps(lines[-1]), flush=True)
    if args.output:
        with open(args.output, "w") as f:
            json.dump(lines, f, indent=1)


if __name__ == "__main__":
    main()
