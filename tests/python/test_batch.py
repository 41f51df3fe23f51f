"""Batches of statevectors: every member of a DeviceStateBatch against a single state equal to it
run with its own values (every mode, both precisions, gates and readouts, seeds included), the
dense NumPy model, the broadcasting rules and their refusals (every member unchanged), the grid's
member bound, scratch within capacity, and the GIL."""
import numpy as np
import pytest

import velqa
from builders import QuantumGate, random_circuit, run_circuit, vgate
from conftest import MODES, _hostdevice, assert_close, random_state, releases_gil, run_python
from reference import random_unitary, run_reference
from test_fusion import two_devices  # noqa: F401 (a fixture)
from test_measure import INTERRUPTED_SAMPLING


def random_batch(n, batch, dtype, rng):
    return np.stack([random_state(n, dtype, rng) for _ in range(batch)])


def per_member(gates, batch, rng, varying=0.6):
    """The gates with per-member values: most parameters become (batch, p) arrays and most stored
    matrices (batch, d, d) stacks of unitaries; the rest stay shared by every member."""
    out = []
    for g in gates:
        g = dict(g)
        if g["parameter"] and rng.random() < varying:
            g["parameter"] = rng.normal(size=(batch, len(g["parameter"])))
        if "matrix" in g and rng.random() < varying:
            g["matrix"] = np.stack([random_unitary(len(g["matrix"]), rng) for _ in range(batch)])
        out.append(g)
    return out


def member_gates(gates, b):
    """Member b's own gate list, as a single state takes it."""
    out = []
    for g in gates:
        g = dict(g)
        p = np.asarray(g["parameter"], dtype=float)
        if p.ndim == 2:
            g["parameter"] = [float(v) for v in p[b]]
        if "matrix" in g and np.asarray(g["matrix"]).ndim == 3:
            g["matrix"] = np.asarray(g["matrix"])[b]
        out.append(g)
    return out


def run_batch(n, states, gates, mode, gate_objects=False):
    batch = velqa.DeviceStateBatch.from_numpy(n, states)
    velqa.run_circuit_batch_device(batch, [QuantumGate.of(g) for g in gates] if gate_objects else gates, mode=mode)
    return batch.to_numpy()


# ------------------------------------------------------------------ states


def test_zero_state_from_numpy_and_copies(no_leaks, dtype):
    zero = velqa.DeviceStateBatch.zero_state(3, 4, dtype=dtype)
    assert (zero.n, zero.batch, zero.num_state, zero.dtype, zero.device_id) == (3, 4, 8, dtype, 0)
    expected = np.zeros((4, 8), dtype=dtype)
    expected[:, 0] = 1
    np.testing.assert_array_equal(zero.to_numpy(), expected)
    # Any memory layout is copied: a transposed (Fortran-order) array and a strided view.
    rng = np.random.default_rng(1)
    states = random_batch(3, 4, dtype, rng)
    for source in (np.asfortranarray(states), np.stack([states, states], axis=2)[:, :, 0]):
        batch = velqa.DeviceStateBatch.from_numpy(3, source)
        out = np.empty_like(states)
        batch.copy_to_numpy(out)
        np.testing.assert_array_equal(out, states)
        np.testing.assert_array_equal(batch.to_numpy(), states)
    del zero, batch


