"""Dense NumPy reference models, built from the gate and channel matrices alone.

Conventions: qubit q is bit q of an index; for a matrix on a target list, entry 0 of the list is
the least significant bit of the local row and column index.
"""
from typing import Callable, NamedTuple

import numpy as np

SQ = 1 / np.sqrt(2)


def rx(t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def ry(t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -s], [s, c]])


def rz(t):
    return np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)])


def phase(t):
    return np.diag([1, np.exp(1j * t)])


def u(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


class Gate(NamedTuple):
    """A named gate: its parameter count, its matrix from the mathematics (a function of the
    parameters), and the names each module accepts for it, its canonical name first (none where the
    module lacks the gate)."""
    parameters: int
    matrix: Callable
    velqa: tuple
    dormeth: tuple


def fixed(m):
    return lambda: np.array(m, dtype=complex)


# The one list of named gates both modules' tests read.
GATES = {
    "x": Gate(0, fixed([[0, 1], [1, 0]]), ("x", "cx", "mcx"), ("x", "cx", "cnot", "mcx")),
    "y": Gate(0, fixed([[0, -1j], [1j, 0]]), ("y", "cy", "mcy"), ("y", "cy", "mcy")),
    "z": Gate(0, fixed([[1, 0], [0, -1]]), ("z", "cz", "mcz"), ("z", "cz", "mcz")),
    "-z": Gate(0, fixed([[-1, 0], [0, 1]]), (), ("-z",)),
    "h": Gate(0, fixed(SQ * np.array([[1, 1], [1, -1]])), ("h", "ch", "mch"), ("h", "ch", "mch")),
    "s": Gate(0, fixed([[1, 0], [0, 1j]]), ("s", "cs", "mcs"), ("s", "cs", "mcs")),
    "s_dag": Gate(0, fixed([[1, 0], [0, -1j]]), ("s_dag",), ("s_dag",)),
    "t": Gate(0, lambda: phase(np.pi / 4), ("t", "ct", "mct"), ("t",)),
    "t_dag": Gate(0, lambda: phase(-np.pi / 4), ("t_dag",), ("t_dag",)),
    "sqrtx": Gate(0, fixed(0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]])), ("sqrtx", "sx"), ("sqrtx",)),
    "sqrtx_dag": Gate(0, fixed(0.5 * np.array([[1 - 1j, 1 + 1j], [1 + 1j, 1 - 1j]])), ("sqrtx_dag", "sxdg"),
                      ("sqrtx_dag",)),
    "sqrty": Gate(0, fixed(0.5 * np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]])), ("sqrty",), ("sqrty",)),
    "sqrty_dag": Gate(0, fixed(0.5 * np.array([[1 - 1j, 1 - 1j], [-1 + 1j, 1 - 1j]])), ("sqrty_dag",),
                      ("sqrty_dag",)),
    "x2p": Gate(0, lambda: rx(np.pi / 2), (), ("x2p",)),
    "x2m": Gate(0, lambda: rx(-np.pi / 2), (), ("x2m",)),
    "y2p": Gate(0, lambda: ry(np.pi / 2), (), ("y2p",)),
    "y2m": Gate(0, lambda: ry(-np.pi / 2), (), ("y2m",)),
    "rx": Gate(1, rx, ("rx", "crx", "mcrx"), ("rx", "crx", "mcrx")),
    "ry": Gate(1, ry, ("ry", "cry", "mcry"), ("ry", "cry", "mcry")),
    "rz": Gate(1, rz, ("rz", "crz", "mcrz"), ("rz", "crz", "mcrz")),
    "phase": Gate(1, phase, ("phase", "p", "cp", "mcp"), ("p", "cp", "mcp")),
    "gp": Gate(1, lambda t: np.exp(1j * t) * np.eye(2), ("gp", "global_phase", "gphase"),
               ("gp", "gphase", "global_phase")),
    "rxy": Gate(2, lambda theta, phi: rz(theta) @ rx(phi) @ rz(-theta), (), ("rxy", "xyarb")),
    "u": Gate(3, u, ("u", "u1", "u2", "u3"), ("u",)),
    "swap": Gate(0, fixed([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]), ("swap",), ("swap",)),
}


def names(module):
    """{name or alias: its gate's entry in GATES} of the names a module ("velqa" or "dormeth") accepts."""
    return {name: key for key, g in GATES.items() for name in getattr(g, module)}


VELQA_NAMES = names("velqa")
DORMETH_NAMES = names("dormeth")

