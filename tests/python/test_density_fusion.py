"""Density fusion through the runner: the KORVANE_DENSITY_FUSION switch, the groups the runner
executes (seen in the host device's launch log), random operation lists with fusion on and off
against the dense NumPy model, and device memory after fused runs that succeed or fail."""
import numpy as np
import pytest

import dormeth
from conftest import PRECISIONS, TOLERANCE, assert_close
from builders import channel, gate, kraus, run_density
from density_reference import ALIASES, CHANNELS, NAMED, gate_matrix, random_density, random_kraus_set
from reference import apply_matrix, random_unitary

SPARSE = "density_sparsesharemem_kernel"
SWITCH = "KORVANE_DENSITY_FUSION"


def apply_all(rho, n, ops):
    """The dense model rho -> sum K rho K^dagger, applying each operator to the rows and then to the
    columns instead of building it over the whole register: K rho K^dagger = (K (K rho)^dagger)^dagger."""
    rho = np.array(rho, dtype=complex)
    for op in ops:
        if getattr(op, "operation_kind", None) == "kraus":
            terms = [(k, op.target, (), ()) for k in np.asarray(op.kraus_matrices, dtype=complex)]
        else:
            terms = [(gate_matrix(op), op.target, op.control, op.control_state)]
        out = np.zeros_like(rho)
        for matrix, targets, controls, states in terms:
            left = apply_matrix(rho, n, matrix, targets, controls, states)
            out += apply_matrix(left.conj().T, n, matrix, targets, controls, states).conj().T
        rho = out
    return rho


def short(name):
    return name.replace("korvane::dormeth::", "").replace("korvane::density::ChannelKind::", "")


def launched(hd, n, ops, dtype="complex128"):
    """(kernel, grid, block, shared bytes) of every launch of one run on the zero state."""
    state = dormeth.DeviceDensityState.zero_state(n, dtype=dtype)
    hd.clear_launches()
    dormeth.run_density_operations_device(state, n, ops)
    return [(short(r["kernel"]), r["grid"], r["block"], r["shared_bytes"]) for r in hd.launches()]


def names(hd, n, ops, dtype="complex128"):
    return [row[0] for row in launched(hd, n, ops, dtype)]


def four_h():
    return [gate("h", [q]) for q in range(4)]


# ------------------------------------------------------------------ the switch

@pytest.mark.parametrize("value, fused", [(None, False), ("", False), ("0", False), ("00", False), ("0.5", False),
                                          ("1", True), ("false", True), (" 0", True), ("yes", True)])
def test_switch_value_selects_the_schedule(hd, monkeypatch, value, fused):
    if value is None:
        monkeypatch.delenv(SWITCH, raising=False)
    else:
        monkeypatch.setenv(SWITCH, value)
    ops = four_h() + [channel("depolarizing", 2, 0.3)]
    expected = [SPARSE + "<double>"] if fused else ["unitary_merged_kernel<double, 1>"] * 4
    assert names(hd, 8, ops)[:len(expected)] == expected
    rho = random_density(8, np.random.default_rng(1))
    assert_close(run_density(rho, ops, "complex128"), apply_all(rho, 8, ops), "complex128")


def test_switch_is_read_on_every_call(hd, monkeypatch):
    monkeypatch.setenv(SWITCH, "1")
    assert SPARSE + "<double>" in names(hd, 8, four_h())
    monkeypatch.setenv(SWITCH, "0")
    assert SPARSE + "<double>" not in names(hd, 8, four_h())


# ------------------------------------------------------------------ the groups

def test_four_qubits_are_never_planned(hd, monkeypatch):
    ops = [gate("h", [0]), channel("bit_flip", 0, 0.2), gate("rz", [0], parameter=[0.3])] + four_h()
    monkeypatch.setenv(SWITCH, "1")
    on = names(hd, 4, ops)
    monkeypatch.setenv(SWITCH, "0")
    assert on == names(hd, 4, ops)
    assert "unitary_channel" not in " ".join(on)


