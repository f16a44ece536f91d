#!/usr/bin/env python3
"""Search throughput against the number of hits: a test that accepts many configurations
must cost the search little more than one that accepts none.

On a seeded 16 x 256 gamma(0.3) matrix, the range of 2^--log2-count configurations from
2^--log2-start, in tasks of 2^--log2-task; the test is a vectorised hash of the columns
that accepts about --hits of them (0 accepts none). For each number of hits and each kind
of workers (this process on every core, 2 worker processes, a 2-worker Dask cluster), one
line of JSON with the seconds and the hits found; then one batches loop on one thread, the yardstick a search must beat (--loop-hits of them).

    python3 benchmarks/bench_hits.py                                   # 2^26 from 2^32
    python3 benchmarks/bench_hits.py --log2-count 28 --hits 0 1 1000 100000 2599
"""

import argparse
import json
import os
import sys
import time

import numpy

import quorin

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrices import gamma_matrix  # noqa: E402

# Independent odd 64-bit weights per row, then a 64-bit finaliser: every configuration its own hash.
WEIGHTS = numpy.random.default_rng(2**31 - 1).integers(0, 2**63, size=16, dtype=numpy.uint64) * numpy.uint64(2) + numpy.uint64(1)


class Accepts:
    """Accepts a configuration when a well-mixed 64-bit hash of its columns falls below a
    threshold: about `rate` of them (none for rate 0)."""

    def __init__(self, rate):
        self.threshold = numpy.uint64(round(rate * 2**32))

    def __call__(self, columns, costs):
        h = columns.astype(numpy.uint64) @ WEIGHTS
        h ^= h >> numpy.uint64(30)
        h *= numpy.uint64(0xBF58476D1CE4E5B9)
        h ^= h >> numpy.uint64(27)
        h *= numpy.uint64(0x94D049BB133111EB)
        h ^= h >> numpy.uint64(31)
        return (h >> numpy.uint64(32)) < self.threshold


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--log2-start", type=int, default=32)
    parser.add_argument("--log2-count", type=int, default=26)
    parser.add_argument("--log2-task", type=int, default=25)
    parser.add_argument("--hits", type=int, nargs="+", default=[0, 1, 1000, 100000])
    parser.add_argument("--workers", nargs="+", default=["in-process", "processes", "dask"])
    parser.add_argument("--loop-hits", type=int, default=2599, help="hits of the batches loop's test")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", help="also write the lines to this file (JSON list)")
    args = parser.parse_args()
    probs = gamma_matrix(0.3, args.seed)
    start, count = 2**args.log2_start, 2**args.log2_count
    lines = []

    def emit(record):
        lines.append(record)
        print(json.dumps(record), flush=True)

    # Each kind of workers alone on the machine: a Dask cluster lives only for its runs
    # (its idle workers would otherwise slow the others).
    for kind in args.workers:
        client = None
        if kind == "dask":
            from distributed import Client, LocalCluster
            client = Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True))
        workers = client if client is not None else {"in-process": 1, "processes": 2}[kind]
        for hits in args.hits:
            test = Accepts(hits / count)
            began = time.perf_counter()
            found = quorin.search(probs, test, start=start, stop=start + count, workers=workers,
                                  task_size=2**args.log2_task)
            seconds = time.perf_counter() - began
            emit({"hits_asked": hits, "hits": len(found), "workers": kind, "seconds": round(seconds, 2),
                  "per_second": round(count / seconds)})
        if client is not None:
            client.close()
    many = args.loop_hits
    if many:
        test = Accepts(many / count)
        began, found = time.perf_counter(), 0
        for columns, costs in quorin.batches(probs, size=2**20, start=start, stop=start + count, threads=1):
            found += int(numpy.count_nonzero(test(columns, costs)))
        seconds = time.perf_counter() - began
        emit({"hits_asked": many, "hits": found, "workers": "one batches loop, one thread",
              "seconds": round(seconds, 2), "per_second": round(count / seconds)})
    if args.output:
        with open(args.output, "w") as f:
            json.dump(lines, f, indent=1)


if __name__ == "__main__":
    main()
