"""Per-gate kernels: time per gate and effective bandwidth against a device-to-device copy.

    python bench/bench_gates.py [--n 20 22 24 26] [--repeat 8]

The bandwidth model (bench/common.py) counts the bytes a gate must read and write (a controlled gate
touches only its matching pairs, a SWAP only the amplitudes it exchanges); the model time is those
bytes at the bandwidth of a device-to-device copy of the same state measured in the same run, and
efficiency is model time over measured time. Goal on a GPU: one-qubit and controlled gates at
n >= 26 reach 90 % of the copy bandwidth in both precisions.
"""
import argparse

import numpy as np
from common import (ELEMENT_BYTES, ON_GPU, best_time, copy_bandwidth, gate_record_bytes, header, model_cells,
                    model_header, report)

import velqa


def gate(name, targets, controls=(), params=()):
    return {"id": name, "target": list(targets), "control": list(controls), "control_state": [1] * len(controls),
            "parameter": list(params)}


def cases(n):
    """(label, gate)"""
    return [
        ("h target 0", gate("h", [0])),
        (f"h target {n - 1}", gate("h", [n - 1])),
        ("x target 0, 2 controls", gate("x", [0], [n - 1, n - 2])),
        (f"x target {n - 1}, 2 controls", gate("x", [n - 1], [0, 1])),
        (f"swap 0, {n - 1}", gate("swap", [0, n - 1])),
        ("rx target 3, 1 control", gate("rx", [3], [n - 2], [0.3])),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, nargs="+", default=[24, 26, 28, 30] if ON_GPU else [20, 22, 24, 26])
    parser.add_argument("--repeat", type=int, default=8, help="gates per timed run")
    parser.add_argument("--dtype", nargs="+", default=["complex64", "complex128"])
    args = parser.parse_args()
    header("per-gate kernels")
    modes = [velqa.AllState, velqa.Pair, velqa.PairAuto]
    print(f"{'n':>3} {'dtype':>10} {'mode':>9} {'case':<28} {'us/gate':>10} {'GB/s':>8} {'copy GB/s':>9}"
          f"{model_header()}")
    for n in args.n:
        for dtype in args.dtype:
            state_bytes = ELEMENT_BYTES[dtype] << n
            copy = copy_bandwidth(state_bytes)
            # A dense state: zeros would let a CPU's zero-store handling flatter the host figures.
            amplitudes = np.random.default_rng(n).normal(size=1 << n).astype(dtype)
            state = velqa.DeviceState.from_numpy(n, amplitudes / np.linalg.norm(amplitudes))
            del amplitudes
            for mode in modes:
                for label, g in cases(n):
                    gates = [g] * args.repeat
                    seconds = best_time(lambda: velqa.run_circuit_device(state, gates, mode=mode)) / args.repeat
                    nbytes = gate_record_bytes(g, n, dtype)
                    print(f"{n:>3} {dtype:>10} {mode.name:>9} {label:<28} {seconds * 1e6:>10.1f} "
                          f"{nbytes / seconds / 1e9:>8.2f} {copy / 1e9:>9.2f}{model_cells(seconds, nbytes, copy)}")
                    report(f"{label}, {mode.name}", n, dtype, seconds, nbytes, copy)
            del state


if __name__ == "__main__":
    main()
