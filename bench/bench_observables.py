"""Observables on the device: marginal probabilities and Pauli sums in both modules, against the
bandwidth model (one read of the state per pass, beside a device-to-device copy of the state measured
in the same run) and against copying the state back with to_numpy and computing with NumPy.

velqa: a pass reads the 2^n amplitudes once. dormeth: a probability pass reads the 2^n diagonal
elements and a Pauli pass the 2^n elements rho[r][r ^ x_mask] (the first pass the diagonal too),
one element per row of the 4^n matrix; the model counts those elements' bytes. The Ising energy is
sum_q ZZ on neighbours (one diagonal pass) plus a field X on every qubit (one pass per qubit).

    python bench/bench_observables.py [--n 22] [--density-n 11] [--repeats 3]

Defaults: n = 22 and density n = 11 on the host device, 26 and 13 on a GPU; both precisions.
"""
import argparse

import numpy as np

from common import ELEMENT_BYTES, ON_GPU, best_time, copy_bandwidth, header, report

import dormeth
import velqa

NUMPY_REPEATS = 1 if ON_GPU else 2


def ising(n, field=0.7):
    return [(-1.0, "ZZ", [q, q + 1]) for q in range(n - 1)] + [(-field, "X", [q]) for q in range(n)]


def passes(terms):
    return len({frozenset(q for letter, q in zip(p, qs) if letter in "XY") for _, p, qs in terms})


# ------------------------------------------------------------------ NumPy on a host copy

def numpy_marginal(weights, n, targets):
    """Little-endian outcome probabilities from per-index weights (qubit q is axis n-1-q)."""
    tensor = weights.reshape([2] * n)
    axes = [n - 1 - t for t in targets]
    summed = tensor.sum(axis=tuple(a for a in range(n) if a not in axes))
    kept = sorted(axes)
    p = np.transpose(summed, [kept.index(a) for a in axes[::-1]]).reshape(-1)
    return p / p.sum()


def numpy_pauli_terms(n, terms):
    """(x_mask, z_mask, coefficient * i^y) per term."""
    out = []
    for c, paulis, qubits in terms:
        x = z = y = 0
        for letter, q in zip(paulis, qubits):
            x |= (letter in "XY") << q
            z |= (letter in "YZ") << q
            y += letter == "Y"
        out.append((x, z, c * 1j ** y))
    return out


def parity_sign(index, z):
    bits = index & z
    parity = np.zeros(index.shape, dtype=np.int64)
    while z:
        low = z & -z
        parity ^= (bits & low) != 0
        z &= z - 1
    return 1 - 2 * parity


def numpy_apply_pauli(psi, paulis, qubits):
    """P psi through views of the state: qubit q is the middle axis of a (-1, 2, 2^q) view."""
    out = psi
    for letter, q in zip(paulis, qubits):
        if letter == "I":
            continue
        view = out.reshape(-1, 2, 1 << q)
        out = (view[:, ::-1, :] if letter in "XY" else view).copy()
        if letter == "Z":
            out[:, 1, :] *= -1
        elif letter == "Y":  # Y|0> = i|1>, Y|1> = -i|0>
            out[:, 0, :] *= -1j
            out[:, 1, :] *= 1j
        out = out.reshape(-1)
    return out


def numpy_statevector_energy(psi, n, terms):
    return sum(c * np.vdot(psi, numpy_apply_pauli(psi, p, q)).real for c, p, q in terms) / np.vdot(psi, psi).real


def numpy_density_energy(rho, n, terms):
    index = np.arange(1 << n, dtype=np.int64)
    value = 0.0
    for x, z, w in numpy_pauli_terms(n, terms):
        value += np.real(w * np.sum(rho[index, index ^ x] * parity_sign(index, z)))
    return value / np.trace(rho).real


# ------------------------------------------------------------------ figures

def agree(device, host, dtype):
    """A sanity check of both sides; NumPy sums complex64 states in single precision."""
    if not np.allclose(device, host, rtol=1e-4, atol=1e-3 if dtype == "complex64" else 1e-10):
        print(f"  warning: device and NumPy results differ: {device} against {host}")


def row(label, n, dtype, t, passes_, read_bytes, copy, numpy_time):
    bw = passes_ * read_bytes / t
    report(label, n, dtype, t, passes_ * read_bytes, copy, passes=passes_, numpy_seconds=numpy_time)
    numpy = f"{numpy_time * 1e3:>12.1f} ms {numpy_time / t:>7.1f}x" if numpy_time else f"{'-':>15} {'-':>8}"
    print(f"  {label:<24} {passes_:>6} {t * 1e3:>10.2f} ms {bw / 1e9:>8.2f} GB/s {bw / copy:>7.0%} {numpy}")


