#!/usr/bin/env python3
"""Speed and memory benchmark of quorin's Python iterator.

For each shape (rows x columns of a seeded random probability matrix) and with
the assignment cache on and off, it measures

  ns/config      time of `for _ in range(K): next(it)` / K, median over
                 --repeat runs, each on a freshly constructed instance
  construction   time of quorin.quorin(probs, cache_assignments), median
  bytes/config   peak-RSS growth / K while taking K configurations, in a
                 fresh Python process per measurement

and then the same against K on 16x256 (K from 1e3 to 1e6) for the figure, and
the size and the speed of saving and loading the state of 16x256 after 1e6
configurations (cache on): through pickle, and through __getstate__ and
__setstate__, which are the C++ core's save and load with no copy around them.

The batch line compares, on 8x4 (all 65536) and 16x256 (K = 200000), cache on,
ns per configuration of q.next_batch(4096) and of the next() loop with the C++
batch call Quorin::next(4096, columns, costs) and the C++ single-step loop,
timed by benchmarks/bench_batch.cpp, which the benchmark builds with CMake from
this checkout (build/bench; --no-batch skips the line).

    python3 benchmarks/bench_quorin.py --quick          # well under a minute
    python3 benchmarks/bench_quorin.py                  # a few minutes; writes
        benchmarks/results/latest.json and benchmarks/results/scaling.png

matplotlib is optional: without it the figure is skipped.
"""

import argparse
import gc
import importlib.metadata
import importlib.util
import json
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

perf_counter_ns = time.perf_counter_ns

# name -> (rows, cols, K, note)
SHAPES = {
    "16x256": (16, 256, 200_000, "key enumeration"),
    "8x4": (8, 4, 65_536, "full enumeration"),
    "4x1000": (4, 1000, 200_000, "few wide rows"),
    "64x2": (64, 2, 100_000, "many binary rows"),
    "200x3": (200, 3, 20_000, "very many short rows"),
}
DEFAULT_K = 100_000  # for shapes given as RxC without :K
SCALING_K = [1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000]
SCALING_K_QUICK = [1_000, 10_000, 100_000]
SCALING_MAX_REPEAT = 3  # K=1e6 takes seconds per run
SAVE_SHAPE = (16, 256)
SAVE_K, SAVE_K_QUICK = 1_000_000, 100_000
SAVE_REPEAT = 3
CHECK_N = 1000  # outputs checked for order before timing a shape
CACHE_MODES = (True, False)


def cache_label(cache):
    return "on" if cache else "off"


# --------------------------------------------------------------------------
# inputs


def make_probs(rows, cols, seed):
    """Rows drawn from a flat Dirichlet with a fixed seed, as a list of lists."""
    import numpy as np

    rng = np.random.default_rng([seed, rows, cols])
    p = rng.gamma(1.0, size=(rows, cols))
    p = np.maximum(p, 1e-12)  # no exact zeros: -ln p stays finite
    p /= p.sum(axis=1, keepdims=True)
    return p.tolist()


