"""Calls a careless or hostile caller can make, in both modules: None where a state or chunk
belongs, caller code that changes the lists being converted, and properties that raise."""
from types import SimpleNamespace

import numpy as np
import pytest

import density_reference as dref
import dormeth
import reference as ref
import velqa
from conftest import assert_close, random_state

DState = dormeth.DeviceDensityState


def gate(name, target, control=(), control_state=(), parameter=()):
    return {"id": name, "target": list(target), "control": list(control), "control_state": list(control_state),
            "parameter": list(parameter)}


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
        lambda: velqa.run_circuit_device(None, [gate("x", [0])]),
        lambda: velqa.run_circuit_device_gates(None, [SimpleNamespace(**gate("x", [0]))]),
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
    ]


def dormeth_calls_with_none():
    return [
        lambda: dormeth.run_density_operations_device(None, 1, [dref.gate("x", [0])]),
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
    chunk = velqa.prepare_fusion_chunk_gates(2, [SimpleNamespace(**gate("h", [0]))])
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
    "replace": lambda gates: gates.__setitem__(slice(None), [gate("x", [0])]),
}


@pytest.mark.parametrize("mutation", MUTATIONS)
def test_gate_dicts_that_change_the_gate_list_convert_the_list_as_passed(mutation, dtype, no_leaks):
    n = 3
    rng = np.random.default_rng(4)
    fields = [gate("h", [0]), gate("x", [1], [0], [1]), gate("ry", [2], parameter=[0.4]), gate("s", [1])]
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

    fields = [gate("h", [0]), gate("x", [2], [0], [1]), gate("rz", [1], parameter=[0.3])]
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

    fields = [dref.gate("h", [0]), dref.gate("cx", [1], [0], [1]), dref.channel("bit_flip", 1, 0.2)]
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
    for op in (dref.gate("rx", targets, parameter=parameters), dref.kraus([0], matrices)):
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
            dormeth.run_density_operations_device(state, 1, [dref.gate("x", [0]), op])
        np.testing.assert_array_equal(state.to_numpy(), rho)

    # AttributeError raised by a property, and a channel_name of None, mean absent.
    as_gate = Raising("operation_kind", AttributeError("none"), **vars(dref.gate("x", [0])))
    unnamed = Raising("channel_name", AttributeError("none"), **kraus_fields)
    none_named = SimpleNamespace(channel_name=None, **kraus_fields)
    ops = [as_gate, unnamed, none_named]
    dormeth.run_density_operations_device(state, 1, ops)
    expected = dref.apply_all(rho, 1, [dref.gate("x", [0]), dref.kraus([0], kraus_fields["kraus_matrices"])] +
                              [dref.kraus([0], kraus_fields["kraus_matrices"])])
    assert_close(state.to_numpy(), expected, dtype)
