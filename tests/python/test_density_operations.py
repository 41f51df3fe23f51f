"""Operation objects into records, and the validation of every record before any device work:
the messages with their exception types, their order, and a state left bit-identical (and no
device memory left behind) by a refused list."""
from types import SimpleNamespace

import numpy as np
import pytest

import dormeth
from builders import channel, gate, kraus
from density_reference import apply_all, channel_kraus, random_density
from reference import random_unitary
from conftest import assert_close

State = dormeth.DeviceDensityState
RNG = np.random.default_rng(0)
U4 = random_unitary(4, RNG)
U8 = random_unitary(8, RNG)


def fresh(n=3, dtype="complex128"):
    rho = random_density(n, np.random.default_rng(n)).astype(dtype)
    return State.from_numpy(n, rho), rho


def refused(ops, n=3, error=RuntimeError, dtype="complex128"):
    """Runs ops after two valid ones and returns the message; the state must stay bit-identical."""
    state, rho = fresh(n, dtype)
    with pytest.raises(error) as err:
        dormeth.run_density_operations_device(state, n, [gate("h", [0]), channel("bit_flip", 1, 0.2)] + ops)
    assert np.array_equal(state.to_numpy(), rho)
    message = str(err.value)
    del err  # the traceback would keep the state alive
    return message


# ------------------------------------------------------------------ validation messages

GATE_CASES = [
    (gate("h", []), "density operation requires at least one target"),
    (gate("h", [0], [1], []), "controls and control_state sizes must match"),
    (gate("h", [3]), "invalid or duplicate target qubit"),
    (gate("h", [-1]), "invalid or duplicate target qubit"),
    (gate("swap", [1, 1]), "invalid or duplicate target qubit"),
    (gate("h", [0], [0], [1]), "invalid, duplicate, or overlapping control qubit"),
    (gate("h", [0], [1, 1], [1, 1]), "invalid, duplicate, or overlapping control qubit"),
    (gate("h", [0], [5], [1]), "invalid, duplicate, or overlapping control qubit"),
    (gate("h", [0], [1], [2]), "control_state must contain only 0 or 1"),
    (gate("h", [0], [1, 2], [1, -1]), "control_state must contain only 0 or 1"),
    (gate("rx", [0], parameter=[1.0, 2.0]), "invalid parameter count for density operation 'rx'"),
    (gate("crx", [0], [1], [1]), "invalid parameter count for density operation 'crx'"),
    (gate("y", [0], parameter=[1.0]), "invalid parameter count for density operation 'y'"),
    (gate("u", [0], parameter=[1.0, 2.0]), "invalid parameter count for density operation 'u'"),
    (gate("p", [0]), "invalid parameter count for density operation 'p'"),
    (gate("rz", [0], parameter=[1.0, 2.0]), "invalid parameter count for density operation 'rz'"),
    (gate("cp", [0], [1], [1], [1.0, 2.0]), "invalid parameter count for density operation 'cp'"),
    (gate("gp", [0], [1], [1]), "invalid parameter count for density operation 'gp'"),
    (gate("rx", [0], parameter=[float("nan")]),
     "density operation parameters must be finite (operation 2, complex128)"),
    (gate("rz", [0], parameter=[float("inf")]),
     "density operation parameters must be finite (operation 2, complex128)"),
    (gate("x", [0], parameter=[1.0]), "density operation 'x' requires no parameters"),
    (gate("cnot", [0], [1], [1], [1.0]), "density operation 'cnot' requires no parameters"),
    (gate("swap", [0, 1], parameter=[0.0]), "density operation 'swap' requires no parameters"),
    (gate("swap", [0, 1, 2]), "swap requires exactly two targets"),
    (gate("swap", [0], parameter=[1.0]), "invalid parameter count for density operation 'swap'"),
    (gate("z", [0, 1]), "named density operation requires one target"),
    (gate("x", [0, 1], parameter=[1.0]), "named density operation requires one target"),
    (gate("rx", [0, 1]), "named density operation requires one target"),
    (gate("foo", [0]), "unsupported named density operation 'foo'"),
    (gate("phase", [0], parameter=[1.0]), "unsupported named density operation 'phase'"),
    (gate("X", [0]), "unsupported named density operation 'X'"),
    (gate("unitary", [0, 1], matrix=U8), "unitary matrix size does not match targets"),
    (gate("unitary", [0], matrix=np.zeros((0, 0))), "unitary matrix size does not match targets"),
    (gate("unitary", [0], matrix=np.array([[1, np.nan], [0, 1]])),
     "unitary matrix must contain only finite values (operation 2, complex128)"),
    (gate("unitary", [0], matrix=np.array([[1, 0], [0, 1j * np.inf]])),
     "unitary matrix must contain only finite values (operation 2, complex128)"),
]


