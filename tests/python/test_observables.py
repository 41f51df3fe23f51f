"""Observables read on the device in both modules: marginal probabilities and Pauli sums against dense
NumPy models (tensor marginals, Pauli strings applied qubit by qubit, Kronecker products), the state
left bit-identical, one pass per X/Y pattern, every refusal before any device work, scratch memory
on every path, and the GIL."""
import numpy as np
import pytest

import dormeth
import velqa
from conftest import random_state
from density_reference import random_density

MODULES = {"velqa": velqa, "dormeth": dormeth}
PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1.0, -1.0])}


# ------------------------------------------------------------------ dense models

def marginal(weights, n, targets, endian):
    """Outcome probabilities from per-index weights through the tensor view: qubit q is axis n-1-q.
    Axes in target order flatten to the "big" index, in reverse order to the "little" one."""
    tensor = np.asarray(weights, dtype=np.float64).reshape([2] * n)
    axes = [n - 1 - t for t in targets]
    rest = tuple(a for a in range(n) if a not in axes)
    kept = sorted(axes)
    summed = tensor.sum(axis=rest) if rest else tensor
    order = [kept.index(a) for a in (axes if endian == "big" else axes[::-1])]
    p = np.transpose(summed, order).reshape(-1) if targets else np.array([summed.sum()])
    return p / p.sum()


def apply_pauli_string(psi, n, paulis, qubits):
    """P psi, applying each letter to its qubit's axis."""
    tensor = np.asarray(psi, dtype=np.complex128).reshape([2] * n)
    for letter, q in zip(paulis, qubits):
        tensor = np.moveaxis(np.tensordot(PAULI[letter], tensor, axes=([1], [n - 1 - q])), 0, n - 1 - q)
    return tensor.reshape(-1)


def statevector_energy(psi, n, terms):
    psi = np.asarray(psi, dtype=np.complex128)
    norm = np.vdot(psi, psi).real
    return sum(c * np.vdot(psi, apply_pauli_string(psi, n, p, q)).real for c, p, q in terms) / norm


def pauli_matrix(n, paulis, qubits):
    letters = ["I"] * n
    for letter, q in zip(paulis, qubits):
        letters[q] = letter
    out = np.eye(1)
    for q in reversed(range(n)):  # qubit 0 is the least significant bit: the last factor
        out = np.kron(out, PAULI[letters[q]])
    return out


def density_energy(rho, n, terms):
    rho = np.asarray(rho, dtype=np.complex128)
    trace = np.trace(rho).real
    return sum(c * np.trace(rho @ pauli_matrix(n, p, q)).real for c, p, q in terms) / trace


def random_terms(n, rng, count):
    """A Pauli sum with identities, repeated X/Y patterns, all-Z terms and shuffled qubit lists."""
    terms = []
    for t in range(count):
        kind = t % 5
        k = int(rng.integers(0, n + 1))
        qubits = [int(q) for q in rng.permutation(n)[:k]]
        if kind == 0:
            letters = "I" * k
        elif kind == 1:
            letters = "".join(rng.choice(list("IZ"), size=k))
        elif kind == 2 and terms:  # the X/Y pattern of an earlier term with other Z/I letters
            c0, p0, q0 = terms[int(rng.integers(len(terms)))]
            letters, qubits = "", []
            for letter, q in zip(p0, q0):
                if letter in "XY":
                    letters, qubits = letters + str(rng.choice(list("XY"))), qubits + [q]
                elif rng.random() < 0.5:
                    letters, qubits = letters + str(rng.choice(list("IZ"))), qubits + [q]
        else:
            letters = "".join(rng.choice(list("IXYZ"), size=k))
        terms.append((float(rng.normal()), letters, qubits))
    return terms


def unnormalised_state(n, dtype, rng):
    return (random_state(n, dtype, rng) * rng.uniform(0.3, 3.0)).astype(dtype)


def unnormalised_density(n, dtype, rng):
    return (random_density(n, rng) * rng.uniform(0.3, 3.0)).astype(dtype)


# ------------------------------------------------------------------ against the models

