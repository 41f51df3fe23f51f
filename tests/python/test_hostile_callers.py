"""Calls a careless or hostile caller can make, in both modules: None where a state or chunk
belongs, caller code that changes the lists being converted, properties that raise, values of the
wrong type in every argument and record field, instances made without the factories, pickling, and
an interpreter that exits while threads are inside calls."""
import json
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import numpy as np
import pytest

import builders
from builders import vgate
import density_reference as dref
import dormeth
import reference as ref
import velqa
from conftest import _hostdevice, assert_close, random_state, run_python

DState = dormeth.DeviceDensityState


class Counting:
    """An integer whose conversion is counted."""

    calls = 0

    def __init__(self, value):
        self.value = value

    def __index__(self):
        Counting.calls += 1
        return self.value


# ------------------------------------------------------------------ None for a state or chunk


def velqa_calls_with_none(state, chunk, array):
    targets = [Counting(0)]
    return [
        lambda: velqa.run_circuit_device(None, [vgate("x", [0])]),
        lambda: velqa.run_circuit_device_gates(None, [SimpleNamespace(**vgate("x", [0]))]),
        lambda: velqa.execute_prepared_fusion_chunk(None, chunk),
        lambda: velqa.execute_prepared_fusion_chunk(state, None),
        lambda: velqa.execute_prepared_fusion_chunk(None, None),
        lambda: velqa.measure_device(None, targets),
        lambda: velqa.sample_measure_device(None, targets, 4),
        lambda: velqa.DeviceState.to_numpy(None),
        lambda: velqa.DeviceState.copy_to_numpy(None, array),
        lambda: velqa.DeviceState.n.fget(None),
        lambda: velqa.DeviceState.num_state.fget(None),
        lambda: velqa.DeviceState.device_id.fget(None),
        lambda: velqa.DeviceState.dtype.fget(None),
        lambda: velqa.PreparedFusionChunk.n.fget(None),
        lambda: velqa.PreparedFusionChunk.gate_count.fget(None),
        lambda: velqa.run_circuit_batch_device(None, [vgate("x", [0])]),
        lambda: velqa.measure_batch_device(None, targets),
        lambda: velqa.sample_measure_batch_device(None, targets, 4),
        lambda: velqa.probabilities_batch_device(None, targets),
        lambda: velqa.expectation_pauli_batch_device(None, []),
        lambda: velqa.DeviceStateBatch.to_numpy(None),
        lambda: velqa.DeviceStateBatch.copy_to_numpy(None, array),
        lambda: velqa.DeviceStateBatch.batch.fget(None),
    ]


def dormeth_calls_with_none():
    return [
        lambda: dormeth.run_density_operations_device(None, 1, [builders.gate("x", [0])]),
        lambda: dormeth.measure_device(None, [Counting(0)]),
        lambda: DState.to_numpy(None),
        lambda: DState.copy(None),
        lambda: DState.num_qubits.fget(None),
        lambda: DState.dimension.fget(None),
        lambda: DState.dtype.fget(None),
        lambda: DState.device_id.fget(None),
    ]


def test_none_for_a_state_or_chunk_is_a_type_error_before_any_work(hd):
    state = velqa.DeviceState.zero_state(2)
    chunk = velqa.prepare_fusion_chunk_gates(2, [SimpleNamespace(**vgate("h", [0]))])
    array = np.zeros(4, dtype=np.complex128)
    calls = velqa_calls_with_none(state, chunk, array) + dormeth_calls_with_none()
    hd.clear_launches()
    Counting.calls = 0
    for call in calls:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()
    assert Counting.calls == 0  # no argument after the None was converted
    assert hd.launches() == []
    assert state.to_numpy()[0] == 1 and np.all(array == 0)


# ------------------------------------------------------------------ caller code during conversion


