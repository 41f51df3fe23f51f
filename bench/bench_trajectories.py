"""Noisy trajectories (velqa.estimate_expectation_trajectories) on depth-20 random circuits: a layer of
RY on every qubit and a brick of CX, depolarizing noise (p = 1e-3) on both qubits after every CX, and
amplitude damping (gamma = 0.05) on every qubit at the end. Per size, precision, mode (fused and
per-gate) and deduplication on and off it prints trajectories per second; the time of one trajectory
over the time of the noiseless circuit in the same mode (its cost in noiseless runs: passes per
trajectory against the noiseless plan when passes dominate); the bandwidth-model ratio (the noiseless
fused plan's passes plus two per non-unitary channel, each a read and a write of the state, at the
copy bandwidth measured in the same run, over the measured time); and the distinct/total ratio. At
the smallest size it also prints the time to reach a standard error of 1e-3 on <Z_0> (extrapolated
from the run: trajectories needed = T (se / 1e-3)^2) against dormeth's exact run of the same circuit.

    python bench/bench_trajectories.py [--sizes 12 16] [--trajectories 64]

Defaults: n = 12 and 16 with 64 trajectories on the host device, 12 to 24 with 1024 on a GPU.
"""
import argparse
import time
from types import SimpleNamespace

import numpy as np

from common import ELEMENT_BYTES, ON_GPU, best_time, copy_bandwidth, header, korvane_bench, report

import dormeth
import velqa

DEPTH = 20
P_DEPOLARIZING = 1e-3
GAMMA = 0.05


def gate(id, target, parameter=None, control=()):
    return SimpleNamespace(id=id, target=list(target), control=list(control), control_state=[1] * len(control),
                           parameter=parameter, has_stored_matrix=False, stored_matrix=None)


def channel(name, q, operators):
    return SimpleNamespace(operation_kind="kraus", target=[q], channel_name=name,
                           kraus_matrices=np.array(operators, dtype=complex))


def circuit(n, seed=1):
    rng = np.random.default_rng(seed)
    i, x, y, z = np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
    depolarizing = [np.sqrt(1 - 3 * P_DEPOLARIZING / 4) * i] + [np.sqrt(P_DEPOLARIZING / 4) * m for m in (x, y, z)]
    damping = [np.diag([1, np.sqrt(1 - GAMMA)]), [[0, np.sqrt(GAMMA)], [0, 0]]]
    gates, noisy = [], []
    for layer in range(DEPTH):
        for q in range(n):
            g = gate("ry", [q], [float(rng.uniform(0, np.pi))])
            gates.append(g)
            noisy.append(g)
        for q in range(layer % 2, n - 1, 2):
            g = gate("cx", [q + 1], control=[q])
            gates.append(g)
            noisy += [g, channel("depolarizing", q, depolarizing), channel("depolarizing", q + 1, depolarizing)]
    noisy += [channel("amplitude_damping", q, damping) for q in range(n)]
    return gates, noisy


def gate_ir(gates):
    return [{"id": g.id, "target": g.target, "control": g.control, "control_state": g.control_state,
             "parameter": list(g.parameter or [])} for g in gates]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[12, 16, 20, 24] if ON_GPU else [12, 16])
    parser.add_argument("--trajectories", type=int, default=1024 if ON_GPU else 64)
    args = parser.parse_args()
    header("noisy trajectories")
    print(f"{'n':>3} {'dtype':>10} {'mode':>15} {'dedup':>5} {'traj/s':>10} {'x noiseless':>11} "
          f"{'model':>6} {'distinct':>8}")
    terms = [(1.0, "Z", [0])]
    for n in args.sizes:
        gates, noisy = circuit(n)
        noiseless_passes = len(korvane_bench.fusion_plan(n, gate_ir(gates)))
        non_unitary = n  # amplitude damping on every qubit
        for dtype in ("complex128", "complex64"):
            state_bytes = (1 << n) * ELEMENT_BYTES[dtype]
            bandwidth = copy_bandwidth(state_bytes)
            for mode in (velqa.PairAutoFusion, velqa.PairAuto):
                state = velqa.DeviceState.zero_state(n, dtype)
                noiseless = best_time(lambda: velqa.run_circuit_device(state, gate_ir(gates), mode=mode))
                del state
                for dedup in (True, False):
                    start = time.perf_counter()
                    est = velqa.estimate_expectation_trajectories(n, noisy, terms, args.trajectories, seed=3,
                                                                  dtype=dtype, mode=mode, deduplicate=dedup)
                    seconds = time.perf_counter() - start
                    per = seconds / est.trajectories
                    model = (noiseless_passes + 2 * non_unitary) * 2 * state_bytes / bandwidth
                    ratio = model * est.distinct / est.trajectories / per
                    print(f"{n:>3} {dtype:>10} {mode.name:>15} {str(dedup):>5} {1 / per:>10.1f} "
                          f"{per / noiseless:>11.1f} {ratio:>6.3f} {est.distinct / est.trajectories:>8.3f}")
                    report(f"{mode.name}{'' if dedup else ' no-dedup'}", n, dtype, seconds,
                           trajectories=est.trajectories, distinct=est.distinct, per_noiseless=per / noiseless,
                           model_ratio=ratio, noiseless_passes=noiseless_passes)
                    if n == args.sizes[0] and dtype == "complex128" and mode == velqa.PairAutoFusion and dedup:
                        needed = est.trajectories * (est.standard_error / 1e-3) ** 2
                        rho = dormeth.DeviceDensityState.zero_state(n)
                        start = time.perf_counter()
                        dormeth.run_density_operations_device(rho, n, noisy)
                        dormeth.expectation_pauli_device(rho, terms)
                        exact = time.perf_counter() - start
                        print(f"    standard error 1e-3 on <Z0>: {needed:.0f} trajectories, {needed * per:.1f} s; "
                              f"dormeth exact: {exact:.2f} s")


if __name__ == "__main__":
    main()
