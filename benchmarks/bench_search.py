#!/usr/bin/env python3
"""Throughput of quorin.search against plain quorin.batches loops over the same range.

On a seeded 16 x 256 matrix (rows from gamma(0.3), normalised), with a cheap vectorised test
(the 16 columns as 16 bytes, compared with a planted key's), each case measures the wall
time of

  one thread     quorin.batches(threads=1) over the range, the test on every batch
  one loop       quorin.batches() on every core over the range, the test on every batch
  in process     quorin.search(workers=1, task_size=T): the tasks in this process, each
                 walked on every core
  workers=2      quorin.search(workers=2, task_size=T): two spawned worker processes of one
                 thread each, their start included
  dask           quorin.search(workers=client, task_size=T) on a LocalCluster of 2
                 single-threaded worker processes (started beforehand, not timed)

and the parts of a search's own set-up: locating start and stop (once per search), one call
for 1024 cuts of the weight table, and the set-up of a task from its bound (the walk made
and its first batch of one configuration taken; the largest over a few tasks). Every mode
must find the planted key at its rank. Best of --repeat, the modes interleaved.

Cases (targets in brackets, checked and printed):
  deep       2^28 configurations from position 2^32 in tasks of 2^25
             [in process within 5 % of one loop; workers=2 at least 1.6x one thread;
              dask at least 1.4x one thread; a task's set-up at most 0.1 s]
  shallow    2^26 configurations from position 0 in tasks of 2^23
             [workers=2 at least 1.6x one thread]
  quick      2^22 configurations from position 2^24 in tasks of 2^19 (a smoke run)

    python3 benchmarks/bench_search.py --case quick       # seconds
    python3 benchmarks/bench_search.py                    # deep and shallow: tens of
        minutes on 2 cores; writes benchmarks/results/search.json

Needs quorin with its task walk; Dask distributed for the dask mode (skipped without it).
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

CASES = {  # start, configurations, task size
    "deep": (2**32, 2**28, 2**25),
    "shallow": (0, 2**26, 2**23),
    "quick": (2**24, 2**22, 2**19),
}
TARGETS = {  # case -> [(what, mode, against, least speed-up)]
    "deep": [("in process within 5 % of one loop", "in process", "one loop", 1 / 1.05),
             ("workers=2 at least 1.6x one thread", "workers=2", "one thread", 1.6),
             ("dask at least 1.4x one thread", "dask", "one thread", 1.4)],
    "shallow": [("workers=2 at least 1.6x one thread", "workers=2", "one thread", 1.6)],
    "quick": [],
}
TASK_SETUP_TARGET = 0.1  # seconds, in the deep case


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


def one_loop(probs, test, start, stop, size, threads):
    """The baseline: one batches loop, the test on every batch; the hits' ranks."""
    import numpy as np
    import quorin

    found, position = [], start
    for columns, costs in quorin.batches(probs, size=size, start=start, stop=stop,
                                         threads=threads):
        found += (position + np.asarray(test(columns, costs))).tolist()
        position += len(costs)
    return [p + 1 for p in found]


def timed(fn):
    began = time.perf_counter()
    value = fn()
    return time.perf_counter() - began, value


