"""Example circuits through korvane's GPU execution layer: a statevector circuit through velqa.

Run with scripts/run_example.sh, or directly with KORVANE_BUILD pointing at a build folder.
"""
import os
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.environ.get("KORVANE_BUILD", os.path.join(ROOT, "build", "host")), "python"))

import velqa  # noqa: E402

try:
    import hostdevice  # noqa: F401,E402  (present only in host-device builds)
    DEVICE = "the host device (CPU stand-in for a CUDA GPU)"
except ImportError:
    DEVICE = "the CUDA GPU"


def gate(name, targets, controls=(), params=()):
    return {"id": name, "target": list(targets), "control": list(controls), "control_state": [1] * len(controls),
            "parameter": list(params)}


def statevector_example():
    n = 5
    circuit = [gate("h", [0])] + [gate("cx", [q], [q - 1]) for q in range(1, n)]  # GHZ state
    circuit += [gate("rz", [2], params=[0.4]), gate("rz", [2], params=[-0.4])]   # cancels
    state = velqa.DeviceState.zero_state(n, dtype="complex128")
    velqa.run_circuit_device(state, circuit, mode=velqa.PairAuto)
    amplitudes = state.to_numpy()
    print(f"velqa: {n}-qubit GHZ state: |00000> {amplitudes[0]:.4f}, |11111> {amplitudes[-1]:.4f}")
    single = np.zeros(1 << n, dtype=np.complex64)
    single[0] = 1
    velqa.run_circuit(n, single, circuit, mode=velqa.AllState)
    print(f"velqa: the same circuit in complex64 with AllState kernels agrees: "
          f"{np.allclose(single, amplitudes, atol=1e-6)}")


def main():
    print(f"running on {DEVICE}")
    statevector_example()


if __name__ == "__main__":
    main()
