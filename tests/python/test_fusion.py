"""Fused execution: PairAutoFusion runs and prepared chunks against the per-gate path and the dense
NumPy reference, the executed groups as the host device sees them, the DenseMM cache, and failures.
"""
import gc
import queue
import threading
import time

import numpy as np
import pytest

import velqa
from builders import QuantumGate, run_circuit, vgate
from conftest import assert_close, random_state
from reference import GATES, random_unitary, run_reference

# velqa's named gates from the reference's list, with their parameter counts.
PARAMETERS = {g.velqa[0]: g.parameters for g in GATES.values() if g.velqa}


def random_circuit(n, count, rng, unitaries=False):
    """Every gate kind, with up to two controls on random states, controlled SWAPs and global phases."""
    names = list(PARAMETERS) + (["unitary", "unitary2"] if unitaries else [])
    gates = []
    for _ in range(count):
        name = str(rng.choice(names))
        qubits = [int(q) for q in rng.permutation(n)]
        targets = 2 if name in ("swap", "unitary2") else 1
        if targets > n:
            name, targets = "h", 1
        controls = int(rng.integers(0, min(2, n - targets) + 1))
        t, c = qubits[:targets], qubits[targets : targets + controls]
        cs = [int(v) for v in rng.integers(0, 2, controls)]
        if name == "gp":
            gates.append(vgate("gp", [], c, cs, [float(rng.normal())]))
        elif name.startswith("unitary"):
            gates.append(vgate("unitary", t, c, cs, matrix=random_unitary(1 << targets, rng)))
        else:
            gates.append(vgate(name, t, c, cs, [float(a) for a in rng.normal(size=PARAMETERS[name])]))
    return gates


def execute(n, state, gates, **options):
    chunk = velqa.prepare_fusion_chunk_gates(n, [QuantumGate.of(g) for g in gates], **options)
    device = velqa.DeviceState.from_numpy(n, state)
    velqa.execute_prepared_fusion_chunk(device, chunk)
    return device.to_numpy()


MODES_ALL = [velqa.AllState, velqa.Pair, velqa.PairAuto, velqa.PairAutoFusion]


def kernels(hd, name):
    return [l for l in hd.launches() if name in l["kernel"]]


