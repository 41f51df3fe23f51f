"""UNITARY gates against the dense reference: every target count and kernel family, the AutoPair
kernel choice, the refusals with their messages, and device memory released on every path."""
import numpy as np
import pytest

import reference as ref
import velqa
from builders import run_circuit, vgate
from conftest import assert_close, random_state

CTYPE = {"complex64": "float", "complex128": "double"}
ESIZE = {"complex64": 8, "complex128": 16}


def unitary(targets, matrix, controls=(), control_state=None):
    return vgate("unitary", [int(t) for t in targets], [int(c) for c in controls],
                 None if control_state is None else [int(v) for v in control_state], matrix=matrix)


def named(name, target, params=(), controls=(), control_state=None):
    return vgate(name, [target], controls, control_state, params)


def kernels(hd):
    return [r["kernel"] for r in hd.launches()]


def test_every_target_count_matches_reference(dtype, mode):
    rng = np.random.default_rng(100 + int(mode) + 10 * (dtype == "complex128"))
    for K in range(1, 8):
        for nc in (0, 1, 2):
            n = min(10, K + nc + 1 + int(rng.integers(0, 2)))
            qubits = rng.permutation(n)
            targets, controls = qubits[:K], qubits[K:K + nc]
            states = rng.integers(0, 2, size=nc)
            g = unitary(targets, ref.random_unitary(1 << K, rng), controls, states)
            psi = random_state(n, dtype, rng)
            out = run_circuit(n, psi, [g], mode)
            assert_close(out, ref.run_reference(psi, n, [g]), dtype, scale=K)


def test_groups_wider_than_a_tile_match_reference(dtype):
    """Eleven targets, two groups of 2^11 amplitudes, one of them outside the control: the slices of
    scratch that carry groups too wide for a shared-memory tile."""
    rng = np.random.default_rng(21)
    n, K = 12, 11
    targets = [int(q) for q in rng.permutation(n) if q != 5][:K]
    matrix = np.ones((1, 1))
    for _ in range(K):  # dense, and far cheaper to draw than a Haar-random 2048 x 2048 unitary
        matrix = np.kron(matrix, ref.random_unitary(2, rng))
    g = unitary(targets, matrix, [5], [0])
    psi = random_state(n, dtype, rng)
    out = run_circuit(n, psi, [g], velqa.PairAuto)
    assert_close(out, ref.run_reference(psi, n, [g]), dtype, scale=K)


@pytest.mark.parametrize("name,params", [("x", ()), ("h", ()), ("ry", (0.7,)), ("u", (0.3, -1.1, 2.0))])
def test_one_target_equals_named_gate(dtype, mode, name, params):
    rng = np.random.default_rng(7)
    n = 6
    m = ref.matrix_of(name, params)
    psi = random_state(n, dtype, rng)
    # Target 0 and above, with and without controls: every AutoPair row in PairAuto.
    for target, controls, cstate in [(0, [], []), (4, [], []), (0, [3, 5], [1, 0]), (2, [0], [0])]:
        a = run_circuit(n, psi, [named(name, target, params, controls, cstate)], mode)
        b = run_circuit(n, psi, [unitary([target], m, controls, cstate)], mode)
        assert_close(b, a, dtype)
        assert_close(b, ref.apply_matrix(psi, n, m, [target], controls, cstate), dtype)


def test_two_targets_in_either_order(dtype, mode):
    """[a, b] with U and [b, a] with U conjugated by the bit exchange are the same operator."""
    rng = np.random.default_rng(11)
    n = 7
    exchange = ref.GATES["swap"].matrix()
    for targets, controls in [([2, 5], []), ([2, 5], [0]), ([0, 4], []), ([0, 4], [6]), ([3, 0], [1, 2])]:
        u = ref.random_unitary(4, rng)
        psi = random_state(n, dtype, rng)
        a = run_circuit(n, psi, [unitary(targets, u, controls)], mode)
        b = run_circuit(n, psi, [unitary(targets[::-1], exchange @ u @ exchange, controls)], mode)
        assert_close(a, b, dtype)
        assert_close(a, ref.apply_matrix(psi, n, u, targets, controls, [1] * len(controls)), dtype)


