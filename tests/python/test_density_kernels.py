"""Density operations against the dense NumPy model rho -> sum K rho K^dagger: every named gate,
stored unitaries on 1 to 6 targets, the five built-in channels and general Kraus channels, alone
and in random sequences, in both precisions; the worked element-rule examples; agreement with the
statevector module; and which kernel each path launches."""
import numpy as np
import pytest

import dormeth
import velqa
from conftest import TOLERANCE, assert_close
from builders import channel, gate, kraus, run_density
from density_reference import ALIASES, CHANNELS, NAMED, apply_all, channel_kraus, random_density, random_kraus_set
from reference import random_unitary

NAMES = sorted(NAMED) + ["swap"] + sorted(ALIASES)


def check(rho, ops, dtype, scale=1.0):
    n = int(np.log2(rho.shape[0]))
    actual = run_density(rho, ops, dtype)
    assert actual.dtype == np.dtype(dtype)
    assert_close(actual, apply_all(rho, n, ops), dtype, scale)
    return actual


def random_named(name, n, rng, max_controls=2):
    canonical = ALIASES.get(name, name)
    k = 2 if canonical == "swap" else 1
    qubits = [int(q) for q in rng.permutation(n)]
    targets, rest = qubits[:k], qubits[k:]
    nc = int(rng.integers(0, min(max_controls, len(rest)) + 1))
    controls = rest[:nc]
    states = [int(s) for s in rng.integers(0, 2, nc)]
    count = 0 if canonical == "swap" else NAMED[canonical][0]
    params = [float(a) for a in rng.uniform(-np.pi, np.pi, count)] if count else None
    return gate(name, targets, controls, states, params)


def random_operation(n, rng):
    kind = rng.choice(["named", "matrix", "channel", "kraus"], p=[0.4, 0.25, 0.2, 0.15])
    if kind == "named":
        names = [x for x in NAMES if n >= 2 or ALIASES.get(x, x) != "swap"]
        return random_named(str(rng.choice(names)), n, rng)
    qubits = [int(q) for q in rng.permutation(n)]
    if kind == "matrix":
        k = int(rng.integers(1, min(6, n) + 1))
        nc = int(rng.integers(0, min(2, n - k) + 1))
        states = [int(s) for s in rng.integers(0, 2, nc)]
        return gate("unitary", qubits[:k], qubits[k:k + nc], states, matrix=random_unitary(1 << k, rng))
    if kind == "channel":
        return channel(str(rng.choice(CHANNELS)), qubits[0], float(rng.uniform(0, 1)))
    k = int(rng.integers(1, min(3, n) + 1))
    ops = random_kraus_set(k, int(rng.integers(1, 5)), rng)
    return kraus(qubits[:k], ops, str(rng.choice(["custom", "bit_flip", ""])))


# ------------------------------------------------------------------ against the reference

@pytest.mark.parametrize("n", [1, 2, 3, 4, 6, 8])
def test_random_sequences_match_reference(n, dtype, no_leaks):
    rng = np.random.default_rng(100 + n)
    rho = random_density(n, rng)
    ops = [random_operation(n, rng) for _ in range(40)]
    out = check(rho, ops, dtype, scale=5)
    # Every operation is trace preserving and maps Hermitian matrices to Hermitian matrices.
    assert abs(np.trace(out) - 1) < 50 * TOLERANCE[dtype]
    assert_close(out, out.conj().T, dtype, scale=5)


@pytest.mark.parametrize("name", NAMES)
def test_every_named_gate_with_and_without_controls(name, dtype):
    rng = np.random.default_rng(sum(map(ord, name)))
    rho = random_density(4, rng)
    canonical = ALIASES.get(name, name)
    targets = [2, 0] if canonical == "swap" else [2]
    count = 0 if canonical == "swap" else NAMED[canonical][0]
    params = [float(a) for a in rng.uniform(-np.pi, np.pi, count)] if count else None
    for control, state in [((), ()), ((1,), (0,)), ((3, 1), (1, 0))]:
        check(rho, [gate(name, targets, control, state, params)], dtype)


def test_parameters_of_fixed_diagonal_gates_are_ignored(dtype):
    rho = random_density(2, np.random.default_rng(3))
    for name in ["z", "-z", "s", "s_dag", "t", "t_dag"]:
        actual = run_density(rho, [gate(name, [1], parameter=[1.0, 2.0])], dtype)
        assert_close(actual, apply_all(rho, 2, [gate(name, [1])]), dtype)


