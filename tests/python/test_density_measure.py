"""Density measurement: the outcome against an independent model of the draw, the collapse against
the reference projection, the outcome rule shared with velqa, every message, and scratch memory."""
import numpy as np
import pytest

import dormeth
import reference as ref
import velqa
from conftest import assert_close
from density_reference import random_density

State = dormeth.DeviceDensityState


def model_outcome(probabilities, seed):
    """The draw, written from its definition: first MT19937-64 output, the double just above the
    total as bound, the first outcome whose running sum reaches r."""
    total = float(np.sum(probabilities))
    x = next(ref.mt19937_64(seed))
    r = (x >> 11) * 2.0 ** -53 * np.nextafter(total, np.inf)
    running = 0.0
    for i, q in enumerate(probabilities):
        running += q
        if q > 0 and running >= r:
            return i
    return max(i for i, q in enumerate(probabilities) if q > 0)


def outcome_probabilities(rho, n, targets, endian):
    k = len(targets)
    probs = np.zeros(1 << k)
    for x in range(1 << n):
        bits = [(x >> t) & 1 for t in targets]
        o = sum(b << (j if endian == "little" else k - 1 - j) for j, b in enumerate(bits))
        probs[o] += rho[x, x].real
    return probs


def projection(rho, n, targets, endian, outcome):
    k = len(targets)
    keep = np.zeros(1 << n, dtype=bool)
    for x in range(1 << n):
        o = sum(((x >> t) & 1) << (j if endian == "little" else k - 1 - j) for j, t in enumerate(targets))
        keep[x] = o == outcome
    out = np.where(np.outer(keep, keep), rho, 0)
    return out / np.trace(out).real


@pytest.mark.parametrize("endian", ["little", "big"])
def test_outcome_and_collapse_match_the_models(dtype, endian, no_leaks):
    rng = np.random.default_rng(21)
    n = 4
    for trial in range(12):
        rho = random_density(n, rng)
        targets = [int(t) for t in rng.permutation(n)[: 1 + trial % 3]]
        seed = int(rng.integers(0, 2**63))
        state = State.from_numpy(n, rho.astype(dtype))
        got = dormeth.measure_device(state, targets, endian, seed)
        probs = outcome_probabilities(rho.astype(dtype).astype(complex), n, targets, endian)
        o = model_outcome(probs, seed)
        assert got == format(o, f"0{len(targets)}b")
        after = state.to_numpy()
        tol = 1e-5 if dtype == "complex64" else 1e-12
        assert_close(after, projection(rho, n, targets, endian, o), dtype)
        assert abs(np.trace(after) - 1) < tol


def test_probabilities_summed_per_block_and_directly_give_the_model_outcomes(hd, dtype):
    """Up to 10 targets each block sums the diagonal per outcome in shared memory (at most 1024
    blocks striding over it); with 11 every element adds to its outcome directly. Either way the
    outcome for each seed is the model's, drawn from sums in index order."""
    n = 11
    rng = np.random.default_rng(31)
    diagonal = rng.uniform(size=1 << n)
    rho = np.diag(diagonal / diagonal.sum()).astype(dtype)
    for k, per_block in ((10, "true"), (11, "false")):
        for seed in (3, 4):
            targets = [int(q) for q in rng.permutation(n)[:k]]
            state = State.from_numpy(n, rho)
            hd.clear_launches()
            got = dormeth.measure_device(state, targets, "big", seed)
            o = model_outcome(outcome_probabilities(rho.astype(complex), n, targets, "big"), seed)
            assert got == format(o, f"0{k}b")
            (probs,) = [l for l in hd.launches() if "probs" in l["kernel"]]
            kind = "float" if dtype == "complex64" else "double"
            assert f"density_measure_probs_kernel<{kind}, {per_block}>" in probs["kernel"]
            assert probs["grid"] == (8, 1, 1)  # 2048 diagonal elements, under either cap


def test_fixed_seeds_reproduce_and_collapse_to_a_basis_state():
    outcomes = set()
    for seed in range(40):
        results = []
        for _ in range(2):
            state = State.from_numpy(1, np.eye(2, dtype=np.complex128) / 2)
            results.append((dormeth.measure_device(state, [0], seed=seed), state.to_numpy()))
        assert results[0][0] == results[1][0]
        np.testing.assert_array_equal(results[0][1], results[1][1])
        o = int(results[0][0])
        expected = np.zeros((2, 2))
        expected[o, o] = 1
        np.testing.assert_array_equal(results[0][1], expected)
        outcomes.add(o)
    assert outcomes == {0, 1}
    assert dormeth.measure_device(State.zero_state(1), [0], seed=0) == "0"  # seed 0 is a seed


