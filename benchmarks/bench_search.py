#!/usr/bin/env python3
"""Throughput of quorin.search against one thread in one process.

On a seeded 16 x 256 matrix (rows from gamma(0.3), normalised), 2^26 configurations from
position 2^28, with a cheap vectorised test (the 16 columns as 16 bytes, compared with a
planted key's), it measures the wall time of

  one thread     quorin.batches(threads=1) over the range, the test on every batch
  in process     quorin.search(workers=1, task_size=T): the same, split into tasks
  workers=2      quorin.search(workers=2, task_size=T): two spawned worker processes,
                 their start included
  dask           quorin.search(workers=client, task_size=T) on a LocalCluster of 2
                 single-threaded worker processes (started beforehand, not timed)

and reports configurations per second, the speed-ups over one thread, the per-task overhead
((in process - one thread) / one thread), the start of two worker processes and the peak
memory of a Dask worker. Every mode must find the planted key at its rank. Best of --repeat.

    python3 benchmarks/bench_search.py --quick    # seconds: 2^22 configurations, T = 2^19
    python3 benchmarks/bench_search.py            # about a minute; writes
        benchmarks/results/search.json

Needs quorin.batches; Dask distributed for the dask mode (skipped without it).
"""

import argparse
import json
import logging
import os
import platform
import resource
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")


class KeyTest:
    """The test a key search runs: is this configuration the key? Vectorised over a batch.
    At module level, so worker processes can unpickle it."""

    def __init__(self, key):
        import numpy as np

        self.key = np.asarray(key, dtype=np.uint8)

    def __call__(self, columns, costs):
        import numpy as np

        keys = columns.astype(np.uint8)  # every column of a 256-wide row fits a byte
        return np.flatnonzero((keys == self.key).all(axis=1))


def make_probs(rows, cols, seed):
    import numpy as np

    rng = np.random.default_rng([seed, rows, cols])
    p = rng.gamma(0.3, size=(rows, cols))
    return p / p.sum(axis=1, keepdims=True)


def one_thread(probs, test, start, stop, size):
    """The baseline: batches on one thread, the test on every batch; the hits' positions."""
    import numpy as np
    import quorin

    found, position = [], start
    for columns, costs in quorin.batches(probs, size=size, start=start, stop=stop, threads=1):
        found += (position + np.asarray(test(columns, costs))).tolist()
        position += len(costs)
    return [p + 1 for p in found]


def timed(fn):
    began = time.perf_counter()
    value = fn()
    return time.perf_counter() - began, value


def dask_worker_peak_rss_mib(client):
    def peak():
        import resource

        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    return max(client.run(peak).values())


def machine():
    cpu = None
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f
                        if line.startswith("model name")), None)
    except OSError:
        pass
    import numpy as np
    import quorin

    try:
        import distributed
        dask_version = distributed.__version__
    except ImportError:
        dask_version = None
    return {"cpu": cpu or platform.processor(), "cores": os.cpu_count(),
            "python": platform.python_version(), "numpy": np.__version__,
            "distributed": dask_version, "quorin_file": quorin.__file__}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="2^22 configurations, task size 2^19")
    ap.add_argument("--shape", default="16x256", help="ROWSxCOLS of the matrix")
    ap.add_argument("--start", type=int, default=2**28, help="first position")
    ap.add_argument("--configurations", type=int, help="how many (default 2^26, quick 2^22)")
    ap.add_argument("--task-size", type=int, help="task size (default 2^23, quick 2^19)")
    ap.add_argument("--batch-size", type=int, default=2**20)
    ap.add_argument("--repeat", type=int, help="runs per mode, best taken (default 3, quick 1)")
    ap.add_argument("--no-dask", action="store_true", help="skip the Dask cluster")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--output", help="JSON file (default benchmarks/results/search.json, "
                    "none with --quick)")
    args = ap.parse_args()
    n = args.configurations or (2**22 if args.quick else 2**26)
    task_size = args.task_size or (2**19 if args.quick else 2**23)
    repeat = args.repeat or (1 if args.quick else 3)
    output = args.output or (None if args.quick else os.path.join(RESULTS, "search.json"))
    rows, cols = (int(x) for x in args.shape.lower().split("x"))

    import quorin

    if not hasattr(quorin, "batches"):
        sys.exit("bench_search: this build of quorin has no quorin.batches, which the search "
                 "runs; build it first")
    probs = make_probs(rows, cols, args.seed)
    start, stop = args.start, args.start + n
    planted = start + (7 * n) // 10
    key = next(iter(quorin.batches(probs, size=1, start=planted, stop=planted + 1))).columns[0]
    test = KeyTest(key)
    expected = [planted + 1]

    client = cluster = None
    if not args.no_dask:
        try:
            import distributed
        except ImportError:
            print("distributed is not installed: no Dask mode")
        else:
            cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                               processes=True, dashboard_address=None,
                                               silence_logs=logging.ERROR)
            client = distributed.Client(cluster)

    def search(workers):
        hits = quorin.search(probs, test, start=start, stop=stop, workers=workers,
                             task_size=task_size)
        return [h.rank for h in hits]

    modes = {
        "one thread": lambda: one_thread(probs, test, start, stop, args.batch_size),
        "in process": lambda: search(1),
        "workers=2": lambda: search(2),
    }
    if client is not None:
        modes["dask"] = lambda: search(client)
    best = {name: float("inf") for name in modes}
    try:
        for _ in range(repeat):  # modes interleaved: they share the machine's noise
            for name, run in modes.items():
                seconds, ranks = timed(run)
                if ranks != expected:
                    sys.exit(f"bench_search: {name} found ranks {ranks}, not {expected}")
                best[name] = min(best[name], seconds)
        spawn, _ = timed(lambda: quorin.search(probs, test, start=start, stop=start + 2,
                                               workers=2, task_size=1))
        dask_rss = dask_worker_peak_rss_mib(client) if client is not None else None
    finally:
        if client is not None:
            client.close()
            cluster.close()

    base = best["one thread"]
    tasks = -(-n // task_size)
    result = {
        "machine": machine(), "shape": f"{rows}x{cols}", "start": start, "configurations": n,
        "task_size": task_size, "tasks": tasks, "batch_size": args.batch_size,
        "repeat": repeat, "seconds": best,
        "configurations_per_second": {k: n / v for k, v in best.items()},
        "speedup": {k: base / v for k, v in best.items()},
        "per_task_overhead": best["in process"] / base - 1,
        "two_worker_processes_start_seconds": spawn,
        "dask_worker_peak_rss_mib": dask_rss,
        "ru_maxrss_mib_main": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }
    print(f"{rows}x{cols}, {n} configurations from position {start}, {tasks} tasks of "
          f"{task_size}, best of {repeat}, on {result['machine']['cpu']} "
          f"({result['machine']['cores']} cores)")
    for name, seconds in best.items():
        print(f"  {name:11s} {seconds:8.3f} s  {n / seconds / 1e6:8.2f} M configurations/s"
              f"  {base / seconds:5.2f}x  ({1e9 * seconds / n:6.1f} ns per configuration)")
    print(f"  per-task overhead {100 * result['per_task_overhead']:+.2f} % "
          f"(in process against one thread)")
    print(f"  two worker processes start and finish a 2-configuration search in {spawn:.2f} s")
    if dask_rss is not None:
        print(f"  peak memory of a Dask worker process {dask_rss:.0f} MiB")
    if output:
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        with open(output + ".tmp", "w") as f:
            json.dump(result, f, indent=1)
        os.replace(output + ".tmp", output)
        print(f"written to {output}")


if __name__ == "__main__":
    main()
