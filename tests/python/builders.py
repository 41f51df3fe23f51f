"""The suite's builders: gates and operations as the modules' callers give them, and the runs the
tests repeat. The dense models they are checked against are in reference.py and density_reference.py."""
from types import SimpleNamespace

import numpy as np

import dormeth
import velqa
from density_reference import channel_kraus

# ------------------------------------------------------------------ statevector gates


def vgate(name, target, control=(), control_state=None, parameter=(), matrix=None):
    """A velqa gate dict; its controls are on state 1 unless control_state says otherwise."""
    g = {"id": name, "target": list(target), "control": list(control),
         "control_state": [1] * len(control) if control_state is None else list(control_state),
         "parameter": list(parameter)}
    if matrix is not None:
        g["matrix"] = matrix
    return g


class QuantumGate:
    """A QuantumGate-like object with the attributes velqa reads (run_circuit_device_gates,
    prepare_fusion_chunk_gates)."""

    def __init__(self, id, target, control=(), control_state=(), parameter=None, matrix=None):
        self.id, self.target, self.control, self.control_state = id, list(target), list(control), list(control_state)
        self.parameter, self.matrix = parameter, matrix

    @classmethod
    def of(cls, g):
        """The object with a gate dict's fields."""
        return cls(g["id"], g["target"], g["control"], g["control_state"], g["parameter"], g.get("matrix"))


def run_circuit(n, state, gates, mode=velqa.PairAuto, endian="little"):
    """The gates applied to a copy of the state."""
    return velqa.run_circuit(n, state.copy(), gates, mode=mode, endian=endian)


# ------------------------------------------------------------------ density operations

def gate(id, target, control=(), control_state=(), parameter=None, matrix=None):
    """A dormeth gate object; with matrix, a stored matrix."""
    return SimpleNamespace(id=id, target=list(target), control=list(control), control_state=list(control_state),
                           parameter=parameter, has_stored_matrix=matrix is not None, stored_matrix=matrix)


def kraus(target, matrices, channel_name=None):
    op = SimpleNamespace(operation_kind="kraus", target=list(target), kraus_matrices=np.asarray(matrices))
    if channel_name is not None:
        op.channel_name = channel_name
    return op


def channel(name, qubit, p):
    """A built-in channel as the Python package sends it: its name and its Kraus operators."""
    return kraus([qubit], channel_kraus(name, p), name)


def run_density(rho, ops, dtype):
    """The operations applied to a device copy of rho in dtype; the result on the host."""
    n = int(np.log2(rho.shape[0]))
    state = dormeth.DeviceDensityState.from_numpy(n, np.ascontiguousarray(rho, dtype=dtype))
    dormeth.run_density_operations_device(state, n, ops)
    return state.to_numpy()
