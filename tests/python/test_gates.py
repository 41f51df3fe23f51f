"""Named gates in every kernel mode against the dense reference, the AutoPair kernel choice, the
identities that expose a wrong constant, and every refusal with its message."""
import numpy as np
import pytest

import reference as ref
import velqa
from builders import run_circuit, vgate
from conftest import MODES, assert_close, random_state

PER_GATE_MODES = [velqa.AllState, velqa.Pair, velqa.PairAuto]
# velqa's named gates, by their canonical names, from the reference's one list.
GATES = {g.velqa[0]: g for g in ref.GATES.values() if g.velqa}
NAMES = sorted(GATES)
PARAMETERS = {name: g.parameters for name, g in GATES.items()}


def random_gate(rng, n):
    name = str(rng.choice(NAMES))
    k = 2 if name == "swap" else (0 if name == "gp" else 1)
    if n < k:
        name, k = "h", 1
    qubits = [int(q) for q in rng.permutation(n)]
    controls = qubits[k:k + int(rng.integers(0, n - k + 1))]
    spelled = str(rng.choice(GATES[name].velqa)) if rng.random() < 0.3 else name  # an alias selects the same gate
    return vgate(spelled, qubits[:k], controls, [int(v) for v in rng.integers(0, 2, len(controls))],
                [float(p) for p in rng.uniform(-4, 4, PARAMETERS[name])])


# ------------------------------------------------------------------ against the reference

def reference_run(state, n, gates):
    return ref.run_reference(state.astype(complex), n, gates)


@pytest.mark.parametrize("n", range(1, 11))
def test_random_circuits_match_the_reference(n, mode, dtype):
    rng = np.random.default_rng(1000 * n + int(mode))
    state = random_state(n, dtype, rng)
    gates = [random_gate(rng, n) for _ in range(60)]
    assert_close(run_circuit(n, state, gates, mode), reference_run(state, n, gates), dtype, scale=4)


@pytest.mark.parametrize("endian", ["little", "big"])
def test_endian_does_not_change_gates(mode, endian):
    rng = np.random.default_rng(5)
    state = random_state(6, "complex128", rng)
    gates = [random_gate(rng, 6) for _ in range(40)]
    assert_close(run_circuit(6, state, gates, mode, endian), reference_run(state, 6, gates), "complex128")


# ------------------------------------------------------------------ the AutoPair choice

def _launched(hd, n, dtype, g, mode=velqa.PairAuto):
    rng = np.random.default_rng(7)
    state = random_state(n, dtype, rng)
    hd.clear_launches()
    out = run_circuit(n, state, [g], mode)
    launches = hd.launches()
    assert len(launches) == 1
    return state, out, launches[0]


def _threads(launch):
    return launch["grid"][0] * launch["block"][0]


@pytest.mark.parametrize("name", ["y", "z", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag",
                                  "rx", "ry", "rz", "phase"])
def test_standard_autopair_table(hd, dtype, name):
    n = 9
    params = [0.7] * PARAMETERS.get(name, 0)
    short = name.replace("_dag", "dag")
    cases = [  # (target, controls, kernel, thread count)
        (0, [], f"{short}_autopair::target0_no_control", 1 << (n - 1)),
        (4, [], f"{short}_autopair::no_control", 1 << (n - 1)),
        (0, [3, 5], f"{short}_autopair::target0_compact", 1 << (n - 3)),
        (4, [1, 8], f"{short}_autopair::compact", 1 << (n - 3)),
    ]
    for target, controls, kernel, threads in cases:
        g = vgate(name, [target], controls, [1, 0][:len(controls)], params)
        state, out, launch = _launched(hd, n, dtype, g)
        assert launch["kernel"].startswith(f"velqa::{kernel}<"), launch["kernel"]
        assert _threads(launch) == max(threads, 256) and launch["block"] == (256, 1, 1)
        assert_close(out, run_circuit(n, state, [g], velqa.Pair), dtype)