@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
def test_stored_unitaries_on_one_to_six_targets(k, dtype):
    rng = np.random.default_rng(k)
    n = 7
    rho = random_density(n, rng)
    qubits = [int(q) for q in rng.permutation(n)]
    ops = [gate("unitary", qubits[:k], matrix=random_unitary(1 << k, rng)),
           gate("unitary", qubits[:k][::-1], qubits[k:k + 1], [0], matrix=random_unitary(1 << k, rng))]
    check(rho, ops, dtype, scale=4)


@pytest.mark.parametrize("k", [3, 4, 5, 6])
def test_left_and_right_passes_on_every_tile_shape(k, dtype):
    """Matrices narrower than a tile, exactly one, and wider than one (several tiles of column
    groups side by side); targets low, high and interleaved in any order; controls met by a row
    group but not by its column group and the other way round."""
    rng = np.random.default_rng(60 + k)
    for n in (k, k + 1, 10) if k in (3, 6) else (k, k + 1):
        rho = random_density(n, rng)
        qubits = [int(q) for q in rng.permutation(n)]
        layouts = (list(range(k)), list(range(n - 1, n - 1 - k, -1)), qubits[:k])
        ops = []
        for targets in layouts[2:] if n == 10 else layouts:  # the reference is slow at n = 10
            rest = [q for q in range(n) if q not in targets]
            control = rest[:1]
            ops.append(gate("unitary", targets, control, [int(rng.integers(0, 2))] * len(control),
                            matrix=random_unitary(1 << k, rng)))
        check(rho, ops, dtype, scale=4)


@pytest.mark.parametrize("k,n", [(2, 2), (2, 5), (2, 7), (3, 3), (3, 4), (3, 5), (3, 7)])
def test_two_and_three_target_kraus_on_every_tile_shape(k, n, dtype):
    """A block holds 16 (k = 2) or 4 (k = 3) column groups: rows with fewer, exactly as many, and
    several blocks per row group; one and several operators; targets low, high and interleaved."""
    rng = np.random.default_rng(70 + 10 * k + n)
    rho = random_density(n, rng)
    ops = []
    for targets in (list(range(k)), list(range(n - 1, n - 1 - k, -1)), [int(q) for q in rng.permutation(n)[:k]]):
        for count in (1, 3):
            ops.append(kraus(targets, random_kraus_set(k, count, rng), "custom"))
    check(rho, ops, dtype, scale=6)


def test_one_target_unitary_with_control_acts_on_matching_rows_and_columns(dtype):
    # Blocks where only the column meets the control get only the right product.
    u = random_unitary(2, np.random.default_rng(5))
    rho = random_density(2, np.random.default_rng(6))
    actual = run_density(rho, [gate("unitary", [0], [1], [0], matrix=u)], dtype)
    full = np.kron(np.diag([0, 1]), np.eye(2)) + np.kron(np.diag([1, 0]), u)
    assert_close(actual, full @ rho @ full.conj().T, dtype)
    assert_close(actual[2:, 2:], rho[2:, 2:], dtype)  # rows and columns with qubit 1 set: unchanged
    assert_close(actual[:2, 2:], u @ rho[:2, 2:], dtype)  # only the rows meet the control


@pytest.mark.parametrize("name", CHANNELS)
def test_builtin_channels_on_every_qubit(name, dtype):
    rng = np.random.default_rng(len(name))
    rho = random_density(3, rng)
    for q in range(3):
        check(rho, [channel(name, q, float(rng.uniform(0, 1)))], dtype)


@pytest.mark.parametrize("k", [1, 2, 3])
def test_general_kraus_on_one_to_three_targets(k, dtype):
    rng = np.random.default_rng(10 + k)
    rho = random_density(5, rng)
    for count in [1, 2, 5]:
        targets = [int(q) for q in rng.permutation(5)[:k]]
        check(rho, [kraus(targets, random_kraus_set(k, count, rng), "custom")], dtype)
    # Any operators, not only complete sets: the sum is applied as given.
    ops = rng.normal(size=(3, 1 << k, 1 << k)) + 1j * rng.normal(size=(3, 1 << k, 1 << k))
    check(rho, [kraus([4, 0, 2][:k], ops)], dtype, scale=20)


# ------------------------------------------------------------------ equivalences

