"""Quantum trajectories against dormeth's exact density matrix, the independent reference: estimates
within 5 standard errors, counts by a chi-square test, the mean of |psi><psi| entry by entry; a
trajectory's independence from batch size, mode, deduplication and process count; the exact cases
p = 0 and p = 1; the refusals (dormeth's messages, non-trace-preserving sets), every state unchanged."""
import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import dormeth
import velqa
from builders import channel, gate, kraus
from conftest import releases_gil
from density_reference import CHANNELS, random_kraus_set
from reference import random_unitary
from test_density_operations import GATE_CASES, KRAUS_CASES

HERE = os.path.dirname(os.path.abspath(__file__))
TERMS = [(1.0, "Z", [0]), (0.7, "XX", [0, 1]), (-0.4, "YZ", [1, 2]), (0.25, "ZZZ", [0, 1, 2]), (0.6, "X", [2])]


def unitary_mixture(targets, rng):
    """A mixture of two random unitaries with no name: recognised by its values."""
    p = rng.uniform(0.1, 0.9)
    d = 1 << len(targets)
    return kraus(targets, [np.sqrt(p) * random_unitary(d, rng), np.sqrt(1 - p) * random_unitary(d, rng)])


def noisy_circuit(n, seed, layers=3):
    """Gates (named, controlled, SWAP, stored), the five built-in channels, random trace-preserving
    Kraus sets on 1 to 3 targets and an unnamed unitary mixture."""
    rng = np.random.default_rng(seed)
    ops = []
    for layer in range(layers):
        for q in range(n):
            ops.append(gate("ry", [q], parameter=[rng.uniform(0, np.pi)]))
            ops.append(channel(CHANNELS[(q + layer) % 5], q, rng.uniform(0.05, 0.4)))
        ops.append(gate("cx", [(layer + 1) % n], [layer % n], [1]))
        ops.append(gate("swap", [0, n - 1]))
        ops.append(gate("unitary", [1, 2], matrix=random_unitary(4, rng)))
        k = 1 + layer % 3
        ops.append(kraus(list(rng.permutation(n)[:k]), random_kraus_set(k, 2 + layer, rng)))
        ops.append(unitary_mixture([int(rng.integers(n))], rng))
    return ops


def exact_density(n, ops):
    rho = dormeth.DeviceDensityState.zero_state(n)
    dormeth.run_density_operations_device(rho, n, ops)
    return rho


def single_trajectory(n, ops, seed, t, mode=velqa.PairAutoFusion, dtype="complex128"):
    state = velqa.DeviceState.zero_state(n, dtype)
    velqa.run_trajectories_device(state, ops, seed, t, mode)
    return state.to_numpy()


# ------------------------------------------------------------------ against dormeth

@pytest.mark.parametrize("n, seed, dtype", [(3, 1, "complex64"), (5, 2, "complex128")])
def test_estimates_and_counts_agree_with_the_exact_density_matrix(n, seed, dtype):
    ops = noisy_circuit(n, seed, layers=2)
    rho = exact_density(n, ops)
    est = velqa.estimate_expectation_trajectories(n, ops, TERMS, 4096, seed=seed, dtype=dtype)
    assert est.trajectories == 4096 and est.distinct == 4096
    assert abs(est.mean - dormeth.expectation_pauli_device(rho, TERMS)) <= 5 * est.standard_error
    assert 0 < est.standard_error < 0.05
    targets = [2, 0, 1]
    shots = 6000
    counts = velqa.sample_trajectories(n, ops, targets, shots, seed=seed, shots_per_trajectory=10, endian="big",
                                       dtype=dtype)
    expected = dormeth.probabilities_device(rho, targets, "big") * shots
    observed = np.array([counts.get(format(o, "03b"), 0) for o in range(8)])
    assert observed.sum() == shots and set(counts) <= {format(o, "03b") for o in range(8)}
    chi2 = np.sum((observed - expected) ** 2 / expected)
    assert chi2 < 7 + 5 * np.sqrt(14)  # 7 degrees of freedom: mean 7, deviation sqrt(14)