# The two kinds of state: its class, the largest n tried, a random unnormalised state, the weight of
# each index (the diagonal of its density matrix) and the dense model of a Pauli sum.
KINDS = {
    "velqa": (velqa.DeviceState, 10, unnormalised_state, lambda psi: np.abs(psi.astype(np.complex128)) ** 2,
              statevector_energy),
    "dormeth": (dormeth.DeviceDensityState, 7, unnormalised_density,
                lambda rho: np.diag(rho).real.astype(np.float64), density_energy),
}


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("endian", ["little", "big"])
def test_probabilities_match_the_dense_marginals(no_leaks, dtype, endian, name):
    state_class, largest, random_host_state, weights, _ = KINDS[name]
    rng = np.random.default_rng(11 if name == "velqa" else 12)
    for n in range(1, largest + 1):
        host = random_host_state(n, dtype, rng)
        state = state_class.from_numpy(n, host)
        for _ in range(3):
            targets = [int(t) for t in rng.permutation(n)[: int(rng.integers(0, n + 1))]]
            got = MODULES[name].probabilities_device(state, targets, endian)
            assert got.dtype == np.float64 and got.shape == (1 << len(targets),)
            expected = marginal(weights(host), n, targets, endian)
            np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-15)
        np.testing.assert_array_equal(state.to_numpy(), host)


@pytest.mark.parametrize("name", MODULES)
def test_pauli_sums_match_the_dense_model(no_leaks, dtype, name):
    state_class, largest, random_host_state, _, energy = KINDS[name]
    rng = np.random.default_rng(13 if name == "velqa" else 14)
    for n in range(1, largest + 1):
        host = random_host_state(n, dtype, rng)
        state = state_class.from_numpy(n, host)
        for count in (1, 7, 20):
            terms = random_terms(n, rng, count)
            got = MODULES[name].expectation_pauli_device(state, terms)
            assert isinstance(got, float)
            scale = sum(abs(c) for c, _, _ in terms)
            assert abs(got - energy(host, n, terms)) <= 1e-12 * scale
        np.testing.assert_array_equal(state.to_numpy(), host)


def test_non_hermitian_matrix_reads_the_real_part_of_the_trace(no_leaks):
    """Re Tr(rho P) / Re Tr(rho) on any matrix, not only on Hermitian ones."""
    rng = np.random.default_rng(15)
    n = 3
    rho = rng.normal(size=(8, 8)) + 1j * rng.normal(size=(8, 8)) + 4 * np.eye(8)
    state = dormeth.DeviceDensityState.from_numpy(n, rho)
    terms = [(0.7, "XY", [0, 2]), (-1.3, "YZX", [1, 0, 2]), (0.4, "Z", [1]), (2.0, "Y", [2])]
    assert abs(dormeth.expectation_pauli_device(state, terms) - density_energy(rho, n, terms)) < 1e-12


def test_both_modules_agree_on_a_pure_state(dtype):
    rng = np.random.default_rng(16)
    n = 5
    psi = random_state(n, "complex128", rng)
    rho = np.outer(psi, psi.conj())
    terms = random_terms(n, rng, 12)
    a = velqa.expectation_pauli_device(velqa.DeviceState.from_numpy(n, psi.astype(dtype)), terms)
    b = dormeth.expectation_pauli_device(dormeth.DeviceDensityState.from_numpy(n, rho.astype(dtype)), terms)
    assert abs(a - b) < (1e-5 if dtype == "complex64" else 1e-12)
    for endian in ("little", "big"):
        pa = velqa.probabilities_device(velqa.DeviceState.from_numpy(n, psi), [3, 0, 4], endian)
        pb = dormeth.probabilities_device(dormeth.DeviceDensityState.from_numpy(n, rho), [3, 0, 4], endian)
        np.testing.assert_allclose(pa, pb, atol=1e-12)