class ShrinkingDict(dict):
    """A gate dict whose first read of "id" runs the caller's code on the list being converted."""

    def __init__(self, gates, action, **fields):
        super().__init__(**fields)
        self.gates = gates
        self.action = action

    def __getitem__(self, key):
        if key == "id" and self.action:
            action, self.action = self.action, None
            action(self.gates)
        return super().__getitem__(key)


MUTATIONS = {
    "clear": lambda gates: gates.clear(),
    "clear and grow": lambda gates: (gates.clear(), gates.extend([{"junk": i} for i in range(1000)])),
    "truncate": lambda gates: gates.__delitem__(slice(1, None)),
    "replace": lambda gates: gates.__setitem__(slice(None), [vgate("x", [0])]),
}


@pytest.mark.parametrize("mutation", MUTATIONS)
def test_gate_dicts_that_change_the_gate_list_convert_the_list_as_passed(mutation, dtype, no_leaks):
    n = 3
    rng = np.random.default_rng(4)
    fields = [vgate("h", [0]), vgate("x", [1], [0], [1]), vgate("ry", [2], parameter=[0.4]), vgate("s", [1])]
    state = random_state(n, dtype, rng)
    expected = ref.run_reference(state.astype(complex), n, fields)
    for run in ("run_circuit", "run_circuit_device"):
        gates = []
        gates.extend(ShrinkingDict(gates, MUTATIONS[mutation] if i == 0 else None, **f) for i, f in enumerate(fields))
        if run == "run_circuit":
            result = velqa.run_circuit(n, state.copy(), gates)
        else:
            device = velqa.DeviceState.from_numpy(n, state)
            velqa.run_circuit_device(device, gates)
            result = device.to_numpy()
            del device
        assert_close(result, expected, dtype)


class Mutating:
    """An index or number whose conversion runs the caller's code on a list."""

    def __init__(self, value, action):
        self.value = value
        self.action = action

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


def test_indices_and_properties_that_change_the_lists_being_read(dtype, no_leaks):
    n = 3
    state = random_state(n, dtype, np.random.default_rng(5))
    start = state.astype(complex)

    class Gate:
        """A QuantumGate whose target property empties the gate list on its first read."""

        def __init__(self, fields, gates):
            self.__dict__.update(fields)
            self._target, self._gates = fields["target"], gates

        @property
        def target(self):
            self._gates.clear()
            return self._target

    fields = [vgate("h", [0]), vgate("x", [2], [0], [1]), vgate("rz", [1], parameter=[0.3])]
    expected = ref.run_reference(start, n, fields)
    gates = []
    gates.extend(Gate(f, gates) for f in fields)
    device = velqa.DeviceState.from_numpy(n, state)
    velqa.run_circuit_device_gates(device, gates)
    assert_close(device.to_numpy(), expected, dtype)
    gates.extend(Gate(f, gates) for f in fields)
    chunk = velqa.prepare_fusion_chunk_gates(n, gates)
    assert chunk.gate_count == 3

    # An index or parameter that empties its own list: the entries read so far, or an error.
    targets = []
    targets.extend([Mutating(2, targets.clear), 1])
    controls = []
    controls.extend([Mutating(0, controls.clear), 1])
    parameters = []
    parameters.extend([Mutating(0.5, parameters.clear), 0.25])
    g = {"id": "rx", "target": targets, "control": controls, "control_state": [1, 1], "parameter": parameters}
    device = velqa.DeviceState.from_numpy(n, state)
    try:
        velqa.run_circuit_device(device, [g])
    except ValueError:
        np.testing.assert_array_equal(device.to_numpy(), state)
    else:
        assert_close(device.to_numpy(), ref.apply_matrix(start, n, ref.rx(0.5), [2], [0], [1]), dtype)