def test_controlled_wide_gate_leaves_other_amplitudes_bit_identical(dtype, mode):
    rng = np.random.default_rng(5)
    n = 9
    for K, controls, cstate in [(6, [2], [1]), (7, [8, 0], [0, 1])]:
        targets = [q for q in rng.permutation(n) if q not in controls][:K]
        psi = random_state(n, dtype, rng)
        g = unitary(targets, ref.random_unitary(1 << K, rng), controls, cstate)
        out = run_circuit(n, psi, [g], mode)
        idx = np.arange(1 << n)
        match = np.ones(1 << n, dtype=bool)
        for c, s in zip(controls, cstate):
            match &= ((idx >> c) & 1) == s
        np.testing.assert_array_equal(out[~match], psi[~match])
        assert_close(out, ref.run_reference(psi, n, [g]), dtype, scale=K)


AUTOPAIR_CASES = [
    # targets, controls, kernel (T is the element type)
    ([0], [], "unitary_1q_target0_no_control<{T}>"),
    ([3], [], "unitary_1q_no_control<{T}>"),
    ([0], [2, 4], "unitary_1q_target0_compact<{T}>"),
    ([3], [0, 5], "unitary_1q_compact<{T}>"),
    ([2, 5], [], "unitary_2q_no_control<{T}>"),
    ([5, 2], [1], "unitary_2q_compact<{T}>"),
    ([0, 4], [], "unitary_2q_target0<{T}, true, false>"),
    ([0, 4], [2, 7], "unitary_2q_target0<{T}, true, true>"),
    ([3, 0], [], "unitary_2q_target0<{T}, false, false>"),
    ([2, 0], [1], "unitary_2q_target0<{T}, false, true>"),
]