@pytest.mark.parametrize("op, message", GATE_CASES, ids=[m for _, m in GATE_CASES])
def test_gate_validation_messages(op, message, no_leaks):
    assert refused([op]) == message


KRAUS_CASES = [
    (kraus([], np.eye(2)[None]), "Kraus operation requires at least one target"),
    (kraus([3], np.eye(2)[None]), "invalid or duplicate Kraus target qubit"),
    (kraus([0, 0], np.eye(4)[None]), "invalid or duplicate Kraus target qubit"),
    (kraus([-2], np.eye(2)[None]), "invalid or duplicate Kraus target qubit"),
    (kraus([0, 1], np.eye(2)[None]), "Kraus matrix dimension does not match targets"),
    (kraus([0], np.eye(4)[None], "bit_flip"), "Kraus matrix dimension does not match targets"),
    (kraus([0], np.array([[[1, np.nan], [0, 1]]])),
     "Kraus matrices must contain only finite values (operation 2, complex128)"),
    (kraus([1], channel_kraus("bit_flip", 0.1) + [[[0]], [[np.inf]]], "bit_flip"),
     "Kraus matrices must contain only finite values (operation 2, complex128)"),
]


@pytest.mark.parametrize("op, message", KRAUS_CASES, ids=[m for _, m in KRAUS_CASES])
def test_kraus_validation_messages(op, message, no_leaks):
    assert refused([op]) == message


# Values finite in double that overflow float once rounded to a complex64 state's precision.
OVERFLOW_CASES = [
    (gate("rz", [0], parameter=[1e39]), "density operation parameters must be finite"),
    (gate("p", [1], parameter=[3.5e38]), "density operation parameters must be finite"),
    (gate("cp", [1], [0], [1], [-3.5e38]), "density operation parameters must be finite"),
    (gate("gp", [1], [2], [0], [1e39]), "density operation parameters must be finite"),
    (gate("rx", [0], parameter=[1e39]), "density operation parameters must be finite"),
    (gate("u", [2], parameter=[0.1, 1e39, 0.2]), "density operation parameters must be finite"),
    (gate("rxy", [2], [0], [0], [1e39, 0.5]), "density operation parameters must be finite"),
    (gate("unitary", [0], matrix=np.array([[1e39, 0], [0, 1]])), "unitary matrix must contain only finite values"),
    (kraus([1], [np.eye(2), [[0, 1e39], [0, 0]]]), "Kraus matrices must contain only finite values"),
    (kraus([1], [[[1, 0], [0, 1e39]], [[0, 0.5], [0, 0]]], "amplitude_damping"),
     "Kraus matrices must contain only finite values"),
]


@pytest.mark.parametrize("op, message", OVERFLOW_CASES, ids=[str(i) for i in range(len(OVERFLOW_CASES))])
@pytest.mark.parametrize("fusion", ["0", "1"])
def test_values_that_overflow_float_are_refused_for_complex64(op, message, fusion, monkeypatch, no_leaks):
    monkeypatch.setenv("KORVANE_DENSITY_FUSION", fusion)
    assert refused([op], n=5, dtype="complex64") == f"{message} (operation 2, complex64)"
    state, _ = fresh(5, "complex128")  # finite in double: the operation runs
    dormeth.run_density_operations_device(state, 5, [op])
    assert np.all(np.isfinite(state.to_numpy()))
    del state