@pytest.mark.parametrize("name", CHANNELS)
def test_builtin_channel_equals_the_same_set_as_general_kraus(name, dtype):
    rng = np.random.default_rng(7)
    rho = random_density(3, rng)
    p = 0.37
    builtin = run_density(rho, [channel(name, 1, p)], dtype)
    general = run_density(rho, [kraus([1], channel_kraus(name, p), "my_" + name)], dtype)
    assert_close(builtin, general, dtype)


def _named_variants():
    """Operators under a channel's name that are not that channel's for the p read from K1."""
    bf = channel_kraus("bit_flip", 0.3)
    dep = channel_kraus("depolarizing", 0.6)
    ad = channel_kraus("amplitude_damping", 0.4)
    pd = channel_kraus("phase_damping", 0.25)
    return [
        ("bit_flip", [bf[0], 1j * bf[1]]),  # the same channel, K1 times i
        ("bit_flip", [bf[1], bf[0]]),  # the same channel, operators in the other order
        ("depolarizing", [dep[0], dep[2], dep[3], dep[1]]),  # the Paulis in another order
        ("depolarizing", [dep[0], dep[3], dep[1], dep[2]]),
        ("amplitude_damping", [ad[0], -ad[1]]),
        ("phase_damping", [pd[0], pd[1], pd[2] * (1 + 1e-9)]),
        ("depolarizing", [3 * dep[0], dep[1], dep[2], dep[3]]),  # a different map under the name
        ("bit_flip", [[[5, 7j], [1, 2]], [[9, np.sqrt(0.3) + 4j], [3, 8]]]),
    ]


@pytest.mark.parametrize("index", range(len(_named_variants())))
def test_a_channel_name_with_other_operators_applies_the_operators_given(index, dtype, hd):
    name, ops = _named_variants()[index]
    rho = random_density(2, np.random.default_rng(8))
    ops = np.array(ops, dtype=complex)
    hd.clear_launches()
    expected = apply_all(rho, 2, [kraus([1], ops)])
    assert_close(run_density(rho, [kraus([1], ops, name)], dtype), expected, dtype, scale=np.abs(expected).max())
    assert "kraus_kernel" in hd.launches()[-1]["kernel"]


def test_a_channel_name_with_its_own_operators_runs_the_channel_kernel(dtype, hd):
    rho = random_density(2, np.random.default_rng(8))
    for name in CHANNELS:
        hd.clear_launches()
        check(rho, [channel(name, 0, 0.3)], dtype)
        assert "channel_kernel" in hd.launches()[-1]["kernel"]


@pytest.mark.parametrize("name, k1_entry", [("bit_flip", 1.5), ("depolarizing", 0.6), ("amplitude_damping", -1.01),
                                            ("phase_damping", 1e20), ("phase_flip", 1.0000001)])
def test_a_channel_whose_probability_is_outside_0_1_is_refused(name, k1_entry, dtype, no_leaks):
    ops = channel_kraus(name, 0.5)
    ops[1][0, 1 if name in ("bit_flip", "depolarizing", "amplitude_damping") else 0] = k1_entry
    rho = random_density(2, np.random.default_rng(8)).astype(dtype)
    state = dormeth.DeviceDensityState.from_numpy(2, rho)
    message = rf"^built-in channel probability must be in \[0, 1\] \(operation 1, {dtype}\)$"
    with pytest.raises(RuntimeError, match=message):
        dormeth.run_density_operations_device(state, 2, [gate("h", [0]), kraus([0], ops, name)])
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_channel_name_with_another_shape_is_a_general_kraus_sum(dtype):
    rng = np.random.default_rng(9)
    rho = random_density(3, rng)
    ops = random_kraus_set(1, 3, rng)  # bit_flip has two operators: three make a general channel
    check(rho, [kraus([2], ops, "bit_flip")], dtype)
    ops2 = random_kraus_set(2, 2, rng)  # two targets are never a built-in channel
    check(rho, [kraus([0, 2], ops2, "bit_flip")], dtype)


@pytest.mark.parametrize("k", [1, 2, 3])
def test_kraus_with_one_unitary_operator_equals_the_unitary_gate(k, dtype):
    rng = np.random.default_rng(20 + k)
    rho = random_density(4, rng)
    u = random_unitary(1 << k, rng)
    targets = [3, 0, 2][:k]
    assert_close(run_density(rho, [kraus(targets, u[None])], dtype),
                 run_density(rho, [gate("unitary", targets, matrix=u)], dtype),
                 dtype)


