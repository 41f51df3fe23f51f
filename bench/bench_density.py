"""Per-operation time of the density-matrix kernels, with the effective bandwidth (bytes read and
written by the operation, divided by its time) beside a device-to-device copy of the same matrix
measured in the same run. The bytes are the bandwidth model's (bench/common.py): the elements an
operation changes, read and written once per pass, and its matrices; efficiency is model time over
measured time. Goal on a GPU: one-target operations reach 70 % at n = 14.

    python bench/bench_density.py [--sizes 10 11 12] [--repeats 3]

Defaults: n = 10 to 12 on the host device, 12 to 14 on a GPU; both precisions.
"""
import argparse
import os
import sys
from types import SimpleNamespace

import numpy as np

from common import (ON_GPU, best_time, copy_bandwidth, density_op_bytes, header, model_cells, model_header,
                    report)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "python"))
import dormeth  # noqa: E402


def gate(id, target, parameter=None, matrix=None, control=()):
    return SimpleNamespace(id=id, target=list(target), control=list(control), control_state=[1] * len(control),
                           parameter=parameter, has_stored_matrix=matrix is not None, stored_matrix=matrix)


def kraus(target, matrices, name=None):
    op = SimpleNamespace(operation_kind="kraus", target=list(target), kraus_matrices=matrices)
    if name:
        op.channel_name = name
    return op


def unitary(k, rng):
    z = rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k))
    q, _ = np.linalg.qr(z)
    return q


def channel(name, q, p):
    i2, x = np.eye(2), np.array([[0, 1], [1, 0]])
    sets = {
        "bit_flip": [np.sqrt(1 - p) * i2, np.sqrt(p) * x],
        "phase_flip": [np.sqrt(1 - p) * i2, np.sqrt(p) * np.diag([1, -1])],
        "depolarizing": [np.sqrt(1 - 3 * p / 4) * i2, np.sqrt(p / 4) * x, np.sqrt(p / 4) * np.array([[0, -1j], [1j, 0]]),
                         np.sqrt(p / 4) * np.diag([1, -1])],
        "amplitude_damping": [np.diag([1, np.sqrt(1 - p)]), np.array([[0, np.sqrt(p)], [0, 0]])],
        "phase_damping": [np.sqrt(1 - p) * i2, np.sqrt(p) * np.diag([1, 0]), np.sqrt(p) * np.diag([0, 1])],
    }
    return kraus([q], np.array(sets[name], dtype=complex), name)


def cases(n, rng):
    """(label, operation)"""
    q = n // 2
    kset = np.array([unitary(3, rng) / 2 for _ in range(4)])
    return [
        ("1-target gate h", gate("h", [q])),
        ("1-target gate h, target 0", gate("h", [0])),
        ("2-target unitary", gate("unitary", [q, 0], matrix=unitary(2, rng))),
        ("6-target unitary", gate("unitary", [1, 3, 5, 7, 8, 9][: min(6, n)], matrix=unitary(6, rng))),
        ("6-target unitary, low", gate("unitary", [0, 1, 2, 3, 4, 5][: min(6, n)], matrix=unitary(6, rng))),
        ("diagonal rz", gate("rz", [q], [0.3])),
        ("permutation cx", gate("cx", [q], control=[0])),
        ("bit_flip", channel("bit_flip", q, 0.1)),
        ("phase_flip", channel("phase_flip", q, 0.1)),
        ("depolarizing", channel("depolarizing", q, 0.1)),
        ("amplitude_damping", channel("amplitude_damping", q, 0.1)),
        ("phase_damping", channel("phase_damping", q, 0.1)),
        ("2-target Kraus (4 ops)", kraus([0, n - 1], np.array([unitary(2, rng) / 2 for _ in range(4)]))),
        ("3-target Kraus (4 ops)", kraus([0, q, n - 1], kset)),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[12, 13, 14] if ON_GPU else [10, 11, 12])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--dtypes", nargs="+", default=["complex64", "complex128"])
    args = parser.parse_args()
    os.environ.pop("KORVANE_DENSITY_FUSION", None)
    rng = np.random.default_rng(0)
    header("dormeth: time per operation and effective bandwidth (read + written bytes / time)")
    for dtype in args.dtypes:
        for n in args.sizes:
            state = dormeth.DeviceDensityState.zero_state(n, dtype=dtype)
            nbytes = state.dimension ** 2 * np.dtype(dtype).itemsize
            copy = copy_bandwidth(nbytes)
            print(f"\n{dtype} n={n}: matrix {nbytes / 2**20:.0f} MiB, device copy {copy / 1e9:.2f} GB/s")
            print(f"  {'operation':<26}{'time ms':>12}{'GB/s':>10}{model_header()}")
            for label, op in cases(n, rng):
                seconds = best_time(lambda: dormeth.run_density_operations_device(state, n, [op]), args.repeats)
                model = density_op_bytes(n, dtype, op)
                print(f"  {label:<26}{seconds * 1e3:>12.2f}{model / seconds / 1e9:>10.2f}"
                      f"{model_cells(seconds, model, copy)}")
                report(label, n, dtype, seconds, model, copy)
            del state


if __name__ == "__main__":
    main()