def test_exact_values():
    """Values a reference could share a mistake with: basis states, Bell states, Y phases."""
    n = 2
    zero = velqa.DeviceState.zero_state(n)
    assert velqa.expectation_pauli_device(zero, [(1.0, "Z", [0]), (2.0, "ZZ", [0, 1]), (-0.5, "", [])]) == 2.5
    assert velqa.expectation_pauli_device(zero, [(1.0, "X", [1]), (1.0, "Y", [0])]) == 0.0
    assert velqa.expectation_pauli_device(zero, []) == 0.0
    bell = np.array([1, 0, 0, 1j], dtype=np.complex128) * 3  # (|00> + i|11>), norm 18
    state = velqa.DeviceState.from_numpy(n, bell)
    for paulis, value in (("XX", 0.0), ("XY", 1.0), ("YX", 1.0), ("YY", 0.0), ("ZZ", 1.0), ("XI", 0.0)):
        assert velqa.expectation_pauli_device(state, [(1.0, paulis, [0, 1])]) == pytest.approx(value, abs=1e-15)
    rho = dormeth.DeviceDensityState.from_numpy(n, np.outer(bell, bell.conj()))
    assert dormeth.expectation_pauli_device(rho, [(1.0, "XY", [1, 0]), (0.5, "ZZ", [0, 1])]) == pytest.approx(1.5)
    np.testing.assert_array_equal(velqa.probabilities_device(state, [1, 0]), [0.5, 0, 0, 0.5])
    np.testing.assert_array_equal(dormeth.probabilities_device(rho, [0]), [0.5, 0.5])
    for module, s in ((velqa, state), (dormeth, rho)):  # total 18: still one outcome of probability 1
        np.testing.assert_array_equal(module.probabilities_device(s, []), [1.0])
        np.testing.assert_array_equal(module.probabilities_device(s, [], "big"), [1.0])


def test_outcome_order_on_a_basis_state():
    """Index 6 of 4 qubits (qubits 1 and 2 set): the outcome with probability 1 follows the rule."""
    psi = np.zeros(16, dtype=np.complex64)
    psi[6] = 2
    rho = np.outer(psi, psi.conj())
    for targets, little, big in (([1], 1, 1), ([1, 3, 0], 0b001, 0b100), ([3, 1, 0, 2], 0b1010, 0b0101)):
        for module, state in ((velqa, velqa.DeviceState.from_numpy(4, psi)),
                              (dormeth, dormeth.DeviceDensityState.from_numpy(4, rho))):
            for endian, o in (("little", little), ("big", big)):
                expected = np.zeros(1 << len(targets))
                expected[o] = 1
                np.testing.assert_array_equal(module.probabilities_device(state, targets, endian), expected)


def test_zero_qubit_density_matrix():
    state = dormeth.DeviceDensityState.from_numpy(0, np.array([[2.5 + 1j]]))
    np.testing.assert_array_equal(dormeth.probabilities_device(state, []), [1.0])
    assert dormeth.expectation_pauli_device(state, [(3.0, "", []), (-1.0, "", ())]) == 2.0
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[1, 15\]$"):
        dormeth.probabilities_device(state, [0])
    with pytest.raises(ValueError, match=r"^Pauli term 0: qubit 0 is out of range for 0 qubits$"):
        dormeth.expectation_pauli_device(state, [(1.0, "Z", [0])])


@pytest.mark.parametrize("name", MODULES)
def test_the_states_device_is_selected(no_leaks, name):
    hd = no_leaks
    hd.configure(2)
    rng = np.random.default_rng(22)
    n = 5
    if name == "velqa":
        data = random_state(n, "complex128", rng)
        state = velqa.DeviceState.from_numpy(n, data, device="cuda:1")
        velqa.DeviceState.zero_state(1, device="cuda:0")  # the thread's current device is 0 again
        energy = statevector_energy
        weights = np.abs(data) ** 2
    else:
        data = random_density(n, rng)
        state = dormeth.DeviceDensityState.from_numpy(n, data, device="cuda:1")
        dormeth.DeviceDensityState.zero_state(1, device="cuda:0")
        energy = density_energy
        weights = np.diag(data).real
    terms = [(0.5, "XZ", [1, 3]), (1.5, "Y", [4]), (-1.0, "ZZ", [0, 2])]
    hd.clear_launches()
    assert abs(MODULES[name].expectation_pauli_device(state, terms) - energy(data, n, terms)) < 1e-12
    np.testing.assert_allclose(MODULES[name].probabilities_device(state, [4, 1]), marginal(weights, n, [4, 1], "little"),
                               atol=1e-14)
    launches = hd.launches()
    assert len(launches) == 4 and all(r["device"] == 1 for r in launches)
    del state


# ------------------------------------------------------------------ passes and reproducibility