def test_named_gates_equal_their_stored_matrices(dtype):
    rng = np.random.default_rng(11)
    rho = random_density(3, rng)
    for name, (count, build) in NAMED.items():
        params = [float(a) for a in rng.uniform(-np.pi, np.pi, count)]
        named = run_density(rho, [gate(name, [1], [2], [1], params or None)], dtype)
        matrix = np.asarray(build(*params), dtype=complex)
        stored = run_density(rho, [gate("unitary", [1], [2], [1], matrix=matrix)], dtype)
        assert_close(named, stored, dtype)


@pytest.mark.parametrize("n", [1, 3, 5])
def test_pure_circuits_agree_with_the_statevector_module(n, dtype):
    rng = np.random.default_rng(30 + n)
    velqa_names = {"p": "phase"}
    names = [x for x in NAMED if x not in ("-z", "x2p", "x2m", "y2p", "y2m", "rxy", "gp")]
    if n >= 2:
        names.append("swap")
    gates = []
    for _ in range(25):
        g = random_named(str(rng.choice(names)), n, rng)
        gates.append(g)
    psi = np.zeros(1 << n, dtype=dtype)
    psi[0] = 1
    ir = [{"id": velqa_names.get(g.id, g.id), "target": g.target, "control": g.control,
           "control_state": g.control_state, "parameter": g.parameter or []} for g in gates]
    psi = velqa.run_circuit(n, psi, ir)
    state = dormeth.DeviceDensityState.zero_state(n, dtype=dtype)
    dormeth.run_density_operations_device(state, n, gates)
    assert_close(state.to_numpy(), np.outer(psi, psi.conj()), dtype, scale=4)


# ------------------------------------------------------------------ worked examples

def density_of(n, entries, dtype="complex128"):
    rho = np.zeros((1 << n, 1 << n), dtype=dtype)
    for (r, c), v in entries.items():
        rho[r, c] = v
    return rho


PLUS = np.full((2, 2), 0.5)


@pytest.mark.parametrize("name, p, rho, expected", [
    ("bit_flip", 1.0, np.diag([1, 0]), np.diag([0, 1])),
    ("bit_flip", 0.5, PLUS, PLUS),
    ("phase_flip", 0.5, PLUS, 0.5 * np.eye(2)),
    ("depolarizing", 1.0, np.array([[0.7, 0.2 - 0.1j], [0.2 + 0.1j, 0.3]]), 0.5 * np.eye(2)),
    ("amplitude_damping", 1.0, np.diag([0, 1]), np.diag([1, 0])),
    ("amplitude_damping", 0.36, PLUS, np.array([[0.68, 0.4], [0.4, 0.32]])),
    ("phase_damping", 1.0, np.array([[0.6, 0.3j], [-0.3j, 0.4]]), np.diag([0.6, 0.4])),
])
def test_channel_examples(name, p, rho, expected, dtype):
    assert_close(run_density(np.asarray(rho, dtype=complex), [channel(name, 0, p)], dtype), expected, dtype)


def test_gate_examples(dtype):
    assert_close(run_density(np.diag([1, 0]).astype(complex), [gate("h", [0])], dtype), PLUS, dtype)
    theta, x = 0.7, 0.3 - 0.2j
    rho = np.array([[0.6, x], [np.conj(x), 0.4]])
    out = run_density(rho, [gate("rz", [0], parameter=[theta])], dtype)
    assert_close(out, [[0.6, np.exp(-1j * theta) * x], [np.exp(1j * theta) * np.conj(x), 0.4]], dtype)
    assert_close(run_density(density_of(2, {(0, 0): 1}), [gate("x", [0])], dtype), density_of(2, {(1, 1): 1}), dtype)
    swapped = run_density(density_of(2, {(1, 1): 1}), [gate("swap", [0, 1])], dtype)
    assert_close(swapped, density_of(2, {(2, 2): 1}), dtype)


def test_controlled_x_on_control_state_zero(dtype):
    # Flips qubit 0 only in rows and columns where qubit 1 is 0.
    rho = random_density(2, np.random.default_rng(12))
    out = run_density(rho, [gate("cx", [0], [1], [0])], dtype)
    perm = [1, 0, 2, 3]
    assert_close(out, rho[np.ix_(perm, perm)], dtype)


def test_global_phase_without_controls_changes_nothing(hd, dtype):
    rho = random_density(3, np.random.default_rng(13)).astype(dtype)
    state = dormeth.DeviceDensityState.from_numpy(3, rho)
    hd.clear_launches()
    dormeth.run_density_operations_device(state, 3, [gate("gp", [2], parameter=[1.1]),
                                                     gate("global_phase", [0, 1], parameter=[float("nan"), 2.0])])
    assert hd.launches() == []
    assert np.array_equal(state.to_numpy(), rho)