def test_density_operations_that_change_the_lists_being_read(dtype, no_leaks):
    n = 2
    rho = dref.random_density(n, np.random.default_rng(6))
    ops = []

    class Op(SimpleNamespace):
        @property
        def target(self):
            ops.clear()
            ops.extend([object()] * 100)
            return self._target

    fields = [builders.gate("h", [0]), builders.gate("cx", [1], [0], [1]), builders.channel("bit_flip", 1, 0.2)]
    for f in fields:
        d = dict(vars(f))
        d["_target"] = d.pop("target")
        ops.append(Op(**d))
    state = DState.from_numpy(n, rho.astype(dtype))
    dormeth.run_density_operations_device(state, n, ops)
    assert_close(state.to_numpy(), dref.apply_all(rho, n, fields), dtype)

    # A target, control or parameter that empties its own list, and a Kraus list that changes while
    # NumPy reads it: the entries read so far, or an error; the state is unchanged by an error.
    targets = []
    targets.extend([Mutating(1, targets.clear), 0])
    parameters = []
    parameters.extend([Mutating(0.5, parameters.clear)])
    matrices = [[[1, 0], [0, 1]]]
    matrices.append([[Mutating(0, matrices.clear), 0], [0, 0]])
    for op in (builders.gate("rx", targets, parameter=parameters), builders.kraus([0], matrices)):
        state = DState.from_numpy(n, rho.astype(dtype))
        try:
            dormeth.run_density_operations_device(state, n, [op])
        except (RuntimeError, ValueError, TypeError):
            np.testing.assert_array_equal(state.to_numpy(), rho.astype(dtype))


# ------------------------------------------------------------------ properties that raise


class Raising:
    """An operation object whose named property raises the given exception."""

    def __init__(self, name, error, **fields):
        self.__dict__.update(fields)
        self._name, self._error = name, error

    def __getattr__(self, name):
        if name == self._name:
            raise self._error
        raise AttributeError(name)


def test_only_attribute_error_means_an_absent_property(dtype, no_leaks):
    rho = dref.random_density(1, np.random.default_rng(7)).astype(dtype)
    state = DState.from_numpy(1, rho)
    kraus_fields = {"operation_kind": "kraus", "target": [0], "kraus_matrices": dref.channel_kraus("bit_flip", 0.2)}
    cases = [
        (Raising("operation_kind", KeyError("kind")), KeyError, "kind"),
        (Raising("operation_kind", RuntimeError("broken kind")), RuntimeError, "broken kind"),
        (Raising("channel_name", ValueError("no name"), **kraus_fields), ValueError, "no name"),
        (Raising("channel_name", TypeError("bad name"), **kraus_fields), TypeError, "bad name"),
    ]
    for op, error, message in cases:
        with pytest.raises(error, match=message):
            dormeth.run_density_operations_device(state, 1, [builders.gate("x", [0]), op])
        np.testing.assert_array_equal(state.to_numpy(), rho)

    # AttributeError raised by a property, and a channel_name of None, mean absent.
    as_gate = Raising("operation_kind", AttributeError("none"), **vars(builders.gate("x", [0])))
    unnamed = Raising("channel_name", AttributeError("none"), **kraus_fields)
    none_named = SimpleNamespace(channel_name=None, **kraus_fields)
    ops = [as_gate, unnamed, none_named]
    dormeth.run_density_operations_device(state, 1, ops)
    expected = dref.apply_all(rho, 1, [builders.gate("x", [0]), builders.kraus([0], kraus_fields["kraus_matrices"])] +
                              [builders.kraus([0], kraus_fields["kraus_matrices"])])
    assert_close(state.to_numpy(), expected, dtype)


# ------------------------------------------------------------------ integers, booleans and strings
#
# Every value a caller passes where the modules need an integer, a boolean or a string, one call per
# place: SLOT(value) runs the call with value there and everything else valid. The valid value is 1
# for integers, True for booleans and the slot's own text for strings.


def amplitudes(n):
    return np.eye(1, 1 << n, dtype=np.complex128).ravel()


