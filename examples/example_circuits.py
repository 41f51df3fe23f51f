"""Example circuits through korvane's GPU execution layer: a statevector circuit through velqa
(per-gate kernels, an arbitrary unitary, a fused chunk, sampling), a noisy circuit through dormeth
(gates, built-in channels, a Kraus channel, fusion, measurement), observables read on the device
in both modules (the energy of an Ising Hamiltonian, a marginal distribution), and states handed to
and taken from an array library without a copy (DLPack: NumPy on the host device, CuPy on a GPU).

Run with scripts/run_example.sh, directly with KORVANE_BUILD pointing at a build folder, or against
the modules installed with pip.
"""
import importlib
import os
import sys
from collections.abc import Sequence
from types import SimpleNamespace
from typing import Any

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.environ.get("KORVANE_BUILD", os.path.join(ROOT, "build", "host")), "python"))

import dormeth  # noqa: E402
import velqa  # noqa: E402

DEVICE = "the host device (a CPU stand-in for a CUDA GPU)" if velqa.backend == "host" else "the CUDA GPU"


def gate(name: str, targets: Sequence[int], controls: Sequence[int] = (), params: Sequence[float] = (),
         matrix: Any = None) -> dict[str, Any]:
    g = {"id": name, "target": list(targets), "control": list(controls), "control_state": [1] * len(controls),
         "parameter": list(params)}
    if matrix is not None:
        g["matrix"] = matrix
    return g


def statevector_example() -> None:
    n = 6
    # A GHZ state, a layer of rotations that is undone again, and an arbitrary two-qubit unitary
    # (a controlled iSWAP-like block) that leaves the GHZ state's support alone.
    circuit = [gate("h", [0])] + [gate("cx", [q], [q - 1]) for q in range(1, n)]
    circuit += [gate("rx", [q], params=[0.3 * q]) for q in range(n)]
    circuit += [gate("rx", [q], params=[-0.3 * q]) for q in range(n)]
    iswap = np.array([[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]])
    circuit += [gate("unitary", [2, 4], matrix=iswap)]

    state = velqa.DeviceState.zero_state(n, dtype="complex128")
    velqa.run_circuit_device(state, circuit, mode=velqa.PairAuto)
    amplitudes = state.to_numpy()
    print(f"velqa: {n}-qubit GHZ state, |000000> {amplitudes[0]:.4f}, |111111> {amplitudes[-1]:.4f}")

    fused = velqa.DeviceState.zero_state(n, dtype="complex64")
    velqa.run_circuit_device(fused, circuit, mode=velqa.PairAutoFusion)
    print(f"velqa: the same circuit fused, in complex64, agrees: {np.allclose(fused.to_numpy(), amplitudes, atol=1e-6)}")

    chunk_gates = [SimpleNamespace(**{"matrix": None, **g}) for g in circuit]
    chunk = velqa.prepare_fusion_chunk_gates(n, chunk_gates)
    planned = velqa.DeviceState.zero_state(n)
    velqa.execute_prepared_fusion_chunk(planned, chunk)
    print(f"velqa: a chunk of {chunk.gate_count} gates planned on the CPU and executed agrees: "
          f"{np.allclose(planned.to_numpy(), amplitudes, atol=1e-12)}")

    counts, last = velqa.sample_measure_device(state, list(range(n)), shots=1000, seed=7, collapse_last=False)
    print(f"velqa: 1000 shots of all qubits: {dict(sorted(counts.items()))}")
    outcome = velqa.measure_device(state, [0, 1, 2], seed=11)
    print(f"velqa: measuring qubits 0-2 gave {outcome}; the state collapsed to norm "
          f"{np.linalg.norm(state.to_numpy()):.6f}")


def op(name: str, targets: Sequence[int], controls: Sequence[int] = (),
       params: Sequence[float] = ()) -> SimpleNamespace:
    return SimpleNamespace(id=name, target=list(targets), control=list(controls), control_state=[1] * len(controls),
                           parameter=list(params), has_stored_matrix=False, stored_matrix=None)


def channel(name: str, target: int, p: float) -> SimpleNamespace:
    if name == "depolarizing":
        s = np.sqrt(p / 4)
        ops = [np.sqrt(1 - 3 * p / 4) * np.eye(2), s * np.array([[0, 1], [1, 0]]),
               s * np.array([[0, -1j], [1j, 0]]), s * np.diag([1, -1])]
    else:  # amplitude_damping
        ops = [np.diag([1, np.sqrt(1 - p)]), np.array([[0, np.sqrt(p)], [0, 0]])]
    return SimpleNamespace(operation_kind="kraus", target=[target], channel_name=name, kraus_matrices=np.array(ops))