def test_mean_of_trajectory_states_approaches_rho():
    n, trajectories = 3, 1500
    ops = noisy_circuit(n, 7, layers=2)
    outer = np.array([np.outer(psi, psi.conj()) for psi in
                      (single_trajectory(n, ops, 11, t) for t in range(trajectories))])
    rho = exact_density(n, ops).to_numpy()
    for part in (np.real, np.imag):
        error = part(outer).std(axis=0) / np.sqrt(trajectories)
        assert np.all(np.abs(part(outer).mean(axis=0) - part(rho)) <= 5 * error + 1e-12)


# ------------------------------------------------------------------ independence of a trajectory

def test_a_trajectory_depends_only_on_seed_and_index():
    n = 4
    ops = noisy_circuit(n, 3, layers=2)
    ref = np.array([single_trajectory(n, ops, 9, t) for t in range(64)])
    assert len({r.tobytes() for r in ref}) > 32  # the draws differ between trajectories
    # Member b of a batch runs trajectory first + b, whatever the batch's size and mode.
    for size, mode in ((1, velqa.AllState), (7, velqa.PairAuto), (64, velqa.PairAutoFusion), (13, velqa.Pair)):
        for first in range(0, 64, size):
            batch = velqa.DeviceStateBatch.zero_state(n, min(size, 64 - first))
            velqa.run_trajectories_device(batch, ops, 9, first, mode)
            np.testing.assert_allclose(batch.to_numpy(), ref[first:first + batch.batch], atol=1e-12)
    np.testing.assert_allclose(single_trajectory(n, ops, 9, 37, dtype="complex64"), ref[37], atol=2e-5)
    assert not np.allclose(single_trajectory(n, ops, 10, 37), ref[37])
    # Estimates and counts: batch size, mode and deduplication change nothing but rounding.
    estimates = [velqa.estimate_expectation_trajectories(n, ops, TERMS, 200, seed=4, batch_size=b, mode=m)
                 for b, m in ((1, velqa.PairAutoFusion), (7, velqa.PairAuto), (64, velqa.AllState), (None, velqa.Pair))]
    for e in estimates:
        assert e.mean == pytest.approx(estimates[0].mean, abs=1e-12)
        assert e.standard_error == pytest.approx(estimates[0].standard_error, abs=1e-12)
    counts = [velqa.sample_trajectories(n, ops, [0, 3], 300, seed=4, batch_size=b, shots_per_trajectory=2)
              for b in (1, 7, 64)]
    assert counts[0] == counts[1] == counts[2]


def test_deduplication_simulates_each_realisation_once_with_the_same_result():
    n = 3
    rng = np.random.default_rng(5)
    ops = [gate("h", [0]), gate("cx", [1], [0], [1]), channel("depolarizing", 1, 0.1), channel("bit_flip", 2, 0.05),
           channel("phase_flip", 0, 0.2), unitary_mixture([0, 2], rng), gate("rx", [2], parameter=[0.3])]
    on = velqa.estimate_expectation_trajectories(n, ops, TERMS, 3000, seed=8)
    off = velqa.estimate_expectation_trajectories(n, ops, TERMS, 3000, seed=8, deduplicate=False)
    assert off.distinct == 3000 and on.distinct < 100 and on.trajectories == 3000
    assert on.mean == pytest.approx(off.mean, abs=1e-12)
    assert on.standard_error == pytest.approx(off.standard_error, abs=1e-12)
    assert abs(on.mean - dormeth.expectation_pauli_device(exact_density(n, ops), TERMS)) <= 5 * on.standard_error
    sampled = [velqa.sample_trajectories(n, ops, [0, 1, 2], 2000, seed=8, shots_per_trajectory=3, deduplicate=d)
               for d in (True, False)]
    assert sampled[0] == sampled[1]
    # A general channel needs the state: nothing is grouped.
    damped = ops + [channel("amplitude_damping", 0, 0.3)]
    assert velqa.estimate_expectation_trajectories(n, damped, TERMS, 50, seed=8).distinct == 50


# ------------------------------------------------------------------ exact cases