def pauli_launches(hd):
    return [r for r in hd.launches() if "pauli" in r["kernel"]]


@pytest.mark.parametrize("name", MODULES)
def test_one_pass_per_pattern(hd, name):
    module = MODULES[name]
    n = 12 if module is velqa else 6
    state = velqa.DeviceState.zero_state(n) if module is velqa else dormeth.DeviceDensityState.zero_state(n)
    terms = [(1.0, "ZZ", [0, 1]), (0.5, "XX", [2, 3]), (0.2, "YY", [3, 2]), (0.1, "Z", [4]), (0.3, "I", [5]),
             (0.4, "XYZ", [2, 3, 5]), (0.6, "X", [1])]  # patterns: {}, {2, 3}, {1}
    hd.clear_launches()
    module.expectation_pauli_device(state, terms)
    launches = pauli_launches(hd)
    assert len(launches) == 3
    assert all(r["block"] == (256, 1, 1) and r["grid"][0] <= 1024 for r in launches)
    hd.clear_launches()
    module.probabilities_device(state, [0, 2])
    assert len(hd.launches()) == 1
    hd.clear_launches()
    module.expectation_pauli_device(state, [])
    assert hd.launches() == []


@pytest.mark.parametrize("name", MODULES)
def test_results_are_reproducible(name, dtype):
    """Block sums added in a fixed order: the same state gives the same bits every time."""
    module = MODULES[name]
    rng = np.random.default_rng(18)
    if module is velqa:
        n = 16
        state = velqa.DeviceState.from_numpy(n, random_state(n, dtype, rng))
    else:
        n = 7
        state = dormeth.DeviceDensityState.from_numpy(n, random_density(n, rng).astype(dtype))
    terms = random_terms(n, rng, 20)
    first = module.expectation_pauli_device(state, terms)
    assert all(module.expectation_pauli_device(state, terms) == first for _ in range(3))


# ------------------------------------------------------------------ refusals

def small_state(name, n=4):
    rng = np.random.default_rng(19)
    if name == "velqa":
        psi = random_state(n, "complex128", rng)
        return velqa.DeviceState.from_numpy(n, psi), psi
    rho = random_density(n, rng)
    return dormeth.DeviceDensityState.from_numpy(n, rho), rho


@pytest.fixture
def no_device(no_leaks):
    """No device work can succeed: no device to select, nothing to allocate or launch. A refusal that
    came after any of it would surface as a CUDA error instead of its own message."""
    hd = no_leaks

    def refuse(call, error, message):
        launches, syncs, capacity = hd.launch_count(), hd.synchronize_count(), hd.capacity(0)
        hd.configure(0, 0)
        try:
            with pytest.raises(error) as info:
                call()
        finally:
            hd.configure(1, capacity)
        assert hd.launch_count() == launches and hd.synchronize_count() == syncs
        if message is not None:
            assert str(info.value) == message
        return info.value

    return refuse


PROBABILITY_REFUSALS = [
    # (targets, endian, message) on a 4-qubit state; the same messages as measure_device's
    ([0], "Little", "endian must be 'little' or 'big'"),
    ([], "middle", "endian must be 'little' or 'big'"),
    ([4], "little", "measure target index out of range"),
    ([-1], "big", "measure target index out of range"),
    ([0, 0], "little", "duplicate measure target index"),
    ([1, 1, 7], "little", "duplicate measure target index"),
    ([7, 1, 1], "little", "measure target index out of range"),
    (list(range(31)), "little", "probability targets size must be at most 30"),
    ([0] * 63, "little", "probability targets size must be at most 30"),
    (list(range(31)), "middle", "probability targets size must be at most 30"),  # the size comes first
]


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("targets,endian,message", PROBABILITY_REFUSALS)
def test_probability_refusals(no_device, name, targets, endian, message):
    state, before = small_state(name)
    no_device(lambda: MODULES[name].probabilities_device(state, targets, endian), ValueError, message)
    if len(targets) <= 30:  # measure_device refuses the same list with the same words
        with pytest.raises(ValueError) as info:
            MODULES[name].measure_device(state, targets, endian, 1)
        assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), before)