def test_x_scans_the_state_with_controls_above_qubit_zero(hd, dtype):
    n = 8
    cases = [(0, [], "x_autopair::target0_no_control"), (3, [], "x_autopair::no_control"),
             (0, [2, 6], "x_autopair::target0_compact"), (3, [2, 6], "x_autopair::state_scan")]
    for target, controls, kernel in cases:
        g = vgate("x", [target], controls, [0, 1][:len(controls)])
        state, out, launch = _launched(hd, n, dtype, g)
        assert launch["kernel"].startswith(f"velqa::{kernel}<"), launch["kernel"]
        if kernel.endswith("state_scan"):
            assert _threads(launch) == 1 << n
        np.testing.assert_array_equal(out, run_circuit(n, state, [g], velqa.AllState))


@pytest.mark.parametrize("name, kernels", [
    ("h", ["h_target0_no_control", "h_no_control", "h_target0_compact", "h_compact"]),
    ("u", ["u_target0_no_control", "u_no_control", "u_target0_compact", "u_compact"]),
])
def test_private_autopair_kernels(hd, dtype, name, kernels):
    n = 7
    params = [0.3, -1.1, 2.0] if name == "u" else []
    for (target, controls), kernel in zip([(0, []), (2, []), (0, [4]), (2, [4, 6])], kernels):
        g = vgate(name, [target], controls, [1] * len(controls), params)
        state, out, launch = _launched(hd, n, dtype, g)
        assert kernel + "<" in launch["kernel"], launch["kernel"]
        assert_close(out, run_circuit(n, state, [g], velqa.Pair), dtype)


def test_pair_and_all_state_kernels_and_fusion_mode_value_one(hd):
    for mode, suffix, threads in [(velqa.AllState, "all_state", 1 << 6), (velqa.Pair, "pair", 1 << 5)]:
        _, _, launch = _launched(hd, 6, "complex128", vgate("ry", [2], [0], [1], [0.4]), mode)
        assert launch["kernel"].startswith(f"velqa::cu_ry_kernel_{suffix}<")
        assert _threads(launch) == max(threads, 256)