def test_basis_states_measure_as_they_are(dtype):
    rho = np.zeros((2, 2), dtype=dtype)
    rho[1, 1] = 1
    state = State.from_numpy(1, rho)
    assert dormeth.measure_device(state, [0]) == "1"
    np.testing.assert_array_equal(state.to_numpy(), rho)
    rho = np.zeros((4, 4), dtype=dtype)
    rho[3, 3] = 1
    for endian in ("little", "big"):
        state = State.from_numpy(2, rho)
        assert dormeth.measure_device(state, [0, 1], endian) == "11"
        np.testing.assert_array_equal(state.to_numpy(), rho)


def test_trace_two_is_renormalised():
    rho = np.zeros((2, 2), dtype=np.complex128)
    rho[0, 0] = 2
    state = State.from_numpy(1, rho)
    assert dormeth.measure_device(state, [0], seed=9) == "0"
    np.testing.assert_array_equal(state.to_numpy(), np.diag([1, 0]))


# The only non-zero diagonal elements are tiny: 1/p overflows double for the first complex128 one.
TINY = {"complex64": [1e-40, 2.0**-148, 1e-30], "complex128": [1e-310, 2.0**-1073, 1e-300]}


@pytest.mark.parametrize("which", range(3))
@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_collapse_onto_a_tiny_probability_is_finite_with_trace_one(dtype, which, no_leaks):
    t = TINY[dtype][which]
    rho = np.zeros((4, 4), dtype=dtype)
    rho[1, 1] = rho[3, 3] = t
    rho[1, 3], rho[3, 1] = 0.5j * t, -0.5j * t
    state = dormeth.DeviceDensityState.from_numpy(2, rho)
    assert dormeth.measure_device(state, [0], seed=1) == "1"
    out = state.to_numpy()
    assert np.all(np.isfinite(out))
    exact = rho.astype(complex) * 2.0**600  # the elements as stored, renormalised in double
    expected = exact / np.trace(exact).real
    np.testing.assert_allclose(out, expected, rtol=0, atol=1e-6 if dtype == "complex64" else 1e-12)


@pytest.mark.parametrize("endian", ["little", "big"])
def test_both_modules_read_a_basis_state_the_same_way(endian):
    n, index = 5, 0b10110
    psi = np.zeros(1 << n, dtype=np.complex128)
    psi[index] = 1
    rho = np.outer(psi, psi.conj())
    for targets in ([0], [1, 2], [4, 0, 2], [3, 1, 4, 0]):
        a = velqa.measure_device(velqa.DeviceState.from_numpy(n, psi), targets, endian, seed=1)
        b = dormeth.measure_device(State.from_numpy(n, rho), targets, endian, seed=1)
        assert a == b
        bits = [str((index >> t) & 1) for t in targets]
        assert a == "".join(bits if endian == "big" else bits[::-1])


@pytest.mark.parametrize("n, targets, endian, message", [
    (0, [0], "little", "num_qubits must be in [1, 15]"),
    (0, [], "little", "num_qubits must be in [1, 15]"),
    (2, [], "little", "measure targets must not be empty"),
    (2, [0], "Little", "endian must be 'little' or 'big'"),
    (2, [2], "little", "measure target index out of range"),
    (2, [-1], "little", "measure target index out of range"),
    (2, [1, 1], "little", "duplicate measure target index"),
])
def test_argument_messages(n, targets, endian, message, no_leaks):
    state = State.zero_state(n)
    before = state.to_numpy()
    with pytest.raises(ValueError) as e:
        dormeth.measure_device(state, targets, endian, 1)
    assert str(e.value) == message
    np.testing.assert_array_equal(state.to_numpy(), before)


@pytest.mark.parametrize("bad", [0.0, np.nan, np.inf])
def test_zero_or_invalid_trace_is_refused_and_the_state_kept(dtype, bad, no_leaks):
    rho = np.zeros((4, 4), dtype=dtype)
    rho[1, 1] = bad
    state = State.from_numpy(2, rho)
    with pytest.raises(RuntimeError, match=r"^density matrix has zero or invalid trace\.$"):
        dormeth.measure_device(state, [0], seed=3)
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_probability_and_collapse_launches(hd):
    state = State.zero_state(6)
    hd.clear_launches()
    dormeth.measure_device(state, [2, 4], seed=1)
    kernels = [(r["kernel"].split("::")[-1], r["grid"], r["block"]) for r in hd.launches()]
    assert kernels == [("density_measure_probs_kernel<double, true>", (1, 1, 1), (256, 1, 1)),
                       ("density_collapse_check_kernel<double>", (1, 2, 1), (32, 8, 1)),  # the 16 x 16 block kept
                       ("density_measure_collapse_kernel<double>", (2, 8, 1), (32, 8, 1))]


def test_device_failure_frees_the_scratch(no_leaks):
    hd = no_leaks
    state = State.zero_state(3)
    hd.inject_launch_failures(1)
    with pytest.raises(RuntimeError, match="^CUDA error: too many resources requested for launch$"):
        dormeth.measure_device(state, [0, 1], seed=2)
    np.testing.assert_array_equal(state.to_numpy(), np.diag([1, 0, 0, 0, 0, 0, 0, 0]))