def table_header():
    print(f"  {'observable':<24} {'passes':>6} {'time':>13} {'model':>13} {'of copy':>7} "
          f"{'to_numpy+NumPy':>15} {'speedup':>8}")


def bench_statevector(n, repeats, rng):
    header(f"velqa observables, n = {n}")
    targets_small = [n - 1, 0, n // 2]
    targets_large = [int(q) for q in rng.permutation(n)[:16]]
    cases = [
        ("probabilities, k = 3", lambda s: velqa.probabilities_device(s, targets_small), 1,
         lambda a: numpy_marginal(np.abs(a) ** 2, n, targets_small)),
        ("probabilities, k = 16", lambda s: velqa.probabilities_device(s, targets_large), 1,
         lambda a: numpy_marginal(np.abs(a) ** 2, n, targets_large)),
    ]
    for label, terms in (("Z0 Z1", [(1.0, "ZZ", [0, 1])]), (f"X0 Y{n - 1}", [(1.0, "XY", [0, n - 1])]),
                         (f"Ising, {2 * n - 1} terms", ising(n))):
        # NumPy at n = 26 takes seconds per term: the many-term sum is compared on the host device only
        reference = None if ON_GPU and len(terms) > 1 else (lambda a, t=terms: numpy_statevector_energy(a, n, t))
        cases.append((label, lambda s, t=terms: velqa.expectation_pauli_device(s, t), passes(terms), reference))
    for dtype in ("complex64", "complex128"):
        psi = (rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)).astype(dtype)
        state = velqa.DeviceState.from_numpy(n, psi)
        nbytes = ELEMENT_BYTES[dtype] << n
        copy = copy_bandwidth(nbytes)
        print(f"{dtype}: state {nbytes / 2**20:.0f} MiB, device-to-device copy {copy / 1e9:.2f} GB/s")
        table_header()
        for label, call, p, reference in cases:
            t = best_time(lambda: call(state), repeats)
            numpy_time = None
            if reference is not None:
                agree(call(state), reference(state.to_numpy()), dtype)
                numpy_time = best_time(lambda: reference(state.to_numpy()), NUMPY_REPEATS)
            row(label, n, dtype, t, p, nbytes, copy, numpy_time)


def bench_density(n, repeats, rng):
    header(f"dormeth observables, n = {n} (matrix {1 << n} x {1 << n})")
    targets = [n - 1, 0, n // 2, 1]
    terms = ising(n)
    for dtype in ("complex64", "complex128"):
        a = rng.normal(size=(1 << n, 1 << n)) + 1j * rng.normal(size=(1 << n, 1 << n))
        rho = ((a + a.conj().T) / 2 + (1 << n) * np.eye(1 << n)).astype(dtype)
        state = dormeth.DeviceDensityState.from_numpy(n, rho)
        matrix_bytes = ELEMENT_BYTES[dtype] << (2 * n)
        row_bytes = ELEMENT_BYTES[dtype] << n  # one element per row
        copy = copy_bandwidth(matrix_bytes)
        print(f"{dtype}: matrix {matrix_bytes / 2**20:.0f} MiB, device-to-device copy {copy / 1e9:.2f} GB/s; "
              f"a pass reads {row_bytes / 2**10:.0f} KiB, one element per row")
        table_header()
        cases = [
            ("probabilities, k = 4", lambda: dormeth.probabilities_device(state, targets), 1,
             lambda m: numpy_marginal(np.diag(m).real.astype(np.float64), n, targets)),
            (f"Ising, {2 * n - 1} terms", lambda: dormeth.expectation_pauli_device(state, terms), passes(terms),
             lambda m: numpy_density_energy(m, n, terms)),
        ]
        for label, call, p, reference in cases:
            agree(call(), reference(state.to_numpy()), dtype)
            t = best_time(call, repeats)
            numpy_time = best_time(lambda: reference(state.to_numpy()), NUMPY_REPEATS)
            row(label, n, dtype, t, p, row_bytes, copy, numpy_time)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=26 if ON_GPU else 22)
    parser.add_argument("--density-n", type=int, default=13 if ON_GPU else 11)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    bench_statevector(args.n, args.repeats, rng)
    bench_density(args.density_n, args.repeats, rng)


if __name__ == "__main__":
    main()
