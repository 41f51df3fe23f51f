"""DeviceDensityState: creation from NumPy and as |0><0|, reading back, device copies, properties,
the argument checks with their messages and exception types, CUDA failures through the host
device's configuration, and device memory released on every path."""
import gc

import numpy as np
import pytest

import dormeth
from conftest import assert_close, holds_gil, releases_gil
from builders import channel, gate
from density_reference import apply_all, random_density

State = dormeth.DeviceDensityState


def test_module_surface():
    assert dormeth.__doc__ == "CUDA dense density-matrix backend for korvane"
    assert callable(dormeth.run_density_operations_device) and callable(dormeth.measure_device)


@pytest.mark.parametrize("n", [0, 1, 3, 6])
def test_round_trip_is_exact(n, dtype, no_leaks):
    rho = random_density(n, np.random.default_rng(n)).astype(dtype)
    state = State.from_numpy(n, rho)
    assert (state.num_qubits, state.dimension, state.dtype, state.device_id) == (n, 1 << n, dtype, 0)
    out = state.to_numpy()
    assert out.dtype == rho.dtype and out.shape == rho.shape and out.flags.c_contiguous
    assert np.array_equal(out, rho)
    assert out.ctypes.data != rho.ctypes.data


@pytest.mark.parametrize("n", [0, 1, 4])
def test_zero_state(n, dtype, no_leaks):
    state = State.zero_state(n, dtype=dtype)
    expected = np.zeros((1 << n, 1 << n), dtype=dtype)
    expected[0, 0] = 1
    out = state.to_numpy()
    assert out.dtype == np.dtype(dtype) and np.array_equal(out, expected)


def test_zero_state_defaults_to_complex128_on_device_0():
    state = State.zero_state(2)
    assert state.dtype == "complex128" and state.device_id == 0


def test_copy_is_independent(dtype, no_leaks):
    rho = random_density(3, np.random.default_rng(1)).astype(dtype)
    first = State.from_numpy(3, rho)
    second = first.copy()
    assert (second.num_qubits, second.dtype, second.device_id) == (3, dtype, 0)
    assert np.array_equal(second.to_numpy(), rho)
    dormeth.run_density_operations_device(second, 3, [gate("h", [0])])
    assert np.array_equal(first.to_numpy(), rho)
    assert_close(second.to_numpy(), apply_all(rho.astype(complex), 3, [gate("h", [0])]), dtype)


def test_memory_is_released_with_the_last_reference(hd):
    gc.collect()  # states that earlier tests left in reference cycles are not this test's
    before = hd.live_bytes(0)
    state = State.zero_state(5, dtype="complex64")
    assert hd.live_bytes(0) == before + 32 * 32 * 8
    other = state
    del state
    gc.collect()
    assert hd.live_bytes(0) == before + 32 * 32 * 8
    del other
    gc.collect()
    assert hd.live_bytes(0) == before


# ------------------------------------------------------------------ argument checks

