"""Shared pieces of the benchmarks: module import from the build, timing, and the copy reference."""
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("KORVANE_BUILD", os.path.join(ROOT, "build", "host"))
sys.path.insert(0, os.path.join(BUILD, "python"))

import korvane_bench  # noqa: E402

ON_GPU = korvane_bench.backend == "cuda"


def best_time(run, repeats=3):
    """Best wall time of run() followed by a device-wide wait."""
    best = float("inf")
    for _ in range(repeats):
        korvane_bench.synchronize()
        start = time.perf_counter()
        run()
        korvane_bench.synchronize()
        best = min(best, time.perf_counter() - start)
    return best


def copy_bandwidth(nbytes, repeats=5):
    """Effective bandwidth (read + write bytes per second) of a device-to-device copy."""
    return 2 * nbytes / korvane_bench.copy_seconds(nbytes, repeats)


def header(title):
    print(f"\n== {title} ({'GPU' if ON_GPU else 'host device'})")
