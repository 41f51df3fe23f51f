"""Measurement and sampling against an independent model of the draw: outcome probabilities from
the dense state, MT19937-64, running sums and an upper-bound search; collapse against the
reference projection; the bit-order convention; every refusal with its message."""
import numpy as np
import pytest

import reference as ref
import velqa
from conftest import assert_close, random_state, run_python


def outcome_indices(n, targets, endian):
    """Outcome o(i) of every basis index: target j gives bit j ("little") or bit k-1-j ("big")."""
    idx = np.arange(1 << n)
    k = len(targets)
    o = np.zeros(1 << n, dtype=np.int64)
    for j, t in enumerate(targets):
        o |= ((idx >> t) & 1) << (j if endian == "little" else k - 1 - j)
    return o


CTYPE = {"complex64": "float", "complex128": "double"}


def outcome_probabilities(psi, n, targets, endian):
    amp = np.asarray(psi, dtype=np.complex128)
    p = amp.real ** 2 + amp.imag ** 2
    return np.bincount(outcome_indices(n, targets, endian), weights=p, minlength=1 << len(targets))


def model_sample(psi, n, targets, endian, shots, seed):
    """The draw written from its definition: u = (x >> 11) 2^-53, r = total u, first cdf > r."""
    cdf = np.cumsum(outcome_probabilities(psi, n, targets, endian))
    total = cdf[-1]
    gen = ref.mt19937_64(seed)
    k = len(targets)
    counts, last = {}, None
    for _ in range(shots):
        r = total * ((next(gen) >> 11) * 2.0 ** -53)
        o = int(np.searchsorted(cdf, r, side="right"))
        if o == 1 << k:  # r rounded up to total: the last outcome that can occur
            o = int(np.searchsorted(cdf, total, side="left"))
        key = ref.outcome_string(o, k)
        counts[key] = counts.get(key, 0) + 1
        last = key
    return counts, last


def projection(psi, n, targets, endian, outcome):
    """psi projected onto the outcome string and normalised."""
    o = int(outcome, 2)
    out = np.where(outcome_indices(n, targets, endian) == o, np.asarray(psi, dtype=np.complex128), 0)
    return out / np.linalg.norm(out)


@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize("n,targets,shots", [(6, [4, 1, 2], 3000), (8, [7, 0, 3, 5, 2, 6], 40), (5, [3], 1)])
def test_counts_follow_the_draw_model(no_leaks, dtype, endian, n, targets, shots):
    """Dense counting (more shots than outcomes) and hashed counting (fewer) give the model's counts."""
    rng = np.random.default_rng(n + shots)
    psi = random_state(n, dtype, rng)
    state = velqa.DeviceState.from_numpy(n, psi)
    seed = int(rng.integers(0, 2 ** 63)) * 2 + 1  # exercise the full 64-bit seed
    counts, last = velqa.sample_measure_device(state, targets, shots, endian=endian, seed=seed,
                                               collapse_last=False)
    assert (counts, last) == model_sample(psi, n, targets, endian, shots, seed)
    assert sum(counts.values()) == shots
    assert all(len(key) == len(targets) for key in counts)
    np.testing.assert_array_equal(state.to_numpy(), psi)  # collapse_last=False: bit-identical