def matrix_of(name, params):
    """The matrix of a statevector gate record (velqa names)."""
    g = GATES[VELQA_NAMES[name]]
    return np.asarray(g.matrix(*params[:g.parameters]), dtype=complex)


def _scatter(local, targets):
    out = 0
    for j, t in enumerate(targets):
        if (local >> j) & 1:
            out |= 1 << t
    return out


def _bases(n, targets, controls, control_state):
    idx = np.arange(1 << n, dtype=np.int64)
    keep = np.ones(idx.shape, dtype=bool)
    for t in targets:
        keep &= (idx >> t) & 1 == 0
    for c, v in zip(controls, control_state):
        keep &= (idx >> c) & 1 == v
    return idx[keep]


def apply_matrix(state, n, matrix, targets, controls=(), control_state=()):
    """state with the (controlled) matrix applied on targets; returns a new array. Trailing axes of
    state (for example the columns of a density matrix) are carried along."""
    matrix = np.asarray(matrix, dtype=complex)
    offsets = np.array([_scatter(c, targets) for c in range(1 << len(targets))], dtype=np.int64)
    bases = _bases(n, targets, controls, control_state)
    out = np.array(state, dtype=complex)
    idx = bases[:, None] | offsets[None, :]
    out[idx] = np.einsum("rc,bc...->br...", matrix, out[idx])
    return out


def apply_global_phase(state, n, phi, controls=(), control_state=()):
    out = np.array(state, dtype=complex)
    idx = _bases(n, [], controls, control_state)
    out[idx] *= np.exp(1j * phi)
    return out


def apply_gate_dict(state, n, gate):
    """Applies one velqa gate dict, by any of its names (T and its adjoint are PHASE with pi/4 and
    -pi/4 appended to the parameters, as velqa rewrites them)."""
    name, params = gate["id"], list(gate["parameter"])
    controls, cstate, targets = gate["control"], gate["control_state"], gate["target"]
    key = VELQA_NAMES.get(name, name)
    if key in ("t", "t_dag"):
        key, params = "phase", params + [np.pi / 4 if key == "t" else -np.pi / 4]
    if key == "gp":
        return apply_global_phase(state, n, params[0], controls, cstate)
    if key == "unitary":
        return apply_matrix(state, n, gate["matrix"], targets, controls, cstate)
    g = GATES[key]
    m = np.asarray(g.matrix(*params[:g.parameters]), dtype=complex)
    return apply_matrix(state, n, m, targets[:2 if key == "swap" else 1], controls, cstate)


def run_reference(state, n, gates):
    for g in gates:
        state = apply_gate_dict(state, n, g)
    return state


def embed(matrix, n, targets, controls=(), control_state=()):
    """The full 2^n x 2^n operator of a (controlled) matrix on targets."""
    dim = 1 << n
    return apply_matrix(np.eye(dim, dtype=complex), n, matrix, targets, controls, control_state)


def apply_kraus(rho, n, operators, targets):
    """rho -> sum_i K_i rho K_i^dagger for operators on targets."""
    out = np.zeros_like(rho, dtype=complex)
    for k in operators:
        full = embed(k, n, targets)
        out += full @ rho @ full.conj().T
    return out


def random_unitary(dim, rng):
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def outcome_string(index, k):
    return format(index, f"0{k}b") if k else ""


def mt19937_64(seed):
    """The 64-bit Mersenne Twister, written from its published definition."""
    w, n, m, r = 64, 312, 156, 31
    a = 0xB5026F5AA96619E9
    u_, d = 29, 0x5555555555555555
    s_, b = 17, 0x71D67FFFEDA60000
    t_, c = 37, 0xFFF7EEE000000000
    l_ = 43
    f = 6364136223846793005
    mask = (1 << w) - 1
    lower = (1 << r) - 1
    upper = ~lower & mask
    mt = [0] * n
    mt[0] = seed & mask
    for i in range(1, n):
        mt[i] = (f * (mt[i - 1] ^ (mt[i - 1] >> (w - 2))) + i) & mask
    index = n
    while True:
        if index >= n:
            for i in range(n):
                x = (mt[i] & upper) | (mt[(i + 1) % n] & lower)
                xa = x >> 1
                if x & 1:
                    xa ^= a
                mt[i] = mt[(i + m) % n] ^ xa
            index = 0
        y = mt[index]
        y ^= (y >> u_) & d
        y ^= (y << s_) & b
        y ^= (y << t_) & c
        y ^= y >> l_
        index += 1
        yield y & mask
