"""Shared pieces of the benchmarks: module import from the build, timing, the copy reference, and
the machine-readable record of every measurement."""
import json
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("KORVANE_BUILD", os.path.join(ROOT, "build", "host"))
sys.path.insert(0, os.path.join(BUILD, "python"))

import korvane_bench  # noqa: E402

ON_GPU = korvane_bench.backend == "cuda"
# The running benchmark, as records name it.
BENCH = os.path.splitext(os.path.basename(sys.argv[0]))[0]


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


def report(case, n, dtype, seconds, bytes_moved=None, copy_bandwidth=None, **figures):
    """Records one measurement: when KORVANE_BENCH_JSON names a file, appends it there as one JSON
    object on a line (scripts/gpu_check.py collects them). With the bytes the operation must move
    and the device-to-device copy bandwidth measured in the same run, the record carries the
    effective bandwidth and its fraction of the copy's. Further keyword figures are kept as given.
    Returns the record."""
    record = {"bench": BENCH, "case": case, "n": n, "dtype": dtype, "seconds": seconds,
              "backend": korvane_bench.backend}
    if bytes_moved is not None and seconds > 0:
        record["bytes_moved"] = bytes_moved
        record["bandwidth"] = bytes_moved / seconds
        if copy_bandwidth:
            record["copy_bandwidth"] = copy_bandwidth
            record["fraction_of_copy"] = record["bandwidth"] / copy_bandwidth
    record.update(figures)
    path = os.environ.get("KORVANE_BENCH_JSON")
    if path:
        with open(path, "a") as f:
            f.write(json.dumps(record) + "\n")
    return record