@pytest.mark.parametrize("endian", ["little", "big"])
def test_probabilities_summed_per_block_directly_and_in_windows_give_the_model_draws(hd, dtype, endian):
    """Up to 10 targets each block sums per outcome in shared memory (one launch, at most 1024 blocks
    striding over the state); above, every amplitude adds to its outcome directly. When 2^k doubles
    exceed the scratch limit (here 15 targets of 15 qubits: 256 KiB against a limit of 64 KiB or
    128 KiB), the outcomes come in windows, one pass each over the amplitudes of that window. Every
    way, the counts of 3000 shots are exactly the model's, which draws from sums in index order."""
    rng = np.random.default_rng(30)
    element = 8 if dtype == "complex64" else 16
    for n, k in ((12, 10), (12, 11), (15, 15)):
        psi = random_state(n, dtype, rng)
        targets = [int(q) for q in rng.permutation(n)[:k]]
        window = min(k, int(np.log2(max((element << n) // 4, 64 << 10) // 8)))
        state = velqa.DeviceState.from_numpy(n, psi)
        # The device holds the state, the targets and one window of probabilities, and no more.
        hd.configure(1, hd.live_bytes(0) + 8 * k + (8 << window))
        hd.clear_launches()
        counts, last = velqa.sample_measure_device(state, targets, 3000, endian=endian, seed=n + k,
                                                   collapse_last=False)
        assert (counts, last) == model_sample(psi, n, targets, endian, 3000, n + k)
        passes = [l for l in hd.launches() if "measure_probs_kernel" in l["kernel"]]
        assert len(passes) == 1 << (k - window)
        per_block = "true" if k <= 10 else "false"
        assert all(f"measure_probs_kernel<{CTYPE[dtype]}, {per_block}>" in l["kernel"] for l in passes)
        count = 1 << (n - k + window)  # amplitudes read per pass
        cap = 1024 if k <= 10 else 65535
        assert all(l["grid"] == (min((count + 255) // 256, cap), 1, 1) for l in passes)
        hd.reset()


def test_fixed_seed_reproduces(dtype):
    rng = np.random.default_rng(1)
    psi = random_state(7, dtype, rng)
    results = [velqa.sample_measure_device(velqa.DeviceState.from_numpy(7, psi), [0, 2, 5], 1000, seed=42)
               for _ in range(2)]
    assert results[0] == results[1]
    assert sum(results[0][0].values()) == 1000


def test_large_shot_frequencies_match_probabilities(dtype):
    rng = np.random.default_rng(2)
    n, targets, shots = 6, [5, 0, 3], 200_000
    psi = random_state(n, dtype, rng)
    state = velqa.DeviceState.from_numpy(n, psi)
    counts, _ = velqa.sample_measure_device(state, targets, shots, seed=7, collapse_last=False)
    p = outcome_probabilities(psi, n, targets, "little")
    freq = np.array([counts.get(ref.outcome_string(o, 3), 0) for o in range(8)]) / shots
    np.testing.assert_allclose(freq, p, atol=5 * np.sqrt(p * (1 - p) / shots).max())


@pytest.mark.parametrize("endian", ["little", "big"])
def test_collapse_is_the_normalised_projection(no_leaks, dtype, endian):
    rng = np.random.default_rng(3)
    n, targets = 7, [6, 1, 3]
    for seed in range(4):
        psi = random_state(n, dtype, rng)
        state = velqa.DeviceState.from_numpy(n, psi)
        counts, last = velqa.sample_measure_device(state, targets, 500, endian=endian, seed=seed)
        assert last in counts and model_sample(psi, n, targets, endian, 500, seed)[1] == last
        out = state.to_numpy()
        assert_close(out, projection(psi, n, targets, endian, last), dtype)
        assert abs(np.linalg.norm(out.astype(np.complex128)) - 1) < 1e-6
        # measuring again on the collapsed state always gives the same outcome
        assert velqa.measure_device(state, targets, endian=endian) == last


def test_measure_collapses_the_callers_array(no_leaks, dtype):
    rng = np.random.default_rng(4)
    psi = random_state(5, dtype, rng)
    array = psi.copy()
    outcome = velqa.measure(5, array, [2, 4])
    assert len(outcome) == 2 and set(outcome) <= {"0", "1"}
    assert_close(array, projection(psi, 5, [2, 4], "little", outcome), dtype)


def test_outcome_bit_order_on_basis_states(dtype):
    # index 6 on 4 qubits: qubit 1 and qubit 2 are 1
    psi = np.zeros(16, dtype=dtype)
    psi[6] = 1
    cases = [([1], "1", "1"), ([1, 3, 0], "001", "100"), ([3, 1, 0, 2], "1010", "0101")]
    for targets, little, big in cases:
        state = velqa.DeviceState.from_numpy(4, psi)
        assert velqa.measure_device(state, targets, endian="little", seed=1) == little
        assert velqa.measure_device(state, targets, endian="big", seed=1) == big
        assert velqa.sample_measure_device(state, targets, 20, endian="big") == ({big: 20}, big)
        np.testing.assert_array_equal(state.to_numpy(), psi)
    # amplitude 1 at index 2 of 2 qubits
    two = np.array([0, 0, 1, 0], dtype=dtype)
    state = velqa.DeviceState.from_numpy(2, two)
    assert velqa.measure_device(state, [1]) == "1"
    assert velqa.measure_device(state, [0, 1]) == "10"
    assert velqa.measure_device(state, [1, 0]) == "01"
    assert velqa.measure(3, np.array([1, 0, 0, 0, 0, 0, 0, 0], dtype=dtype), [2, 0, 1]) == "000"


def test_unnormalised_state_samples_the_same_distribution(no_leaks, dtype):
    rng = np.random.default_rng(5)
    n, targets = 6, [0, 4]
    psi = random_state(n, dtype, rng)
    unit = velqa.DeviceState.from_numpy(n, psi)
    doubled = velqa.DeviceState.from_numpy(n, (2 * psi).astype(dtype))
    a = velqa.sample_measure_device(unit, targets, 2000, seed=99)
    b = velqa.sample_measure_device(doubled, targets, 2000, seed=99)
    assert a == b
    assert_close(doubled.to_numpy(), unit.to_numpy(), dtype)
    assert abs(np.linalg.norm(doubled.to_numpy().astype(np.complex128)) - 1) < 1e-6


# The only non-zero amplitudes are tiny: 1/sqrt(p) does not fit a float for the first two.
TINY = {"complex64": [1e-40, 2.0**-149, 1e-30], "complex128": [1e-150, 1e-153, 1e-20]}


@pytest.mark.parametrize("which", range(3))
def test_collapse_onto_a_tiny_probability_is_finite_with_norm_one(which, no_leaks, dtype):
    a = TINY[dtype][which]
    state = np.zeros(8, dtype=dtype)
    state[5] = a
    state[7] = 1j * a
    device = velqa.DeviceState.from_numpy(3, state)
    assert velqa.measure_device(device, [0], seed=3) == "1"
    assert velqa.sample_measure_device(device, [2], 1, seed=4) == ({"1": 1}, "1")
    out = device.to_numpy()
    assert np.all(np.isfinite(out))
    exact = state.astype(complex) * 2.0**300  # the amplitudes as stored, renormalised in double
    expected = exact / np.linalg.norm(exact)
    assert_close(out, expected, dtype)
    out = state.copy()
    assert velqa.measure(3, out, [2, 0]) == "11"
    assert_close(out, expected, dtype)


@pytest.mark.parametrize("bad", ["zero", "nan", "inf"])
def test_zero_or_invalid_norm_refused_unchanged(no_leaks, dtype, bad):
    psi = random_state(4, dtype, np.random.default_rng(6))
    if bad == "zero":
        psi[:] = 0
    else:
        psi[9] = complex(np.nan if bad == "nan" else np.inf, 0)
    state = velqa.DeviceState.from_numpy(4, psi)
    for call in (lambda: velqa.measure_device(state, [0, 1], seed=1),
                 lambda: velqa.sample_measure_device(state, [3], 10, seed=1)):
        with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm\.$"):
            call()
        np.testing.assert_array_equal(state.to_numpy(), psi)
    array = psi.copy()
    with pytest.raises(RuntimeError, match="zero or invalid norm"):
        velqa.measure(4, array, [2])
    np.testing.assert_array_equal(array, psi)


REFUSALS = [
    # (targets, shots, keyword arguments, exception, message) on a 4-qubit state
    ([], 10, {}, ValueError, "measure targets size must be in [1, 62]"),
    ([0] * 63, 10, {}, ValueError, "measure targets size must be in [1, 62]"),
    ([0], 10, {"endian": "Little"}, ValueError, "endian must be 'little' or 'big'"),
    ([4], 10, {}, ValueError, "measure target index out of range"),
    ([-1], 10, {}, ValueError, "measure target index out of range"),
    ([0, 0], 10, {}, ValueError, "duplicate measure target index"),
    ([1, 1, 7], 10, {}, ValueError, "duplicate measure target index"),
    ([7, 1, 1], 10, {}, ValueError, "measure target index out of range"),
    ([], 0, {}, ValueError, "shots must be positive"),
    ([0], 0, {"endian": "middle"}, ValueError, "endian must be 'little' or 'big'"),
]


@pytest.mark.parametrize("targets,shots,kwargs,error,message", REFUSALS)
def test_sampling_refusals(no_leaks, targets, shots, kwargs, error, message):
    psi = random_state(4, "complex128", np.random.default_rng(7))
    state = velqa.DeviceState.from_numpy(4, psi)
    with pytest.raises(error) as info:
        velqa.sample_measure_device(state, targets, shots, **kwargs)
    assert str(info.value) == message
    if shots:
        with pytest.raises(error) as info:
            velqa.measure_device(state, targets, **kwargs)
        assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), psi)


def test_argument_conversion_refusals():
    psi = random_state(3, "complex64", np.random.default_rng(8))
    state = velqa.DeviceState.from_numpy(3, psi)
    for seed, error in ((1.5, TypeError), ("7", TypeError), (-1, ValueError), (2**64, ValueError)):
        with pytest.raises(error, match="^seed must be"):
            velqa.sample_measure_device(state, [0], 5, seed=seed)
        with pytest.raises(error, match="^seed must be"):
            velqa.measure_device(state, [0], seed=seed)
    with pytest.raises(TypeError):
        velqa.sample_measure_device(state, [0], -5)
    with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
        velqa.measure(0, np.ones(1, dtype=np.complex64), [0])
    with pytest.raises(ValueError, match=r"^state\.size must equal 2\*\*n$"):
        velqa.measure(4, psi, [0])
    np.testing.assert_array_equal(state.to_numpy(), psi)


def test_probability_buffer_allocation_failure_frees_targets(no_leaks, dtype):
    n, targets = 8, [0, 1, 2, 3, 4, 5]
    psi = random_state(n, dtype, np.random.default_rng(9))
    state = velqa.DeviceState.from_numpy(n, psi)
    live = no_leaks.live_bytes(0)
    no_leaks.configure(1, live + 8 * len(targets) + 8 * (1 << len(targets)) - 1)
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        velqa.sample_measure_device(state, targets, 10, seed=1)
    assert no_leaks.live_bytes(0) == live
    np.testing.assert_array_equal(state.to_numpy(), psi)


INTERRUPTED_SAMPLING = """
import os, signal, threading
import numpy as np
import hostdevice, velqa
before = np.array([0.6, 0, 0, 0.8j], dtype=np.complex64)
state = velqa.DeviceState.from_numpy(2, before)
hostdevice.hold_operations(1, 600)  # the call's first device operation waits for Ctrl-C to be pressed

def press_ctrl_c():
    assert hostdevice.wait_for_held_operations(1, 600)
    os.kill(os.getpid(), signal.SIGINT)
    hostdevice.release_held_operations()

threading.Thread(target=press_ctrl_c).start()
try:
    velqa.sample_measure_device(state, [0, 1], 2**40, seed=3)  # about a day of draws
except KeyboardInterrupt:
    print("interrupted, state unchanged:", np.array_equal(state.to_numpy(), before))
"""


def test_ctrl_c_interrupts_a_long_sampling_run_and_leaves_the_state(hd):
    """A fresh interpreter presses Ctrl-C while the call has begun: answered within a poll interval, or
    the run goes on for a day and the timeout fails the test."""
    done = run_python(INTERRUPTED_SAMPLING)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted, state unchanged: True\n", "")