def test_probability_zero_and_one_channels_are_exact():
    n = 3
    gates = [gate("h", [0]), gate("ry", [1], parameter=[0.8]), gate("cx", [2], [0], [1])]
    noiseless = single_trajectory(n, gates, 0, 0)
    zero_noise = [channel(name, q, 0.0) for name in CHANNELS for q in range(n)]
    for t in range(5):
        np.testing.assert_allclose(single_trajectory(n, gates + zero_noise, 1, t), noiseless, atol=1e-14)
    flipped = single_trajectory(n, gates + [channel("bit_flip", 1, 1.0)], 2, 3)
    np.testing.assert_allclose(flipped, single_trajectory(n, gates + [gate("x", [1])], 0, 0), atol=1e-14)
    for t in range(5):
        damped = velqa.DeviceState.zero_state(n)
        velqa.run_trajectories_device(damped, gates + [channel("amplitude_damping", 0, 1.0)], 3, t)
        np.testing.assert_allclose(velqa.probabilities_device(damped, [0]), [1.0, 0.0], atol=1e-14)


# ------------------------------------------------------------------ refusals

def refused(ops, error, n=3):
    """The message of a refused call after two valid operations; every state, member and result
    unchanged."""
    prefix = [gate("h", [0]), channel("bit_flip", 1, 0.2)]
    members = np.ascontiguousarray(random_unitary(8, np.random.default_rng(0))[:3])
    batch = velqa.DeviceStateBatch.from_numpy(n, members)
    with pytest.raises(error):
        velqa.run_trajectories_device(batch, prefix + ops, 1)
    assert np.array_equal(batch.to_numpy(), members)
    state = velqa.DeviceState.from_numpy(n, members[0])
    with pytest.raises(error) as err:
        velqa.run_trajectories_device(state, prefix + ops, 1)
    assert np.array_equal(state.to_numpy(), members[0])
    with pytest.raises(error):
        velqa.estimate_expectation_trajectories(n, prefix + ops, TERMS, 10, seed=1)
    return str(err.value)


@pytest.mark.parametrize("op, message", GATE_CASES + KRAUS_CASES, ids=[m for _, m in GATE_CASES + KRAUS_CASES])
def test_refusals_carry_dormeths_messages(op, message, no_leaks):
    assert refused([op], (RuntimeError, ValueError)) == message


def test_sets_that_do_not_preserve_the_trace_are_refused():
    ok = random_kraus_set(2, 3, np.random.default_rng(1))
    assert refused([kraus([0, 2], ok * (1 + 1e-8))], ValueError) == \
        "Kraus operators are not trace preserving (operation 2)"
    assert refused([kraus([1], channel_kraus_scaled(0.5))], ValueError) == \
        "Kraus operators are not trace preserving (operation 2)"
    # dormeth runs them: the rule is the trajectories' own.
    rho = dormeth.DeviceDensityState.zero_state(3)
    dormeth.run_density_operations_device(rho, 3, [kraus([1], channel_kraus_scaled(0.5))])


def channel_kraus_scaled(scale):
    return np.array([[[1, 0], [0, 0]], [[0, 0], [0, scale]]], dtype=complex)


def test_argument_refusals():
    ops = [gate("h", [0])]
    with pytest.raises(ValueError, match="trajectories must be positive"):
        velqa.estimate_expectation_trajectories(2, ops, TERMS[:1], 0)
    with pytest.raises(ValueError, match="batch_size must be positive"):
        velqa.estimate_expectation_trajectories(2, ops, TERMS[:1], 5, batch_size=0)
    with pytest.raises(ValueError, match="Pauli term 0"):
        velqa.estimate_expectation_trajectories(2, ops, [(1.0, "Q", [0])], 5)
    with pytest.raises(ValueError, match="shots must be positive"):
        velqa.sample_trajectories(2, ops, [0], 0)
    with pytest.raises(ValueError, match="shots_per_trajectory"):
        velqa.sample_trajectories(2, ops, [0], 5, shots_per_trajectory=0)
    with pytest.raises(ValueError):
        velqa.sample_trajectories(2, ops, [2], 5)
    with pytest.raises(ValueError, match="n must be"):
        velqa.estimate_expectation_trajectories(0, ops, [], 5)