def parse_shapes(text, quick):
    """'16x256,8x4,32x16:50000' -> [(name, rows, cols, K, note)].

    Known shapes keep their K; --quick divides K by 10, except where K is the
    full enumeration (8x4), which is cheap and the point of that shape."""
    shapes = []
    for item in (text.split(",") if text else SHAPES):
        item = item.strip()
        if not item:
            continue
        name, _, k_text = item.partition(":")
        m = re.fullmatch(r"(\d+)x(\d+)", name)
        if not m:
            raise SystemExit(f"bad shape {item!r}: expected ROWSxCOLS or ROWSxCOLS:K")
        rows, cols = int(m.group(1)), int(m.group(2))
        _, _, K, note = SHAPES.get(name, (rows, cols, DEFAULT_K, ""))
        total = cols ** rows
        if k_text:
            K = int(k_text)
        elif quick and K < total:
            K = max(1, K // 10)
        shapes.append((name, rows, cols, min(K, total), note))
    return shapes


def configuration_count(rows, cols):
    return cols ** rows


# --------------------------------------------------------------------------
# machine and versions


def read_first(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return None


def os_name():
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return platform.system()


def module_compiler(path):
    """Compiler that built the extension, from the ident strings GCC and clang
    leave in the binary; None if none is found."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except (OSError, TypeError):
        return None
    found = re.findall(rb"GCC: \([^)\n]*\) [0-9][0-9.]*|clang version [0-9][0-9.]*", data)
    if not found:
        return None
    return sorted({s.decode("ascii", "replace") for s in found})[-1]


def version_of(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return None


def machine_info(quorin_module):
    import numpy as np

    mem_kb = read_first("/proc/meminfo", "MemTotal")
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = None
    return {
        "cpu": read_first("/proc/cpuinfo", "model name") or platform.processor() or None,
        "cores": os.cpu_count(),
        "cores_usable": usable,
        "memory_gib": round(int(mem_kb.split()[0]) / 2**20, 1) if mem_kb else None,
        "os": os_name(),
        "kernel": platform.release(),
        "arch": platform.machine(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "numpy": np.__version__,
        "quorin": version_of("quorin") or getattr(quorin_module, "__version__", None),
        "quorin_file": quorin_module.__file__,
        "compiler": module_compiler(quorin_module.__file__),
        # not imported yet: importing it would raise the peak RSS children inherit
        "matplotlib": version_of("matplotlib"),
    }


def describe_machine(m):
    return [
        f"CPU      {m['cpu']}, {m['cores']} cores"
        + (f" ({m['cores_usable']} usable)" if m["cores_usable"] not in (None, m["cores"]) else ""),
        f"memory   {m['memory_gib']} GiB",
        f"OS       {m['os']}, kernel {m['kernel']}, {m['arch']}",
        f"Python   {m['python']}, NumPy {m['numpy']}",
        f"quorin   {m['quorin'] or 'version unknown'} ({m['quorin_file']})",
        f"compiler {m['compiler'] or 'unknown'}",
    ]


# --------------------------------------------------------------------------
# load on a shared machine


CLK_TCK = os.sysconf("SC_CLK_TCK") if hasattr(os, "sysconf") else 100


def cpu_snapshot():
    """(busy CPU seconds of the whole machine or None, this process's CPU seconds)."""
    own = time.process_time()
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None, own
    user, nice, system, _idle, _iowait, irq, softirq = fields[:7]
    steal = fields[7] if len(fields) > 7 else 0
    return (user + nice + system + irq + softirq + steal) / CLK_TCK, own


def other_cpus(start, end, wall_s):
    """CPUs' worth of work done by other processes during an interval: 0 on an
    idle machine; on 2 cores, anything above ~0.1 makes the timings unreliable."""
    if start[0] is None or end[0] is None or wall_s < 1.0:  # ticks are too coarse below 1 s
        return None
    return max(0.0, (end[0] - start[0]) - (end[1] - start[1])) / wall_s


# --------------------------------------------------------------------------
# measurements


def time_next(it, K, next=next):
    """ns for K calls of next(it)."""
    t0 = perf_counter_ns()
    for _ in range(K):
        next(it)
    return perf_counter_ns() - t0


def check_order(quorin_class, probs, N):
    """'ok', or what is wrong with the first N outputs: a benchmark of a broken
    build would be meaningless."""
    import numpy as np

    it = quorin_class(probs, True)
    outputs = [next(it) for _ in range(N)]
    rows = len(probs)
    bad = [a for a in outputs
           if not (isinstance(a, np.ndarray) and a.dtype == np.int32 and a.shape == (rows,))]
    if bad:
        return f"unexpected result {type(bad[0]).__name__} {getattr(bad[0], 'dtype', '')}"
    A = np.stack(outputs).astype(np.intp)
    if len({row.tobytes() for row in A}) != N:
        return "duplicate configurations"
    costs = -np.log(np.asarray(probs))[np.arange(rows)[None, :], A].sum(axis=1)
    tolerance = 1e-9 * np.maximum(1.0, np.abs(costs[1:]))
    drops = np.nonzero(costs[1:] < costs[:-1] - tolerance)[0]
    if drops.size:
        return f"cost decreases after output {int(drops[0])}"
    return "ok"


def time_shape(quorin_class, probs, K, repeat):
    """Timed runs of both cache modes, alternating which goes first."""
    runs = {c: [] for c in CACHE_MODES}
    construct = {c: [] for c in CACHE_MODES}
    for rep in range(repeat):
        order = CACHE_MODES if rep % 2 == 0 else CACHE_MODES[::-1]
        for cache in order:
            gc.collect()
            t0 = perf_counter_ns()
            it = quorin_class(probs, cache)
            t1 = perf_counter_ns()
            elapsed = time_next(it, K)
            del it
            construct[cache].append(t1 - t0)
            runs[cache].append(elapsed / K)
    out = {}
    for cache in CACHE_MODES:
        median = statistics.median(runs[cache])
        out[cache] = {
            "ns_per_config": median,
            "ns_per_config_runs": runs[cache],
            "spread": (max(runs[cache]) - min(runs[cache])) / median if median else 0.0,
            "construct_ns": statistics.median(construct[cache]),
            "construct_ns_runs": construct[cache],
        }
    return out


def vm_hwm_kb():
    """Peak RSS of this address space (reset by exec, unlike ru_maxrss), or None."""
    value = read_first("/proc/self/status", "VmHWM")
    return int(value.split()[0]) if value else None


def memory_child(args):
    """In a fresh interpreter: construct one instance and take K configurations.

    Prints one JSON line. On Linux a child's ru_maxrss starts at its parent's
    peak RSS, which is why the parent measures memory before it times
    anything; VmHWM is recorded as a cross-check."""
    quorin_class = import_quorin(args.quorin_path).quorin
    rows, cols, K, cache = args.rows, args.cols, args.k, args.cache == "on"
    probs = make_probs(rows, cols, args.seed)
    warm = quorin_class([[0.5, 0.5], [0.5, 0.5]], cache)
    next(warm)  # the first next() in a process loads NumPy's C API
    del warm
    gc.collect()
    before_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    hwm_before_kb = vm_hwm_kb()
    t0 = perf_counter_ns()
    it = quorin_class(probs, cache)
    t1 = perf_counter_ns()
    elapsed = time_next(it, K)
    after_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    hwm_after_kb = vm_hwm_kb()
    print(json.dumps({
        "K": K,
        "rss_before_kb": before_kb,
        "rss_after_kb": after_kb,
        "bytes_per_config": (after_kb - before_kb) * 1024 / K,
        "vmhwm_before_kb": hwm_before_kb,
        "vmhwm_after_kb": hwm_after_kb,
        "bytes_per_config_vmhwm": (None if hwm_before_kb is None
                                   else (hwm_after_kb - hwm_before_kb) * 1024 / K),
        "cold_ns_per_config": elapsed / K,
        "cold_construct_ns": t1 - t0,
    }), flush=True)
    os._exit(0)  # tearing down a large enumerator would only cost time


def median_ns(f, repeat=SAVE_REPEAT):
    """Median time of f() over `repeat` calls, in ns, and f's last result."""
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = perf_counter_ns()
        result = f()
        times.append(perf_counter_ns() - t0)
    return statistics.median(times), result


def save_child(args):
    """In a fresh interpreter: K configurations (cache on), then the saved state's size
    against the memory the enumerator took, and the speed of saving and loading it.
    Prints one JSON line."""
    import pickle

    quorin_class = import_quorin(args.quorin_path).quorin
    probs = make_probs(args.rows, args.cols, args.seed)
    warm = quorin_class([[0.5, 0.5], [0.5, 0.5]])
    next(warm)
    del warm
    gc.collect()
    before_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    q = quorin_class(probs, True)
    time_next(q, args.k)
    memory_bytes = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before_kb) * 1024

    def load_state(state):
        restored = quorin_class.__new__(quorin_class)
        restored.__setstate__(state)
        return restored

    getstate_ns, state = median_ns(q.__getstate__)
    setstate_ns, restored = median_ns(lambda: load_state(state))
    del restored
    dumps_ns, data = median_ns(lambda: pickle.dumps(q, pickle.HIGHEST_PROTOCOL))
    loads_ns, restored = median_ns(lambda: pickle.loads(data))
    continues = all((next(restored) == next(q)).all() for _ in range(1000))
    size = len(state)
    print(json.dumps({
        "K": args.k,
        "state_bytes": size,
        "pickle_bytes": len(data),
        "saved_bytes_per_config": size / args.k,
        "memory_bytes_per_config": memory_bytes / args.k,
        "getstate_mb_s": size / getstate_ns * 1e3,
        "setstate_mb_s": size / setstate_ns * 1e3,
        "pickle_dumps_mb_s": size / dumps_ns * 1e3,
        "pickle_loads_mb_s": size / loads_ns * 1e3,
        "getstate_ms": getstate_ns / 1e6,
        "setstate_ms": setstate_ns / 1e6,
        "pickle_dumps_ms": dumps_ns / 1e6,
        "pickle_loads_ms": loads_ns / 1e6,
        "continues": continues,
    }), flush=True)
    os._exit(0)


def run_child(mode, args, *child_args):
    """Runs this script in a fresh process in `mode`; returns the JSON of its last line."""
    cmd = [sys.executable, os.path.abspath(__file__), mode, *child_args, "--seed", str(args.seed)]
    if args.quorin_path:
        cmd += ["--quorin-path", args.quorin_path]
    p = subprocess.run(cmd, capture_output=True, text=True)
    try:
        return json.loads(p.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"error": f"exit {p.returncode}: {(p.stderr or p.stdout).strip()[-300:]}"}


def measure_save_load(K, args):
    rows, cols = SAVE_SHAPE
    return run_child("--save-child", args, "--rows", str(rows), "--cols", str(cols), "--k", str(K))


def print_save_load(r):
    if "error" in r:
        print(f"  ERROR {r['error']}")
        return
    rows, cols = SAVE_SHAPE
    print(f"\nsave and load, {rows}x{cols} after K={r['K']} (cache on), median of {SAVE_REPEAT}:")
    print(f"  saved state    {r['state_bytes'] / 1e6:8.1f} MB = {r['saved_bytes_per_config']:.1f} "
          f"bytes/config (in memory: {r['memory_bytes_per_config']:.1f} bytes/config)")
    print(f"  __getstate__   {r['getstate_mb_s']:8.0f} MB/s ({r['getstate_ms']:.1f} ms)   "
          f"__setstate__ {r['setstate_mb_s']:6.0f} MB/s ({r['setstate_ms']:.1f} ms)")
    print(f"  pickle.dumps   {r['pickle_dumps_mb_s']:8.0f} MB/s ({r['pickle_dumps_ms']:.1f} ms)   "
          f"pickle.loads {r['pickle_loads_mb_s']:6.0f} MB/s ({r['pickle_loads_ms']:.1f} ms)")
    if not r["continues"]:
        print("  WARNING: the loaded state continued differently")


def measure_memory(rows, cols, K, cache, args):
    return run_child("--memory-child", args, "--rows", str(rows), "--cols", str(cols), "--k", str(K),
                     "--cache", cache_label(cache))


# --------------------------------------------------------------------------
# the batch line: next_batch against next() and against the C++ calls

BATCH_SHAPES = [("8x4", 8, 4, 65_536), ("16x256", 16, 256, 200_000)]
BATCH_SIZE = 4096
ROOT = os.path.dirname(HERE)


def build_cxx_bench():
    """Path of quorin_bench_batch built from this checkout (Release), or an error text."""
    build = os.path.join(ROOT, "build", "bench")
    steps = [["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DQUORIN_BUILD_TESTS=ON",
              "-DQUORIN_BUILD_EXAMPLES=OFF"],
             ["cmake", "--build", build, "--target", "quorin_bench_batch"]]
    for cmd in steps:
        try:
            p = subprocess.run(cmd, capture_output=True, text=True)
        except OSError as e:
            return None, f"cannot run cmake: {e}"
        if p.returncode != 0:
            return None, f"{' '.join(cmd[:2])} failed: {(p.stderr or p.stdout).strip()[-300:]}"
    return os.path.join(build, "quorin_bench_batch"), None


def write_matrix(probs, path):
    """The matrix in bench_batch.cpp's format: rows, columns (uint64), then the doubles."""
    import numpy as np

    a = np.asarray(probs, dtype="<f8")
    with open(path, "wb") as f:
        f.write(np.array(a.shape, dtype="<u8").tobytes())
        f.write(a.tobytes())


def time_batches(q, K, size):
    """ns for K configurations taken with q.next_batch(size)."""
    t0 = perf_counter_ns()
    taken = 0
    while taken < K:
        got = len(q.next_batch(min(size, K - taken)).costs)
        if got == 0:
            break
        taken += got
    return perf_counter_ns() - t0


def measure_batch_line(quorin_class, args, repeat):
    """Per shape: median ns/config of the four ways, runs taking turns, and the ratios."""
    import tempfile

    cxx, error = build_cxx_bench()
    if error:
        print(f"  C++ side skipped: {error}", flush=True)
    out = {"batch_size": BATCH_SIZE, "cxx_error": error, "shapes": []}
    for name, rows, cols, K in BATCH_SHAPES:
        if args.quick and K < configuration_count(rows, cols):
            K //= 10
        probs = make_probs(rows, cols, args.seed)
        runs = {"python_next_batch": [], "python_next": [], "cxx_batch": [], "cxx_step": []}
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "matrix.bin")
            write_matrix(probs, path)
            # One untimed run of each, as the C++ side makes.
            time_batches(quorin_class(probs, True), K, BATCH_SIZE)
            time_next(quorin_class(probs, True), K)
            snap0, t0 = cpu_snapshot(), perf_counter_ns()
            for rep in range(repeat):
                if cxx:
                    p = subprocess.run([cxx, path, str(K), str(BATCH_SIZE), "1"], capture_output=True, text=True)
                    if p.returncode == 0:
                        r = json.loads(p.stdout.strip().splitlines()[-1])
                        runs["cxx_batch"] += r["batch_ns_per_config_runs"]
                        runs["cxx_step"] += r["step_ns_per_config_runs"]
                order = (("python_next_batch", "python_next") if rep % 2 == 0
                         else ("python_next", "python_next_batch"))
                for kind in order:
                    gc.collect()
                    q = quorin_class(probs, True)
                    ns = time_batches(q, K, BATCH_SIZE) if kind == "python_next_batch" else time_next(q, K)
                    runs[kind].append(ns / K)
                    del q
            others = other_cpus(snap0, cpu_snapshot(), (perf_counter_ns() - t0) / 1e9)
        med = {k: (statistics.median(v) if v else None) for k, v in runs.items()}
        def ratio(a, b):
            return med[a] / med[b] if med[a] and med[b] else None
        out["shapes"].append({
            "name": name, "K": K, "ns_per_config": med, "runs": runs, "other_cpus": others,
            "next_batch_over_cxx_batch": ratio("python_next_batch", "cxx_batch"),
            "cxx_batch_over_cxx_step": ratio("cxx_batch", "cxx_step"),
            "next_over_next_batch": ratio("python_next", "python_next_batch"),
        })
        print_batch_shape(out["shapes"][-1])
    return out


def print_batch_shape(s):
    m = s["ns_per_config"]
    print(f"  {s['name']:<8} K={s['K']:<8} next_batch({BATCH_SIZE}) {fmt(m['python_next_batch'], 7)}"
          f"  next() {fmt(m['python_next'], 7)}  C++ batch {fmt(m['cxx_batch'], 7)}"
          f"  C++ step {fmt(m['cxx_step'], 7)} ns/config", flush=True)
    print(f"  {'':<8} next_batch / C++ batch {fmt(s['next_batch_over_cxx_batch'], 5, 2)}"
          f" (target <= 1.15)   C++ batch / C++ step {fmt(s['cxx_batch_over_cxx_step'], 5, 2)}"
          f" (<= 1)   next() / next_batch {fmt(s['next_over_next_batch'], 5, 2)} (>= 3 on 8x4)"
          f"   others {fmt(s['other_cpus'], 4, 2)}", flush=True)


# --------------------------------------------------------------------------
# report


def fmt(x, width, prec=1):
    if x is None:
        return "-".rjust(width)
    return f"{x:{width}.{prec}f}"


def table_lines(report):
    head = (f"{'shape':<8}{'K':>9}  {'cache':<6}{'ns/config':>11}{'spread %':>10}"
            f"{'construct us':>14}{'bytes/config':>14}{'others':>8}")
    lines = [head, "-" * len(head)]
    for s in report["shapes"]:
        for cache in CACHE_MODES:
            r = s["cache_" + cache_label(cache)]
            mem = r.get("memory") or {}
            lines.append(
                f"{s['name']:<8}{s['K']:>9}  {cache_label(cache):<6}"
                + fmt(r.get("ns_per_config"), 11)
                + fmt(100 * r["spread"] if "spread" in r else None, 10)
                + fmt(r["construct_ns"] / 1e3 if "construct_ns" in r else None, 14)
                + fmt(mem.get("bytes_per_config"), 14)
                + fmt(s.get("other_cpus"), 8, 2))
    return lines


def print_scaling(scaling):
    for name, sc in scaling.items():
        print(f"\nscaling on {name}")
        print(f"{'K':>9}" + "".join(f"{'ns/config ' + cache_label(c):>17}" for c in CACHE_MODES)
              + "".join(f"{'bytes/config ' + cache_label(c):>19}" for c in CACHE_MODES)
              + f"{'others':>8}")
        others = sc.get("other_cpus") or [None] * len(sc["K"])
        for i, K in enumerate(sc["K"]):
            cells = [fmt(sc["cache_" + cache_label(c)]["ns_per_config"][i], 17)
                     for c in CACHE_MODES]
            cells += [fmt(sc["cache_" + cache_label(c)]["bytes_per_config"][i], 19)
                      for c in CACHE_MODES]
            print(f"{K:>9}" + "".join(cells) + fmt(others[i], 8, 2))


def plot(report, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no figure (pip install matplotlib)")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    m = report["machine"]
    fig, (ax_time, ax_mem) = plt.subplots(1, 2, figsize=(11, 4.6), constrained_layout=True)
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for i, (name, sc) in enumerate(report["scaling"].items()):
        for cache in CACHE_MODES:
            r = sc["cache_" + cache_label(cache)]
            style = dict(color=colors[i % len(colors)], marker="o" if cache else "s",
                         linestyle="-" if cache else "--",
                         label=f"{name}, cache {cache_label(cache)}")
            ax_time.plot(sc["K"], r["ns_per_config"], **style)
            ax_mem.plot(sc["K"], r["bytes_per_config"], **style)
    repeat = report["config"]["scaling_repeat"]
    ax_time.set_ylabel(f"ns per configuration (median of {repeat} runs)")
    ax_time.set_title("Time per next()")
    ax_mem.set_ylabel("bytes per configuration (peak RSS growth / K)")
    ax_mem.set_title("Memory per configuration taken")
    for ax in (ax_time, ax_mem):
        ax.set_xscale("log")
        ax.set_xlabel("K, configurations taken with next() (log scale)")
        ax.set_ylim(bottom=0)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.suptitle(f"quorin {m['quorin'] or ''}: RxC = R rows (variables) of C probabilities, "
                 f"seeded flat Dirichlet\n"
                 f"{m['cpu']}, {m['cores']} cores; Python {m['python'].split()[-1]}, "
                 f"NumPy {m['numpy']}", fontsize=10)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


# --------------------------------------------------------------------------
# main


def import_quorin(quorin_path):
    if quorin_path:
        sys.path.insert(0, os.path.abspath(quorin_path))
    import quorin

    return quorin


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="K/10, fewer repeats and plot points (under a minute)")
    ap.add_argument("--shapes", help="comma-separated ROWSxCOLS[:K], e.g. 16x256,8x4 "
                    "(default: 16x256,8x4,4x1000,64x2,200x3)")
    ap.add_argument("--repeat", type=int, help="timed runs per cell (default 5, quick 3)")
    ap.add_argument("--seed", type=int, default=2024, help="seed of the random matrices")
    ap.add_argument("--json", metavar="PATH", help="default benchmarks/results/latest.json "
                    "(latest-quick.json with --quick)")
    ap.add_argument("--plot", metavar="PATH", help="default benchmarks/results/scaling.png "
                    "(scaling-quick.png with --quick)")
    ap.add_argument("--plot-shapes", default="16x256",
                    help="shapes measured against K for the figure (default 16x256)")
    ap.add_argument("--no-plot", action="store_true", help="skip the scaling measurements")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory subprocesses")
    ap.add_argument("--no-save", action="store_true", help="skip saving and loading")
    ap.add_argument("--no-batch", action="store_true", help="skip the batch line")
    ap.add_argument("--quorin-path", metavar="DIR",
                    help="directory holding the quorin extension, searched first")
    # a fresh process measuring memory
    ap.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--save-child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--rows", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--cols", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--k", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--cache", choices=["on", "off"], help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        memory_child(args)
        return
    if args.save_child:
        save_child(args)
        return

    repeat = args.repeat or (3 if args.quick else 5)
    scaling_repeat = min(repeat, SCALING_MAX_REPEAT)
    suffix = "-quick" if args.quick else ""
    json_path = args.json or os.path.join(RESULTS, f"latest{suffix}.json")
    plot_path = args.plot or os.path.join(RESULTS, f"scaling{suffix}.png")
    shapes = parse_shapes(args.shapes, args.quick)
    scaling_ks = SCALING_K_QUICK if args.quick else SCALING_K
    plot_shapes = [] if args.no_plot else parse_shapes(args.plot_shapes, False)

    quorin = import_quorin(args.quorin_path)
    quorin_class = quorin.quorin
    machine = machine_info(quorin)
    for line in describe_machine(machine):
        print(line)
    print(f"load average {os.getloadavg()[0]:.2f}; repeat {repeat}"
          f"{'; quick mode' if args.quick else ''}", flush=True)

    started = time.time()
    report = {
        "machine": machine,
        "config": {"quick": args.quick, "repeat": repeat, "scaling_repeat": scaling_repeat,
                   "seed": args.seed, "command": [os.path.basename(sys.argv[0])] + sys.argv[1:]},
        "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "loadavg_start": os.getloadavg(),
        "shapes": [{"name": n, "rows": r, "cols": c, "K": K, "note": note,
                    "cache_on": {}, "cache_off": {}} for n, r, c, K, note in shapes],
        "scaling": {},
    }
    scaling_plan = []
    for name, rows, cols, _, _ in plot_shapes:
        ks = [K for K in scaling_ks if K <= configuration_count(rows, cols)]
        scaling_plan.append((name, rows, cols, ks))
        report["scaling"][name] = {"K": ks, **{
            "cache_" + cache_label(c): {"ns_per_config": [None] * len(ks),
                                        "bytes_per_config": [None] * len(ks),
                                        "memory": [None] * len(ks)} for c in CACHE_MODES}}

    # Memory first, while this process is still small (children inherit its peak RSS).
    if not args.no_memory:
        print("\nmemory (fresh process each): bytes/config = peak RSS growth / K", flush=True)
        for s in report["shapes"]:
            for cache in CACHE_MODES:
                mem = measure_memory(s["rows"], s["cols"], s["K"], cache, args)
                s["cache_" + cache_label(cache)]["memory"] = mem
                print(f"  {s['name']:<8} K={s['K']:<8} cache {cache_label(cache):<4}"
                      + (f"{mem['bytes_per_config']:10.1f}" if "error" not in mem
                         else f"  ERROR {mem['error']}"), flush=True)
        for name, rows, cols, ks in scaling_plan:
            for i, K in enumerate(ks):
                for cache in CACHE_MODES:
                    mem = measure_memory(rows, cols, K, cache, args)
                    r = report["scaling"][name]["cache_" + cache_label(cache)]
                    r["memory"][i] = mem
                    r["bytes_per_config"][i] = mem.get("bytes_per_config")
                    print(f"  {name:<8} K={K:<8} cache {cache_label(cache):<4}"
                          + (f"{mem['bytes_per_config']:10.1f}" if "error" not in mem
                             else f"  ERROR {mem['error']}"), flush=True)
        report["parent_maxrss_kb_after_memory"] = resource.getrusage(
            resource.RUSAGE_SELF).ru_maxrss

    if not args.no_save:
        report["save_load"] = measure_save_load(SAVE_K_QUICK if args.quick else SAVE_K, args)
        print_save_load(report["save_load"])

    warm = quorin_class([[0.5, 0.5], [0.5, 0.5]])
    next(warm)  # loads NumPy's C API outside the timed loops
    del warm

    print("\ntiming (median of runs, fresh instance per run)", flush=True)
    for s in report["shapes"]:
        probs = make_probs(s["rows"], s["cols"], args.seed)
        s["check"] = check_order(quorin_class, probs, min(CHECK_N, s["K"]))
        if s["check"] != "ok":
            print(f"  WARNING {s['name']}: {s['check']}", flush=True)
        snap0, t0 = cpu_snapshot(), perf_counter_ns()
        timed = time_shape(quorin_class, probs, s["K"], repeat)
        s["other_cpus"] = other_cpus(snap0, cpu_snapshot(), (perf_counter_ns() - t0) / 1e9)
        for cache in CACHE_MODES:
            r = s["cache_" + cache_label(cache)]
            r.update(timed[cache])
            print(f"  {s['name']:<8} K={s['K']:<8} cache {cache_label(cache):<4}"
                  f"{r['ns_per_config']:10.1f} ns/config", flush=True)

    if not args.no_batch:
        print(f"\nbatch line (cache on, median of {repeat} runs taking turns)", flush=True)
        report["batch"] = measure_batch_line(quorin_class, args, repeat)

    for name, rows, cols, ks in scaling_plan:
        probs = make_probs(rows, cols, args.seed)
        report["scaling"][name]["other_cpus"] = [None] * len(ks)
        for i, K in enumerate(ks):
            snap0, t0 = cpu_snapshot(), perf_counter_ns()
            timed = time_shape(quorin_class, probs, K, scaling_repeat)
            report["scaling"][name]["other_cpus"][i] = other_cpus(
                snap0, cpu_snapshot(), (perf_counter_ns() - t0) / 1e9)
            for cache in CACHE_MODES:
                r = report["scaling"][name]["cache_" + cache_label(cache)]
                r["ns_per_config"][i] = timed[cache]["ns_per_config"]
                r.setdefault("ns_per_config_runs", []).append(timed[cache]["ns_per_config_runs"])
            print(f"  {name:<8} K={K:<8} " + "  ".join(
                f"cache {cache_label(c)} {timed[c]['ns_per_config']:8.1f}" for c in CACHE_MODES)
                + " ns/config", flush=True)

    report["loadavg_end"] = os.getloadavg()
    report["elapsed_s"] = round(time.time() - started, 1)
    report["table"] = table_lines(report)

    print("\n" + "\n".join(describe_machine(machine)))
    print(f"elapsed {report['elapsed_s']} s, load average {report['loadavg_start'][0]:.2f} -> "
          f"{report['loadavg_end'][0]:.2f}\n")
    print("\n".join(report["table"]))
    print("\nns/config: median; spread: (max-min)/median of the runs; construct: median;\n"
          "bytes/config: peak RSS growth / K in a fresh process; others: CPUs used by\n"
          "other processes while the shape was timed (- if under a second)")
    if report["scaling"]:
        print_scaling(report["scaling"])
    if "save_load" in report:
        print_save_load(report["save_load"])
    if "batch" in report:
        print(f"\nbatch line (cache on), ns per configuration:")
        for shape in report["batch"]["shapes"]:
            print_batch_shape(shape)

    os.makedirs(os.path.dirname(os.path.abspath(json_path)), exist_ok=True)
    with open(json_path, "w") as f:
        json.dump(report, f, indent=1)
    print(f"\nwrote {json_path}")
    if report["scaling"] and plot(report, plot_path):
        print(f"wrote {plot_path}")


if __name__ == "__main__":
    main()
