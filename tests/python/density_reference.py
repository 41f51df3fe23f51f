"""Dense NumPy references for the density-matrix module: operation objects as the Python package
builds them, the matrices of the density gate names, the built-in channels as Kraus sets, and
rho -> sum K rho K^dagger on the full matrix.

Conventions as in reference.py: qubit q is bit q of a row and column index; entry 0 of a target
list is the least significant bit of a local matrix index.
"""
from types import SimpleNamespace

import numpy as np

from reference import FIXED, SQ, embed, phase, random_unitary, rx, ry, rz, u

# Canonical one-target names: (parameter count, matrix builder). The names velqa shares come from
# reference.py; the rest are the density module's own.
NAMED = {name: (0, (lambda m: lambda: m)(FIXED[name]))
         for name in ("x", "y", "z", "h", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag")}
NAMED.update({
    "-z": (0, lambda: np.diag([-1, 1])),
    "t": (0, lambda: phase(np.pi / 4)),
    "t_dag": (0, lambda: phase(-np.pi / 4)),
    "x2p": (0, lambda: SQ * np.array([[1, -1j], [-1j, 1]])),
    "x2m": (0, lambda: SQ * np.array([[1, 1j], [1j, 1]])),
    "y2p": (0, lambda: SQ * np.array([[1, -1], [1, 1]])),
    "y2m": (0, lambda: SQ * np.array([[1, 1], [-1, 1]])),
    "rx": (1, rx),
    "ry": (1, ry),
    "rz": (1, rz),
    "p": (1, phase),
    "gp": (1, lambda t: np.exp(1j * t) * np.eye(2)),
    "rxy": (2, lambda theta, phi: rz(theta) @ rx(phi) @ rz(-theta)),
    "u": (3, u),
})
SWAP = FIXED["swap"]

ALIASES = {
    "cx": "x", "cnot": "x", "mcx": "x", "cy": "y", "mcy": "y", "cz": "z", "mcz": "z", "ch": "h",
    "mch": "h", "cs": "s", "mcs": "s", "cp": "p", "mcp": "p", "crx": "rx", "mcrx": "rx", "cry": "ry",
    "mcry": "ry", "crz": "rz", "mcrz": "rz", "gphase": "gp", "global_phase": "gp", "xyarb": "rxy",
}


def channel_kraus(name, p):
    """The Kraus set of a built-in channel, the form the Python package sends."""
    i2, x, y, z = np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
    if name == "bit_flip":
        ops = [np.sqrt(1 - p) * i2, np.sqrt(p) * x]
    elif name == "phase_flip":
        ops = [np.sqrt(1 - p) * i2, np.sqrt(p) * z]
    elif name == "depolarizing":
        ops = [np.sqrt(1 - 3 * p / 4) * i2] + [np.sqrt(p / 4) * m for m in (x, y, z)]
    elif name == "amplitude_damping":
        ops = [np.diag([1, np.sqrt(1 - p)]), np.array([[0, np.sqrt(p)], [0, 0]])]
    elif name == "phase_damping":
        ops = [np.sqrt(1 - p) * i2, np.sqrt(p) * np.diag([1, 0]), np.sqrt(p) * np.diag([0, 1])]
    else:
        raise KeyError(name)
    return np.array(ops, dtype=complex)


CHANNELS = ["bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping"]


# ------------------------------------------------------------------ operation objects

def gate(id, target, control=(), control_state=(), parameter=None, matrix=None):
    return SimpleNamespace(id=id, target=list(target), control=list(control), control_state=list(control_state),
                           parameter=parameter, has_stored_matrix=matrix is not None, stored_matrix=matrix)


def kraus(target, matrices, channel_name=None):
    op = SimpleNamespace(operation_kind="kraus", target=list(target), kraus_matrices=np.asarray(matrices))
    if channel_name is not None:
        op.channel_name = channel_name
    return op


def channel(name, qubit, p):
    return kraus([qubit], channel_kraus(name, p), name)


# ------------------------------------------------------------------ the reference model

def gate_matrix(op):
    """The matrix of a gate object on its targets (local index convention above)."""
    if op.has_stored_matrix:
        return np.asarray(op.stored_matrix, dtype=complex)
    name = ALIASES.get(op.id, op.id)
    if name == "swap":
        return SWAP.astype(complex)
    count, build = NAMED[name]
    return np.asarray(build(*list(op.parameter or [])[:count]), dtype=complex)


def apply_operation(rho, n, op):
    if getattr(op, "operation_kind", None) == "kraus":
        out = np.zeros_like(rho)
        for k in np.asarray(op.kraus_matrices, dtype=complex):
            full = embed(k, n, op.target)
            out += full @ rho @ full.conj().T
        return out
    full = embed(gate_matrix(op), n, op.target, op.control, op.control_state)
    return full @ rho @ full.conj().T


def apply_all(rho, n, ops):
    rho = np.array(rho, dtype=complex)
    for op in ops:
        rho = apply_operation(rho, n, op)
    return rho


def random_density(n, rng, rank=None):
    dim = 1 << n
    a = rng.normal(size=(dim, rank or dim)) + 1j * rng.normal(size=(dim, rank or dim))
    rho = a @ a.conj().T
    return rho / np.trace(rho).real


def random_kraus_set(k, count, rng):
    """count operators on k qubits with sum K^dagger K = I (columns of a random isometry)."""
    d = 1 << k
    v = random_unitary(d * count, rng)[:, :d]
    return v.reshape(count, d, d)
