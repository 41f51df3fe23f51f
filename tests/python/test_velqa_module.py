"""The velqa module surface: argument checks and messages, conversion of gate records, the device
statevector, device errors and memory accounting, and GIL release."""
import numpy as np
import pytest

import reference as ref
import velqa
from builders import QuantumGate, vgate
from conftest import _hostdevice, holds_gil, random_state, releases_gil


# ------------------------------------------------------------------ the module object

def test_module_members_and_docstrings():
    assert velqa.__doc__ == "CUDA gate backend for korvane"
    assert [int(m) for m in (velqa.AllState, velqa.Pair, velqa.PairAuto, velqa.PairAutoFusion)] == [0, 1, 2, 3]
    assert velqa.KernelMode.PairAutoFusion is velqa.PairAutoFusion
    docs = {
        "run_circuit_device": "Run a gate_ir chunk on an existing CUDA DeviceState.",
        "prepare_fusion_chunk_gates": "Parse and plan one streamed chunk on the CPU without launching CUDA.",
        "execute_prepared_fusion_chunk": "Execute one CPU-prepared fusion chunk and wait for its CUDA work.",
        "run_circuit_device_gates": "Run a QuantumGate object chunk on an existing CUDA DeviceState.",
        "measure_device": "Measure target qubits on an existing CUDA DeviceState.",
        "sample_measure_device": "Batch-sample target qubits and optionally collapse to the final outcome.",
        "run_circuit": "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.",
        "measure": "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit "
                   "string is returned.",
    }
    for name, doc in docs.items():  # the line after the signature (sample_measure_device says more after it)
        assert getattr(velqa, name).__doc__.split("\n\n")[1].strip() == doc, name


def test_classes_have_no_python_constructor():
    for cls in (velqa.DeviceState, velqa.PreparedFusionChunk):
        with pytest.raises(TypeError):
            cls()


# ------------------------------------------------------------------ DeviceState

@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_zero_state_and_properties(dtype):
    s = velqa.DeviceState.zero_state(1, dtype=dtype)
    out = s.to_numpy()
    assert out.dtype == np.dtype(dtype) and out.tolist() == [1 + 0j, 0j]
    s = velqa.DeviceState.zero_state(n=5, dtype=dtype, device="gpu")
    assert (s.n, s.num_state, s.device_id, s.dtype) == (5, 32, 0, dtype)


@pytest.mark.parametrize("pinned", [False, True])
def test_from_numpy_round_trip(dtype, pinned):
    rng = np.random.default_rng(3)
    a = random_state(6, dtype, rng)
    a.setflags(write=False)  # from_numpy only reads
    s = velqa.DeviceState.from_numpy(6, a, device="cuda", use_pinned_host=pinned)
    assert s.dtype == dtype
    np.testing.assert_array_equal(s.to_numpy(use_pinned_host=pinned), a)
    b = np.zeros_like(a)
    s.copy_to_numpy(b, use_pinned_host=pinned)
    np.testing.assert_array_equal(b, a)


def test_pinning_that_fails_still_copies(hd):
    a = random_state(4, "complex128", np.random.default_rng(0))
    hd.set_host_register_fails(True)
    s = velqa.DeviceState.from_numpy(4, a, use_pinned_host=True)
    np.testing.assert_array_equal(s.to_numpy(use_pinned_host=True), a)
    assert hd.registered_host_ranges() == 0
    # The refused registration is not reported later by an unrelated launch check.
    velqa.run_circuit_device(s, [vgate("x", [0])])


def test_pinned_ranges_are_released(hd):
    a = random_state(4, "complex64", np.random.default_rng(0))
    velqa.run_circuit(4, a, [vgate("x", [1])], use_pinned_host=True)
    s = velqa.DeviceState.from_numpy(4, a, use_pinned_host=True)
    s.to_numpy(use_pinned_host=True)
    assert hd.registered_host_ranges() == 0