def density_example() -> None:
    n = 6
    noisy = [op("h", [0])] + [op("cx", [q], [q - 1]) for q in range(1, n)]
    noisy += [channel("depolarizing" if q % 2 else "amplitude_damping", q, 0.05) for q in range(n)]
    noisy += [op("rz", [q], params=[0.1 * q]) for q in range(n)]
    results = {}
    for switch in ("0", "1"):
        os.environ["KORVANE_DENSITY_FUSION"] = switch
        rho = dormeth.DeviceDensityState.zero_state(n)
        dormeth.run_density_operations_device(rho, n, noisy)
        results[switch] = rho.to_numpy()
    os.environ.pop("KORVANE_DENSITY_FUSION")
    rho_np = results["0"]
    purity = np.real(np.trace(rho_np @ rho_np))
    print(f"dormeth: noisy {n}-qubit GHZ circuit: trace {np.trace(rho_np).real:.6f}, purity {purity:.4f}, "
          f"<000000|rho|000000> {rho_np[0, 0].real:.4f}, <111111|rho|111111> {rho_np[-1, -1].real:.4f}")
    print(f"dormeth: fusion on and off agree: {np.allclose(results['0'], results['1'], atol=1e-12)}")
    rho = dormeth.DeviceDensityState.from_numpy(n, rho_np)
    outcome = dormeth.measure_device(rho, [0, 5], seed=3)
    print(f"dormeth: measuring qubits 0 and 5 gave {outcome}; trace after collapse "
          f"{np.trace(rho.to_numpy()).real:.6f}")


def observables_example() -> None:
    # H = -J sum_q Z_q Z_{q+1} - h sum_q X_q on a chain of n qubits, read on the device after a layer
    # of RY(theta): each qubit has <Z> = cos(theta) and <X> = sin(theta); depolarizing noise of
    # strength p multiplies both by 1 - p.
    n, J, h, theta, p = 6, 1.0, 0.5, 0.6, 0.1
    ising = [(-J, "ZZ", [q, q + 1]) for q in range(n - 1)] + [(-h, "X", [q]) for q in range(n)]
    layer = [gate("ry", [q], params=[theta]) for q in range(n)]

    state = velqa.DeviceState.zero_state(n)
    velqa.run_circuit_device(state, layer)
    energy = velqa.expectation_pauli_device(state, ising)
    exact = -J * (n - 1) * np.cos(theta) ** 2 - h * n * np.sin(theta)
    print(f"velqa: Ising energy after RY({theta}) on every qubit: {energy:.6f} (exact {exact:.6f})")
    marginal = velqa.probabilities_device(state, [0, 1])
    print(f"velqa: P(qubit 0, qubit 1), outcome index = q0 + 2 q1: {np.round(marginal, 6).tolist()}")

    rho = dormeth.DeviceDensityState.zero_state(n)
    dormeth.run_density_operations_device(
        rho, n, [op("ry", [q], params=[theta]) for q in range(n)] + [channel("depolarizing", q, p) for q in range(n)])
    energy = dormeth.expectation_pauli_device(rho, ising)
    exact = -J * (n - 1) * ((1 - p) * np.cos(theta)) ** 2 - h * n * (1 - p) * np.sin(theta)
    print(f"dormeth: the same with depolarizing noise p = {p}: {energy:.6f} (exact {exact:.6f})")
    marginal = dormeth.probabilities_device(rho, [0, 1])
    print(f"dormeth: P(qubit 0, qubit 1): {np.round(marginal, 6).tolist()}")


def interop_example() -> None:
    # The array library whose arrays live where the states do: the host device's memory is host
    # memory, so NumPy's there; CuPy's on a GPU.
    xp: Any = np
    if velqa.backend != "host":
        try:
            xp = importlib.import_module("cupy")
        except ImportError:
            print("interchange: CuPy is not installed, so there is no GPU array library to hand states to")
            return
    n = 4
    state = velqa.DeviceState.zero_state(n)
    velqa.run_circuit_device(state, [gate("h", [0])] + [gate("cx", [q], [q - 1]) for q in range(1, n)])
    view = xp.from_dlpack(state)  # the amplitudes in place: no copy
    view *= -1  # a global phase, applied by the array library
    velqa.run_circuit_device(state, [gate("x", [0])])
    amplitudes = state.to_numpy()
    print(f"velqa -> {xp.__name__}: the array library's sign change and a gate in one state: "
          f"<0001|psi> {amplitudes[1]:.4f}, <1110|psi> {amplitudes[-2]:.4f}")

    rho = xp.zeros((1 << n, 1 << n), dtype=xp.complex128)
    rho[0, 0] = 1
    density = dormeth.DeviceDensityState.from_dlpack(rho)  # the matrix works in the array's memory
    dormeth.run_density_operations_device(density, n, [op("h", [0]), channel("depolarizing", 0, 0.2)])
    outcome = dormeth.measure_device(density, [0], seed=5)
    print(f"{xp.__name__} -> dormeth: H, depolarizing noise and a measurement of qubit 0 (outcome {outcome}) "
          f"done in the array: diagonal {[round(float(v.real), 4) for v in xp.diagonal(rho)[:2]]}")


def main() -> None:
    print(f"running on {DEVICE}")
    statevector_example()
    density_example()
    observables_example()
    interop_example()


if __name__ == "__main__":
    main()