def test_from_numpy_checks_in_order(no_leaks):
    good = np.eye(4, dtype=np.complex128)
    cases = [
        ((16, good), "num_qubits must be in [0, 15] for the GPU density backend"),
        ((-1, good), "num_qubits must be in [0, 15] for the GPU density backend"),
        ((2, np.zeros(4, np.complex128)), "state shape must be (2**n, 2**n)"),
        ((2, np.zeros((4, 2), np.complex128)), "state shape must be (2**n, 2**n)"),
        ((1, good), "state shape must be (2**n, 2**n)"),
        ((2, np.asfortranarray(np.arange(16).reshape(4, 4).astype(np.complex128))), "state must be C-contiguous"),
        ((1, np.eye(2)), "dtype must be 'complex64' or 'complex128', got: float64"),
        ((2, good, "CUDA"), "device must be 'cuda', 'gpu', or 'cuda:<id>', got: CUDA"),
        ((2, good, "cuda:"), "invalid stoi argument"),
        ((2, np.eye(4, dtype=np.float32), "CUDA"), "dtype must be 'complex64' or 'complex128', got: float32"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as err:
            State.from_numpy(*args)
        assert str(err.value) == message
    readonly = good.copy()
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match=r"^state must be writable$"):
        State.from_numpy(2, readonly)
    with pytest.raises(IndexError, match=r"^stoi argument out of range$"):
        State.from_numpy(2, good, "cuda:99999999999")


def test_zero_state_checks_device_then_dtype_then_n(no_leaks):
    with pytest.raises(ValueError, match=r"^device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu$"):
        State.zero_state(16, dtype="complex", device="cpu")
    with pytest.raises(ValueError, match=r"^dtype must be 'complex64' or 'complex128', got: complex$"):
        State.zero_state(16, dtype="complex")
    for n in (16, -1):
        with pytest.raises(ValueError, match=r"^num_qubits must be in \[0, 15\] for the GPU density backend$"):
            State.zero_state(n)
    assert State.zero_state(1, device="gpu").device_id == 0
    assert State.zero_state(1, device="cuda").device_id == 0


def test_device_strings_select_devices(hd, no_leaks):
    hd.configure(2)
    state = State.zero_state(1, device="cuda:1abc")
    assert state.device_id == 1
    assert hd.live_bytes(1) == 4 * 16
    rho = random_density(1, np.random.default_rng(2))
    other = State.from_numpy(1, rho, "cuda:1")
    assert other.device_id == 1 and hd.live_bytes(1) == 2 * 4 * 16
    del state, other


@pytest.mark.parametrize("fusion", ["0", "1"])
def test_runs_launch_on_the_states_device(hd, no_leaks, monkeypatch, fusion):
    """Every launch of a run goes to the state's device, whatever device the thread has current."""
    monkeypatch.setenv("KORVANE_DENSITY_FUSION", fusion)
    hd.configure(2)
    n = 5
    rho = random_density(n, np.random.default_rng(6))
    state = State.from_numpy(n, rho, "cuda:1")
    ops = [gate("h", [0]), gate("x", [1], [0], [1]), gate("rz", [2], parameter=[0.3]), channel("bit_flip", 0, 0.2),
           gate("swap", [3, 4]), gate("ry", [3], parameter=[0.7]), channel("depolarizing", 3, 0.1)]
    expected = rho
    for _ in range(2):
        hd.set_device(0)
        hd.clear_launches()
        dormeth.run_density_operations_device(state, n, ops)
        launches = hd.launches()
        assert launches and all(r["device"] == 1 for r in launches)
        expected = apply_all(expected, n, ops)
    assert_close(state.to_numpy(), expected, "complex128")
    del state


def test_invalid_device_ordinal(hd, no_leaks):
    rho = np.eye(2, dtype=np.complex64)
    for make in (lambda: State.from_numpy(1, rho, "cuda:7"), lambda: State.zero_state(1, device="cuda:1")):
        with pytest.raises(RuntimeError, match=r"^CUDA error: invalid device ordinal$"):
            make()


def test_device_gone_after_creation(hd, no_leaks):
    hd.configure(2)
    state = State.zero_state(2, device="cuda:1")
    hd.configure(1)
    for call in (state.to_numpy, state.copy,
                 lambda: dormeth.run_density_operations_device(state, 2, [gate("h", [0])])):
        with pytest.raises(RuntimeError, match=r"^CUDA error: invalid device ordinal$"):
            call()
    hd.configure(2)
    expected = np.zeros((4, 4))
    expected[0, 0] = 1
    assert np.array_equal(state.to_numpy(), expected)
    del state


def test_out_of_memory(hd, no_leaks):
    hd.configure(1, hd.live_bytes(0) + (1 << 20))  # room beyond what earlier tests keep
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        State.zero_state(15, dtype="complex64")
    state = State.zero_state(7, dtype="complex128")  # 256 KiB
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        [state.copy() for _ in range(4)]
    assert state.to_numpy()[0, 0] == 1
    del state


# ------------------------------------------------------------------ the GIL and a second device

@pytest.mark.threads
def test_transfers_runs_measurement_and_observables_release_the_gil_and_copy_holds_it(hd):
    n = 4
    rho = random_density(n, np.random.default_rng(3), rank=2).astype(np.complex128)
    state = State.from_numpy(n, rho)
    ops = [gate("h", [q % n]) for q in range(6)]
    calls = {
        "from_numpy": lambda: State.from_numpy(n, rho),
        "zero_state": lambda: State.zero_state(n),
        "to_numpy": state.to_numpy,
        "run_density_operations_device": lambda: dormeth.run_density_operations_device(state, n, ops),
        "measure_device": lambda: dormeth.measure_device(state, [0, 2], seed=1),
        "probabilities_device": lambda: dormeth.probabilities_device(state, [1]),
        "expectation_pauli_device": lambda: dormeth.expectation_pauli_device(state, [(1.0, "XY", [0, 3])]),
    }
    for name, call in calls.items():
        assert releases_gil(hd, call), name
    assert holds_gil(hd, state.copy)  # other threads wait for the whole device copy


def test_measurement_and_matrix_scratch_live_on_the_states_device(hd):
    hd.configure(2)
    n = 3
    rho = random_density(n, np.random.default_rng(4)).astype(np.complex64)
    state = State.from_numpy(n, rho, "cuda:1")
    on1 = hd.live_bytes(1)
    capacity = max(on1, hd.live_bytes(0)) + (16 << 10)
    hd.configure(2, capacity)
    fillers = []  # device 0, this thread's current device afterwards, without room for any scratch
    for k in range(12, -1, -1):
        while capacity - hd.live_bytes(0) - 8 >= 8 << (2 * k):
            fillers.append(State.zero_state(k, "complex64"))
    assert capacity - hd.live_bytes(0) < 16
    hd.clear_launches()
    u = np.linalg.qr(np.random.default_rng(5).normal(size=(8, 8)))[0]
    dormeth.run_density_operations_device(state, n, [gate("unitary", [0, 1, 2], matrix=u), channel("bit_flip", 1, 0.3)])
    dormeth.measure_device(state, [0, 2], seed=7)
    assert hd.live_bytes(1) == on1
    assert {launch["device"] for launch in hd.launches()} == {1}
    assert np.isclose(np.trace(state.to_numpy()).real, 1, atol=1e-5)