@pytest.mark.parametrize("call, error, message", [
    (lambda: velqa.DeviceStateBatch.zero_state(0, 2), ValueError, r"^n must be in \[1, 62\]$"),
    (lambda: velqa.DeviceStateBatch.zero_state(3, 0), ValueError, "^batch must be at least 1$"),
    (lambda: velqa.DeviceStateBatch.zero_state(3, 2, dtype="float64"), ValueError, "dtype"),
    (lambda: velqa.DeviceStateBatch.from_numpy(3, np.zeros(8, complex)), ValueError, r"shape \(batch, 2\*\*n\)"),
    (lambda: velqa.DeviceStateBatch.from_numpy(3, np.zeros((2, 4), complex)), ValueError, r"2\*\*n"),
    (lambda: velqa.DeviceStateBatch.from_numpy(3, np.zeros((0, 8), complex)), ValueError, "at least 1"),
    (lambda: velqa.DeviceStateBatch.from_numpy(3, np.zeros((2, 8))), ValueError,
     "^dtype must be 'complex64' or 'complex128', got: float64$"),
    # Elements or bytes beyond 64 bits, and more than the device holds: the allocation's refusal.
    (lambda: velqa.DeviceStateBatch.zero_state(62, 8), RuntimeError, "^CUDA error: out of memory$"),
    (lambda: velqa.DeviceStateBatch.zero_state(40, 2**30), RuntimeError, "^CUDA error: out of memory$"),
    (lambda: velqa.DeviceStateBatch.zero_state(30, 1024), RuntimeError, "^CUDA error: out of memory$"),
])
def test_state_refusals(no_leaks, call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_copy_to_numpy_checks_the_destination(no_leaks):
    batch = velqa.DeviceStateBatch.zero_state(2, 3)
    good = np.zeros((3, 4), complex)
    for out, message in [(np.zeros((2, 4), complex), "batch"), (np.zeros((3, 8), complex), r"2\*\*n"),
                         (np.zeros((3, 4), np.complex64), "dtype"), (np.zeros((4, 3), complex).T, "C-contiguous"),
                         (np.zeros(12, complex), "2-D")]:
        with pytest.raises(ValueError, match=message):
            batch.copy_to_numpy(out)
    good.setflags(write=False)
    with pytest.raises(ValueError, match="writable"):
        batch.copy_to_numpy(good)
    del batch


# ------------------------------------------------------------------ gates


@pytest.mark.parametrize("size", [1, 2, 3, 17])
@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_members_equal_single_states_run_with_their_own_values(dtype, mode, size):
    """Every gate kind, per-member parameters and matrices beside shared ones: member b equals a
    single state equal to it run alone with its values, in the same mode and gate by gate."""
    n = 5
    rng = np.random.default_rng(size)
    gates = per_member(random_circuit(n, 40, rng, unitaries=True), size, rng)
    states = random_batch(n, size, dtype, rng)
    out = run_batch(n, states, gates, mode, gate_objects=size == 3)
    assert out.shape == (size, 1 << n) and out.dtype == dtype
    for b in range(size):
        own = member_gates(gates, b)
        assert_close(out[b], run_circuit(n, states[b], own, mode), dtype)
        assert_close(out[b], run_circuit(n, states[b], own, velqa.PairAuto), dtype, scale=4)
    assert_close(out[-1], run_reference(states[-1].astype(complex), n, member_gates(gates, size - 1)), dtype, scale=8)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_more_members_than_a_block_has_threads(dtype, mode):
    """257 members, one above a 256-thread block's worth: every one equals its single state."""
    n, size = 3, 257
    rng = np.random.default_rng(257)
    gates = per_member(random_circuit(n, 20, rng, unitaries=True), size, rng)
    states = random_batch(n, size, dtype, rng)
    out = run_batch(n, states, gates, mode)
    for b in range(size):
        assert_close(out[b], run_circuit(n, states[b], member_gates(gates, b), mode), dtype)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_a_batch_makes_the_launches_of_one_state_each_covering_every_member(hd, mode):
    """The batch is the grid's y dimension: the batch run launches the kernels a single state's run
    launches, in the same order and x geometry, each once for all members."""
    n, size = 8, 5
    rng = np.random.default_rng(41)
    gates = per_member(random_circuit(n, 60, rng, unitaries=True), size, rng, varying=1.0)
    states = random_batch(n, size, "complex128", rng)
    hd.clear_launches()
    run_circuit(n, states[0], member_gates(gates, 0), mode)
    alone = hd.launches()
    hd.clear_launches()
    run_batch(n, states, gates, mode)
    together = hd.launches()
    assert [(r["kernel"], r["grid"][0], r["block"]) for r in together] == [
        (r["kernel"], r["grid"][0], r["block"]) for r in alone]
    assert all(r["grid"][1] == 1 for r in alone) and all(r["grid"][1] == size for r in together)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_members_beyond_one_launch_go_in_further_launches(hd, dtype, mode):
    """A planted grid bound of 4 members per launch: 9 members take three launches per kernel, and
    each member still gets its own values; the fused run has SparseShareMem and DenseMM groups with
    per-member matrices."""
    n, size = 12, 9
    hd.set_max_grid_y(4)
    rng = np.random.default_rng(40)
    gates = per_member(random_circuit(n, 30, rng, unitaries=True), size, rng) + dense_blocks(size, rng)
    states = random_batch(n, size, dtype, rng)
    hd.clear_launches()
    out = run_batch(n, states, gates, mode)
    assert max(launch["grid"][1] for launch in hd.launches()) == 4
    if mode == velqa.PairAutoFusion:
        assert {"sparsesharemem_kernel", "transpose_to_low_bits"} <= {
            r["kernel"].split("::")[-1].split("<")[0] for r in hd.launches()}
    for b in range(size):
        assert_close(out[b], run_circuit(n, states[b], member_gates(gates, b), mode), dtype, scale=4)


@pytest.mark.parametrize("gates, error, message", [
    ([{"id": "rx", "target": [0], "control": [], "control_state": [], "parameter": np.zeros((2, 1))}],
     ValueError, r"^parameter rows must match the batch \(gate 0: 2 rows, batch 3\)$"),
    ([{"id": "h", "target": [1], "control": [], "control_state": [], "parameter": []},
      {"id": "u", "target": [0], "control": [], "control_state": [], "parameter": np.zeros((3, 2))}],
     ValueError, r"^U gate requires exactly three parameters\.$"),
    ([{"id": "unitary", "target": [0], "control": [], "control_state": [], "parameter": [],
       "matrix": np.stack([np.eye(2)] * 4)}],
     ValueError, r"^unitary matrices must match the batch \(gate 0: 4 matrices, batch 3\)$"),
    ([{"id": "unitary", "target": [0], "control": [], "control_state": [], "parameter": [],
       "matrix": np.zeros((3, 2, 3))}], ValueError, "square"),
    ([{"id": "rz", "target": [0], "control": [], "control_state": [], "parameter": np.zeros((3, 1), complex)}],
     TypeError, "real numbers"),
    ([{"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []},
      {"id": "ry", "target": [1], "control": [], "control_state": [], "parameter": np.array([[0.1], [np.inf], [0.2]])}],
     ValueError, r"^gate parameters must be finite \(gate 1, member 1, complex128\)$"),
    ([{"id": "unitary", "target": [0], "control": [], "control_state": [], "parameter": [],
       "matrix": np.stack([np.eye(2), np.eye(2), np.full((2, 2), np.nan)])}],
     ValueError, r"^unitary matrix must contain only finite values \(gate 0, member 2, complex128\)$"),
    # The single state's checks, after the gates before them would have run.
    ([{"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []},
      {"id": "x", "target": [7], "control": [], "control_state": [], "parameter": []}], ValueError, "target"),
])
@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_refused_gate_lists_leave_every_member_unchanged(gates, error, message, mode):
    rng = np.random.default_rng(3)
    states = random_batch(3, 3, "complex128", rng)
    batch = velqa.DeviceStateBatch.from_numpy(3, states)
    launches = _hostdevice.launch_count() if _hostdevice else 0
    with pytest.raises(error, match=message):
        velqa.run_circuit_batch_device(batch, gates, mode=mode)
    assert (_hostdevice.launch_count() if _hostdevice else 0) == launches
    np.testing.assert_array_equal(batch.to_numpy(), states)


def test_scalar_rows_broadcast_and_shared_values_match_rows_of_equal_values():
    """A parameter sequence is every member's; (batch, p) rows that are all equal give the same result."""
    n, size = 4, 3
    rng = np.random.default_rng(5)
    states = random_batch(n, size, "complex128", rng)
    shared = [{"id": "u", "target": [1], "control": [0], "control_state": [1], "parameter": [0.3, -0.7, 1.1]}]
    rows = [dict(shared[0], parameter=np.tile([0.3, -0.7, 1.1], (size, 1)))]
    a, b = run_batch(n, states, shared, velqa.PairAuto), run_batch(n, states, rows, velqa.PairAuto)
    np.testing.assert_array_equal(a, b)
    for m in range(size):
        assert_close(a[m], run_circuit(n, states[m], shared, velqa.PairAuto), "complex128")


def dense_blocks(size, rng, width=4, layers=12):
    """Layers of U gates (per-member angles) and CX ladders on three blocks of `width` qubits in turn:
    on 12 qubits the planner makes the first two one SparseShareMem group and the third a DenseMM
    group, whose matrix then differs between members."""
    gates = []
    for first in (0, width, 2 * width):
        for _ in range(layers):
            gates += [dict(vgate("u", [q]), parameter=rng.uniform(0, 2 * np.pi, size=(size, 3)))
                      for q in range(first, first + width)]
            gates += [vgate("x", [q + 1], [q]) for q in range(first, first + width - 1)]
    return gates


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_a_fused_batch_fits_a_device_just_above_its_size(two_devices, dtype):
    """Capacity a quarter above the batch: DenseMM groups with per-member matrices (one strided
    batched GEMM per slice) keep their scratch and uploads within it and give the per-gate result."""
    n, size = 12, 8  # at least 256 KiB: a quarter of it is above the scratch floor of 64 KiB
    rng = np.random.default_rng(16)
    gates = per_member(random_circuit(n, 30, rng), size, rng) + dense_blocks(size, rng)
    states = random_batch(n, size, dtype, rng)
    expected = [run_circuit(n, states[b], member_gates(gates, b), velqa.PairAuto) for b in range(size)]
    hd = two_devices
    hd.configure(2, states.nbytes * 5 // 4)
    assert hd.live_bytes(0) == 0
    hd.clear_launches()
    out = run_batch(n, states, gates, velqa.PairAutoFusion)
    assert any("transpose_to_low_bits" in launch["kernel"] for launch in hd.launches())
    for b in range(size):
        assert_close(out[b], expected[b], dtype, scale=4)


# ------------------------------------------------------------------ readouts


def unnormalised_batch(n, size, dtype, rng):
    states = random_batch(n, size, dtype, rng)
    return (states * rng.uniform(0.5, 2.0, size=(size, 1))).astype(dtype)


@pytest.mark.parametrize("endian", ["little", "big"])
def test_observables_of_every_member_are_the_single_states(no_leaks, dtype, endian):
    n, size = 5, 4
    rng = np.random.default_rng(7)
    states = unnormalised_batch(n, size, dtype, rng)
    batch = velqa.DeviceStateBatch.from_numpy(n, states)
    terms = [(0.5, "XZ", [0, 3]), (-1.25, "YY", [1, 4]), (2.0, "Z", [2]), (0.75, "", [])]
    for targets in ([], [3], [4, 0, 2]):
        probs = velqa.probabilities_batch_device(batch, targets, endian=endian)
        assert probs.shape == (size, 1 << len(targets)) and probs.dtype == np.float64
        for b in range(size):
            one = velqa.DeviceState.from_numpy(n, states[b])
            np.testing.assert_array_equal(probs[b], velqa.probabilities_device(one, targets, endian=endian))
    energies = velqa.expectation_pauli_batch_device(batch, terms)
    assert energies.shape == (size,)
    for b in range(size):
        one = velqa.DeviceState.from_numpy(n, states[b])
        assert energies[b] == velqa.expectation_pauli_device(one, terms)
    np.testing.assert_array_equal(batch.to_numpy(), states)


@pytest.mark.parametrize("seed", [0, 17, 2**64 - 2])
def test_measurements_draw_what_single_states_draw_with_seed_plus_member(no_leaks, dtype, seed):
    """Member b: the single state's result with seed (seed + b) mod 2**64, outcome, counts and
    collapsed amplitudes bit for bit."""
    n, size = 6, 3
    rng = np.random.default_rng(seed % 1000)
    states = unnormalised_batch(n, size, dtype, rng)
    targets = [4, 1, 2]
    for endian in ("little", "big"):
        batch = velqa.DeviceStateBatch.from_numpy(n, states)
        outcomes = velqa.measure_batch_device(batch, targets, endian=endian, seed=seed)
        sampled = velqa.DeviceStateBatch.from_numpy(n, states)
        results = velqa.sample_measure_batch_device(sampled, targets, 300, endian=endian, seed=seed)
        kept = velqa.DeviceStateBatch.from_numpy(n, states)
        uncollapsed = velqa.sample_measure_batch_device(kept, targets, 20, endian=endian, seed=seed,
                                                        collapse_last=False)
        np.testing.assert_array_equal(kept.to_numpy(), states)
        for b in range(size):
            member_seed = (seed + b) % 2**64
            one = velqa.DeviceState.from_numpy(n, states[b])
            assert outcomes[b] == velqa.measure_device(one, targets, endian=endian, seed=member_seed)
            np.testing.assert_array_equal(batch.to_numpy()[b], one.to_numpy())
            one = velqa.DeviceState.from_numpy(n, states[b])
            assert results[b] == velqa.sample_measure_device(one, targets, 300, endian=endian, seed=member_seed)
            np.testing.assert_array_equal(sampled.to_numpy()[b], one.to_numpy())
            one = velqa.DeviceState.from_numpy(n, states[b])
            assert uncollapsed[b] == velqa.sample_measure_device(one, targets, 20, endian=endian,
                                                                 seed=member_seed, collapse_last=False)


def test_a_member_does_not_depend_on_the_others_and_seed_none_draws_one_seed(no_leaks):
    n = 4
    rng = np.random.default_rng(9)
    states = random_batch(n, 5, "complex128", rng)
    whole = velqa.sample_measure_batch_device(velqa.DeviceStateBatch.from_numpy(n, states), [0, 1, 3], 200, seed=11)
    tail = velqa.sample_measure_batch_device(velqa.DeviceStateBatch.from_numpy(n, states[2:]), [0, 1, 3], 200,
                                             seed=13)
    assert whole[2:] == tail
    # seed None: one seed for the call, so equal members draw consecutive seeds' results; a batch of
    # one state repeated twice never gives two equal draws of 2000 shots.
    twice = np.stack([states[0], states[0]])
    first, second = velqa.sample_measure_batch_device(velqa.DeviceStateBatch.from_numpy(n, twice), [0, 1, 2, 3],
                                                      2000, collapse_last=False)
    assert first != second


@pytest.mark.parametrize("bad", [0.0, np.nan, np.inf])
@pytest.mark.parametrize("readout", ["probabilities", "expectation", "measure", "sample"])
def test_a_member_of_invalid_norm_is_named_and_no_member_is_collapsed(no_leaks, bad, readout):
    n = 3
    rng = np.random.default_rng(10)
    states = random_batch(n, 4, "complex128", rng)
    states[2] = 0
    states[2, 5] = bad
    batch = velqa.DeviceStateBatch.from_numpy(n, states)
    call = {
        "probabilities": lambda: velqa.probabilities_batch_device(batch, [0]),
        "expectation": lambda: velqa.expectation_pauli_batch_device(batch, [(1.0, "Z", [1])]),
        "measure": lambda: velqa.measure_batch_device(batch, [0, 2], seed=1),
        "sample": lambda: velqa.sample_measure_batch_device(batch, [1], 10, seed=1),
    }[readout]
    with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm \(member 2\)\.$"):
        call()
    np.testing.assert_array_equal(batch.to_numpy(), states)


@pytest.mark.parametrize("call, error, message", [
    (lambda b: velqa.probabilities_batch_device(b, [3]), ValueError, "target"),
    (lambda b: velqa.probabilities_batch_device(b, [0], endian="middle"), ValueError, "endian"),
    (lambda b: velqa.expectation_pauli_batch_device(b, [(1.0, "Q", [0])]), ValueError, "Pauli"),
    (lambda b: velqa.measure_batch_device(b, [0, 0]), ValueError, "^duplicate measure target index$"),
    (lambda b: velqa.measure_batch_device(b, [0], seed=-1), (ValueError, OverflowError, TypeError), "seed"),
    (lambda b: velqa.sample_measure_batch_device(b, [0], 0), ValueError, "shots"),
    (lambda b: velqa.run_circuit_batch_device(b, [], endian="middle"), ValueError, "endian"),
])
def test_readout_refusals_are_the_single_states(call, error, message):
    states = random_batch(3, 2, "complex64", np.random.default_rng(11))
    batch = velqa.DeviceStateBatch.from_numpy(3, states)
    launches = _hostdevice.launch_count() if _hostdevice else 0
    with pytest.raises(error, match=message):
        call(batch)
    assert (_hostdevice.launch_count() if _hostdevice else 0) == launches
    np.testing.assert_array_equal(batch.to_numpy(), states)


def test_ctrl_c_interrupts_a_long_batch_sampling_run_and_leaves_every_member(hd):
    """The single state's Ctrl-C run with a batch of two members: interrupted during member 0's
    draws, before any collapse."""
    members = "np.stack([before, before[::-1]])"
    source = (INTERRUPTED_SAMPLING.replace("velqa.DeviceState.from_numpy(2, before)",
                                           f"velqa.DeviceStateBatch.from_numpy(2, {members})")
              .replace("velqa.sample_measure_device(", "velqa.sample_measure_batch_device(")
              .replace("np.array_equal(state.to_numpy(), before)", f"np.array_equal(state.to_numpy(), {members})"))
    assert "DeviceStateBatch" in source and "sample_measure_batch_device" in source
    done = run_python(source)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted, state unchanged: True\n", "")


def test_every_batch_call_releases_the_gil(hd):
    n = 5
    states = random_batch(n, 3, "complex128", np.random.default_rng(12))
    batch = velqa.DeviceStateBatch.from_numpy(n, states)
    out = np.empty_like(states)
    gates = [{"id": "rx", "target": [q % n], "control": [], "control_state": [],
              "parameter": np.full((3, 1), 0.1 * q)} for q in range(12)]
    calls = {
        "zero_state": lambda: velqa.DeviceStateBatch.zero_state(n, 3),
        "from_numpy": lambda: velqa.DeviceStateBatch.from_numpy(n, states),
        "to_numpy": lambda: batch.to_numpy(),
        "copy_to_numpy": lambda: batch.copy_to_numpy(out),
        "run_circuit_batch_device": lambda: velqa.run_circuit_batch_device(batch, gates, mode=velqa.AllState),
        "run_circuit_batch_device fused": lambda: velqa.run_circuit_batch_device(batch, gates,
                                                                                 mode=velqa.PairAutoFusion),
        "probabilities_batch_device": lambda: velqa.probabilities_batch_device(batch, [0, 1]),
        "expectation_pauli_batch_device": lambda: velqa.expectation_pauli_batch_device(batch, [(1.0, "XZ", [0, 1])]),
        "measure_batch_device": lambda: velqa.measure_batch_device(batch, [0, 3], seed=1),
        "sample_measure_batch_device": lambda: velqa.sample_measure_batch_device(batch, [2], 100, seed=2),
    }
    for name, call in calls.items():
        assert releases_gil(hd, call), name