def test_five_qubits_run_one_qubit_groups_with_gate_channel_pairs(hd, monkeypatch, dtype):
    monkeypatch.setenv(SWITCH, "1")
    t = "double" if dtype == "complex128" else "float"
    ops = [gate("h", [0]), channel("bit_flip", 0, 0.2), gate("rz", [0], parameter=[0.3])]
    assert names(hd, 5, ops, dtype) == [f"unitary_channel_kernel<{t}, BitFlip>", f"diagonal_free_kernel<{t}>"]
    rho = random_density(5, np.random.default_rng(2))
    assert_close(run_density(rho, ops, dtype), apply_all(rho, 5, ops), dtype)

    # Only a plain one-target unitary pairs with the channel right after it; a diagonal gate, an X
    # and a controlled gate run alone, and a second channel runs by itself.
    u = random_unitary(2, np.random.default_rng(3))
    ops = [gate("unitary", [3], matrix=u), channel("amplitude_damping", 3, 0.4), channel("depolarizing", 3, 0.1),
           gate("s", [3]), channel("phase_flip", 3, 0.2), gate("x", [3]), channel("phase_damping", 3, 0.3),
           gate("sqrtx", [3]), channel("depolarizing", 3, 0.25), gate("ry", [1], [3], [1], [0.4]),
           channel("bit_flip", 1, 0.1), gate("u", [3], parameter=[0.1, 0.2, 0.3])]
    assert names(hd, 5, ops, dtype) == [
        f"unitary_channel_kernel<{t}, AmplitudeDamping>", f"channel_kernel<{t}, Depolarizing>",
        f"diagonal_free_kernel<{t}>", f"channel_kernel<{t}, PhaseFlip>", f"permutation_kernel<{t}>",
        f"channel_kernel<{t}, PhaseDamping>", f"unitary_channel_kernel<{t}, Depolarizing>",
        f"unitary_merged_kernel<{t}, 1>", f"channel_kernel<{t}, BitFlip>", f"unitary_merged_kernel<{t}, 1>"]
    rho = random_density(5, np.random.default_rng(4))
    assert_close(run_density(rho, ops, dtype), apply_all(rho, 5, ops), dtype, scale=2)


def test_seven_qubits_have_no_shared_memory_groups(hd, monkeypatch):
    monkeypatch.setenv(SWITCH, "1")
    rng = np.random.default_rng(5)
    ops = [fusable_operation(7, rng) for _ in range(60)]
    assert not any(SPARSE in k for k in names(hd, 7, ops))
    rho = random_density(7, rng)
    assert_close(run_density(rho, ops, "complex128"), apply_all(rho, 7, ops), "complex128", scale=4)


@pytest.mark.parametrize("dtype, element", [("complex64", 8), ("complex128", 16)])
def test_four_disjoint_gates_form_one_group_on_eight_qubits(hd, monkeypatch, dtype, element):
    monkeypatch.setenv(SWITCH, "1")
    t = "double" if dtype == "complex128" else "float"
    # 4^(8-4) = 256 sub-blocks of 16 x 16 elements.
    assert launched(hd, 8, four_h(), dtype) == [(f"{SPARSE}<{t}>", (256, 1, 1), (128, 1, 1), 256 * element)]
    rho = random_density(8, np.random.default_rng(6))
    assert_close(run_density(rho, four_h(), dtype), apply_all(rho, 8, four_h()), dtype)


def test_five_active_qubits_on_nine(hd, monkeypatch):
    monkeypatch.setenv(SWITCH, "1")
    ops = [gate("h", [q]) for q in (0, 2, 4, 6, 8)] + [channel("amplitude_damping", 4, 0.3), gate("cx", [2], [8], [1])]
    assert launched(hd, 9, ops) == [(SPARSE + "<double>", (256, 1, 1), (128, 1, 1), 1024 * 16)]
    rho = random_density(9, np.random.default_rng(7))
    assert_close(run_density(rho, ops, "complex128"), apply_all(rho, 9, ops), "complex128")


@pytest.mark.parametrize("barrier, kernel", [
    (gate("swap", [6, 7]), "permutation_kernel<double>"),
    (kraus([6, 7], random_kraus_set(2, 2, np.random.default_rng(8))), "kraus_kernel<double, 2>"),
    (kraus([6], random_kraus_set(1, 2, np.random.default_rng(9)), "custom"), "kraus_kernel<double, 1>"),
    (gate("unitary", [7, 6], matrix=random_unitary(4, np.random.default_rng(10))),
     "unitary_merged_row2_kernel<double>"),
], ids=["swap", "two-target kraus", "other kraus name", "two-target unitary"])
def test_barrier_splits_the_scan(hd, monkeypatch, barrier, kernel):
    monkeypatch.setenv(SWITCH, "1")
    ops = [gate("h", [0]), gate("h", [1]), barrier, gate("h", [2]), gate("h", [3])]
    # Without the barrier the four H gates would share one group; with it each side is two qubits.
    h = "unitary_merged_kernel<double, 1>"
    assert names(hd, 8, ops) == [h, h, kernel, h, h]
    rho = random_density(8, np.random.default_rng(11))
    assert_close(run_density(rho, ops, "complex128"), apply_all(rho, 8, ops), "complex128")


