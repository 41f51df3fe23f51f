"""Batches of statevectors against a Python loop of single-state calls.

The circuit is a hardware-efficient ansatz: per layer an RZ and an RY on every qubit, then a CX
ladder (q controls q + 1), 20 layers, every member with its own angles (a (batch, 1) parameter
array per rotation). For each n, batch (batch x 2^n at most 2^26 amplitudes), precision and mode
(PairAuto, one kernel per gate; PairAutoFusion, the planned groups) it prints:

- batch s: one run_circuit_batch_device call on a DeviceStateBatch of the members;
- loop s: the same members run one by one, each a run_circuit_device call on a DeviceState with its
  own angles (timed over --loop-members members and scaled to the batch: the calls are alike);
- speed-up: loop over batch;
- per member us, single us: the batch's time per member, and one single-state call of the same n;
- model: the bytes the run must move (the per-gate or fused model of bench/common.py for one
  member, times the batch) at the device-to-device copy bandwidth measured in the same run, over
  the measured time (the fraction of copy bandwidth reached); pass us is one read and write of the
  whole batch at that bandwidth.

Goals on an H100: n = 12, batch = 4096, fused: at least 70 % of copy bandwidth and 50 times faster
than the loop.

    KORVANE_BUILD=build/host python bench/bench_batch.py [--sizes 10 12] [--batches 1 16 256]
"""
import argparse

import numpy as np

from common import (ELEMENT_BYTES, ON_GPU, best_time, copy_bandwidth, fused_run_bytes, gate_record_bytes, header,
                    report)

import korvane_bench
import velqa

LAYERS = 20
MAX_AMPLITUDES = 1 << 26


def ansatz(n, angles):
    """The ansatz's gate dicts; angles[:, j] is rotation j's column of per-member angles, or a row
    of floats for a single state."""
    gates = []
    j = 0
    for _ in range(LAYERS):
        for name in ("rz", "ry"):
            for q in range(n):
                a = angles[..., j]
                parameter = a.reshape(-1, 1) if a.ndim else [float(a)]
                gates.append({"id": name, "target": [q], "control": [], "control_state": [], "parameter": parameter})
                j += 1
        gates += [{"id": "cx", "target": [q + 1], "control": [q], "control_state": [1], "parameter": []}
                  for q in range(n - 1)]
    return gates


def rotations(n):
    return 2 * n * LAYERS


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+",
                        default=[10, 12, 14, 16, 18, 20] if ON_GPU else [10, 12])
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 16, 256, 4096] if ON_GPU else [1, 16, 64])
    parser.add_argument("--dtypes", nargs="+", default=["complex64", "complex128"])
    parser.add_argument("--modes", nargs="+", default=["PairAuto", "PairAutoFusion"])
    parser.add_argument("--loop-members", type=int, default=32 if ON_GPU else 4,
                        help="members the loop is timed over (scaled to the batch)")
    parser.add_argument("--repeats", type=int, default=3 if ON_GPU else 1)
    args = parser.parse_args()

    header("batched runs against a loop of single-state calls, hardware-efficient ansatz, 20 layers")
    print(f"{'dtype':<11}{'mode':<15}{'n':>3}{'batch':>6}{'batch s':>11}{'loop s':>11}{'speed-up':>10}"
          f"{'per member us':>15}{'single us':>11}{'pass us':>9}{'model':>7}")
    rng = np.random.default_rng(1)
    for dtype in args.dtypes:
        for n in args.sizes:
            batches = [b for b in args.batches if b << n <= MAX_AMPLITUDES]
            if not batches:
                continue
            copy = copy_bandwidth((max(batches) << n) * ELEMENT_BYTES[dtype])
            for size in batches:
                angles = rng.uniform(0, 2 * np.pi, size=(size, rotations(n)))
                gates = ansatz(n, angles)
                member_gates = [ansatz(n, angles[b]) for b in range(size)]
                batch = velqa.DeviceStateBatch.zero_state(n, size, dtype)
                single = velqa.DeviceState.zero_state(n, dtype)
                looped = list(range(min(size, args.loop_members)))
                one_pass = 2 * (size << n) * ELEMENT_BYTES[dtype]
                for mode_name in args.modes:
                    mode = getattr(velqa, mode_name)
                    batched = best_time(lambda: velqa.run_circuit_batch_device(batch, gates, mode=mode), args.repeats)

                    def loop():
                        for b in looped:
                            velqa.run_circuit_device(single, member_gates[b], mode=mode)

                    per_single = best_time(loop, args.repeats) / len(looped)
                    loop_seconds = per_single * size
                    if mode_name == "PairAutoFusion":
                        plan = korvane_bench.fusion_plan(n, member_gates[0])
                        member_bytes = fused_run_bytes(n, dtype, member_gates[0], plan)
                    else:
                        member_bytes = sum(gate_record_bytes(g, n, dtype) for g in member_gates[0])
                    record = report(f"ansatz, {mode_name}, batch {size}", n, dtype, batched, member_bytes * size, copy,
                                    batch=size, loop_seconds=loop_seconds, speedup=loop_seconds / batched,
                                    single_seconds=per_single, pass_seconds=one_pass / copy)
                    print(f"{dtype:<11}{mode_name:<15}{n:>3}{size:>6}{batched:>11.4f}{loop_seconds:>11.4f}"
                          f"{loop_seconds / batched:>9.1f}x{1e6 * batched / size:>15.1f}{1e6 * per_single:>11.1f}"
                          f"{1e6 * one_pass / copy:>9.1f}{record['fraction_of_copy']:>7.0%}")
                del batch, single


if __name__ == "__main__":
    main()