TERM_REFUSALS = [
    # (terms, message) on a 4-qubit state
    ([(1.0, "Z", [0]), (1.0, "A", [1])], "Pauli term 1: paulis must contain only the letters I, X, Y and Z"),
    ([(1.0, "x", [1])], "Pauli term 0: paulis must contain only the letters I, X, Y and Z"),
    ([(1.0, "Xé", [1, 2])], "Pauli term 0: paulis must contain only the letters I, X, Y and Z"),
    ([(1.0, "XZ", [1])], "Pauli term 0: paulis and qubits must have the same length"),
    ([(1.0, "", [1])], "Pauli term 0: paulis and qubits must have the same length"),
    ([(1.0, "I", [0]), (0.0, "X", [0]), (2.0, "ZZ", [3, 4])], "Pauli term 2: qubit 4 is out of range for 4 qubits"),
    ([(1.0, "Z", [-1])], "Pauli term 0: qubit -1 is out of range for 4 qubits"),
    ([(1.0, "I", [0]), (1.0, "Z", [2**63])], "Pauli term 1: qubit 9223372036854775808 is out of range for 4 qubits"),
    ([(1.0, "Z", [-2**63 - 1])], "Pauli term 0: qubit -9223372036854775809 is out of range for 4 qubits"),
    ([(1.0, "XZY", [2, 0, 2])], "Pauli term 0: qubit 2 is repeated"),
    ([(1.0, "II", [3, 3])], "Pauli term 0: qubit 3 is repeated"),
    ([(1.0, "X", [0]), (float("nan"), "X", [1])], "Pauli term 1: coefficient must be finite"),
    ([(float("-inf"), "", [])], "Pauli term 0: coefficient must be finite"),
    ([(1.0, "Z", [0]), (1.0, "Z")], "Pauli term 1 must be a (coefficient, paulis, qubits) triple"),
    ([(1.0, "Z", [0], 2)], "Pauli term 0 must be a (coefficient, paulis, qubits) triple"),
    (["XY"], "Pauli term 0 must be a (coefficient, paulis, qubits) triple"),
]


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("terms,message", TERM_REFUSALS)
def test_pauli_term_refusals(no_device, name, terms, message):
    state, before = small_state(name)
    no_device(lambda: MODULES[name].expectation_pauli_device(state, terms), ValueError, message)
    np.testing.assert_array_equal(state.to_numpy(), before)


class Failing:
    def __float__(self):
        raise ZeroDivisionError("coefficient failed")

    def __index__(self):
        raise KeyError("qubit failed")


class FailingIterable:
    def __iter__(self):
        raise LookupError("iteration failed")


@pytest.mark.parametrize("name", MODULES)
def test_python_errors_while_reading_terms_pass_through(no_device, name):
    state, before = small_state(name)
    call = MODULES[name].expectation_pauli_device
    cases = [
        (lambda: call(state, [(Failing(), "Z", [0])]), ZeroDivisionError, "coefficient failed"),
        (lambda: call(state, [(1.0, "Z", [Failing()])]), KeyError, "'qubit failed'"),
        (lambda: call(state, FailingIterable()), LookupError, "iteration failed"),
        (lambda: call(state, [(1.0, "Z", FailingIterable())]), LookupError, "iteration failed"),
        (lambda: call(state, [FailingIterable()]), LookupError, "iteration failed"),
        (lambda: call(state, [(1.0, "Z", [1.0])]), TypeError, None),
        (lambda: call(state, [(1j, "Z", [0])]), TypeError, None),
        (lambda: call(state, [("1.0", "Z", [0])]), TypeError, None),
        (lambda: call(state, 5), TypeError, None),
        (lambda: call(state, [(1.0, b"Z", [0])]), TypeError, "Pauli term 0: paulis must be a str"),
        (lambda: call(state, [(1.0, None, [0])]), TypeError, "Pauli term 0: paulis must be a str"),
    ]
    for run, error, message in cases:
        no_device(run, error, message)
    np.testing.assert_array_equal(state.to_numpy(), before)


@pytest.mark.parametrize("name", MODULES)
def test_none_state_is_refused(no_device, name):
    module = MODULES[name]
    no_device(lambda: module.probabilities_device(None, [0]), TypeError, None)
    no_device(lambda: module.expectation_pauli_device(None, [(1.0, "Z", [0])]), TypeError, None)