def test_builtin_channel_is_no_barrier(hd, monkeypatch):
    monkeypatch.setenv(SWITCH, "1")
    ops = [gate("h", [0]), gate("h", [1]), channel("bit_flip", 6, 0.2), gate("h", [2]), gate("h", [3])]
    assert names(hd, 8, ops) == [SPARSE + "<double>", "channel_kernel<double, BitFlip>"]
    rho = random_density(8, np.random.default_rng(12))
    assert_close(run_density(rho, ops, "complex128"), apply_all(rho, 8, ops), "complex128")


def test_controlled_gates_join_groups(hd, monkeypatch, dtype):
    monkeypatch.setenv(SWITCH, "1")
    ops = [gate("h", [0]), gate("cx", [1], [0], [1]), gate("x", [2], [1], [0]), gate("cz", [3], [2], [1]),
           gate("mcrx", [0], [1, 3], [1, 0], [0.8]), gate("cp", [3], [0], [0], [0.6])]
    assert [k.split("<")[0] for k in names(hd, 8, ops, dtype)] == [SPARSE]
    rho = random_density(8, np.random.default_rng(13))
    assert_close(run_density(rho, ops, dtype), apply_all(rho, 8, ops), dtype, scale=2)


def test_dropped_global_phase_inside_a_group(hd, monkeypatch):
    # The runner drops a global phase without controls and never reads its parameters, so a record
    # without any is valid; in a group it must not fail either.
    monkeypatch.setenv(SWITCH, "1")
    ops = [gate("h", [0]), gate("h", [1]), gate("gp", [2]), gate("global_phase", [3], parameter=[1.0, 2.0]),
           gate("h", [3])]
    assert names(hd, 8, ops) == [SPARSE + "<double>"]
    rho = random_density(8, np.random.default_rng(14))
    kept = [ops[0], ops[1], ops[4]]
    assert_close(run_density(rho, ops, "complex128"), apply_all(rho, 8, kept), "complex128")


# ------------------------------------------------------------------ random lists

def random_controls(n, taken, rng, most=2):
    rest = [q for q in rng.permutation(n) if q not in taken]
    count = int(rng.integers(0, min(most, len(rest)) + 1))
    return [int(q) for q in rest[:count]], [int(s) for s in rng.integers(0, 2, count)]


def fusable_operation(n, rng):
    """A one-target named or stored gate with up to two controls, or a built-in channel."""
    q = int(rng.integers(n))
    kind = rng.choice(["named", "stored", "channel"], p=[0.5, 0.2, 0.3])
    if kind == "channel":
        return channel(str(rng.choice(CHANNELS)), q, float(rng.uniform(0, 1)))
    controls, states = random_controls(n, [q], rng)
    if kind == "stored":
        return gate("unitary", [q], controls, states, matrix=random_unitary(2, rng))
    name = str(rng.choice([x for x in sorted(NAMED) + sorted(ALIASES) if ALIASES.get(x, x) != "swap"]))
    count = NAMED[ALIASES.get(name, name)][0]
    params = [float(a) for a in rng.uniform(-np.pi, np.pi, count)] if count else None
    return gate(name, [q], controls, states, params)


def mixed_operation(n, rng):
    """Mostly fusable operations, with the barriers among them: SWAP, two-target unitaries and
    general Kraus sets."""
    kind = rng.choice(["fusable", "swap", "unitary2", "kraus"], p=[0.82, 0.05, 0.07, 0.06])
    qubits = [int(q) for q in rng.permutation(n)]
    if kind == "fusable":
        return fusable_operation(n, rng)
    if kind == "swap":
        controls, states = random_controls(n, qubits[:2], rng, 1)
        return gate("swap", qubits[:2], controls, states)
    if kind == "unitary2":
        controls, states = random_controls(n, qubits[:2], rng, 1)
        return gate("unitary", qubits[:2], controls, states, matrix=random_unitary(4, rng))
    k = int(rng.integers(1, 3))
    return kraus(qubits[:k], random_kraus_set(k, int(rng.integers(1, 4)), rng), str(rng.choice(["custom", ""])))