# ------------------------------------------------------------------ paths and launch sizes

def kernel_name(recorded):
    """The kernel's name in the launch log, without its namespace."""
    return recorded.replace("korvane::dormeth::", "")


def launched(hd, n, ops, dtype="complex128"):
    state = dormeth.DeviceDensityState.zero_state(n, dtype=dtype)
    hd.clear_launches()
    dormeth.run_density_operations_device(state, n, ops)
    return [(kernel_name(r["kernel"]), r["grid"], r["block"], r["shared_bytes"]) for r in hd.launches()]


def test_each_path_launches_its_kernel_with_its_geometry(hd):
    n, dim = 6, 64
    tile = ((dim + 31) // 32, (dim + 7) // 8, 1), (32, 8, 1)
    u2, u4 = random_unitary(4, np.random.default_rng(1)), random_unitary(16, np.random.default_rng(2))
    cases = [
        (gate("h", [3]), [("unitary_merged_kernel<double, 1>", ((32 * 32 + 255) // 256, 1, 1), (256, 1, 1), 0)]),
        (gate("unitary", [1, 4], matrix=u2),
         [("unitary_merged_row2_kernel<double>", (4 * 16 * 16 // 256, 1, 1), (256, 1, 1), 0)]),
        # Tiles of 1024 elements: 16 rows x 64 columns for the left pass (one row group each);
        # 64 columns (all four column groups) x 16 rows for the right pass.
        (gate("unitary", [0, 5, 2, 3], matrix=u4),
         [("unitary_left_kernel<double, 4>", (dim // 16 * 1, 1, 1), (256, 1, 1), 0),
          ("unitary_right_kernel<double, 4>", (dim // 16 * 1, 1, 1), (256, 1, 1), 0)]),
        (gate("z", [2], parameter=[0.5]), [("diagonal_free_kernel<double>",) + tile + (0,)]),
        (gate("cp", [2], [0], [1], [0.5]), [("diagonal_controlled_kernel<double>",) + tile + (0,)]),
        (gate("mcx", [2], [0, 1], [1, 0]), [("permutation_kernel<double>",) + tile + (0,)]),
        (gate("swap", [2, 5]), [("permutation_kernel<double>",) + tile + (0,)]),
        (channel("amplitude_damping", 4, 0.2),
         [("channel_kernel<double, korvane::density::ChannelKind::AmplitudeDamping>",) + tile + (0,)]),
        # One block per row group and four column groups: 8 x 2 blocks of 4 x 64 elements.
        (kraus([1, 2, 3], random_kraus_set(3, 2, np.random.default_rng(3))),
         [("kraus_kernel<double, 3>", (8 * 2, 1, 1), (256, 1, 1), 0)]),
    ]
    for op, expected in cases:
        assert launched(hd, n, [op]) == expected, op


def test_six_targets_on_six_qubits_is_one_group(hd, dtype):
    u = random_unitary(64, np.random.default_rng(4))
    rows = launched(hd, 6, [gate("unitary", [5, 0, 4, 1, 3, 2], matrix=u)], dtype)
    assert [r[0].split("<")[0] for r in rows] == ["unitary_left_kernel", "unitary_right_kernel"]
    # 64 x 64 elements in tiles of 64 x 16 (left) and 16 x 64 (right): four blocks per pass.
    assert all(r[1] == (4, 1, 1) and r[2] == (256, 1, 1) for r in rows)
    rho = random_density(6, np.random.default_rng(5))
    check(rho, [gate("unitary", [5, 0, 4, 1, 3, 2], matrix=u)], dtype, scale=4)


def test_fusion_switch_values_give_the_same_result(monkeypatch, dtype):
    rng = np.random.default_rng(40)
    for n in (4, 5, 7):
        rho = random_density(n, rng)
        ops = [random_operation(n, rng) for _ in range(15)]
        monkeypatch.delenv("KORVANE_DENSITY_FUSION", raising=False)
        expected = run_density(rho, ops, dtype)
        assert_close(expected, apply_all(rho, n, ops), dtype, scale=4)
        for value in ["0", "", "00", "0.5", "1", "yes", "false", " 0"]:
            monkeypatch.setenv("KORVANE_DENSITY_FUSION", value)
            assert_close(run_density(rho, ops, dtype), expected, dtype, scale=2)