def gate_records(name, build):
    """The integer fields of a gate record in a velqa entry point: build(fields) runs the call."""
    fields = {"target": lambda v: vgate("x", [v]), "control": lambda v: vgate("x", [0], [v], [1]),
              "control_state": lambda v: vgate("x", [0], [1], [v])}
    return {f"{name} {field}": (lambda v, make=make: build(make(v))) for field, make in fields.items()}


def density_records():
    ops = {"target": lambda v: builders.gate("x", [v]), "control": lambda v: builders.gate("x", [0], [v], [1]),
           "control_state": lambda v: builders.gate("x", [0], [1], [v]),
           "Kraus target": lambda v: builders.kraus([v], dref.channel_kraus("bit_flip", 0.1))}
    return {f"run_density_operations_device {field}": (lambda v, make=make: dormeth.run_density_operations_device(
        dormeth.DeviceDensityState.zero_state(2), 2, [make(v)])) for field, make in ops.items()}


def velqa_state():
    return velqa.DeviceState.zero_state(2)


def velqa_batch():
    return velqa.DeviceStateBatch.zero_state(2, 2)


def density_state():
    return dormeth.DeviceDensityState.zero_state(2)


INTEGER_SLOTS = {
    "velqa.DeviceState.from_numpy n": lambda v: velqa.DeviceState.from_numpy(v, amplitudes(1)),
    "velqa.DeviceState.zero_state n": lambda v: velqa.DeviceState.zero_state(v),
    "velqa.run_circuit n": lambda v: velqa.run_circuit(v, amplitudes(1), []),
    "velqa.measure n": lambda v: velqa.measure(v, amplitudes(1), [0]),
    "velqa.measure targets": lambda v: velqa.measure(2, amplitudes(2), [v]),
    "velqa.prepare_fusion_chunk_gates n": lambda v: velqa.prepare_fusion_chunk_gates(v, []),
    **{f"velqa.prepare_fusion_chunk_gates {option}": (
        lambda v, option=option: velqa.prepare_fusion_chunk_gates(2, [], **{option: v}))
       for option in ("sparsesharemem_qubits", "densemm_min_qubits", "densemm_max_qubits", "max_gates_per_group")},
    "velqa.measure_device targets": lambda v: velqa.measure_device(velqa_state(), [v]),
    "velqa.measure_device seed": lambda v: velqa.measure_device(velqa_state(), [0], seed=v),
    "velqa.sample_measure_device targets": lambda v: velqa.sample_measure_device(velqa_state(), [v], 2),
    "velqa.sample_measure_device shots": lambda v: velqa.sample_measure_device(velqa_state(), [0], v),
    "velqa.sample_measure_device seed": lambda v: velqa.sample_measure_device(velqa_state(), [0], 2, seed=v),
    "velqa.probabilities_device targets": lambda v: velqa.probabilities_device(velqa_state(), [v]),
    "velqa.expectation_pauli_device qubits": lambda v: velqa.expectation_pauli_device(velqa_state(), [(1.0, "Z", [v])]),
    "velqa.DeviceStateBatch.zero_state n": lambda v: velqa.DeviceStateBatch.zero_state(v, 2),
    "velqa.DeviceStateBatch.zero_state batch": lambda v: velqa.DeviceStateBatch.zero_state(2, v),
    "velqa.DeviceStateBatch.from_numpy n": lambda v: velqa.DeviceStateBatch.from_numpy(v, amplitudes(1)[None]),
    "velqa.measure_batch_device targets": lambda v: velqa.measure_batch_device(velqa_batch(), [v]),
    "velqa.measure_batch_device seed": lambda v: velqa.measure_batch_device(velqa_batch(), [0], seed=v),
    "velqa.sample_measure_batch_device shots": lambda v: velqa.sample_measure_batch_device(velqa_batch(), [0], v),
    "velqa.probabilities_batch_device targets": lambda v: velqa.probabilities_batch_device(velqa_batch(), [v]),
    **gate_records("velqa.run_circuit_batch_device", lambda g: velqa.run_circuit_batch_device(velqa_batch(), [g])),
    **gate_records("velqa.run_circuit_device", lambda g: velqa.run_circuit_device(velqa_state(), [g])),
    **gate_records("velqa.run_circuit", lambda g: velqa.run_circuit(2, amplitudes(2), [g])),
    **gate_records("velqa.run_circuit_device_gates",
                   lambda g: velqa.run_circuit_device_gates(velqa_state(), [SimpleNamespace(**g)])),
    **gate_records("velqa.prepare_fusion_chunk_gates",
                   lambda g: velqa.prepare_fusion_chunk_gates(2, [SimpleNamespace(**g)])),
    "dormeth.DeviceDensityState.from_numpy n": lambda v: dormeth.DeviceDensityState.from_numpy(
        v, np.eye(2, dtype=np.complex128)),
    "dormeth.DeviceDensityState.zero_state n": lambda v: dormeth.DeviceDensityState.zero_state(v),
    "dormeth.run_density_operations_device num_qubits": lambda v: dormeth.run_density_operations_device(
        dormeth.DeviceDensityState.zero_state(1), v, [builders.gate("x", [0])]),
    **density_records(),
    "dormeth.measure_device targets": lambda v: dormeth.measure_device(density_state(), [v]),
    "dormeth.measure_device seed": lambda v: dormeth.measure_device(density_state(), [0], seed=v),
    "dormeth.probabilities_device targets": lambda v: dormeth.probabilities_device(density_state(), [v]),
    "dormeth.expectation_pauli_device qubits": lambda v: dormeth.expectation_pauli_device(
        density_state(), [(1.0, "Z", [v])]),
}


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("the caller's __index__ failed")