def densemm_slice(n, element):
    """Amplitudes per DenseMM slice: each of the two scratch buffers gets a power of two within an
    eighth of the per-call scratch limit (a quarter of the state, at least 64 KiB, at most 1 GiB)."""
    limit = min(max((element << n) // 4, 64 << 10), 1 << 30)
    return min(1 << n, 1 << int(np.log2(limit // 4 // element)))


OPTION_SETS = [
    {},
    {"pad_sparsesharemem": False, "sparsesharemem_qubits": 3},
    {"fuse_swap": False, "max_gates_per_group": 7},
    {"densemm_gate_threshold_scale": 0.0, "sparsesharemem_qubits": 4},
    {"densemm_gate_threshold_scale": 0.0, "densemm_max_qubits": 10, "densemm_min_qubits": 3},
    {"max_gates_per_group": 1},
]


# ------------------------------------------------------------------ results


@pytest.mark.parametrize("n", [*range(2, 11), pytest.param(11, marks=pytest.mark.threads), 12, 13, 14])
def test_random_circuits_match_per_gate_run_and_reference(n, dtype):
    rng = np.random.default_rng(100 + n)
    gates = random_circuit(n, 48, rng)
    state = random_state(n, dtype, rng)
    expected = run_reference(state.astype(complex), n, gates)
    per_gate = run_circuit(n, state, gates, velqa.PairAuto)
    assert_close(per_gate, expected, dtype)
    assert_close(run_circuit(n, state, gates, velqa.PairAutoFusion), per_gate, dtype)
    for options in OPTION_SETS:
        assert_close(execute(n, state, gates, **options), expected, dtype)


@pytest.mark.parametrize("n", range(2, 15))
def test_random_circuits_with_small_unitaries(n, dtype):
    # Two-target unitaries always run through the per-gate UNITARY kernel, one-target ones do
    # whenever they end up alone in a group.
    rng = np.random.default_rng(200 + n)
    gates = random_circuit(n, 40, rng, unitaries=True)
    state = random_state(n, dtype, rng)
    expected = run_reference(state.astype(complex), n, gates)
    assert_close(run_circuit(n, state, gates, velqa.PairAuto), expected, dtype)
    assert_close(run_circuit(n, state, gates, velqa.PairAutoFusion), expected, dtype)
    for options in OPTION_SETS:
        assert_close(execute(n, state, gates, **options), expected, dtype)


def test_fused_one_target_unitaries_need_no_per_gate_kernel(dtype, hd):
    rng = np.random.default_rng(7)
    n = 6
    # Two on each of qubits 0 .. 4, then two controlled: one group on five qubits either way.
    gates = [vgate("unitary", [q % 5], matrix=random_unitary(2, rng)) for q in range(10)]
    gates += [vgate("unitary", [1], [0, 4], [0, 1], matrix=random_unitary(2, rng)) for _ in range(2)]
    state = random_state(n, dtype, rng)
    expected = run_reference(state.astype(complex), n, gates)
    for options, kernel in (({"densemm_max_qubits": 0}, "sparsesharemem_kernel"), ({}, "transpose_to_low_bits")):
        hd.clear_launches()
        assert_close(execute(n, state, gates, **options), expected, dtype)
        assert kernels(hd, kernel) and all("fusion::" in l["kernel"] for l in hd.launches())


def layer_circuit(k, rng):
    """Two gates on each of qubits 0 .. k-1 and a global phase: with budget k, the first group is
    these gates on exactly k qubits (the global phase ends its scan)."""
    gates = [vgate("h", [q]) for q in range(k)]
    gates += [vgate("u", [q], parameter=rng.normal(size=3)) for q in range(k)]
    return gates + [vgate("gp", [], parameter=[0.25])]


@pytest.mark.parametrize("k", range(1, 11))
def test_sparsesharemem_groups_of_every_size(k, dtype, hd):
    rng = np.random.default_rng(k)
    n = 11
    gates = layer_circuit(k, rng) + random_circuit(n, 20, rng)
    state = random_state(n, dtype, rng)
    hd.clear_launches()
    result = execute(n, state, gates, sparsesharemem_qubits=k, densemm_max_qubits=0)
    assert_close(result, run_reference(state.astype(complex), n, gates), dtype)
    shared = kernels(hd, "sparsesharemem_kernel")
    element = 8 if dtype == "complex64" else 16
    assert shared and shared[0]["shared_bytes"] == element << k
    assert shared[0]["grid"] == (1 << (n - k), 1, 1) and shared[0]["block"] == (128, 1, 1)
    assert not kernels(hd, "transpose_to_low_bits")


@pytest.mark.parametrize("k", range(1, 11))
def test_densemm_groups_of_every_size(k, dtype, hd):
    rng = np.random.default_rng(50 + k)
    n = 11
    gates = layer_circuit(k, rng) + random_circuit(n, 12, rng)
    state = random_state(n, dtype, rng)
    hd.clear_launches()
    result = execute(n, state, gates, sparsesharemem_qubits=k, densemm_max_qubits=k,
                     densemm_gate_threshold_scale=0.0)
    assert_close(result, run_reference(state.astype(complex), n, gates), dtype, scale=10)
    assert not kernels(hd, "sparsesharemem_kernel")
    gathers = kernels(hd, "transpose_to_low_bits")
    element = 8 if dtype == "complex64" else 16
    slice_size = densemm_slice(n, element)  # the whole state in complex64, half of it in complex128
    assert gathers and gathers[0]["grid"] == (slice_size // 256, 1, 1) and gathers[0]["block"] == (256, 1, 1)
    assert len(gathers) % ((1 << n) // slice_size) == 0
    assert len(gathers) == len(kernels(hd, "transpose_from_low_bits"))


def test_sparsesharemem_grid_strides_over_more_than_65535_sub_blocks(hd):
    n, dtype = 17, "complex64"
    rng = np.random.default_rng(3)
    gates = [vgate("ry", [0], parameter=[0.4]), vgate("h", [0]), vgate("rz", [0], parameter=[1.3])]
    state = random_state(n, dtype, rng)
    hd.clear_launches()
    result = execute(n, state, gates, sparsesharemem_qubits=1, densemm_max_qubits=0)
    (launch,) = hd.launches()
    assert launch["grid"] == (65535, 1, 1) and launch["shared_bytes"] == 16
    # Every sub-block exactly once: a block left out or done twice would show here.
    assert_close(result, run_reference(state.astype(complex), n, gates), dtype)


def test_worked_examples_execute_as_planned(hd):
    n = 10
    state = random_state(n, "complex128", np.random.default_rng(4))
    gates = [vgate("x", [0]), vgate("x", [0])]
    hd.clear_launches()
    assert_close(execute(n, state, gates), state, "complex128")
    (launch,) = hd.launches()
    assert "sparsesharemem_kernel<double>" in launch["kernel"]
    assert launch["grid"] == (1, 1, 1) and launch["shared_bytes"] == 16 << 10
    hd.clear_launches()
    execute(n, state, gates, pad_sparsesharemem=False)
    assert [l["grid"] for l in hd.launches()] == [(512, 1, 1)]

    # Ten U gates on three qubits at n = 20 are one DenseMM group, nine one SparseShareMem group.
    n = 20
    state = random_state(n, "complex64", np.random.default_rng(5))
    ten = [vgate("u", [q % 3], parameter=[0.1 * q, 0.2, 0.3]) for q in range(10)]
    for gates, dense in ((ten, True), (ten[:9], False)):
        hd.clear_launches()
        result = execute(n, state, gates)
        assert_close(result, run_reference(state.astype(complex), n, gates), "complex64")
        names = [l["kernel"] for l in hd.launches()]
        if dense:  # 2^20 amplitudes in 16 slices of 2^16 (1 MiB of scratch beside 8 MiB of state)
            assert densemm_slice(n, 8) == 1 << 16
            assert len(names) == 2 * 16 and all("transpose_to_low_bits<float>" in x for x in names[::2])
        else:
            assert len(names) == 1 and "sparsesharemem_kernel<float>" in names[0]


# ------------------------------------------------------------------ chunks


def test_chunk_applies_its_gates_each_time_it_runs_on_either_precision():
    n = 7
    rng = np.random.default_rng(8)
    gates = random_circuit(n, 30, rng)
    chunk = velqa.prepare_fusion_chunk_gates(n, [QuantumGate.of(g) for g in gates], densemm_gate_threshold_scale=0.3)
    assert chunk.n == n and chunk.gate_count == len(gates)
    for dtype in ("complex64", "complex128"):
        state = random_state(n, dtype, rng)
        device = velqa.DeviceState.from_numpy(n, state)
        velqa.execute_prepared_fusion_chunk(device, chunk)
        velqa.execute_prepared_fusion_chunk(state=device, chunk=chunk)
        assert_close(device.to_numpy(), run_reference(state.astype(complex), n, gates + gates), dtype)
    assert chunk.gate_count == len(gates)


def test_empty_chunk_runs_nothing(hd):
    chunk = velqa.prepare_fusion_chunk_gates(3, [])
    assert chunk.gate_count == 0
    device = velqa.DeviceState.zero_state(3)
    syncs = hd.synchronize_count()
    hd.clear_launches()
    velqa.execute_prepared_fusion_chunk(device, chunk)
    assert hd.launches() == [] and hd.synchronize_count() == syncs + 1


def test_chunk_waits_once_and_run_circuit_does_not_wait(hd):
    n = 9
    rng = np.random.default_rng(9)
    gates = random_circuit(n, 40, rng)
    device = velqa.DeviceState.from_numpy(n, random_state(n, "complex128", rng))
    chunk = velqa.prepare_fusion_chunk_gates(n, [QuantumGate.of(g) for g in gates])
    syncs = hd.synchronize_count()
    velqa.execute_prepared_fusion_chunk(device, chunk)
    assert hd.synchronize_count() == syncs + 1
    velqa.run_circuit_device(device, gates, mode=velqa.PairAutoFusion)
    assert hd.synchronize_count() == syncs + 1


@pytest.mark.parametrize("chunk_n,state_n", [(10, 11), (5, 6), (6, 5)])
def test_qubit_count_mismatch_is_refused_before_any_work(chunk_n, state_n, hd):
    chunk = velqa.prepare_fusion_chunk_gates(chunk_n, [QuantumGate("h", [0]), QuantumGate("x", [0])])
    state = random_state(state_n, "complex64", np.random.default_rng(1))
    device = velqa.DeviceState.from_numpy(state_n, state)
    hd.clear_launches()
    with pytest.raises(ValueError, match="^DeviceState qubit count does not match prepared fusion chunk$"):
        velqa.execute_prepared_fusion_chunk(device, chunk)
    assert hd.launches() == []
    np.testing.assert_array_equal(device.to_numpy(), state)


def test_prepare_checks_n_and_plans_without_the_device(hd):
    for n in (0, 63, -1):
        with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
            velqa.prepare_fusion_chunk_gates(n, [])
    hd.clear_launches()
    allocations = hd.live_allocations(0)
    chunk = velqa.prepare_fusion_chunk_gates(62, [QuantumGate.of(vgate("h", [q])) for q in range(62)] * 3)
    assert chunk.n == 62 and chunk.gate_count == 186
    assert hd.launches() == [] and hd.live_allocations(0) == allocations


@pytest.mark.parametrize("qubits", [11, 31, 62, 2**31 - 1])
def test_options_that_allow_groups_beyond_the_executors_are_refused_before_planning(qubits, hd):
    # With a budget of 31 or more the dense matrix's dimension squared would wrap.
    gates = [QuantumGate.of(vgate("h", [q])) for q in range(40)] * 2
    for options in ({}, {"densemm_max_qubits": 62, "densemm_gate_threshold_scale": 0.0}):
        with pytest.raises(ValueError, match=r"^sparsesharemem_qubits must be at most 10$"):
            velqa.prepare_fusion_chunk_gates(62, gates, sparsesharemem_qubits=qubits, **options)
    assert hd.launches() == []


def test_raised_densemm_limits_stay_within_the_group_budget(dtype, hd):
    # A budget of 10 bounds every group, whatever densemm_max_qubits allows.
    n = 12
    rng = np.random.default_rng(31)
    gates = [vgate("u", [q], parameter=rng.normal(size=3)) for q in range(n)] * 3
    state = random_state(n, dtype, rng)
    options = {"densemm_max_qubits": 62, "densemm_min_qubits": 0, "densemm_gate_threshold_scale": 0.0}
    hd.clear_launches()
    assert_close(execute(n, state, gates, **options), run_reference(state.astype(complex), n, gates), dtype, scale=4)
    assert kernels(hd, "transpose_to_low_bits")


# ------------------------------------------------------------------ refused gates


REFUSED = [
    (vgate("x", [1], [0], [2]), "control_state must contain only 0/1"),
    (vgate("h", [1], [0, 2], [1]), r"controls.size\(\) != control_state.size\(\)"),
    (vgate("z", [1], [3, 3]), "control qubit 3 is repeated"),
    (vgate("s", [2], [2]), "control qubit 2 is also a target"),
    (vgate("swap", [1, 1]), "target qubit 1 is repeated"),
    (vgate("x", [7]), "target qubit 7 is out of range for 5 qubits"),
    (vgate("y", [0], [5]), "control qubit 5 is out of range for 5 qubits"),
    (vgate("rx", [1], parameter=[0.1, 0.2]), "RX gate requires exactly one parameter."),
    (vgate("u", [1], parameter=[0.1]), "U gate requires exactly three parameters."),
]


@pytest.mark.parametrize("bad,message", REFUSED, ids=[m for _, m in REFUSED])
def test_gate_the_per_gate_path_refuses_is_refused_in_fused_runs(bad, message, dtype):
    n = 5
    rng = np.random.default_rng(6)
    before = [vgate("h", [0]), vgate("x", [3], [0], [0]), vgate("ry", [4], parameter=[0.3])]
    after = [vgate("h", [2]), vgate("z", [4]), vgate("x", [1])]
    gates = before + [bad] + after
    state = random_state(n, dtype, rng)
    # The gates before the bad one are applied, none after it, as gate by gate.
    expected = run_reference(state.astype(complex), n, before)
    for mode in (velqa.PairAuto, velqa.PairAutoFusion):
        device = velqa.DeviceState.from_numpy(n, state)
        with pytest.raises(ValueError, match=f"^{message}$"):
            velqa.run_circuit_device(device, gates, mode=mode)
        assert_close(device.to_numpy(), expected, dtype)
    device = velqa.DeviceState.from_numpy(n, state)
    chunk = velqa.prepare_fusion_chunk_gates(n, [QuantumGate.of(g) for g in gates])
    with pytest.raises(ValueError, match=f"^{message}$"):
        velqa.execute_prepared_fusion_chunk(device, chunk)
    assert_close(device.to_numpy(), expected, dtype)


# Values that overflow float (finite in double) and values finite in neither precision.
NOT_FINITE = [
    (vgate("rz", [1], parameter=[1e39]), "gate parameters", ["complex64"]),
    (vgate("phase", [2], [0], [1], parameter=[3.5e38]), "gate parameters", ["complex64"]),
    (vgate("u", [1], parameter=[0.1, 1e39, 0.2]), "gate parameters", ["complex64"]),
    (vgate("gp", [], [1], [0], parameter=[-1e39]), "gate parameters", ["complex64"]),
    (vgate("unitary", [1], matrix=np.array([[1e39, 0], [0, 1]])), "unitary matrix", ["complex64"]),
    (vgate("rx", [1], parameter=[float("nan")]), "gate parameters", ["complex64", "complex128"]),
    (vgate("ry", [1], [0], [1], parameter=[float("-inf")]), "gate parameters", ["complex64", "complex128"]),
    (vgate("u", [1], parameter=[float("inf"), 0, 0]), "gate parameters", ["complex64", "complex128"]),
    (vgate("unitary", [1, 2], matrix=np.diag([1, 1, 1, np.nan])), "unitary matrix", ["complex64", "complex128"]),
]


@pytest.mark.parametrize("bad,what,refused_in", NOT_FINITE, ids=[str(i) for i in range(len(NOT_FINITE))])
def test_values_not_finite_in_the_states_precision_are_refused_in_every_mode(bad, what, refused_in, dtype):
    n = 5
    rng = np.random.default_rng(7)
    before = [vgate("h", [0]), vgate("x", [3], [0], [0]), vgate("ry", [4], parameter=[0.3])]
    gates = before + [bad, vgate("h", [2])]
    state = random_state(n, dtype, rng)
    if dtype not in refused_in:  # finite in double: the gate runs like any other
        out = run_circuit(n, state, gates, velqa.PairAutoFusion)
        assert np.all(np.isfinite(out))
        return
    message = rf"^{what} must (be finite|contain only finite values) \(gate 3, {dtype}\)$"
    expected = run_reference(state.astype(complex), n, before)
    for mode in MODES_ALL:
        device = velqa.DeviceState.from_numpy(n, state)
        with pytest.raises(ValueError, match=message):
            velqa.run_circuit_device(device, gates, mode=mode)
        assert_close(device.to_numpy(), expected, dtype)
        with pytest.raises(ValueError, match=message):
            velqa.run_circuit(n, state.copy(), gates, mode=mode)
    device = velqa.DeviceState.from_numpy(n, state)
    chunk = velqa.prepare_fusion_chunk_gates(n, [QuantumGate.of(g) for g in gates])
    with pytest.raises(ValueError, match=message):
        velqa.execute_prepared_fusion_chunk(device, chunk)
    assert_close(device.to_numpy(), expected, dtype)


# ------------------------------------------------------------------ device memory


def dense_chunk(n, k=2):
    """Two H gates on each of qubits 0 .. k-1 as one DenseMM group."""
    return velqa.prepare_fusion_chunk_gates(
        n, [QuantumGate("h", [q]) for q in range(k)] * 2, sparsesharemem_qubits=k, densemm_gate_threshold_scale=0.0
    )


def move_caches(device):
    """Moves this thread's DenseMM caches (both precisions) to a device, releasing them elsewhere."""
    for dtype in ("complex64", "complex128"):
        velqa.execute_prepared_fusion_chunk(velqa.DeviceState.zero_state(3, dtype, device), dense_chunk(3))


@pytest.fixture
def two_devices(hd):
    """Two host devices, with this thread's caches moved off device 0 so that device 0 holds exactly
    what the test allocates; the caches go back to device 0 afterwards, since device 1's accounting
    ends with the test."""
    hd.configure(2)
    move_caches("cuda:1")
    yield hd
    gc.collect()
    hd.configure(2)
    move_caches("cuda:0")


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_a_state_that_fits_gate_by_gate_runs_fused_with_a_quarter_more(two_devices, dtype):
    """Device 0 holds the state and a quarter of its size more, nothing else: fused plans with
    DenseMM groups (sliced to fit their scratch) and SparseShareMem groups run and give the per-gate
    result, in the PairAutoFusion run and as prepared chunks. (A group's own matrix is not scratch:
    a DenseMM group of 10 qubits would bring 2^20 elements, more than this state.)"""
    hd = two_devices
    n = 16
    rng = np.random.default_rng(16)
    gates = random_circuit(n, 60, rng)
    state = random_state(n, dtype, rng)
    expected = run_circuit(n, state, gates, velqa.PairAuto)
    hd.configure(2, state.nbytes * 5 // 4)
    assert hd.live_bytes(0) == 0
    hd.clear_launches()
    assert_close(run_circuit(n, state, gates, velqa.PairAutoFusion), expected, dtype)
    for options in ({"densemm_gate_threshold_scale": 0.0, "sparsesharemem_qubits": 4}, {"max_gates_per_group": 7}):
        assert_close(execute(n, state, gates, **options), expected, dtype, scale=2)
    gathers = kernels(hd, "transpose_to_low_bits")
    assert gathers and gathers[0]["grid"][0] * 256 == densemm_slice(n, state.itemsize) < 1 << n
    assert kernels(hd, "sparsesharemem_kernel")
    # Gate by gate the same state fits with nothing to spare (once this thread's DenseMM cache has
    # left device 0); DenseMM needs its scratch.
    move_caches("cuda:1")
    hd.configure(2, state.nbytes)
    assert_close(run_circuit(n, state, gates, velqa.PairAuto), expected, dtype)
    with pytest.raises(RuntimeError, match="out of memory"):
        run_circuit(n, state, gates, velqa.PairAutoFusion)


def test_a_refused_densemm_step_stops_the_group_with_earlier_slices_applied(hd):
    """n = 16 in complex64: 16 slices of 512 columns, a slice being the value of qubits 12 to 15.
    Whichever gather or scatter is refused, the chunk fails with the launch error, nothing runs after
    it, the slices before it hold the group's result and the others their old amplitudes."""
    n, dtype = 16, "complex64"
    rng = np.random.default_rng(17)
    gates = [vgate("h", [q]) for q in range(3)] + [vgate("u", [q], parameter=rng.normal(size=3)) for q in range(3)]
    chunk = velqa.prepare_fusion_chunk_gates(n, [QuantumGate.of(g) for g in gates], sparsesharemem_qubits=3,
                                             densemm_gate_threshold_scale=0.0)
    state = random_state(n, dtype, rng)
    expected = run_reference(state.astype(complex), n, gates)
    slice_of = np.arange(1 << n) >> 12
    for refused in (0, 1, 10, 31):
        device = velqa.DeviceState.from_numpy(n, state)
        hd.clear_launches()
        hd.inject_launch_failures(1, skip=refused)
        with pytest.raises(RuntimeError, match="^CUDA error: too many resources requested for launch$"):
            velqa.execute_prepared_fusion_chunk(device, chunk)
        log = hd.launches()
        assert len(log) == refused + 1 and not log[-1]["accepted"]
        out = device.to_numpy()
        done = slice_of < refused // 2
        assert_close(out[done], expected[done], dtype)
        np.testing.assert_array_equal(out[~done], state[~done])


def test_upload_failures_name_their_operation_and_free_everything(two_devices):
    hd = two_devices
    n = 10
    state = random_state(n, "complex128", np.random.default_rng(3))
    size = state.nbytes
    shared = velqa.prepare_fusion_chunk_gates(n, [QuantumGate.of(vgate("h", [0]))] * 2)
    dense = dense_chunk(n)  # 16 matrix elements: 256 bytes
    cases = [
        (shared, size + 16, "cudaMalloc SparseShareMem gates: out of memory"),
        (dense, size + 16, "cudaMalloc DenseMM matrices: out of memory"),
        (dense, size + 256 + size // 2, "cudaMalloc cached DenseMM transpose buffer: out of memory"),
        (dense, size + 256 + 3 * size // 2, "cudaMalloc cached DenseMM GEMM buffer: out of memory"),
    ]
    for chunk, capacity, message in cases:
        hd.configure(2, capacity)
        device = velqa.DeviceState.from_numpy(n, state)
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            velqa.execute_prepared_fusion_chunk(device, chunk)
        assert hd.live_bytes(0) == size and hd.live_allocations(0) == 1
        np.testing.assert_array_equal(device.to_numpy(), state)
        del device
    # The failed cache allocates again on the next use.
    hd.configure(2, 4 * size)
    device = velqa.DeviceState.from_numpy(n, state)
    velqa.execute_prepared_fusion_chunk(device, dense)
    assert hd.live_bytes(0) == 3 * size and hd.live_allocations(0) == 3
    assert_close(device.to_numpy(), state, "complex128")  # H twice on two qubits


def test_densemm_cache_follows_the_device_and_keeps_its_buffers(two_devices):
    hd = two_devices
    n = 8
    element = 16  # complex128
    on0 = velqa.DeviceState.zero_state(n, device="cuda:0")
    on1 = velqa.DeviceState.zero_state(n, device="cuda:1")
    assert hd.live_blas_handles(0) == 0 and hd.live_blas_handles(1) == 2
    velqa.execute_prepared_fusion_chunk(on1, dense_chunk(n))
    cached1 = hd.live_bytes(1)

    velqa.execute_prepared_fusion_chunk(on0, dense_chunk(n))
    assert hd.live_blas_handles(0) == 1 and hd.live_blas_handles(1) == 1
    assert hd.live_bytes(0) == 3 * element << n
    assert hd.live_bytes(1) == cached1 - (2 * element << n)

    # A smaller state reuses the buffers; a larger one replaces them.
    small = velqa.DeviceState.zero_state(n - 2)
    velqa.execute_prepared_fusion_chunk(small, dense_chunk(n - 2))
    assert hd.live_bytes(0) == (3 * element << n) + (element << (n - 2))
    assert hd.live_allocations(0) == 4
    del small
    large = velqa.DeviceState.zero_state(n + 1)
    velqa.execute_prepared_fusion_chunk(large, dense_chunk(n + 1))
    assert hd.live_bytes(0) == (element << n) + 3 * (element << (n + 1))
    assert hd.live_allocations(0) == 4 and hd.live_blas_handles(0) == 1

    # PairAutoFusion runs (here 24 H gates on two qubits: one DenseMM group) share the cache.
    velqa.run_circuit_device(on1, [vgate("h", [0]), vgate("h", [1])] * 12, mode=velqa.PairAutoFusion)
    assert hd.live_blas_handles(0) == 0 and hd.live_blas_handles(1) == 2
    assert hd.live_bytes(0) == (element << n) + (element << (n + 1))


def test_plans_without_densemm_leave_the_cache_alone(hd, no_leaks):
    n = 9
    rng = np.random.default_rng(12)
    device = velqa.DeviceState.from_numpy(n, random_state(n, "complex64", rng))
    handles = hd.live_blas_handles(0)
    bytes_before = hd.live_bytes(0)
    gates = [QuantumGate.of(g) for g in random_circuit(n, 30, rng)]
    velqa.execute_prepared_fusion_chunk(device, velqa.prepare_fusion_chunk_gates(n, gates, densemm_max_qubits=0))
    assert hd.live_blas_handles(0) == handles and hd.live_bytes(0) == bytes_before


# ------------------------------------------------------------------ threads


def wait_for(condition, seconds=120):
    """A thread's native resources go when the OS thread exits, just after join() returns; a busy machine
    may take a while to run that exit, so only resources never released fail the wait."""
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


@pytest.mark.threads
def test_one_thread_plans_while_the_other_executes(hd):
    n = 8
    rng = np.random.default_rng(13)
    options = {"densemm_gate_threshold_scale": 0.2, "sparsesharemem_qubits": 4}
    dense_start = [vgate("h", [q]) for q in (0, 1, 2)] * 2  # a DenseMM group in every chunk
    circuits = [[dense_start + random_circuit(n, 25, rng) for _ in range(6)] for _ in range(2)]
    starts = [random_state(n, "complex128", rng) for _ in range(2)]
    handles = hd.live_blas_handles(0)
    bytes_before = hd.live_bytes(0)
    hd.clear_launches()

    results = [None, None]
    errors = []
    queues = [queue.Queue(), queue.Queue()]

    def worker(me):
        # Plans circuit `me` for the other thread and executes the other's chunks on its own state.
        try:
            device = velqa.DeviceState.from_numpy(n, starts[me])
            for chunk_gates in circuits[me]:
                queues[1 - me].put(velqa.prepare_fusion_chunk_gates(n, [QuantumGate.of(g) for g in chunk_gates], **options))
                velqa.execute_prepared_fusion_chunk(device, queues[me].get(timeout=60))
            results[me] = device.to_numpy()
        except Exception as e:  # reported below
            errors.append(e)
            queues[1 - me].put(None)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert kernels(hd, "transpose_to_low_bits") and kernels(hd, "sparsesharemem_kernel")
    # Each thread's DenseMM cache went with its thread.
    assert wait_for(lambda: hd.live_blas_handles(0) == handles and hd.live_bytes(0) == bytes_before)
    for me in range(2):
        expected = starts[me].copy()
        for chunk_gates in circuits[1 - me]:
            expected = execute(n, expected, chunk_gates, **options)
        assert_close(results[me], expected, "complex128")
        assert_close(results[me], run_reference(starts[me].astype(complex), n, sum(circuits[1 - me], [])),
                     "complex128")
