"""Fused execution against gate-by-gate execution on standard circuits.

For each circuit: the time of a PairAuto run (one kernel per gate) and of a PairAutoFusion run
(planned groups), the passes over the state each makes (one per per-gate kernel or SparseShareMem
group, three per DenseMM group slice), and the time to plan the circuit as a prepared chunk. The
bandwidth model (bench/common.py) counts the bytes each run must move as its gates or its plan
dictate; its time is at the device-to-device copy bandwidth measured in the same run, and
efficiency is model over measured time. Goal on a GPU: 70 % for SparseShareMem and DenseMM groups
(or, compute-bound, their arithmetic rate against the device's peak); random-circuit sampling at
n = 30, 20 cycles, complex64, fused, under 0.2 s.

    KORVANE_BUILD=build/host python bench/bench_fusion.py [--sizes 20 22 24] [--circuits rcs qft]

On the host device the sizes default to 20 to 24 qubits, on a GPU to 26 to 30. Passes are read from
the host device's launch log and are shown as "-" on a GPU (bench_planner prints them there).
"""
import argparse
import time

import numpy as np

from common import (ELEMENT_BYTES, ON_GPU, best_time, copy_bandwidth, fused_run_bytes, gate_record_bytes, header,
                    model_cells, model_header, report)

import korvane_bench
import velqa

try:
    import hostdevice
except ImportError:  # the cuda backend has no host device
    hostdevice = None


def g(name, target, control=(), parameter=()):
    return {"id": name, "target": list(target), "control": list(control),
            "control_state": [1] * len(control), "parameter": [float(p) for p in parameter]}


class Gate:
    def __init__(self, d):
        self.id, self.target, self.control = d["id"], d["target"], d["control"]
        self.control_state, self.parameter, self.matrix = d["control_state"], d["parameter"], None


def qft(n, rng):
    gates = []
    for j in range(n - 1, -1, -1):
        gates.append(g("h", [j]))
        gates += [g("cp", [j], [c], [np.pi / 2 ** (j - c)]) for c in range(j - 1, -1, -1)]
    gates += [g("swap", [q, n - 1 - q]) for q in range(n // 2)]
    return gates


def brick_wall(n, rng, layers=20):
    gates = []
    for layer in range(layers):
        gates += [g("u", [q], parameter=rng.uniform(0, 2 * np.pi, 3)) for q in range(n)]
        gates += [g("cx", [q + 1], [q]) for q in range(layer % 2, n - 1, 2)]
    return gates


def qaoa(n, rng, layers=4):
    gates = [g("h", [q]) for q in range(n)]
    for _ in range(layers):
        gamma, beta = rng.uniform(0, np.pi, 2)
        for q in range(n):
            r = (q + 1) % n
            gates += [g("cx", [r], [q]), g("rz", [r], parameter=[2 * gamma]), g("cx", [r], [q])]
        gates += [g("rx", [q], parameter=[2 * beta]) for q in range(n)]
    return gates


def rcs(n, rng, cycles=20):
    """H layer, then per cycle a random sqrt(X), sqrt(Y) or T on every qubit and a CZ brick layer
    with alternating offsets (24 qubits, 20 cycles: 734 gates)."""
    gates = [g("h", [q]) for q in range(n)]
    for cycle in range(cycles):
        gates += [g(str(rng.choice(["sx", "sqrty", "t"])), [q]) for q in range(n)]
        gates += [g("cz", [q + 1], [q]) for q in range(cycle % 2, n - 1, 2)]
    return gates


CIRCUITS = {"rcs": rcs, "qft": qft, "brick_wall": brick_wall, "qaoa": qaoa}


def passes_of(state, gates, mode):
    """Passes over the state of one run, from the host device's launch log."""
    if hostdevice is None:
        return None
    hostdevice.clear_launches()
    velqa.run_circuit_device(state, gates, mode=mode)
    kernels = [l["kernel"] for l in hostdevice.launches()]
    gathers = sum("transpose_to_low_bits" in k for k in kernels)
    scatters = sum("transpose_from_low_bits" in k for k in kernels)
    return len(kernels) - gathers - scatters + 3 * gathers


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[26, 28, 30] if ON_GPU else [20, 22, 24])
    parser.add_argument("--circuits", nargs="+", default=list(CIRCUITS), choices=list(CIRCUITS))
    parser.add_argument("--dtype", default="complex64")
    parser.add_argument("--repeats", type=int, default=3 if ON_GPU else 1)
    args = parser.parse_args()

    header(f"fused against per-gate execution, {args.dtype}")
    print(f"{'circuit':<11}{'n':>3}{'gates':>7}{'PairAuto s':>12}{'passes':>8}{model_header()}{'Fusion s':>11}"
          f"{'passes':>8}{model_header()}{'speed-up':>10}{'plan ms':>9}")
    for size in args.sizes:
        state = velqa.DeviceState.zero_state(size, args.dtype)
        copy = copy_bandwidth(state.num_state * ELEMENT_BYTES[args.dtype])
        for name in args.circuits:
            gates = CIRCUITS[name](size, np.random.default_rng(1))
            objects = [Gate(d) for d in gates]
            start = time.perf_counter()
            velqa.prepare_fusion_chunk_gates(size, objects)
            plan_ms = 1e3 * (time.perf_counter() - start)
            fused_passes = passes_of(state, gates, velqa.PairAutoFusion)
            per_gate_passes = passes_of(state, gates, velqa.PairAuto)
            per_gate = best_time(lambda: velqa.run_circuit_device(state, gates, mode=velqa.PairAuto), args.repeats)
            fused = best_time(lambda: velqa.run_circuit_device(state, gates, mode=velqa.PairAutoFusion), args.repeats)
            per_gate_bytes = sum(gate_record_bytes(g, size, args.dtype) for g in gates)
            fused_bytes = fused_run_bytes(size, args.dtype, gates, korvane_bench.fusion_plan(size, gates))
            show = lambda p: "-" if p is None else str(p)  # noqa: E731
            print(f"{name:<11}{size:>3}{len(gates):>7}{per_gate:>12.3f}{show(per_gate_passes):>8}"
                  f"{model_cells(per_gate, per_gate_bytes, copy)}{fused:>11.3f}{show(fused_passes):>8}"
                  f"{model_cells(fused, fused_bytes, copy)}{per_gate / fused:>9.1f}x{plan_ms:>9.2f}")
            for mode, seconds, passes, nbytes in (("PairAuto", per_gate, per_gate_passes, per_gate_bytes),
                                                  ("PairAutoFusion", fused, fused_passes, fused_bytes)):
                report(f"{name}, {mode}", size, args.dtype, seconds, nbytes, copy, passes=passes)
        del state


if __name__ == "__main__":
    main()
