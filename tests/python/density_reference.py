"""Dense NumPy references for the density-matrix module: the density module's names of the gates in
reference.GATES, the built-in channels as Kraus sets, and rho -> sum K rho K^dagger on the full
matrix. The operation objects themselves are built by builders.py.

Conventions as in reference.py: qubit q is bit q of a row and column index; entry 0 of a target
list is the least significant bit of a local matrix index.
"""
import numpy as np

from reference import GATES, embed, random_unitary

# The density module's view of the gate list: its canonical one-target names with (parameter count,
# matrix builder), its aliases, and the SWAP matrix.
NAMED = {g.dormeth[0]: (g.parameters, g.matrix) for key, g in GATES.items() if g.dormeth and key != "swap"}
ALIASES = {alias: g.dormeth[0] for g in GATES.values() for alias in g.dormeth[1:]}
SWAP = GATES["swap"].matrix()


def channel_kraus(name, p):
    """The Kraus set of a built-in channel, the form the Python package sends."""
    i2, (x, y, z) = np.eye(2), (GATES[pauli].matrix() for pauli in "xyz")
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