@pytest.mark.parametrize("kwargs, message", [
    ({"n": 0}, "n must be in [1, 62]"),
    ({"n": 63}, "n must be in [1, 62]"),
    ({"n": -1}, "n must be in [1, 62]"),
    ({"n": 0, "dtype": "complex"}, "dtype must be 'complex64' or 'complex128', got: complex"),
    ({"n": 0, "dtype": "complex", "device": "GPU"}, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: GPU"),
    ({"n": 2, "device": "cuda:"}, "invalid stoi argument"),
    ({"n": 2, "device": "CUDA"}, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: CUDA"),
])
def test_zero_state_checks_in_order(kwargs, message):
    with pytest.raises(ValueError) as e:
        velqa.DeviceState.zero_state(**kwargs)
    assert str(e.value) == message


def test_device_ordinal_out_of_int_range_is_index_error():
    with pytest.raises(IndexError, match="^stoi argument out of range$"):
        velqa.DeviceState.zero_state(2, device="cuda:99999999999")


def test_device_string_parses_leading_digits(hd):
    hd.configure(2)
    assert velqa.DeviceState.zero_state(2, device="cuda:1x").device_id == 1
    assert velqa.DeviceState.zero_state(2, device="cuda: +1").device_id == 1


def test_bad_device_ordinal_and_out_of_memory(no_leaks):
    hd = no_leaks
    with pytest.raises(RuntimeError, match="^CUDA error: invalid device ordinal$"):
        velqa.DeviceState.zero_state(2, device="cuda:3")
    base = hd.live_bytes()  # what earlier work keeps, such as this thread's fusion scratch
    hd.configure(1, base + 1024)
    with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
        velqa.DeviceState.zero_state(7)  # 2 KiB
    s = velqa.DeviceState.zero_state(6)  # exactly 1 KiB fits
    assert hd.live_bytes() == base + 1024
    del s


@pytest.mark.parametrize("n, dtype", [(60, "complex128"), (61, "complex64"), (62, "complex128"), (60, "complex64")])
def test_states_too_large_are_refused_cleanly(no_leaks, n, dtype):
    allocations = no_leaks.live_allocations()
    with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
        velqa.DeviceState.zero_state(n, dtype=dtype)
    assert no_leaks.live_allocations() == allocations


def test_released_states_return_their_memory(no_leaks):
    hd = no_leaks
    base = hd.live_bytes()
    states = [velqa.DeviceState.zero_state(8, dtype=d) for d in ("complex64", "complex128")]
    assert hd.live_bytes() == base + 256 * 8 + 256 * 16
    velqa.run_circuit_device(states[0], [vgate("x", [3])])
    del states


def test_copy_to_numpy_checks():
    s = velqa.DeviceState.zero_state(3, dtype="complex128")
    with pytest.raises(ValueError, match="^numpy state dtype does not match DeviceState$"):
        s.copy_to_numpy(np.zeros(8, dtype=np.complex64))
    ro = np.zeros(8, dtype=np.complex128)
    ro.setflags(write=False)
    with pytest.raises(ValueError, match="^state array must be writable$"):
        s.copy_to_numpy(ro)
    with pytest.raises(ValueError, match="^state.size must equal 2\\*\\*n$"):
        s.copy_to_numpy(np.zeros(4, dtype=np.complex128))


# ------------------------------------------------------------------ state array checks (run_circuit order)

def test_state_array_checks_in_order():
    ro = np.zeros((2, 2), dtype=np.float64)
    ro.setflags(write=False)
    cases = [
        (lambda: velqa.run_circuit(2, ro, []), "state array must be writable"),
        (lambda: velqa.run_circuit(2, np.zeros((2, 2), np.complex64), []), "state must be a 1-D contiguous numpy array"),
        (lambda: velqa.run_circuit(2, np.zeros(8, np.complex64)[::2], []), "state must be C-contiguous"),
        (lambda: velqa.run_circuit(0, np.zeros(1, np.complex64), []), "n must be in [1, 62]"),
        (lambda: velqa.run_circuit(3, np.zeros(4, np.complex64), []), "state.size must equal 2**n"),
        (lambda: velqa.run_circuit(2, np.zeros(4), [], endian="middle", device="x"), "endian must be 'little' or 'big'"),
        (lambda: velqa.run_circuit(2, np.zeros(4), [], device="x"),
         "device must be 'cuda', 'gpu', or 'cuda:<id>', got: x"),
        (lambda: velqa.run_circuit(2, np.zeros(4), []), "dtype must be 'complex64' or 'complex128', got: float64"),
        (lambda: velqa.measure(2, np.zeros(4), [0], endian="Little"), "endian must be 'little' or 'big'"),
        (lambda: velqa.DeviceState.from_numpy(2, np.zeros(4)), "dtype must be 'complex64' or 'complex128', got: float64"),
        (lambda: velqa.DeviceState.from_numpy(2, np.zeros(4, np.complex64), device="tpu"),
         "device must be 'cuda', 'gpu', or 'cuda:<id>', got: tpu"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == message


def test_run_circuit_returns_the_same_array():
    a = np.zeros(8, dtype=np.complex128)
    a[0] = 1
    assert velqa.run_circuit(3, a, []) is a
    assert a.tolist() == [1] + [0] * 7
    out = velqa.run_circuit(3, a, [vgate("x", [2])], mode=velqa.Pair)
    assert out is a and a[4] == 1 and a[0] == 0


def test_failed_run_leaves_the_callers_array_unchanged():
    a = random_state(3, "complex64", np.random.default_rng(1))
    before = a.copy()
    bad = {"id": "rx", "target": [0], "control": [], "control_state": [], "parameter": []}
    with pytest.raises(ValueError, match="^RX gate requires exactly one parameter.$"):
        velqa.run_circuit(3, a, [vgate("x", [0]), vgate("x", [1]), bad])
    np.testing.assert_array_equal(a, before)


def test_device_state_keeps_gates_before_a_failure():
    s = velqa.DeviceState.zero_state(2)
    bad = {"id": "swap", "target": [0, 1, 1], "control": [], "control_state": [], "parameter": []}
    with pytest.raises(ValueError, match="^SWAP gate requires exactly two parameters.$"):
        velqa.run_circuit_device(s, [vgate("x", [0]), bad])
    assert s.to_numpy().tolist() == [0, 1, 0, 0]


# ------------------------------------------------------------------ gate conversion

def test_t_gates_become_phase():
    s = velqa.DeviceState.zero_state(1)
    velqa.run_circuit_device(s, [{"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []},
                                 {"id": "t", "target": [0], "control": [], "control_state": [], "parameter": []},
                                 {"id": "t_dag", "target": [0], "control": [], "control_state": [], "parameter": []},
                                 {"id": "t", "target": [0], "control": [], "control_state": [], "parameter": []}])
    np.testing.assert_allclose(s.to_numpy(), np.array([1, np.exp(0.25j * np.pi)]) / np.sqrt(2), atol=1e-15)
    for name in ("ct", "mct"):
        s = velqa.DeviceState.zero_state(2)
        velqa.run_circuit_device(s, [vgate("x", [0]), vgate("x", [1]),
                                     {"id": name, "target": [1], "control": [0], "control_state": [1], "parameter": []}])
        np.testing.assert_allclose(s.to_numpy()[3], np.exp(0.25j * np.pi), atol=1e-15)
    with pytest.raises(ValueError, match="^PHASE gate requires exactly one parameter.$"):
        velqa.run_circuit_device(s, [{"id": "t", "target": [0], "control": [], "control_state": [], "parameter": [0.1]}])


@pytest.mark.parametrize("gate, error, message", [
    ({"id": "u1", "target": [0], "control": [], "control_state": [], "parameter": [0.3]}, ValueError,
     "U gate requires exactly three parameters."),
    ({"id": "RX", "target": [0], "control": [], "control_state": [], "parameter": [0.3]}, ValueError,
     "Unsupported CUDA gate id: RX"),
    ({"id": "unitary", "target": [0, 1], "control": [], "control_state": [], "parameter": [], "matrix": np.eye(2)},
     ValueError, "UNITARY matrix dimension must be 2**num_targets."),
    ({"id": "unitary", "target": [0], "control": [], "control_state": [], "parameter": [], "matrix": np.ones((2, 3))},
     ValueError, "unitary matrix must be a non-empty square 2-D array."),
    ({"id": "unitary", "target": [0], "control": [], "control_state": [], "parameter": [], "matrix": None},
     ValueError, "UNITARY gate requires a matrix."),
    ({"id": "unitary", "target": [0], "control": [], "control_state": [], "parameter": []},
     ValueError, "UNITARY gate requires a matrix."),
    ({"id": "unitary", "target": [0], "control": [], "control_state": [], "parameter": [], "matrix": [[1, "a"], [0, 1]]},
     ValueError, "unitary matrix must be array-like."),
    ({"target": [0], "control": [], "control_state": [], "parameter": []}, KeyError, "'id'"),
    ({"id": "x", "target": [0], "control": [], "control_state": []}, KeyError, "'parameter'"),
])
def test_gate_dict_conversion_errors(gate, error, message):
    s = velqa.DeviceState.zero_state(2)
    with pytest.raises(error) as e:
        velqa.run_circuit_device(s, [gate])
    assert str(e.value) == message
    assert s.to_numpy().tolist() == [1, 0, 0, 0]


def test_gate_entries_may_be_dict_like_and_wrong_types_fail_to_cast():
    s = velqa.DeviceState.zero_state(2)
    velqa.run_circuit_device(s, [list(vgate("x", [1]).items())])
    assert s.to_numpy().tolist() == [0, 0, 1, 0]
    with pytest.raises(TypeError):
        velqa.run_circuit_device(s, [42])  # dict(42) fails in Python
    with pytest.raises(TypeError, match="^gate id must be a str, not int$"):
        velqa.run_circuit_device(s, [{"id": 3, "target": [0], "control": [], "control_state": [], "parameter": []}])
    with pytest.raises(TypeError):
        velqa.run_circuit_device(s, (vgate("x", [0]),))  # gate_ir must be a list


def test_quantum_gate_objects():
    s = velqa.DeviceState.zero_state(2)
    velqa.run_circuit_device_gates(s, iter([QuantumGate("x", [0], parameter=None), QuantumGate("cx", [1], [0], [1])]))
    assert s.to_numpy().tolist() == [0, 0, 0, 1]

    class NoParameter:
        id, target, control, control_state = "x", [0], [], []

    with pytest.raises(AttributeError):
        velqa.run_circuit_device_gates(s, [NoParameter()])

    def failing():
        yield QuantumGate("x", [0])
        raise KeyError("from the iterable")

    with pytest.raises(KeyError, match="from the iterable"):
        velqa.run_circuit_device_gates(s, failing())
    assert s.to_numpy().tolist() == [0, 0, 0, 1]  # conversion failed before any gate ran
    with pytest.raises(ValueError, match="^UNITARY gate requires a matrix.$"):
        velqa.run_circuit_device_gates(s, [QuantumGate("unitary", [0], parameter=[])])


def test_empty_gate_lists_do_no_device_work(hd):
    s = velqa.DeviceState.zero_state(3)
    launches, syncs = hd.launch_count(), hd.synchronize_count()
    velqa.run_circuit_device_gates(s, [])
    velqa.run_circuit_device(s, [])
    assert (hd.launch_count(), hd.synchronize_count()) == (launches, syncs)


def test_run_circuit_device_with_empty_list_still_selects_the_device(hd):
    hd.configure(2)
    s = velqa.DeviceState.zero_state(2, device="cuda:1")
    hd.configure(1)  # the state's device goes away
    with pytest.raises(RuntimeError, match="^CUDA error: invalid device ordinal$"):
        velqa.run_circuit_device(s, [])
    velqa.run_circuit_device_gates(s, [])  # no records: returns before any device work


# ------------------------------------------------------------------ measurement and fusion entry checks

def test_sampling_argument_checks_before_the_device():
    s = velqa.DeviceState.zero_state(2)
    launches = _hostdevice.launch_count() if _hostdevice else None
    with pytest.raises(ValueError, match="^shots must be positive$"):
        velqa.sample_measure_device(s, [7, 7], 0)
    for shots in (2**48 + 1, 2**64 - 1):  # too many to finish: refused before the targets and any work
        with pytest.raises(ValueError, match=r"^shots must be at most 2\*\*48$"):
            velqa.sample_measure_device(s, [7, 7], shots)
    with pytest.raises(ValueError, match="^endian must be 'little' or 'big'$"):
        velqa.sample_measure_device(s, [0], 0, endian="x")
    with pytest.raises(TypeError, match="^seed must be None or an integer, not float$"):
        velqa.measure_device(s, [0], seed=1.5)
    for shots in (-1, 2**64):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            velqa.sample_measure_device(s, [0], shots)
    assert launches is None or _hostdevice.launch_count() == launches


def test_prepare_fusion_chunk_checks_n():
    for n in (0, 63):
        with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
            velqa.prepare_fusion_chunk_gates(n, [])


# ------------------------------------------------------------------ the GIL

@pytest.mark.threads
def test_every_state_transfer_run_measurement_observable_and_plan_releases_the_gil(hd):
    n = 6
    a = random_state(n, "complex128", np.random.default_rng(1))
    s = velqa.DeviceState.from_numpy(n, a)
    out = np.empty_like(a)
    gates = [QuantumGate("h", [q % n]) for q in range(20)]
    chunk = velqa.prepare_fusion_chunk_gates(n, gates)
    calls = {
        "from_numpy": lambda: velqa.DeviceState.from_numpy(n, a),
        "zero_state": lambda: velqa.DeviceState.zero_state(n),
        "to_numpy": lambda: s.to_numpy(),
        "copy_to_numpy": lambda: s.copy_to_numpy(out),
        "run_circuit_device": lambda: velqa.run_circuit_device(s, [vgate("x", [0])], mode=velqa.AllState),
        "run_circuit_device_gates": lambda: velqa.run_circuit_device_gates(s, gates[:10], mode=velqa.AllState),
        "measure_device": lambda: velqa.measure_device(s, [0, 3], seed=1),
        "sample_measure_device": lambda: velqa.sample_measure_device(s, [2], 100, seed=2, collapse_last=False),
        "prepare_fusion_chunk_gates": lambda: velqa.prepare_fusion_chunk_gates(n, gates),
        "execute_prepared_fusion_chunk": lambda: velqa.execute_prepared_fusion_chunk(s, chunk),
        "probabilities_device": lambda: velqa.probabilities_device(s, [0, 1]),
        "expectation_pauli_device": lambda: velqa.expectation_pauli_device(s, [(1.0, "XZ", [0, 1])]),
    }
    for name, call in calls.items():
        assert releases_gil(hd, call), name


@pytest.mark.threads
def test_run_circuit_holds_the_gil_during_its_copies(hd):
    # Refused after the state is copied to the device and before any released step: the copy holds the
    # GIL. measure makes its device copy through the same helper.
    n = 4
    a = random_state(n, "complex128", np.random.default_rng(2))

    def refused():
        with pytest.raises(ValueError):
            velqa.run_circuit(n, a, [vgate("x", [0]), dict(vgate("x", [0]), id="nope")])

    assert holds_gil(hd, refused)


# ------------------------------------------------------------------ pinned host memory

def test_use_pinned_host_registers_the_callers_buffer_for_each_copy(hd):
    a = random_state(5, "complex128", np.random.default_rng(3))
    s = velqa.DeviceState.from_numpy(5, a)
    calls = [
        (lambda pin: velqa.DeviceState.from_numpy(5, a, use_pinned_host=pin), 1),
        (lambda pin: s.to_numpy(use_pinned_host=pin), 1),
        (lambda pin: s.copy_to_numpy(a, use_pinned_host=pin), 1),
        (lambda pin: velqa.run_circuit(5, a, [vgate("x", [0])], use_pinned_host=pin), 2),
        (lambda pin: velqa.measure(5, a, [1], use_pinned_host=pin), 2),
    ]
    for call, copies in calls:
        for pin in (False, True):
            before = hd.host_register_count()
            call(pin)
            assert hd.host_register_count() - before == (copies if pin else 0)
            assert hd.registered_host_ranges() == 0


# ------------------------------------------------------------------ a second device

def test_measurement_and_unitary_scratch_live_on_the_states_device(hd):
    hd.configure(2)
    rng = np.random.default_rng(4)
    n = 7
    a = random_state(n, "complex64", rng)
    s = velqa.DeviceState.from_numpy(n, a, device="cuda:1")
    on1 = hd.live_bytes(1)
    # Device 0, this thread's current device after the fillers, is left without room for any
    # scratch buffer; device 1 has room for all of them.
    capacity = max(on1, hd.live_bytes(0)) + (64 << 10)
    hd.configure(2, capacity)
    fillers = []
    for k in range(20, 0, -1):
        while capacity - hd.live_bytes(0) - 8 >= 8 << k:
            fillers.append(velqa.DeviceState.zero_state(k, "complex64"))
    assert capacity - hd.live_bytes(0) < 24
    hd.clear_launches()
    unitaries = [{"id": "unitary", "target": list(range(k)), "control": [], "control_state": [], "parameter": [],
                  "matrix": ref.random_unitary(1 << k, rng)} for k in (3, 6)]
    velqa.run_circuit_device(s, unitaries)
    velqa.measure_device(s, [0, 2], seed=5)
    velqa.sample_measure_device(s, [1], 10, seed=6)
    assert hd.live_bytes(1) == on1
    assert {launch["device"] for launch in hd.launches()} == {1}
    assert np.isclose(np.linalg.norm(s.to_numpy()), 1, atol=1e-5)