@pytest.mark.parametrize("targets,controls,kernel", AUTOPAIR_CASES)
def test_autopair_kernel_choice(hd, dtype, targets, controls, kernel):
    rng = np.random.default_rng(3)
    n = 12
    K, k = len(targets), len(controls)
    psi = random_state(n, dtype, rng)
    g = unitary(targets, ref.random_unitary(1 << K, rng), controls, rng.integers(0, 2, size=k))
    hd.clear_launches()
    out = run_circuit(n, psi, [g], velqa.PairAuto)
    (launch,) = hd.launches()
    assert "velqa::" + kernel.format(T=CTYPE[dtype]) in launch["kernel"]
    count = 1 << (n - k - K)
    assert launch["grid"] == ((count + 255) // 256, 1, 1)
    assert launch["block"] == (256, 1, 1)
    assert_close(out, ref.run_reference(psi, n, [g]), dtype)


@pytest.mark.parametrize("mode", [velqa.AllState, velqa.Pair, velqa.PairAuto], ids=lambda m: m.name)
def test_kernel_family_and_thread_count_by_target_count(hd, dtype, mode):
    n = 9
    rng = np.random.default_rng(2)
    psi = random_state(n, dtype, rng)
    T = CTYPE[dtype]
    for K in range(1, 8):
        targets = list(range(1, K + 1))  # no target on qubit 0: PairAuto takes the general kernels
        hd.clear_launches()
        g = unitary(targets, ref.random_unitary(1 << K, rng))
        run_circuit(n, psi, [g], mode)
        if K >= 6:
            # Tiles of 1024 amplitudes (whole groups of 2^K), one block each.
            groups = 1 << (n - K)
            per_tile = min(groups, 1024 >> K)
            (launch,) = hd.launches()
            assert "velqa::" + f"cu_unitary_kernel<{T}>" in launch["kernel"]
            assert launch["grid"] == (groups // per_tile, 1, 1) and launch["block"] == (256, 1, 1)
            assert launch["shared_bytes"] == per_tile * ((1 << K) + 1) * ESIZE[dtype]
            continue
        if K >= 3:
            name, threads = f"cu_unitary_inplace_kernel<{T}, {K}>", 1 << (n - K)
        elif mode == velqa.PairAuto:
            name = f"unitary_{K}q_no_control<{T}>"
            threads = 1 << (n - K)
        else:
            name, threads = f"cu_unitary_{K}q_inplace_kernel<{T}>", 1 << (n - K)
        (launch,) = hd.launches()
        assert "velqa::" + name in launch["kernel"]
        assert launch["grid"] == ((threads + 255) // 256, 1, 1) and launch["block"] == (256, 1, 1)


def test_six_targets_on_six_qubits_run_one_block(hd, dtype):
    rng = np.random.default_rng(4)
    psi = random_state(6, dtype, rng)
    g = unitary(rng.permutation(6), ref.random_unitary(64, rng))
    hd.clear_launches()
    out = run_circuit(6, psi, [g], velqa.PairAuto)
    (launch,) = hd.launches()
    assert launch["grid"] == (1, 1, 1) and launch["block"] == (256, 1, 1)
    assert_close(out, ref.run_reference(psi, 6, [g]), dtype, scale=6)


def test_every_call_frees_its_buffers_and_drains_the_stream(hd, dtype):
    rng = np.random.default_rng(6)
    n = 8
    state = velqa.DeviceState.from_numpy(n, random_state(n, dtype, rng))
    live = hd.live_bytes(0)
    for K in range(1, 8):
        syncs = hd.synchronize_count()
        velqa.run_circuit_device(state, [unitary(range(K), ref.random_unitary(1 << K, rng), [7], [0])])
        assert hd.live_bytes(0) == live
        assert hd.synchronize_count() > syncs


REFUSALS = [
    # (changes to a valid 2-target gate on 4 qubits, exception, message)
    (dict(target=[], matrix=np.eye(1)), ValueError, "UNITARY gate requires at least one target."),
    (dict(matrix=np.eye(2)), ValueError, "UNITARY matrix dimension must be 2**num_targets."),
    (dict(control=[2], control_state=[1, 0]), ValueError, "controls.size() != control_state.size()"),
    (dict(control=[63], control_state=[5]), ValueError, "control qubit index must be in [0, 62]"),
    (dict(control=[2], control_state=[2]), ValueError, "control_state must contain only 0/1"),
    # the target range test comes only after the controls passed theirs
    (dict(target=[0, 63], control=[2], control_state=[3]), ValueError, "control_state must contain only 0/1"),
    (dict(target=[0, 63]), ValueError, "target qubit index must be in [0, 62]"),
    (dict(target=[-1, 0]), ValueError, "target qubit index must be in [0, 62]"),
    (dict(target=[0, 62]), ValueError, "target qubit 62 is out of range for 4 qubits"),
    (dict(target=[1, 1]), ValueError, "target qubit 1 is repeated"),
    (dict(control=[9], control_state=[1]), ValueError, "control qubit 9 is out of range for 4 qubits"),
    (dict(control=[2, 2], control_state=[1, 1]), ValueError, "control qubit 2 is repeated"),
    (dict(control=[1], control_state=[0]), ValueError, "control qubit 1 is also a target"),
]


@pytest.mark.parametrize("change,error,message", REFUSALS, ids=[m for _, _, m in REFUSALS])
@pytest.mark.parametrize("mode", [velqa.AllState, velqa.PairAuto], ids=lambda m: m.name)
def test_refusals_leave_state_unchanged(no_leaks, dtype, mode, change, error, message):
    rng = np.random.default_rng(8)
    psi = random_state(4, dtype, rng)
    state = velqa.DeviceState.from_numpy(4, psi)
    g = unitary([0, 1], ref.random_unitary(4, rng))
    g.update(change)
    with pytest.raises(error) as info:
        velqa.run_circuit_device(state, [g], mode=mode)
    assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), psi)


@pytest.mark.parametrize("K,fail_at", [(6, "matrix"), (6, "targets"), (4, "sorted targets")])
def test_allocation_failure_reports_and_frees(no_leaks, dtype, K, fail_at):
    n = 9
    rng = np.random.default_rng(9)
    psi = random_state(n, dtype, rng)
    state = velqa.DeviceState.from_numpy(n, psi)
    g = unitary(range(K), ref.random_unitary(1 << K, rng))
    # Allocation order: matrix, targets, then sorted targets (K <= 5).
    needed = {"matrix": (1 << 2 * K) * ESIZE[dtype], "targets": 8 * K}
    needed["sorted targets"] = 0
    room = sum(list(needed.values())[:list(needed).index(fail_at)])
    live = no_leaks.live_bytes(0)
    no_leaks.configure(1, live + room + 7)
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        velqa.run_circuit_device(state, [g])
    assert no_leaks.live_bytes(0) == live
    np.testing.assert_array_equal(state.to_numpy(), psi)


def kron_unitary(K, rng):
    """A dense unitary on K qubits, cheap to build: the product of two random unitaries on parts."""
    return np.kron(ref.random_unitary(1 << (K // 2), rng), ref.random_unitary(1 << (K - K // 2), rng))


def test_groups_wider_than_a_tile_run_in_slices_of_bounded_scratch(no_leaks):
    """2^11 amplitudes per group exceed a shared-memory tile of 1024: slices of groups
    go through a scratch buffer of at most the per-call limit (a quarter of the state, at least
    64 KiB). At n = 14 that is two groups per slice, four slices; with a control, half the groups
    are left bit-identical. The device holds the state, the gate's matrix and targets and one
    slice, and no more."""
    hd = no_leaks
    n, K, dtype = 14, 11, "complex128"
    rng = np.random.default_rng(11)
    psi = random_state(n, dtype, rng)
    state = velqa.DeviceState.from_numpy(n, psi)
    targets = [int(q) for q in rng.permutation([q for q in range(n) if q != 5])[:K]]
    g = unitary(targets, kron_unitary(K, rng), [5], [1])
    matrix_bytes, slice_bytes = (1 << 2 * K) * 16, 2 * (1 << K) * 16
    hd.configure(1, hd.live_bytes(0) + matrix_bytes + 8 * K + slice_bytes)
    hd.clear_launches()
    velqa.run_circuit_device(state, [g])
    names = [l["kernel"].split("::")[-1] for l in hd.launches()]
    assert names == ["cu_unitary_gather_kernel<double>", "cu_unitary_slice_kernel<double>"] * 4
    out = state.to_numpy()
    assert_close(out, ref.run_reference(psi, n, [g]), dtype, scale=K)
    untouched = (np.arange(1 << n) >> 5) & 1 == 0
    np.testing.assert_array_equal(out[untouched], psi[untouched])
    # One byte less and the slice cannot be allocated: nothing is launched or changed.
    state = velqa.DeviceState.from_numpy(n, psi)
    hd.configure(1, hd.live_bytes(0) + matrix_bytes + 8 * K + slice_bytes - 1)
    hd.clear_launches()
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        velqa.run_circuit_device(state, [g])
    assert hd.launches() == []
    np.testing.assert_array_equal(state.to_numpy(), psi)


def test_a_refused_slice_leaves_its_groups_and_the_later_ones_unchanged(hd):
    """The launches of every slice are checked before the next: when the gather of the third slice
    is refused, the groups of the first two slices hold the gate's result and the others their old
    amplitudes, never scratch data."""
    n, K, dtype = 14, 11, "complex128"
    rng = np.random.default_rng(12)
    psi = random_state(n, dtype, rng)
    targets = list(range(3, 14))  # groups are numbered by qubits 0, 1, 2: two per slice
    g = unitary(targets, kron_unitary(K, rng))
    expected = ref.run_reference(psi, n, [g])
    for failing, step in ((0, "gather"), (1, "slice"), (4, "gather"), (7, "slice")):
        state = velqa.DeviceState.from_numpy(n, psi)
        hd.inject_launch_failures(1, skip=failing)
        with pytest.raises(RuntimeError, match=r"^CUDA error: too many resources requested for launch$"):
            velqa.run_circuit_device(state, [g])
        (refused,) = [l for l in hd.launches() if not l["accepted"]]
        assert f"cu_unitary_{step}_kernel" in refused["kernel"]
        done = failing // 2  # slices completed before the refused launch
        group = np.arange(1 << n) & 7
        out = state.to_numpy()
        np.testing.assert_array_equal(out[group >= 2 * done], psi[group >= 2 * done])
        assert_close(out[group < 2 * done], expected[group < 2 * done], dtype, scale=K)
        hd.clear_launches()