@pytest.mark.parametrize("slot", INTEGER_SLOTS)
def test_integers_are_ints_numpy_integers_or_index_objects_everywhere(slot):
    """A float-like is never truncated to an integer, and an __index__ that raises is the error."""
    call = INTEGER_SLOTS[slot]
    launches = _hostdevice.launch_count() if _hostdevice else None
    for value in (np.float16(1), np.float32(1), np.float64(1), np.longdouble(1), Decimal(1), Fraction(1), 1.0, "1"):
        with pytest.raises(TypeError):
            call(value)
    with pytest.raises(ZeroDivisionError, match="^the caller's __index__ failed$"):
        call(RaisingIndex())
    assert launches is None or _hostdevice.launch_count() == launches  # refused before any device work
    for value in (1, True, np.int64(1), np.uint8(1), Counting(1)):
        call(value)


BOOLEAN_SLOTS = {
    "velqa.DeviceState.from_numpy use_pinned_host": lambda v: velqa.DeviceState.from_numpy(
        1, amplitudes(1), use_pinned_host=v),
    "velqa.DeviceState.to_numpy use_pinned_host": lambda v: velqa_state().to_numpy(use_pinned_host=v),
    "velqa.DeviceState.copy_to_numpy use_pinned_host": lambda v: velqa_state().copy_to_numpy(
        amplitudes(2), use_pinned_host=v),
    "velqa.run_circuit use_pinned_host": lambda v: velqa.run_circuit(1, amplitudes(1), [], use_pinned_host=v),
    "velqa.measure use_pinned_host": lambda v: velqa.measure(1, amplitudes(1), [0], use_pinned_host=v),
    "velqa.prepare_fusion_chunk_gates fuse_swap": lambda v: velqa.prepare_fusion_chunk_gates(2, [], fuse_swap=v),
    "velqa.prepare_fusion_chunk_gates pad_sparsesharemem": lambda v: velqa.prepare_fusion_chunk_gates(
        2, [], pad_sparsesharemem=v),
    "velqa.sample_measure_device collapse_last": lambda v: velqa.sample_measure_device(
        velqa_state(), [0], 2, collapse_last=v),
    "dormeth operation has_stored_matrix": lambda v: dormeth.run_density_operations_device(density_state(), 2, [
        SimpleNamespace(**dict(vars(builders.gate("unitary", [0], matrix=np.eye(2))), has_stored_matrix=v))]),
}


