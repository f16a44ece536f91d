#!/usr/bin/env python3
"""The same fused AES-128 key search through the `quorin` command and from Python.

On a seeded 16 x 256 matrix (rows from gamma(0.3), normalised; benchmarks/matrices.py), the
range of 2^--log2-count configurations from position 2^--log2-start is searched for a key
planted near its end, every configuration of the range tested (--all), with
quorin.AES128 run inside the walk, in this process on every core (workers=1), the default
task size. Three ways, each --repeat times, the best kept:

  python       quorin.search(probs, quorin.AES128(pt, ct), start=..., stop=..., workers=1)
  command      python -m quorin search MATRIX --plaintext .. --ciphertext .. --all
               --workers 1 (with its session: a checkpoint written after every task);
               "seconds" is the search as the command times it, "wall" the whole process
               (interpreter start, imports, reading the matrix, the session files)

One line of JSON each, then the ratios. Target: the command's search within 5 % of the
search from Python (command / python <= 1.05).

    python3 benchmarks/bench_command.py [--log2-start 32] [--log2-count 28] [--repeat 3]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy

import quorin

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrices import gamma_matrix  # noqa: E402


def from_python(probs, tester, start, stop):
    began = time.perf_counter()
    hits = quorin.search(probs, tester, start=start, stop=stop, workers=1)
    return time.perf_counter() - began, [h.rank for h in hits]


def through_command(matrix_file, plaintext, ciphertext, start, stop, folder, run):
    session = os.path.join(folder, f"bench{run}")
    args = [sys.executable, "-m", "quorin", "search", matrix_file,
            "--plaintext", plaintext.hex(), "--ciphertext", ciphertext.hex(),
            "--start", str(start), "--stop", str(stop), "--all", "--workers", "1",
            "--json", "--quiet", "--session", session]
    began = time.perf_counter()
    done = subprocess.run(args, capture_output=True, text=True)
    wall = time.perf_counter() - began
    if done.returncode not in (0, 1):
        raise SystemExit(f"the command failed ({done.returncode}): {done.stderr}")
    result = json.loads(done.stdout)
    return result["seconds"], wall, [h["rank"] for h in result["hits"]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--log2-start", type=int, default=32)
    parser.add_argument("--log2-count", type=int, default=28)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    probs = gamma_matrix(0.3, args.seed)
    start = 2**args.log2_start
    stop = start + 2**args.log2_count
    plaintext = bytes(range(16))
    at = stop - 1000 if stop - start > 2000 else start  # the planted key's position
    batch = next(iter(quorin.batches(probs, size=1, start=at, stop=at + 1)))
    key = bytes(int(c) for c in batch.columns[0])
    ciphertext = quorin.AES128.encrypt(key, plaintext)
    tester = quorin.AES128(plaintext, ciphertext)
    count = stop - start

    with tempfile.TemporaryDirectory() as folder:
        matrix_file = os.path.join(folder, "probs.npy")
        numpy.save(matrix_file, probs)
        python_best = command_best = wall_best = float("inf")
        for run in range(args.repeat):  # alternated, so that both see the same machine
            seconds, ranks = from_python(probs, tester, start, stop)
            assert ranks == [at + 1], ("python", ranks)
            python_best = min(python_best, seconds)
            seconds, wall, ranks = through_command(matrix_file, plaintext, ciphertext, start,
                                                   stop, folder, run)
            assert ranks == [at + 1], ("command", ranks)
            command_best, wall_best = min(command_best, seconds), min(wall_best, wall)

    common = {"configurations": count, "start": start, "tester": tester.implementation}
    for name, seconds in (("python", python_best), ("command", command_best),
                          ("command-wall", wall_best)):
        print(json.dumps({"way": name, "seconds": round(seconds, 3),
                          "per_second": round(count / seconds), **common}), flush=True)
    print(json.dumps({"command_vs_python": round(command_best / python_best, 3),
                      "command_wall_vs_python": round(wall_best / python_best, 3)}))


if __name__ == "__main__":
    main()