def test_size_limits(no_leaks):
    u128 = np.eye(128)
    assert refused([gate("unitary", list(range(7)), matrix=u128)], n=7) == "GPU density unitary supports at most 6 targets"
    assert refused([gate("h", list(range(7)))], n=7) == "GPU density unitary supports at most 6 targets"
    assert refused([kraus([0, 1, 2, 3], np.eye(16)[None])], n=4) == "GPU density Kraus supports at most 3 targets"
    assert refused([kraus([0, 1, 2, 3], np.eye(16)[None], "depolarizing")], n=4) == \
        "GPU density Kraus supports at most 3 targets"


def test_first_failure_wins_within_a_record():
    assert refused([gate("h", [], [7], [])]) == "density operation requires at least one target"
    assert refused([gate("h", [9], [1], [])]) == "controls and control_state sizes must match"
    assert refused([gate("h", [9], [9], [5])]) == "invalid or duplicate target qubit"
    assert refused([gate("foo", [0, 1])]) == "named density operation requires one target"
    assert refused([gate("unitary", [0, 1], matrix=np.full((2, 2), np.nan))]) == \
        "unitary matrix must contain only finite values (operation 2, complex128)"
    assert refused([kraus([7, 0], np.full((1, 2, 2), np.nan))]) == "invalid or duplicate Kraus target qubit"


def test_run_checks_num_qubits_but_not_for_an_empty_list(no_leaks):
    state, rho = fresh()
    assert dormeth.run_density_operations_device(state, 99, []) is None
    assert dormeth.run_density_operations_device(state, 99, iter(())) is None
    with pytest.raises(ValueError, match=r"^num_qubits does not match DeviceDensityState$"):
        dormeth.run_density_operations_device(state, 2, [gate("h", [0])])
    with pytest.raises(RuntimeError, match=r"^invalid or duplicate target qubit$"):
        dormeth.run_density_operations_device(State.zero_state(0), 0, [gate("h", [0])])
    assert np.array_equal(state.to_numpy(), rho)


def test_out_of_memory_for_the_matrix_buffer(hd, no_leaks):
    hd.configure(1, hd.live_bytes(0) + 64 * 64 * 8 + 1000)  # room beyond what earlier tests keep
    state, rho = fresh(6, "complex64")
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        dormeth.run_density_operations_device(state, 6, [gate("h", [0]), gate("unitary", list(range(6)),
                                                                                matrix=np.eye(64))])
    assert np.array_equal(state.to_numpy(), rho)
    del state


# ------------------------------------------------------------------ conversion

def test_conversion_errors_come_before_any_validation(no_leaks):
    first_invalid = gate("h", [99])
    bad_shapes = [np.zeros((2, 2, 3)), np.eye(2), np.zeros((0, 2, 2)), np.zeros((1, 0, 0)), np.zeros(3)]
    for matrices in bad_shapes:
        assert refused([first_invalid, kraus([0], matrices)]) == \
            "Kraus matrices must have shape (count, dimension, dimension)"
    assert refused([first_invalid, gate("unitary", [0], matrix=np.zeros((2, 4)))]) == "operation matrix must be square"
    assert refused([first_invalid, gate("unitary", [0], matrix=np.zeros(4))]) == "operation matrix must be square"
    wrong_kind = SimpleNamespace(operation_kind="gate", id="h", target=[0])
    assert refused([first_invalid, wrong_kind]) == "unsupported density operation kind 'gate'"


def test_wrong_types_raise_type_errors_and_parameters_cast_errors(no_leaks):
    cases = [
        (gate(5, [0]), "operation id must be a str, not int"),
        (gate("h", "0"), "target entries must be integers, not str"),
        (kraus([0], np.eye(2)[None], channel_name=3), "channel_name must be a str, not int"),
        (SimpleNamespace(operation_kind=b"kraus"), "operation_kind must be a str, not bytes"),
    ]
    for op, message in cases:
        assert refused([op], error=TypeError) == message
    for op in (gate("h", [0], parameter=["a"]), gate("h", [0], parameter=1.5)):
        assert refused([op]).startswith("Unable to cast Python instance of type ")