@pytest.mark.parametrize("slot", BOOLEAN_SLOTS)
def test_booleans_are_bool_or_numpy_bool_everywhere(slot):
    call = BOOLEAN_SLOTS[slot]
    for value in (None, 0, 1, 2, 1.0, "True", np.int64(1)):
        with pytest.raises(TypeError):
            call(value)
    for value in (True, False, np.bool_(True), np.bool_(False)):
        if slot.endswith("has_stored_matrix") and not value:
            continue  # a unitary without its matrix is another refusal
        call(value)


# (call(text), the valid text, the message a refused text gives, or None where it does not show it)
STRING_SLOTS = {
    "velqa.DeviceState.from_numpy device": (lambda t: velqa.DeviceState.from_numpy(1, amplitudes(1), t), "gpu",
                                            "device must be 'cuda', 'gpu', or 'cuda:<id>', got: {}"),
    "velqa.DeviceState.zero_state dtype": (lambda t: velqa.DeviceState.zero_state(1, t), "complex64",
                                           "dtype must be 'complex64' or 'complex128', got: {}"),
    "velqa.DeviceState.zero_state device": (lambda t: velqa.DeviceState.zero_state(1, device=t), "cuda",
                                            "device must be 'cuda', 'gpu', or 'cuda:<id>', got: {}"),
    "velqa.run_circuit device": (lambda t: velqa.run_circuit(1, amplitudes(1), [], device=t), "gpu",
                                 "device must be 'cuda', 'gpu', or 'cuda:<id>', got: {}"),
    "velqa.measure device": (lambda t: velqa.measure(1, amplitudes(1), [0], device=t), "gpu",
                             "device must be 'cuda', 'gpu', or 'cuda:<id>', got: {}"),
    **{f"velqa.{name} endian": (call, "big", None) for name, call in {
        "run_circuit": lambda t: velqa.run_circuit(1, amplitudes(1), [], t),
        "measure": lambda t: velqa.measure(1, amplitudes(1), [0], t),
        "run_circuit_device": lambda t: velqa.run_circuit_device(velqa_state(), [], t),
        "run_circuit_device_gates": lambda t: velqa.run_circuit_device_gates(velqa_state(), [], t),
        "measure_device": lambda t: velqa.measure_device(velqa_state(), [0], t),
        "sample_measure_device": lambda t: velqa.sample_measure_device(velqa_state(), [0], 2, t),
        "probabilities_device": lambda t: velqa.probabilities_device(velqa_state(), [0], t),
    }.items()},
    "velqa gate id": (lambda t: velqa.run_circuit_device(velqa_state(), [vgate(t, [0])]), "x",
                      "Unsupported CUDA gate id: {}"),
    "velqa gate object id": (lambda t: velqa.prepare_fusion_chunk_gates(2, [SimpleNamespace(**vgate(t, [0]))]), "h",
                             "Unsupported CUDA gate id: {}"),
    "velqa.expectation_pauli_device paulis": (lambda t: velqa.expectation_pauli_device(velqa_state(), [(1.0, t, [0])]),
                                              "Z", "Pauli term 0: paulis must contain only the letters I, X, Y and Z"),
    "dormeth.DeviceDensityState.from_numpy device": (
        lambda t: dormeth.DeviceDensityState.from_numpy(1, np.eye(2, dtype=np.complex64), t), "gpu",
        "device must be 'cuda', 'gpu', or 'cuda:<id>', got: {}"),
    "dormeth.DeviceDensityState.zero_state dtype": (lambda t: dormeth.DeviceDensityState.zero_state(1, t),
                                                    "complex128", "dtype must be 'complex64' or 'complex128', got: {}"),
    "dormeth.DeviceDensityState.zero_state device": (lambda t: dormeth.DeviceDensityState.zero_state(1, device=t),
                                                     "cuda", "device must be 'cuda', 'gpu', or 'cuda:<id>', got: {}"),
    "dormeth.measure_device endian": (lambda t: dormeth.measure_device(density_state(), [0], t), "little", None),
    "dormeth.probabilities_device endian": (lambda t: dormeth.probabilities_device(density_state(), [0], t), "big",
                                            None),
    "dormeth operation id": (lambda t: dormeth.run_density_operations_device(density_state(), 2, [builders.gate(t, [0])]),
                             "h", "unsupported named density operation '{}'"),
    "dormeth operation_kind": (lambda t: dormeth.run_density_operations_device(density_state(), 2, [SimpleNamespace(
        **dict(vars(builders.channel("bit_flip", 0, 0.1)), operation_kind=t))]), "kraus",
        "unsupported density operation kind '{}'"),
    "dormeth channel_name": (lambda t: dormeth.run_density_operations_device(density_state(), 2, [
        builders.kraus([0], dref.channel_kraus("bit_flip", 0.1), t)]), "bit_flip", None),
    "dormeth.expectation_pauli_device paulis": (
        lambda t: dormeth.expectation_pauli_device(density_state(), [(1.0, t, [0])]), "Z",
        "Pauli term 0: paulis must contain only the letters I, X, Y and Z"),
}


