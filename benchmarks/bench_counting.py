#!/usr/bin/env python3
"""Speed and memory of counting deep down: select and exact ranks on 16 x 256.

For each matrix kind of benchmarks/matrices.py (gamma(0.3) rows, gamma(1.0) rows, a
Hamming-weight template attack), seeded, and each depth 2^24, 2^28, 2^32, 2^36, 2^40:

  select   the configuration at that 0-based position of the cost order (quorin::select,
           timed by benchmarks/bench_select.cpp, which this script builds with CMake from
           this checkout in build/bench), with the peak memory of its process
  rank     quorin.rank of that configuration with exact_up_to=2**44, in a fresh Python
           process: its wall time, whether it came back exact and equal to the position
           plus one, and the process's peak memory

Every figure comes from one run; the machine may be shared, so compare ratios. Each call
runs in a process of its own and gives up after --timeout seconds.

    python3 benchmarks/bench_counting.py                 # every kind and depth (long)
    python3 benchmarks/bench_counting.py --depths 24 28  # some depths
    python3 benchmarks/bench_counting.py --kinds gamma0.3 --seed 2
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")
sys.path.insert(0, HERE)

from matrices import MATRIX_KINDS  # noqa: E402

RANK_SCRIPT = """
import json, resource, sys, time
import numpy as np
import quorin
probs = np.load(sys.argv[1])
columns = json.loads(sys.argv[2])
start = time.perf_counter()
low, high = quorin.rank(probs, columns, exact_up_to=2**44)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
print(json.dumps({"seconds": round(seconds, 3), "low": low, "high": high, "peak_mib": round(peak, 1)}))
"""


def build_select():
    """Path of quorin_bench_select built from this checkout (Release)."""
    build = os.path.join(ROOT, "build", "bench")
    for cmd in (["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DQUORIN_BUILD_TESTS=ON",
                 "-DQUORIN_BUILD_EXAMPLES=OFF"],
                ["cmake", "--build", build, "--target", "quorin_bench_select"]):
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"{' '.join(cmd[:2])} failed: {(done.stderr or done.stdout).strip()[-500:]}")
    return os.path.join(build, "quorin_bench_select")


def write_matrix(probs, path):
    """The matrix in bench_select.cpp's format: rows, columns (uint64), then the doubles."""
    import numpy as np

    a = np.ascontiguousarray(probs, dtype="<f8")
    with open(path, "wb") as f:
        f.write(np.array(a.shape, dtype="<u8").tobytes())
        f.write(a.tobytes())


def run_json(cmd, timeout):
    """The last line a command prints, as JSON; or {"error": ...}."""
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    if done.returncode != 0:
        return {"error": (done.stderr or done.stdout).strip()[-300:]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def measure(kind, seed, depths, select_binary, timeout, workdir):
    import numpy as np

    probs = MATRIX_KINDS[kind](seed)
    raw = os.path.join(workdir, f"{kind}.bin")
    npy = os.path.join(workdir, f"{kind}.npy")
    write_matrix(probs, raw)
    np.save(npy, probs)
    rows = []
    for depth in depths:
        row = {"kind": kind, "seed": seed, "depth": depth}
        found = run_json([select_binary, raw, str(depth)], timeout)
        row["select"] = found
        if "columns" in found:
            ranked = run_json([sys.executable, "-c", RANK_SCRIPT, npy, json.dumps(found["columns"])], timeout)
            if "low" in ranked:
                ranked["exact"] = ranked["low"] == ranked["high"]
                ranked["matches_position"] = ranked["low"] == 2**depth + 1 and ranked["exact"]
            row["rank"] = ranked
        rows.append(row)
        print(line_of(row), flush=True)
    return rows


def line_of(row):
    select, rank = row["select"], row.get("rank", {})
    text = f"{row['kind']:>9} 2^{row['depth']:<3}"
    if "error" in select:
        return text + f" select: {select['error']}"
    text += f" select {select['seconds']:8.2f} s {select['peak_mib']:7.1f} MiB"
    if "error" in rank:
        return text + f" | rank: {rank['error']}"
    verdict = "exact, = position + 1" if rank.get("matches_position") else f"{rank['low']} .. {rank['high']}"
    return text + f" | rank {rank['seconds']:8.2f} s {rank['peak_mib']:7.1f} MiB  {verdict}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kinds", nargs="+", default=list(MATRIX_KINDS), choices=list(MATRIX_KINDS))
    parser.add_argument("--depths", nargs="+", type=int, default=[24, 28, 32, 36, 40])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=900.0, help="seconds per call")
    parser.add_argument("--out", default=os.path.join(RESULTS, "counting.json"))
    args = parser.parse_args()
    select_binary = build_select()
    rows = []
    with tempfile.TemporaryDirectory() as workdir:
        for kind in args.kinds:
            rows += measure(kind, args.seed, args.depths, select_binary, args.timeout, workdir)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump({"machine": os.uname().nodename, "cpus": os.cpu_count(), "rows": rows}, f, indent=1)
    print(f"written to {args.out}")


if __name__ == "__main__":
    main()