def set_up_parts(probs, start, stop, task_size):
    """Seconds to locate start and stop (as a search does), for one call of 1024 cuts, and
    the largest set-up of a task from its bound over the first, a middle and the last task."""
    from quorin._search import arguments, core, span as spans

    api = core._engine_api()
    locate, span = timed(lambda: spans._Span(arguments._matrix(probs), start, stop))
    cuts, _ = timed(lambda: api._cuts(span.matrix, span.lower, span.upper, task_size, 1024))
    tasks = quorin.plan(probs, start=start, stop=stop, task_size=task_size)
    setups = []
    for task in [tasks[k] for k in sorted({0, len(tasks) // 2, len(tasks) - 1})]:
        def first_batch():
            walk = api._TaskWalk(task.probs, task.lower, task.upper, 1, 1)
            next(iter(walk))
        setups.append(timed(first_batch)[0])
    return {"locate_start_and_stop_seconds": locate, "cuts_1024_seconds": cuts,
            "task_setup_seconds": max(setups), "tasks": len(tasks)}


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


def run_case(name, probs, client, args):
    import quorin

    start, n, task_size = CASES[name]
    start = start if args.start is None else args.start
    n = args.configurations or n
    task_size = args.task_size or task_size
    stop = start + n
    planted = start + (7 * n) // 10
    key = next(iter(quorin.batches(probs, size=1, start=planted, stop=planted + 1))).columns[0]
    test = KeyTest(key)
    expected = [planted + 1]

    def search(workers):
        hits = quorin.search(probs, test, start=start, stop=stop, workers=workers,
                             task_size=task_size)
        return [h.rank for h in hits]

    modes = {
        "one thread": lambda: one_loop(probs, test, start, stop, args.batch_size, 1),
        "one loop": lambda: one_loop(probs, test, start, stop, args.batch_size, None),
        "in process": lambda: search(1),
        "workers=2": lambda: search(2),
    }
    if client is not None:
        modes["dask"] = lambda: search(client)
    best = {mode: float("inf") for mode in modes}
    for _ in range(args.repeat):  # modes interleaved: they share the machine's noise
        for mode, run in modes.items():
            seconds, ranks = timed(run)
            if ranks != expected:
                sys.exit(f"bench_search: {name}, {mode} found ranks {ranks}, not {expected}")
            best[mode] = min(best[mode], seconds)
    parts = set_up_parts(probs, start, stop, task_size)
    speedup = {mode: best["one thread"] / seconds for mode, seconds in best.items()}
    targets = []
    for what, mode, against, least in TARGETS[name]:
        if mode in best:
            ratio = best[against] / best[mode]
            targets.append({"target": what, "ratio": ratio, "met": ratio >= least})
    if name == "deep":
        setup = parts["task_setup_seconds"]
        targets.append({"target": f"a task's set-up at most {TASK_SETUP_TARGET} s",
                        "seconds": setup, "met": setup <= TASK_SETUP_TARGET})
    return {"start": start, "configurations": n, "task_size": task_size,
            "seconds": best, "configurations_per_second": {k: n / v for k, v in best.items()},
            "speedup_over_one_thread": speedup,
            "in_process_over_one_loop": best["in process"] / best["one loop"] - 1,
            **parts, "targets": targets}


def report(name, result, repeat, cpu, cores):
    n = result["configurations"]
    print(f"{name}: {n} configurations from position {result['start']} in "
          f"{result['tasks']} tasks of {result['task_size']}, best of {repeat}, on {cpu} "
          f"({cores} cores)")
    base = result["seconds"]["one thread"]
    for mode, seconds in result["seconds"].items():
        print(f"  {mode:11s} {seconds:8.3f} s  {n / seconds / 1e6:8.2f} M configurations/s"
              f"  {base / seconds:5.2f}x  ({1e9 * seconds / n:6.1f} ns per configuration)")
    print(f"  in process against one loop {100 * result['in_process_over_one_loop']:+.2f} %")
    print(f"  set-up: start and stop located in {result['locate_start_and_stop_seconds']:.2f} s,"
          f" 1024 cuts in {result['cuts_1024_seconds']:.3f} s, a task from its bound in at "
          f"most {result['task_setup_seconds']:.3f} s")
    for target in result["targets"]:
        measured = (f"{target['ratio']:.2f}x" if "ratio" in target
                    else f"{target['seconds']:.3f} s")
        print(f"  [{'met' if target['met'] else 'MISSED'}] {target['target']}: {measured}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--case", action="append", choices=sorted(CASES),
                    help="a case to run (repeatable; default: deep and shallow)")
    ap.add_argument("--shape", default="16x256", help="ROWSxCOLS of the matrix")
    ap.add_argument("--start", type=int, help="override the case's first position")
    ap.add_argument("--configurations", type=int, help="override the case's range length")
    ap.add_argument("--task-size", type=int, help="override the case's task size")
    ap.add_argument("--batch-size", type=int, default=2**20)
    ap.add_argument("--repeat", type=int, default=3, help="runs per mode, best taken")
    ap.add_argument("--no-dask", action="store_true", help="skip the Dask cluster")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--output", help="JSON file (default benchmarks/results/search.json; "
                    "none when only the quick case runs)")
    args = ap.parse_args()
    cases = args.case or ["deep", "shallow"]
    output = args.output or (None if cases == ["quick"]
                             else os.path.join(RESULTS, "search.json"))
    rows, cols = (int(x) for x in args.shape.lower().split("x"))

    import quorin

    if not hasattr(quorin._core, "_TaskWalk"):
        sys.exit("bench_search: this build of quorin has no task walk (quorin._core._TaskWalk), "
                 "which the search runs; build it first")
    probs = make_probs(rows, cols, args.seed)
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
    about = machine()
    result = {"machine": about, "shape": f"{rows}x{cols}", "batch_size": args.batch_size,
              "repeat": args.repeat, "cases": {}}
    try:
        for name in cases:
            result["cases"][name] = run_case(name, probs, client, args)
            report(name, result["cases"][name], args.repeat, about["cpu"], about["cores"])
        first_key = KeyTest(next(iter(quorin.batches(probs, size=1))).columns[0])
        spawn, _ = timed(lambda: quorin.search(probs, first_key, stop=2, workers=2,
                                               task_size=1))
        result["two_worker_processes_start_seconds"] = spawn
        print(f"two worker processes start and finish a 2-configuration search in "
              f"{spawn:.2f} s")
        if client is not None:
            result["dask_worker_peak_rss_mib"] = dask_worker_peak_rss_mib(client)
            print(f"peak memory of a Dask worker process "
                  f"{result['dask_worker_peak_rss_mib']:.0f} MiB")
    finally:
        if client is not None:
            client.close()
            cluster.close()
    result["ru_maxrss_mib_main"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    if output:
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        with open(output + ".tmp", "w") as f:
            json.dump(result, f, indent=1)
        os.replace(output + ".tmp", output)
        print(f"written to {output}")


if __name__ == "__main__":
    main()