def test_swap_autopair_kernels(hd, dtype):
    n = 7
    cases = [  # targets, controls, kernel, threads, block
        ([0, 4], [], "swap_target0_no_control", 1 << (n - 2), 256),
        ([5, 0], [], "swap_target0_no_control", 1 << (n - 2), 256),
        ([2, 5], [], "swap_no_control", 1 << (n - 2), 256),
        ([0, 3], [1, 6], "swap_target0_compact", 1 << (n - 4), 256),
        ([3, 5], [1, 6], "swap_control_scan", 1 << (n - 2), 512),
    ]
    for targets, controls, kernel, threads, block in cases:
        g = vgate("swap", targets, controls, [1, 0][:len(controls)])
        state, out, launch = _launched(hd, n, dtype, g)
        assert kernel + "<" in launch["kernel"], launch["kernel"]
        assert launch["block"][0] == block
        assert launch["grid"][0] == max(1, threads // block)
        expected = run_circuit(n, state, [g], velqa.AllState)
        np.testing.assert_array_equal(out, expected)
        np.testing.assert_array_equal(run_circuit(n, state, [dict(g, target=targets[::-1])], velqa.PairAuto), expected)


def test_swap_on_two_qubits_exchanges_indices_one_and_two():
    state = np.array([1, 2, 3, 4], dtype=np.complex128)
    out = run_circuit(2, state, [vgate("swap", [0, 1])], velqa.PairAuto)
    assert out.tolist() == [1, 3, 2, 4]


def test_all_other_qubits_as_controls_change_one_pair(hd, dtype):
    n = 6
    for target in (0, 3):
        controls = [q for q in range(n) if q != target]
        g = vgate("h", [target], controls, [1] * (n - 1))
        state, out, launch = _launched(hd, n, dtype, g)
        assert _threads(launch) == 256 and launch["grid"][0] == 1  # one thread has work
        changed = np.flatnonzero(out != state)
        rest = sum(1 << c for c in controls)
        assert set(changed) <= {rest, rest | (1 << target)} and len(changed) == 2


def test_single_qubit_register(hd, dtype):
    state = np.array([0.6, 0.8j], dtype=dtype)
    _, out, launch = _launched(hd, 1, dtype, vgate("x", [0]))
    assert launch["kernel"].startswith("velqa::x_autopair::target0_no_control<")
    np.testing.assert_array_equal(run_circuit(1, state, [vgate("x", [0])], velqa.PairAuto), state[::-1])


def test_global_phase_ignores_mode_and_target(hd, dtype):
    n = 4
    g = vgate("gp", [7, 9], [2], [0], [0.9])  # targets are ignored, even out-of-range ones
    results = []
    for mode in PER_GATE_MODES:
        state, out, launch = _launched(hd, n, dtype, g, mode)
        assert launch["kernel"].startswith("velqa::cu_global_phase_kernel<")
        results.append(out)
    for out in results[1:]:
        np.testing.assert_array_equal(out, results[0])
    expected = state.astype(complex)
    expected[[i for i in range(16) if not (i >> 2) & 1]] *= np.exp(0.9j)
    assert_close(results[0], expected, dtype)


# ------------------------------------------------------------------ identities and constants

@pytest.mark.parametrize("mode", PER_GATE_MODES, ids=lambda m: m.name)
def test_identities_that_expose_wrong_constants(dtype, mode):
    rng = np.random.default_rng(11)
    n, theta, lam = 3, 1.234, -0.77
    state = random_state(n, dtype, rng)
    for controls in ([], [2]):
        cs = [1] * len(controls)
        pairs = [
            (vgate("u", [1], controls, cs, [theta, -np.pi / 2, np.pi / 2]), vgate("rx", [1], controls, cs, [theta])),
            (vgate("u", [1], controls, cs, [theta, 0, 0]), vgate("ry", [1], controls, cs, [theta])),
            (vgate("u", [1], controls, cs, [0, 0, lam]), vgate("phase", [1], controls, cs, [lam])),
        ]
        for a, b in pairs:
            assert_close(run_circuit(n, state, [a], mode), run_circuit(n, state, [b], mode), dtype, scale=2)
    # RZ and PHASE differ by the global factor e^(-i theta/2) without controls ...
    rz = run_circuit(n, state, [vgate("rz", [0], parameter=[theta])], mode)
    ph = run_circuit(n, state, [vgate("phase", [0], parameter=[theta])], mode)
    assert_close(rz, np.exp(-0.5j * theta) * ph, dtype, scale=2)
    # ... and by a relative phase with a control: the unmatched half keeps its amplitudes under PHASE only.
    rz = run_circuit(n, state, [vgate("rz", [0], [1], [1], [theta])], mode)
    ph = run_circuit(n, state, [vgate("phase", [0], [1], [1], [theta])], mode)
    unmatched = [i for i in range(8) if not (i >> 1) & 1]
    np.testing.assert_array_equal(ph[unmatched], state[unmatched])
    assert_close(rz[unmatched], state[unmatched], dtype)
    assert not np.allclose(rz, np.exp(-0.5j * theta) * ph, atol=1e-3)


@pytest.mark.parametrize("mode", PER_GATE_MODES, ids=lambda m: m.name)
def test_h_constant_and_h_twice(dtype, mode):
    r = np.float32(0.70710677) if dtype == "complex64" else 0.7071067811865476
    state = np.zeros(4, dtype=dtype)
    state[0] = 1
    out = run_circuit(2, state, [vgate("h", [1])], mode)
    assert out[0].real == r and out[2].real == r and out[0].imag == 0
    if dtype == "complex64":
        assert np.float32(out[0].real).view(np.uint32) == 0x3F3504F3
    rng = np.random.default_rng(3)
    state = random_state(5, dtype, rng)
    ulp = np.finfo(np.float32 if dtype == "complex64" else np.float64).eps
    twice = run_circuit(5, state, [vgate("h", [3]), vgate("h", [3])], mode)
    np.testing.assert_allclose(twice, state, rtol=0, atol=4 * ulp)


def test_control_state_zero_changes_only_matching_pairs(dtype):
    n = 4
    state = random_state(n, dtype, np.random.default_rng(8))
    for mode in PER_GATE_MODES:
        out = run_circuit(n, state, [vgate("x", [0], [2], [0])], mode)
        for i in range(16):
            j = i ^ 1 if not (i >> 2) & 1 else i
            assert out[i] == state[j]


def test_complex64_angles_are_rounded_to_float_first():
    theta = 0.1 + 1e-9  # not representable in float32
    state = np.zeros(2, dtype=np.complex64)
    state[0] = 1
    out = run_circuit(1, state, [vgate("ry", [0], parameter=[theta])], velqa.PairAuto)
    h = np.float32(theta) * np.float32(0.5)
    assert out[0].real == np.cos(h, dtype=np.float32) and out[1].real == np.sin(h, dtype=np.float32)


# ------------------------------------------------------------------ refusals

@pytest.mark.parametrize("g, message", [
    (vgate("swap", [0, 1, 2]), "SWAP gate requires exactly two parameters."),
    (vgate("swap", [0]), "SWAP gate requires exactly two parameters."),
    (vgate("rx", [0], parameter=[1, 2]), "RX gate requires exactly one parameter."),
    (vgate("ry", [0]), "RY gate requires exactly one parameter."),
    (vgate("rz", [0], parameter=[1, 2]), "RZ gate requires exactly one parameter."),
    (vgate("phase", [0]), "PHASE gate requires exactly one parameter."),
    (vgate("gp", []), "GLOBAL_PHASE gate requires exactly one parameter."),
    (vgate("u", [0], parameter=[1]), "U gate requires exactly three parameters."),
    (vgate("x", [0], [1, 2], [1]), "controls.size() != control_state.size()"),
    (vgate("x", [0], [63], [5]), "control qubit index must be in [0, 62]"),
    (vgate("x", [0], [-1], [1]), "control qubit index must be in [0, 62]"),
    (vgate("x", [0], [2], [2]), "control_state must contain only 0/1"),
    (vgate("x", [3]), "target qubit 3 is out of range for 3 qubits"),
    (vgate("h", []), "target qubit -1 is out of range for 3 qubits"),
    (vgate("x", [1 << 33]), "target qubit 8589934592 is out of range for 3 qubits"),
    (vgate("x", [0], [5], [1]), "control qubit 5 is out of range for 3 qubits"),
    (vgate("x", [0], [1, 1], [1, 0]), "control qubit 1 is repeated"),
    (vgate("x", [0], [0], [1]), "control qubit 0 is also a target"),
    (vgate("swap", [1, 1]), "target qubit 1 is repeated"),
    (vgate("swap", [1, 3]), "target qubit 3 is out of range for 3 qubits"),
    (vgate("swap", [0, 1], [1], [0]), "control qubit 1 is also a target"),
    (vgate("gp", [], [4], [1], [0.5]), "control qubit 4 is out of range for 3 qubits"),
    (vgate("u", [0], [0], [1], [1, 2, 3]), "control qubit 0 is also a target"),
    (vgate("rx", [0], [3], [1]), "RX gate requires exactly one parameter."),  # the count comes first
])
def test_refusals_leave_the_state_unchanged(g, message):
    for mode in PER_GATE_MODES:
        s = velqa.DeviceState.from_numpy(3, random_state(3, "complex128", np.random.default_rng(4)))
        before = s.to_numpy()
        with pytest.raises(ValueError) as e:
            velqa.run_circuit_device(s, [g], mode=mode)
        assert str(e.value) == message
        np.testing.assert_array_equal(s.to_numpy(), before)


def test_refused_gates_launch_nothing(hd):
    s = velqa.DeviceState.zero_state(3)
    hd.clear_launches()
    with pytest.raises(ValueError):
        velqa.run_circuit_device(s, [vgate("x", [0], [0], [1])])
    assert hd.launches() == []


PREFIXES = {"x": "cu_x", "y": "cu_y", "z": "cu_z", "h": "cu_h", "s": "cu_s", "s_dag": "cu_sdag", "sqrtx": "cu_sqrtx",
            "sqrtx_dag": "cu_sqrtxdag", "sqrty": "cu_sqrty", "sqrty_dag": "cu_sqrtydag", "swap": "cu_swap",
            "rx": "cu_rx", "ry": "cu_ry", "rz": "cu_rz", "phase": "cu_phase", "gp": "cu_global_phase", "u": "cu_u"}


@pytest.mark.parametrize("mode", PER_GATE_MODES, ids=lambda m: m.name)
def test_launch_failures_carry_the_gate_prefix(hd, mode):
    for name, prefix in PREFIXES.items():
        s = velqa.DeviceState.from_numpy(3, random_state(3, "complex64", np.random.default_rng(1)))
        before = s.to_numpy()
        targets = [0, 2] if name == "swap" else ([] if name == "gp" else [1])
        hd.inject_launch_failures(1)
        with pytest.raises(RuntimeError) as e:
            velqa.run_circuit_device(s, [vgate(name, targets, parameter=[0.5] * PARAMETERS.get(name, 0))], mode=mode)
        assert str(e.value) == f"{prefix} kernel launch failed: too many resources requested for launch"
        np.testing.assert_array_equal(s.to_numpy(), before)
        velqa.run_circuit_device(s, [vgate("x", [0])], mode=mode)  # the failure was reported once


# ------------------------------------------------------------------ queueing

def test_no_synchronisation_per_gate(hd):
    s = velqa.DeviceState.zero_state(8)
    gates = [random_gate(np.random.default_rng(i), 8) for i in range(50)]
    syncs, launches = hd.synchronize_count(), hd.launch_count()
    velqa.run_circuit_device(s, gates)
    assert hd.synchronize_count() == syncs
    assert hd.launch_count() == launches + len(gates)


def test_states_on_a_second_device(hd):
    """Every launch of a run goes to the state's device, whatever device the thread has current."""
    hd.configure(2)
    rng = np.random.default_rng(9)
    state = random_state(5, "complex128", rng)
    gates = [random_gate(rng, 5) for _ in range(20)]
    s = velqa.DeviceState.from_numpy(5, state, device="cuda:1")
    expected = state
    for mode in MODES:
        hd.set_device(0)
        hd.clear_launches()
        velqa.run_circuit_device(s, gates, mode=mode)
        launches = hd.launches()
        assert launches and all(r["device"] == 1 for r in launches), mode
        expected = reference_run(expected, 5, gates)
    assert_close(s.to_numpy(), expected, "complex128", scale=4)


@pytest.mark.parametrize("alias", sorted(alias for g in GATES.values() for alias in g.velqa[1:]))
def test_every_alias_runs_its_gate(alias, dtype):
    name = ref.GATES[ref.VELQA_NAMES[alias]].velqa[0]
    rng = np.random.default_rng(len(alias) * 31 + ord(alias[-1]))
    n = 4
    state = random_state(n, dtype, rng)
    params = [float(a) for a in rng.uniform(-3, 3, PARAMETERS[name])]
    targets = [] if name == "gp" else [2]
    for controls, states in (((), ()), ((0,), (1,)), ((3, 1), (0, 1))):
        expected = ref.apply_gate_dict(state.astype(complex), n, vgate(name, targets, controls, states, params))
        for mode in (velqa.PairAuto, velqa.PairAutoFusion):
            out = run_circuit(n, state, [vgate(alias, targets, controls, states, params)], mode)
            assert_close(out, expected, dtype)
