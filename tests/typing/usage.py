"""Typed use of velqa and dormeth, checked with `mypy --strict` against the installed stubs (never run
by pytest). Every line states what the stubs must give: argument names and defaults, return types,
the enumeration, the classes' properties and the backend attribute. The `type: ignore` lines are calls
the stubs must refuse; mypy --strict (warn_unused_ignores) fails if the stubs accept them.
"""
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

import dormeth
import velqa


def statevector(n: int) -> tuple[str, dict[str, int]]:
    state: velqa.DeviceState = velqa.DeviceState.zero_state(n, dtype="complex64", device="cuda:0")
    gates = [{"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []}]
    velqa.run_circuit_device(state, gates, endian="big", mode=velqa.KernelMode.Pair)
    velqa.run_circuit_device_gates(state, [], mode=velqa.PairAutoFusion)
    chunk: velqa.PreparedFusionChunk = velqa.prepare_fusion_chunk_gates(
        n, [], fuse_swap=False, sparsesharemem_qubits=8, densemm_gate_threshold_scale=0.5, pad_sparsesharemem=False
    )
    velqa.execute_prepared_fusion_chunk(state, chunk)
    sizes: list[int] = [state.n, state.num_state, state.device_id, chunk.n, chunk.gate_count]
    amplitudes: npt.NDArray[Any] = state.to_numpy(use_pinned_host=True)
    state.copy_to_numpy(amplitudes)
    copy = velqa.DeviceState.from_numpy(n, amplitudes, use_pinned_host=False)
    array = np.zeros(1 << n, dtype=np.complex128)
    result: npt.NDArray[Any] = velqa.run_circuit(n, array, gates, device="cuda", mode=velqa.AllState)
    outcome: str = velqa.measure(n, result, [0, 1], endian="little")
    outcome += velqa.measure_device(copy, targets=[0], seed=3)
    counts, last = velqa.sample_measure_device(state, [0], shots=10, seed=None, collapse_last=False)
    total: int = sum(counts.values())
    mode: int = velqa.KernelMode.PairAuto.value
    name: str = velqa.PairAuto.name + copy.dtype + str(sizes) + str(mode)
    velqa.run_circuit_device(state, gates, mode=2)  # type: ignore[arg-type]
    velqa.DeviceState.zero_state(n, precision="complex64")  # type: ignore[call-arg]
    velqa.DeviceState(n)  # type: ignore[call-arg]
    return outcome + last + name + str(total), counts


def batch(n: int) -> list[str]:
    members: velqa.DeviceStateBatch = velqa.DeviceStateBatch.zero_state(n, 4, dtype="complex64", device="cuda:0")
    angles = np.zeros((4, 1))
    gates = [{"id": "rx", "target": [0], "control": [], "control_state": [], "parameter": angles}]
    velqa.run_circuit_batch_device(members, gates, endian="little", mode=velqa.PairAutoFusion)
    states: npt.NDArray[Any] = members.to_numpy()
    members.copy_to_numpy(states)
    again = velqa.DeviceStateBatch.from_numpy(n, states, device="cuda:0")
    sizes: list[int] = [again.n, again.batch, again.num_state, again.device_id]
    probabilities: npt.NDArray[np.float64] = velqa.probabilities_batch_device(again, [0], endian="big")
    energies: npt.NDArray[np.float64] = velqa.expectation_pauli_batch_device(again, [(1.0, "Z", [0])])
    outcomes: list[str] = velqa.measure_batch_device(again, [0], seed=1)
    for counts, last in velqa.sample_measure_batch_device(members, [0], shots=4, seed=2, collapse_last=False):
        outcomes.append(last + str(sum(counts.values())))
    velqa.DeviceStateBatch.zero_state(n)  # type: ignore[call-arg]
    return outcomes + [again.dtype, str(sizes), str(probabilities), str(energies)]


def density(n: int) -> str:
    rho = dormeth.DeviceDensityState.zero_state(n, dtype="complex128")
    dormeth.run_density_operations_device(rho, num_qubits=n, operations=[])
    matrix: npt.NDArray[Any] = rho.copy().to_numpy()
    again: dormeth.DeviceDensityState = dormeth.DeviceDensityState.from_numpy(n, matrix, device="gpu")
    sizes: list[int] = [again.num_qubits, again.dimension, again.device_id]
    dormeth.measure_device(rho, [0], endian="big", seed=5)
    dormeth.measure_device(rho, [0], shots=5)  # type: ignore[call-arg]
    return dormeth.measure_device(again, targets=[0]) + again.dtype + str(sizes)


def interchange(n: int) -> tuple[int, int]:
    state = velqa.DeviceState.zero_state(n)
    view: npt.NDArray[Any] = np.from_dlpack(state)
    borrowed: velqa.DeviceState = velqa.DeviceState.from_dlpack(view, copy=None)
    rho = dormeth.DeviceDensityState.from_dlpack(np.eye(4, dtype=np.complex64), copy=True)
    capsule = rho.__dlpack__(stream=None, max_version=(1, 0), dl_device=rho.__dlpack_device__(), copy=False)
    again: dormeth.DeviceDensityState = dormeth.DeviceDensityState.from_dlpack(capsule)
    members: velqa.DeviceStateBatch = velqa.DeviceStateBatch.from_dlpack(np.zeros((2, 4), np.complex128))
    velqa.DeviceState.from_dlpack(view, True)  # type: ignore[call-arg]
    state.__dlpack__(None)  # type: ignore[call-arg]
    return borrowed.__dlpack_device__()[0], again.num_qubits + members.batch


backend: Literal["cuda", "host"] = velqa.backend
same: bool = backend == dormeth.backend