@pytest.mark.parametrize("slot", STRING_SLOTS)
def test_strings_are_str_everywhere_and_messages_show_them_whole(slot):
    call, text, message = STRING_SLOTS[slot]
    call(text)
    for value in (text.encode(), bytearray(text.encode()), 1):
        with pytest.raises(TypeError):
            call(value)
    if message is not None:  # a NUL byte is part of the text, in the comparison and in the message
        with pytest.raises((ValueError, RuntimeError)) as error:
            call(text + "\0x")
        assert str(error.value) == message.format(text + "\0x")


# ------------------------------------------------------------------ instances and pickles

FACTORY_CLASSES = [velqa.DeviceState, velqa.DeviceStateBatch, velqa.TrajectoryEstimate, velqa.PreparedFusionChunk, dormeth.DeviceDensityState]


@pytest.mark.parametrize("cls", FACTORY_CLASSES, ids=lambda c: c.__name__)
def test_states_and_chunks_come_only_from_their_factories(cls):
    message = f"^cannot create '{cls.__module__}.{cls.__name__}' instances$"
    for make in (cls, lambda: cls.__new__(cls), lambda: type("Derived", (cls,), {})()):
        with pytest.raises(TypeError, match=message):
            make()
    for base in cls.__mro__[1:]:  # a base class's __new__ refuses to make one too
        with pytest.raises(TypeError, match="is not safe"):
            base.__new__(cls)


def test_kernel_modes_are_the_four_members_only():
    with pytest.raises(TypeError):
        velqa.KernelMode.__new__(velqa.KernelMode)
    with pytest.raises(ValueError):
        velqa.KernelMode(4)
    assert velqa.KernelMode(2) is velqa.PairAuto


PICKLES = """
import copy, copyreg, json, pickle
import dormeth, velqa
objects = {"velqa.DeviceState": velqa.DeviceState.zero_state(1),
           "velqa.DeviceStateBatch": velqa.DeviceStateBatch.zero_state(1, 2),
           "dormeth.DeviceDensityState": dormeth.DeviceDensityState.zero_state(1),
           "velqa.PreparedFusionChunk": velqa.prepare_fusion_chunk_gates(1, [])}
ways = {**{f"protocol {p}": (lambda o, p=p: pickle.dumps(o, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)},
        **{f"__reduce_ex__({p})": (lambda o, p=p: o.__reduce_ex__(p)) for p in (0, 1, 2)},
        "copyreg._reduce_ex": lambda o: copyreg._reduce_ex(o, 1), "copy": copy.copy, "deepcopy": copy.deepcopy}
refusals = {}
for name, obj in objects.items():
    for way, run in ways.items():
        try:
            run(obj)
            refusals[f"{name} {way}"] = None
        except TypeError as e:
            refusals[f"{name} {way}"] = str(e)
modes = [pickle.loads(pickle.dumps(m, p)) is m for m in velqa.KernelMode for p in range(pickle.HIGHEST_PROTOCOL + 1)]
print(json.dumps({"refusals": refusals, "modes": modes}))
"""


