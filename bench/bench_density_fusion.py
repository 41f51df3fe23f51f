"""Density fusion on a noisy circuit: time of the whole operation list with KORVANE_DENSITY_FUSION off
and on, and the number of kernel launches each needs (host device only).

The circuit has `--layers` layers; each applies a one-qubit gate to every qubit, each gate followed
by depolarizing or amplitude-damping noise on its qubit, then CX gates between neighbouring qubits
(even pairs in even layers, odd pairs in odd layers).

    python bench/bench_density_fusion.py [--sizes 8 9 10 11] [--layers 4] [--repeats 3]

The bandwidth model (bench/common.py) counts the bytes each run must move, operation by operation
with fusion off and group by group of the plan with it on; its time is at the device-to-device copy
bandwidth measured in the same run, and efficiency is model over measured time.

Defaults: n = 8 to 11 on the host device, 12 to 14 on a GPU; both precisions.
"""
import argparse
import os

import numpy as np

from common import (ON_GPU, best_time, copy_bandwidth, density_fused_bytes, density_op_bytes, header, model_cells,
                    model_header, report)

import dormeth  # noqa: E402
import korvane_bench  # noqa: E402
from bench_density import channel, gate  # noqa: E402

try:
    import hostdevice  # noqa: E402
except ImportError:  # the cuda backend has no host device
    hostdevice = None


def noisy_circuit(n, layers, rng):
    ops = []
    for layer in range(layers):
        for q in range(n):
            kind = (layer + q) % 4
            if kind == 0:
                ops.append(gate("h", [q]))
            elif kind == 1:
                ops.append(gate("rx", [q], [float(rng.uniform(0, np.pi))]))
            elif kind == 2:
                ops.append(gate("ry", [q], [float(rng.uniform(0, np.pi))]))
            else:
                ops.append(gate("u", [q], [float(a) for a in rng.uniform(0, np.pi, 3)]))
            if (layer + q) % 2:
                ops.append(channel("depolarizing", q, 0.01))
            else:
                ops.append(channel("amplitude_damping", q, 0.02))
        for q in range(layer % 2, n - 1, 2):
            ops.append(gate("cx", [q + 1], control=[q]))
    return ops


def timed(state, n, ops, fused, repeats):
    """(best seconds, kernel launches of one run or None) with the switch set in-process."""
    os.environ["KORVANE_DENSITY_FUSION"] = "1" if fused else "0"
    seconds = best_time(lambda: dormeth.run_density_operations_device(state, n, ops), repeats)
    launches = None
    if hostdevice is not None:
        before = hostdevice.launch_count()
        dormeth.run_density_operations_device(state, n, ops)
        launches = hostdevice.launch_count() - before
    return seconds, launches


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[12, 13, 14] if ON_GPU else [8, 9, 10, 11])
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--dtypes", nargs="+", default=["complex64", "complex128"])
    args = parser.parse_args()
    saved = os.environ.get("KORVANE_DENSITY_FUSION")
    header(f"dormeth: noisy circuit of {args.layers} layers, fusion off against on")
    print(f"  {'dtype':<12}{'n':>3}{'ops':>6}{'off ms':>11}{model_header()}{'on ms':>11}{model_header()}"
          f"{'speedup':>9}{'launches off/on':>18}")
    try:
        for dtype in args.dtypes:
            for n in args.sizes:
                ops = noisy_circuit(n, args.layers, np.random.default_rng(n))
                state = dormeth.DeviceDensityState.zero_state(n, dtype=dtype)
                off, off_launches = timed(state, n, ops, False, args.repeats)
                on, on_launches = timed(state, n, ops, True, args.repeats)
                counts = f"{off_launches}/{on_launches}" if off_launches is not None else "-"
                copy = copy_bandwidth(state.dimension ** 2 * np.dtype(dtype).itemsize)
                off_bytes = sum(density_op_bytes(n, dtype, op) for op in ops)
                on_bytes = density_fused_bytes(n, dtype, ops, korvane_bench.density_fusion_plan(n, ops))
                for label, seconds, launches, model in (("fusion off", off, off_launches, off_bytes),
                                                        ("fusion on", on, on_launches, on_bytes)):
                    report(f"noisy circuit, {label}", n, dtype, seconds, model, copy, launches=launches)
                print(f"  {dtype:<12}{n:>3}{len(ops):>6}{off * 1e3:>11.2f}{model_cells(off, off_bytes, copy)}"
                      f"{on * 1e3:>11.2f}{model_cells(on, on_bytes, copy)}{off / on:>8.2f}x{counts:>18}")
                del state
    finally:
        if saved is None:
            os.environ.pop("KORVANE_DENSITY_FUSION", None)
        else:
            os.environ["KORVANE_DENSITY_FUSION"] = saved


if __name__ == "__main__":
    main()