@pytest.mark.threads
def test_device_work_releases_the_gil_and_leaves_no_memory(hd, no_leaks):
    ops = [gate("h", [0]), channel("depolarizing", 1, 0.3), channel("amplitude_damping", 0, 0.4)]
    state = velqa.DeviceStateBatch.zero_state(3, 4)
    calls = {
        "run_trajectories_device": lambda: velqa.run_trajectories_device(state, ops, 1, 5),
        "estimate_expectation_trajectories": lambda: velqa.estimate_expectation_trajectories(3, ops, TERMS, 3, seed=1),
        "sample_trajectories": lambda: velqa.sample_trajectories(3, ops, [0, 1], 5, seed=1),
    }
    for name, call in calls.items():
        assert releases_gil(hd, call), name
    del state


def test_progress_is_called_after_each_batch():
    calls = []
    velqa.estimate_expectation_trajectories(2, [gate("h", [0]), channel("amplitude_damping", 0, 0.5)], TERMS[:1],
                                            10, seed=1, batch_size=4, progress=lambda d, t: calls.append((d, t)))
    assert calls == [(4, 10), (8, 10), (10, 10)]


def test_an_unsized_batch_fills_half_of_the_free_memory(hd):
    member = 16 * 16  # n = 4, complex128
    hd.configure(1, hd.live_bytes(0) + 2 * 5 * (member + member // 4) + 100)  # half the free memory: 5 members
    calls = []
    velqa.estimate_expectation_trajectories(4, [gate("h", [0]), channel("amplitude_damping", 0, 0.5)], TERMS[:1],
                                            12, seed=1, progress=lambda d, t: calls.append((d, t)))
    assert calls == [(5, 12), (10, 12), (12, 12)]


# ------------------------------------------------------------------ across processes

MPIRUN = shutil.which("mpirun")


def mpi4py_available():
    try:
        import mpi4py  # noqa: F401
    except ImportError:
        return False
    return True


def sanitized_build():
    """Whether the modules come from a sanitizer build, whose runtime the test runner preloads into every
    process: mpirun and its daemons are not made to run under it."""
    cache = os.path.join(os.path.dirname(os.path.abspath(velqa.__file__)), "..", "CMakeCache.txt")
    if not os.path.exists(cache):
        return False
    with open(cache) as f:
        return re.search(r"^KORVANE_SANITIZER:INTERNAL=\w", f.read(), re.M) is not None


SANITIZED = sanitized_build()


@pytest.mark.skipif(not MPIRUN or not mpi4py_available() or SANITIZED,
                    reason="needs mpirun and mpi4py, without a preloaded sanitizer")
def test_ranks_return_the_one_process_result(tmp_path):
    """1, 2 and 3 ranks: every rank returns the counts of one process and its estimate to rounding."""
    args = json.dumps({"n": 4, "seed": 6, "trajectories": 301, "shots": 500})
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    script = os.path.join(HERE, "mpi_trajectories.py")

    def results(folder, ranks):
        return [json.load(open(os.path.join(folder, f"rank{r}.json"))) for r in range(ranks)]

    os.mkdir(tmp_path / "single")
    subprocess.run([sys.executable, script, args, "none", str(tmp_path / "single")], env=env, check=True, timeout=300)
    single = results(tmp_path / "single", 1)[0]
    for ranks in (1, 2, 3):
        folder = tmp_path / f"ranks{ranks}"
        os.mkdir(folder)
        subprocess.run([MPIRUN, "--allow-run-as-root", "--oversubscribe", "-np", str(ranks), sys.executable, script,
                        args, "world", str(folder)], env=env, check=True, timeout=300)
        for r in results(folder, ranks):
            assert r["counts"] == single["counts"]
            assert r["trajectories"] == 301
            assert r["mean"] == pytest.approx(single["mean"], abs=1e-12)
            assert r["standard_error"] == pytest.approx(single["standard_error"], abs=1e-12)
            assert r["seeded_none_agree"]
