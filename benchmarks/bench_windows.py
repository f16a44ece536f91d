#!/usr/bin/env python3
"""Speed and memory of quorin.batches, the windowed enumeration in the cost order.

  key      16 x 256, rows from gamma(0.3), normalised: 2^26 configurations from
           position 2^28, on 1 and 2 threads; wall time through Python batches,
           with and without the first batch (which locates the start through the
           weight table), and the process CPU time
  heap     quorin.quorin on the same matrix: next() in a loop for K configurations
  shapes   8x4 (all), 4x1000, 64x2, 200x3, ragged, ties, zeros: the first K
           configurations through batches and through quorin.quorin, checked equal
           as sets of costs and in the cost order
  memory   peak RSS growth of a fresh process taking the key run, per thread count
  all      optional (--all): the first 2^32 configurations of the key matrix

Every figure comes from one run; the machine may be shared, so compare ratios.

    python3 benchmarks/bench_windows.py            # a few minutes
    python3 benchmarks/bench_windows.py --quick    # smaller counts
    python3 benchmarks/bench_windows.py --all      # adds the 2^32 run (minutes)
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")


def key_matrix():
    import numpy as np

    rng = np.random.default_rng(1)
    p = rng.gamma(0.3, size=(16, 256))
    return p / p.sum(axis=1, keepdims=True)


def shape(name):
    import numpy as np

    rng = np.random.default_rng([7, len(name)])
    if name == "8x4":
        return rng.random((8, 4)) + 0.01
    if name == "4x1000":
        return rng.gamma(0.3, size=(4, 1000)) + 1e-12
    if name == "64x2":
        return rng.random((64, 2)) + 0.01
    if name == "200x3":
        return rng.random((200, 3)) + 0.01
    if name == "ragged":
        return [(rng.gamma(0.3, size=n) + 1e-12).tolist() for n in (256, 3, 100, 17, 256, 2, 64, 40, 9, 128)]
    if name == "ties":  # rows of a few repeated values: large classes of equal cost
        return rng.choice([0.05, 0.1, 0.2, 0.4], size=(12, 16))
    if name == "zeros":
        p = rng.gamma(0.3, size=(16, 64))
        p[rng.random(p.shape) < 0.2] = 0.0
        p[:, 0] = 0.5
        return p
    raise ValueError(name)


def run_key(start, count, threads, size=1 << 20):
    import quorin

    p = key_matrix()
    c0, t0 = time.process_time(), time.perf_counter()
    it = quorin.batches(p, size=size, start=start, stop=start + count, threads=threads)
    first = next(it)
    t1 = time.perf_counter()
    n = len(first.costs)
    last = float(first.costs[-1])
    ordered = True
    for b in it:
        ordered = ordered and float(b.costs[0]) >= last
        last = float(b.costs[-1])
        n += len(b.costs)
    t2, c2 = time.perf_counter(), time.process_time()
    return {
        "threads": threads,
        "configurations": n,
        "first_batch_s": t1 - t0,
        "ns_per_config": (t2 - t0) * 1e9 / n,
        "ns_per_config_after_first": (t2 - t1) * 1e9 / max(1, n - len(first.costs)),
        "cpu_ns_per_config": (c2 - c0) * 1e9 / n,
        "ordered": ordered,
    }


def heap_rate(probs, k):
    import quorin

    q = quorin.quorin(probs)
    t0 = time.perf_counter()
    for _ in range(k):
        next(q)
    return (time.perf_counter() - t0) * 1e9 / k


def compare_shape(name, k):
    import numpy as np
    import quorin

    probs = shape(name)
    total = 1
    for row in probs:
        total *= len(row)
    k = min(k, total)
    t0 = time.perf_counter()
    got = list(quorin.batches(probs, stop=k))
    t1 = time.perf_counter()
    costs = np.concatenate([b.costs for b in got])
    columns = np.concatenate([b.columns for b in got])
    # Exact: the costs are the heap enumerator's first k costs (plus a margin for
    # rounding-close costs) sorted, and (cost, columns) rises strictly. (Which members of
    # a tie class straddling k come first, the heap enumerator cannot tell.)
    q = quorin.quorin(probs)
    extra = min(total, k + 1000)
    heap = np.array([next(q) for _ in range(extra)], dtype=np.int64).reshape(extra, len(probs))
    heap_costs = np.zeros(extra)
    for i, row in enumerate(probs):
        with np.errstate(divide="ignore"):
            heap_costs = heap_costs + -np.log(np.asarray(row, dtype=float)[heap[:, i]])
    same_costs = bool(np.array_equal(np.sort(heap_costs)[:k], costs))
    keys = [(c, tuple(r)) for c, r in zip(costs.tolist(), columns.tolist())]
    rising = all(a < b for a, b in zip(keys, keys[1:]))
    exact = same_costs and rising
    return {
        "shape": name,
        "k": k,
        "batches_ns_per_config": (t1 - t0) * 1e9 / k,
        "heap_ns_per_config": heap_rate(probs, k),
        "exact": exact,
    }


def peak_memory(threads, start, count):
    """Peak RSS growth (VmHWM, the child's own high-water mark) of a fresh process taking
    the key run, over its RSS after importing quorin and NumPy."""
    code = (
        "import sys; sys.path.insert(0, %r); import numpy, quorin, bench_windows as b\n"
        "def hwm():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'): return int(line.split()[1]) / 1024\n"
        "before = hwm(); b.run_key(%d, %d, %d); print(hwm() - before)"
    ) % (HERE, start, count, threads)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--all", action="store_true", help="also time the first 2^32 configurations")
    parser.add_argument("--out", default=os.path.join(RESULTS, "windows.json"))
    args = parser.parse_args()

    import numpy
    import quorin

    start, count = (1 << 28, 1 << 26) if not args.quick else (1 << 24, 1 << 22)
    heap_k = 10**6 if not args.quick else 10**5
    load = os.getloadavg()
    results = {
        "machine": platform.processor() or platform.machine(),
        "cpus": os.cpu_count(),
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "load_before": load,
        "key": {"start": start, "count": count, "runs": []},
    }
    print(f"load average before: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} cpus", flush=True)
    for threads in (1, 2):
        r = run_key(start, count, threads)
        results["key"]["runs"].append(r)
        print(f"16x256 from 2^{start.bit_length() - 1}, {count} configurations, {threads} thread(s): "
              f"{r['ns_per_config']:.1f} ns/config ({r['ns_per_config_after_first']:.1f} after the first batch "
              f"of {r['first_batch_s']:.2f} s; cpu {r['cpu_ns_per_config']:.1f}), ordered {r['ordered']}", flush=True)
    heap = heap_rate(key_matrix(), heap_k)
    results["key"]["heap_next_ns_per_config"] = heap
    results["key"]["heap_k"] = heap_k
    for r in results["key"]["runs"]:
        r["heap_ratio"] = heap / r["ns_per_config"]
    print(f"quorin.quorin next() at K={heap_k}: {heap:.0f} ns/config; batches are "
          + ", ".join(f"{r['heap_ratio']:.0f}x ({r['threads']} thr.)" for r in results["key"]["runs"]) + " faster",
          flush=True)
    results["memory_mib"] = {}
    for threads in (1, 2):
        mib = peak_memory(threads, start, min(count, 1 << 24))
        results["memory_mib"][threads] = mib
        print(f"peak RSS growth, {threads} thread(s): {mib:.0f} MiB", flush=True)
    results["shapes"] = []
    for name in ("8x4", "4x1000", "64x2", "200x3", "ragged", "ties", "zeros"):
        r = compare_shape(name, heap_k)
        results["shapes"].append(r)
        print(f"{name:>7}: first {r['k']}: batches {r['batches_ns_per_config']:.0f} ns/config, "
              f"quorin.quorin {r['heap_ns_per_config']:.0f} ns/config, exact {r['exact']}", flush=True)
    if args.all:
        p = key_matrix()
        t0 = time.perf_counter()
        n = sum(len(b.costs) for b in quorin.batches(p, stop=1 << 32, threads=2))
        results["all_2_32_s"] = time.perf_counter() - t0
        print(f"first 2^32 configurations, 2 threads: {results['all_2_32_s']:.0f} s ({n})", flush=True)
    results["load_after"] = os.getloadavg()
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)
    print("written", args.out)


if __name__ == "__main__":
    main()