@pytest.mark.parametrize("name", MODULES)
def test_caller_code_changing_the_terms_meanwhile(name):
    """Conversion reads copies: code run while converting may empty or grow the caller's lists."""
    state, before = small_state(name)
    terms = []

    class Clearing:
        def __float__(self):
            terms.clear()
            return 2.0

    terms += [(Clearing(), "ZX", [0, 1]), (0.5, "Y", [2])]
    got = MODULES[name].expectation_pauli_device(state, terms)
    expected = MODULES[name].expectation_pauli_device(state, [(2.0, "ZX", [0, 1]), (0.5, "Y", [2])])
    assert got == expected and terms == []
    qubits = []

    class Growing:
        def __index__(self):
            qubits.extend(range(100))
            return 3

    qubits[:] = [Growing()]
    got = MODULES[name].expectation_pauli_device(state, ((1.0, "Z", qubits),))
    assert got == MODULES[name].expectation_pauli_device(state, [(1.0, "Z", [3])])
    np.testing.assert_array_equal(state.to_numpy(), before)


@pytest.mark.parametrize("bad", ["zero", "nan", "inf"])
def test_invalid_norm_is_refused_unchanged(no_leaks, dtype, bad):
    psi = random_state(4, dtype, np.random.default_rng(20))
    if bad == "zero":
        psi[:] = 0
    else:
        psi[5] = complex(np.nan if bad == "nan" else np.inf, 0)
    state = velqa.DeviceState.from_numpy(4, psi)
    message = r"^Quantum state has zero or invalid norm\.$"
    for call in (lambda: velqa.probabilities_device(state, [0, 2]), lambda: velqa.probabilities_device(state, []),
                 lambda: velqa.expectation_pauli_device(state, [(1.0, "Z", [1])]),
                 lambda: velqa.expectation_pauli_device(state, [(1.0, "X", [1]), (1.0, "", [])])):
        with pytest.raises(RuntimeError, match=message):
            call()
        np.testing.assert_array_equal(state.to_numpy(), psi)


@pytest.mark.parametrize("bad", [0.0, np.nan, np.inf])
def test_invalid_trace_is_refused_unchanged(no_leaks, dtype, bad):
    rho = np.zeros((4, 4), dtype=dtype)
    rho[2, 2] = bad
    rho[0, 3] = 1  # read by an X pass, never by the trace
    state = dormeth.DeviceDensityState.from_numpy(2, rho)
    message = r"^density matrix has zero or invalid trace\.$"
    for call in (lambda: dormeth.probabilities_device(state, [1]), lambda: dormeth.probabilities_device(state, []),
                 lambda: dormeth.expectation_pauli_device(state, [(1.0, "XX", [0, 1])]),
                 lambda: dormeth.expectation_pauli_device(state, [(1.0, "Z", [0]), (1.0, "XX", [0, 1])])):
        with pytest.raises(RuntimeError, match=message):
            call()
        np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_elements_off_the_diagonal_are_refused_where_they_are_read(no_leaks, dtype, bad):
    """The trace reads only the diagonal; a Pauli pass or a collapse that reads a non-finite element
    refuses it too, with the matrix unchanged. Elements neither reads change nothing."""
    rho = np.diag([0.5, 0.0, 0.5, 0.0]).astype(dtype)
    rho[0, 2] = bad  # read by an X pass on qubit 1 and kept by the collapse onto qubit 0 = 0
    state = dormeth.DeviceDensityState.from_numpy(2, rho)
    refusals = [(lambda: dormeth.expectation_pauli_device(state, [(1.0, "X", [1])]), "expectation value"),
                (lambda: dormeth.expectation_pauli_device(state, [(1.0, "Z", [0]), (1.0, "Y", [1])]), "expectation value"),
                (lambda: dormeth.measure_device(state, [0], seed=1), "collapse")]
    for call, what in refusals:
        with pytest.raises(RuntimeError, match=rf"^density matrix gives a non-finite {what}\.$"):
            call()
        np.testing.assert_array_equal(state.to_numpy(), rho)
    assert dormeth.expectation_pauli_device(state, [(1.0, "X", [0])]) == 0.0
    assert dormeth.measure_device(state, [1], seed=1) == "0"  # the kept block holds no bad element