def test_pickling_refuses_states_and_chunks_at_every_protocol_and_keeps_kernel_modes():
    """In a fresh interpreter: a pickling path that aborts ends it without an answer."""
    done = run_python(PICKLES)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    for case, message in result["refusals"].items():
        assert message is not None and message.startswith("cannot pickle '") and message.endswith("' object"), case
    assert result["modes"] and all(result["modes"])


# ------------------------------------------------------------------ the interpreter exits

EXIT_WITH_DAEMON_THREADS = """
import sys, threading, time
from types import SimpleNamespace
import numpy as np
import dormeth, hostdevice, velqa
gates = [SimpleNamespace(id="h", target=[q], control=[], control_state=[], parameter=[], has_stored_matrix=False)
         for q in range(3)]
chunk = velqa.prepare_fusion_chunk_gates(3, gates)

def statevector_calls():  # each thread its own states and arrays: nothing locks a state
    state, out = velqa.DeviceState.zero_state(3), np.empty(8, dtype=np.complex128)
    source = state.to_numpy()
    return [lambda: velqa.DeviceState.from_numpy(3, source), lambda: velqa.DeviceState.zero_state(3), state.to_numpy,
            lambda: state.copy_to_numpy(out), lambda: velqa.run_circuit_device(state, [vars(g) for g in gates]),
            lambda: velqa.run_circuit_device_gates(state, gates), lambda: velqa.measure_device(state, [0]),
            lambda: velqa.sample_measure_device(state, [1], 5), lambda: velqa.prepare_fusion_chunk_gates(3, gates),
            lambda: velqa.execute_prepared_fusion_chunk(state, chunk), lambda: velqa.probabilities_device(state, [2]),
            lambda: velqa.expectation_pauli_device(state, [(1.0, "X", [0])])]

def density_calls():
    rho = dormeth.DeviceDensityState.zero_state(3)
    return [lambda: dormeth.DeviceDensityState.zero_state(3), rho.to_numpy,
            lambda: dormeth.run_density_operations_device(rho, 3, gates), lambda: dormeth.measure_device(rho, [0]),
            lambda: dormeth.probabilities_device(rho, [1]),
            lambda: dormeth.expectation_pauli_device(rho, [(1.0, "Y", [2])])]

calls = [make()[i] for make in (statevector_calls, density_calls) for i in range(len(make()))]

def loop(call):
    while True:
        call()

# Every call stops at its first device operation, without the GIL, until the interpreter shuts down.
hostdevice.hold_operations(len(calls), 600)
for call in calls:
    threading.Thread(target=loop, args=(call,), daemon=True).start()
assert hostdevice.wait_for_held_operations(len(calls), 60)

class LetGoWhileFinalizing:
    # Dropped as the interpreter empties sys.modules, after Python marked it as finalizing: the held
    # calls go on and come back for the GIL then, while this waits without the GIL.
    def __init__(self):
        self.release, self.held, self.sleep = hostdevice.release_held_operations, hostdevice.held_operations, time.sleep
    def __del__(self):
        self.release()
        while self.held():
            self.sleep(0.01)
        self.sleep(1.0)

sys.modules["let go while finalizing"] = LetGoWhileFinalizing()
print("exiting")
"""


@pytest.mark.threads
def test_the_interpreter_exits_cleanly_while_threads_are_inside_calls_that_released_the_gil(hd):
    done = run_python(EXIT_WITH_DAEMON_THREADS)
    assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")