def random_case(n):
    """A random state and about 60 operations, where a gate without controls is often followed by
    noise on its qubit (the pattern a one-qubit group runs in one pass)."""
    rng = np.random.default_rng(300 + n)
    ops = []
    for _ in range(50):
        op = mixed_operation(n, rng)
        ops.append(op)
        if getattr(op, "control", None) == [] and len(op.target) == 1 and rng.random() < 0.4:
            ops.append(channel(str(rng.choice(CHANNELS)), op.target[0], float(rng.uniform(0, 1))))
    return random_density(n, rng), ops


@pytest.mark.parametrize("n", [5, 6, 7, pytest.param(8, marks=pytest.mark.threads), 9])
def test_random_lists_agree_with_fusion_on_and_off(monkeypatch, n):
    rho, ops = random_case(n)
    expected = apply_all(rho, n, ops)
    for dtype in PRECISIONS:
        monkeypatch.setenv(SWITCH, "0")
        off = run_density(rho, ops, dtype)
        monkeypatch.setenv(SWITCH, "1")
        on = run_density(rho, ops, dtype)
        assert_close(on, off, dtype, scale=5)
        assert_close(on, expected, dtype, scale=10)
        assert abs(np.trace(on) - 1) < 50 * TOLERANCE[dtype]


def test_random_lists_reach_the_fused_kernels(hd, monkeypatch):
    # The lists above are long enough to form shared-memory groups and gate-channel pairs.
    monkeypatch.setenv(SWITCH, "1")
    seen = {n: " ".join(names(hd, n, random_case(n)[1])) for n in (5, 6, 7, 8, 9)}
    assert "unitary_channel_kernel" in seen[5]
    assert all(SPARSE not in seen[n] for n in (5, 6, 7))
    assert all(SPARSE in seen[n] for n in (8, 9))


# ------------------------------------------------------------------ memory and failures

def test_fused_runs_free_their_buffers(no_leaks, monkeypatch, dtype):
    monkeypatch.setenv(SWITCH, "1")
    state = dormeth.DeviceDensityState.zero_state(8, dtype=dtype)
    live = no_leaks.live_bytes(0)
    rng = np.random.default_rng(15)
    for _ in range(3):
        dormeth.run_density_operations_device(state, 8, [mixed_operation(8, rng) for _ in range(30)])
        assert no_leaks.live_bytes(0) == live


@pytest.mark.parametrize("n, ops, prefix", [
    (8, four_h(), "density_sparsesharemem kernel launch failed: "),
    (5, [gate("h", [0]), channel("bit_flip", 0, 0.2)], "unitary_channel kernel launch failed: "),
], ids=["shared memory", "gate and channel"])
def test_launch_failure_is_reported_and_frees_everything(no_leaks, monkeypatch, n, ops, prefix):
    monkeypatch.setenv(SWITCH, "1")
    state = dormeth.DeviceDensityState.zero_state(n)
    no_leaks.inject_launch_failures(1)
    with pytest.raises(RuntimeError, match="^" + prefix + "too many resources requested for launch$"):
        dormeth.run_density_operations_device(state, n, ops)
    # The failure was reported once: the next run is clean.
    rho = random_density(n, np.random.default_rng(16))
    assert_close(run_density(rho, ops, "complex128"), apply_all(rho, n, ops), "complex128")


def test_failed_record_upload_leaves_the_state_unchanged(no_leaks, monkeypatch):
    monkeypatch.setenv(SWITCH, "1")
    rho = random_density(8, np.random.default_rng(17))
    state = dormeth.DeviceDensityState.from_numpy(8, rho.astype("complex128"))
    # Room for the state and the four 2 x 2 matrices (256 bytes), not for the four fused records.
    no_leaks.configure(1, no_leaks.live_bytes(0) + 256 + 100)
    with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
        dormeth.run_density_operations_device(state, 8, four_h())
    no_leaks.configure(1, 16 << 30)
    np.testing.assert_array_equal(state.to_numpy(), rho)
