"""Draws the performance page's figure of quorin.batches against quorin.quorin from the
benchmark's recorded results (benchmarks/results/windows.json); runs in docs/_generated."""

import json
import pathlib

import matplotlib.pyplot as plt
import numpy as np

root = pathlib.Path.cwd().parent.parent
results = json.loads((root / "benchmarks/results/windows.json").read_text())
shapes = results["shapes"]
names = [s["shape"] for s in shapes]
windows = [s["batches_ns_per_config"] for s in shapes]
heap = [s["heap_ns_per_config"] for s in shapes]

y = np.arange(len(names))
fig, ax = plt.subplots(figsize=(7, 3.6), layout="constrained")
ax.barh(y - 0.2, heap, height=0.4, label="quorin.quorin, next()")
ax.barh(y + 0.2, windows, height=0.4, label="quorin.batches")
ax.set_yticks(y, names)
ax.invert_yaxis()
ax.set_xscale("log")
ax.set_xlabel("ns per configuration (first 10^6 configurations; 8x4: all 65536)")
ax.legend(loc="lower right")
ax.set_title(f"Both engines in one run, {results['cpus']}-core {results['machine']} machine")
fig.savefig("benchmark-windows.png", dpi=120)