def test_a_collapse_beyond_the_float_range_is_refused(no_leaks):
    """A matrix that is not positive semidefinite can hold an element that 1/p takes past FLT_MAX."""
    rho = np.diag([0.0, 1e-30, 0.0, 0.0]).astype(np.complex64)  # qubit 0 measures 1 with p = 1e-30
    rho[1, 3] = 1e20  # kept: 1e20 / p is beyond FLT_MAX
    state = dormeth.DeviceDensityState.from_numpy(2, rho)
    with pytest.raises(RuntimeError, match=r"^density matrix gives a non-finite collapse\.$"):
        dormeth.measure_device(state, [0], seed=1)
    np.testing.assert_array_equal(state.to_numpy(), rho)


ZERO, PLUS = np.array([1, 0], dtype=complex), np.array([1, 1], dtype=complex) / np.sqrt(2)
LARGE_COEFFICIENTS = [  # (state, terms, the exact value or OverflowError)
    (ZERO, [(1e308, "Z", [0]), (1e308, "Z", [0])], OverflowError),
    (PLUS, [(1.7e308, "X", [0]), (1.7e308, "X", [0])], OverflowError),
    (PLUS, [(1e308, "Z", [0]), (1e308, "Z", [0])], 0.0),
    (ZERO, [(-1e308, "Z", [0]), (-1e308, "Z", [0]), (1e308, "", []), (1e308, "", [])], 0.0),
    (PLUS, [(1e308, "X", [0]), (-1e308, "X", [0]), (0.25, "X", [0])], 0.25),
    (ZERO, [(1.5e308, "Z", [0]), (1.5e308, "X", [0])], 1.5e308),
]


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("psi,terms,expected", LARGE_COEFFICIENTS)
def test_large_coefficients_give_the_representable_value_or_overflow(no_leaks, name, psi, terms, expected):
    """Never NaN for finite input: the sum is representable, or it is refused."""
    if name == "velqa":
        state = velqa.DeviceState.from_numpy(1, psi)
    else:
        state = dormeth.DeviceDensityState.from_numpy(1, np.outer(psi, psi.conj()))
    call = MODULES[name].expectation_pauli_device
    if expected is OverflowError:
        with pytest.raises(OverflowError, match=r"^Pauli sum expectation value is out of the float range$"):
            call(state, terms)
    else:
        assert call(state, terms) == expected


# ------------------------------------------------------------------ scratch memory and the GIL

@pytest.mark.parametrize("name", MODULES)
def test_launch_failure_frees_the_scratch(no_leaks, name):
    hd = no_leaks
    state, before = small_state(name)
    for call in (lambda: MODULES[name].probabilities_device(state, [2, 0]),
                 lambda: MODULES[name].expectation_pauli_device(state, [(1.0, "Z", [0]), (1.0, "X", [1])])):
        hd.inject_launch_failures(1)
        with pytest.raises(RuntimeError, match="^CUDA error: too many resources requested for launch$"):
            call()
    np.testing.assert_array_equal(state.to_numpy(), before)


@pytest.mark.parametrize("name", MODULES)
def test_allocation_failures_free_what_was_allocated(no_leaks, name):
    """Every capacity short of a call's scratch (targets then probabilities; Pauli weights then block
    sums) fails with the runtime's words and leaves nothing allocated; the exact amount suffices."""
    hd = no_leaks
    state, before = small_state(name)
    live = hd.live_bytes(0)
    probabilities = (lambda: MODULES[name].probabilities_device(state, [3, 1, 0, 2]), 8 * 4 + 8 * 16)
    # two weights of 24 bytes; two passes (two X/Y patterns) of one block, 16 bytes of sums each
    pauli = (lambda: MODULES[name].expectation_pauli_device(state, [(1.0, "Z", [0]), (1.0, "Y", [1])]), 2 * 24 + 2 * 16)
    for call, needed in (probabilities, pauli):
        for extra in range(0, needed + 1, 4):
            hd.configure(1, live + extra)
            if extra < needed:
                with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
                    call()
            else:
                call()
            assert hd.live_bytes(0) == live
    np.testing.assert_array_equal(state.to_numpy(), before)