def test_missing_attributes_and_python_errors_pass_through():
    assert "has_stored_matrix" in refused([SimpleNamespace(id="h", target=[0], control=[], control_state=[],
                                                           parameter=None)], error=AttributeError)
    assert "kraus_matrices" in refused([SimpleNamespace(operation_kind="kraus", target=[0])], error=AttributeError)

    class Exploding:
        id = "h"

        @property
        def target(self):
            raise KeyError("boom")

    refused([Exploding()], error=KeyError)
    assert "malformed string" in refused([gate("unitary", [0], matrix="abc")], error=ValueError)  # NumPy's own
    with pytest.raises(TypeError):
        dormeth.run_density_operations_device(None, 1, [gate("h", [0])])


def test_accepted_forms_of_the_fields(dtype):
    state, rho = fresh(3, dtype)

    class Op:  # attributes on a class, NumPy scalars and arrays, generators
        id = "cu"

    ops = [
        gate("rx", np.array([2]), np.array([0]), np.array([1]), np.array([0.4])),
        gate("crz", (1,), (2,), (0,), (0.3,)),
        gate("ry", (q for q in [0]), iter([1]), iter([1]), (x for x in [0.2])),
        gate("p", range(2, 3), [], [], [np.float32(0.25)]),
        gate("unitary", [1, 0], matrix=[[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]),
        gate("unitary", [2], matrix=np.eye(2, dtype=np.float32)),
        kraus(np.array([0]), np.eye(2, dtype=int)[None]),
        kraus([2], channel_kraus("phase_damping", 0.4).tolist(), "phase_damping"),
        SimpleNamespace(id="h", target=[1], control=[], control_state=[], parameter=None,
                        has_stored_matrix=np.bool_(False), stored_matrix=None),
    ]
    ops[4].has_stored_matrix = np.bool_(True)
    dormeth.run_density_operations_device(state, 3, ops)
    reference_ops = [
        gate("rx", [2], [0], [1], [0.4]), gate("crz", [1], [2], [0], [0.3]), gate("ry", [0], [1], [1], [0.2]),
        gate("p", [2], parameter=[0.25]), gate("swap", [1, 0]), channel("phase_damping", 2, 0.4), gate("h", [1]),
    ]
    assert_close(state.to_numpy(), apply_all(rho, 3, reference_ops), dtype)


def test_gate_objects_ignore_kraus_fields_and_kraus_objects_ignore_gate_fields():
    state, rho = fresh(2)
    g = gate("h", [0])
    g.kraus_matrices = "ignored"
    g.channel_name = 7
    k = kraus([1], channel_kraus("bit_flip", 0.25), "bit_flip")
    k.id, k.control, k.parameter, k.has_stored_matrix = 5, "x", "y", "z"
    dormeth.run_density_operations_device(state, 2, [g, k])
    assert_close(state.to_numpy(), apply_all(rho, 2, [gate("h", [0]), channel("bit_flip", 1, 0.25)]), "complex128")


def test_stored_matrix_wins_over_the_name_and_its_parameters_are_not_checked(dtype):
    state, rho = fresh(2, dtype)
    u = random_unitary(2, np.random.default_rng(3))
    dormeth.run_density_operations_device(state, 2, [gate("gp", [1], parameter=[float("nan"), 1.0], matrix=u)])
    assert_close(state.to_numpy(), apply_all(rho, 2, [gate("unitary", [1], matrix=u)]), dtype)


# ------------------------------------------------------------------ measurement arguments

def test_measure_device_checks_endian_before_the_seed():
    state = State.zero_state(1)
    with pytest.raises(ValueError, match=r"^endian must be 'little' or 'big'$"):
        dormeth.measure_device(state, [0], "Little", 1.5)
    for seed, error, message in ((1.5, TypeError, "seed must be None or an integer, not float"),
                                 ("7", TypeError, "seed must be None or an integer, not str"),
                                 (-1, ValueError, r"seed must be in \[0, 2\*\*64\)"),
                                 (2**64, ValueError, r"seed must be in \[0, 2\*\*64\)")):
        with pytest.raises(error, match=f"^{message}$"):
            dormeth.measure_device(state, [0], "little", seed)
