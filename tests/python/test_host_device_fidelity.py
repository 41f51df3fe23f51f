"""What the host device refuses and reorders as a GPU would, seen through both modules: kernels'
resources from the cuda build's table (and planted ones), the order of a block's threads, and the
kernels with barriers giving one answer in every order."""
import os
import sys

import numpy as np
import pytest

import dormeth
import velqa
from conftest import assert_close, random_state
from builders import channel, gate, kraus, vgate
from density_reference import apply_all, random_density, random_kraus_set
from reference import random_unitary, run_reference

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import kernel_resources  # noqa: E402

ORDERS = ["forward", "reverse", "shuffled"]


def every_family(rng):
    """Runs every kind of kernel of both modules once, both precisions."""
    for dtype in ("complex64", "complex128"):
        for mode in (velqa.AllState, velqa.Pair, velqa.PairAuto, velqa.PairAutoFusion):
            s = velqa.DeviceState.zero_state(8, dtype)
            gates = [vgate("h", [0]), vgate("x", [3], [0]), vgate("x", [3], [1, 5]), vgate("swap", [0, 4]),
                     vgate("swap", [2, 5], [6]), vgate("gp", [0], [1], parameter=[0.2]),
                     vgate("u", [2], parameter=[0.1, 0.2, 0.3])]
            gates += [vgate("unitary", list(range(k)), matrix=random_unitary(1 << k, rng)) for k in range(1, 8)]
            velqa.run_circuit_device(s, gates, mode=mode)
        velqa.sample_measure_device(s, [0, 3], 5, seed=1)
        velqa.probabilities_device(s, [1, 2])
        velqa.expectation_pauli_device(s, [(1.0, "XZ", [0, 1]), (0.5, "Z", [2])])
        rho = dormeth.DeviceDensityState.zero_state(6, dtype=dtype)
        ops = [gate("h", [q]) for q in range(6)] + [gate("rz", [1], parameter=[0.3]), gate("cx", [2], [0], [1])]
        ops += [gate("unitary", list(range(k)), matrix=random_unitary(1 << k, rng)) for k in range(1, 7)]
        ops += [channel(name, 2, 0.1) for name in ("bit_flip", "depolarizing", "amplitude_damping")]
        ops += [kraus(list(range(k)), random_kraus_set(k, 2, rng)) for k in (1, 2, 3)]
        dormeth.run_density_operations_device(rho, 6, ops)
        dormeth.probabilities_device(rho, [1, 2])
        dormeth.expectation_pauli_device(rho, [(1.0, "XZ", [0, 1]), (0.5, "Z", [2])])
        dormeth.measure_device(rho, [0], seed=1)


def table():
    """{launch-log name: (registers, static shared bytes, threads)} of the table's plainly named kernels."""
    rows = {}
    with open(kernel_resources.TABLE) as f:
        for line in f:
            if line.startswith("{") and "(" not in line.split("//")[1]:
                figures = [int(v) for v in line.split("}")[0].split(",")[1:]]
                rows[line.split("  // ")[1].strip()] = tuple(figures)
    return rows


def test_every_kernel_launched_is_checked_against_the_cuda_builds_table(hd, monkeypatch):
    monkeypatch.setenv("KORVANE_DENSITY_FUSION", "1")
    assert hd.listed_kernel_count() > 200
    hd.clear_launches()
    every_family(np.random.default_rng(5))
    rows = table()
    launched = {r["kernel"] for r in hd.launches()}
    checked = launched & set(rows)
    assert len(checked) > 40
    for name in checked:
        registers, static_shared, threads = rows[name]
        assert hd.kernel_resources(name) == {"registers": registers, "static_shared_bytes": static_shared,
                                             "max_threads": threads}, name
    for r in hd.launches():  # the launchers' dynamic shared memory stays within what the build check assumes
        assert r["shared_bytes"] <= kernel_resources.DYNAMIC_SHARED_BYTES.get(kernel_resources.unqualified(
            r["kernel"]), 0), r


def test_a_kernel_without_a_row_runs_unchecked_and_is_reported_until_reset(hd):
    name = "velqa::cu_x_kernel_pair<double>"
    s = velqa.DeviceState.zero_state(4, "complex128")
    for unlisted in (True, False):
        if unlisted:
            hd.unlist_kernel(name)  # as a new gate's kernel before any cuda build
        velqa.run_circuit_device(s, [vgate("x", [1])], mode=velqa.Pair)
        assert hd.unlisted_kernels() == ([name] if unlisted else [])
        registers = hd.kernel_resources(name)["registers"]
        assert registers == 0 if unlisted else registers > 0  # nothing but its static shared memory is known
        hd.reset()
        assert hd.unlisted_kernels() == []
    np.testing.assert_array_equal(s.to_numpy(), np.eye(16)[0])
    del s


def test_a_block_the_kernel_cannot_hold_is_refused_and_reported(hd, no_leaks):
    rng = np.random.default_rng(3)
    rho = random_density(6, rng)
    state = dormeth.DeviceDensityState.from_numpy(6, rho)
    hd.set_kernel_resources("korvane::dormeth::unitary_left_kernel<double, 6>", registers=255, max_threads=128)
    with pytest.raises(RuntimeError, match="^unitary kernel launch failed: too many resources requested for launch$"):
        dormeth.run_density_operations_device(state, 6, [gate("unitary", list(range(6)),
                                                              matrix=random_unitary(64, rng))])
    np.testing.assert_array_equal(state.to_numpy(), rho)
    s = velqa.DeviceState.zero_state(4, "complex128")
    hd.set_kernel_resources("velqa::cu_x_kernel_pair<double>", registers=257)  # 257 x 256 > 65536
    with pytest.raises(RuntimeError, match="^cu_x kernel launch failed: too many resources requested for launch$"):
        velqa.run_circuit_device(s, [vgate("x", [1])], mode=velqa.Pair)
    velqa.run_circuit_device(s, [vgate("x", [1])], mode=velqa.PairAuto)  # another kernel
    assert s.to_numpy()[2] == 1
    del state, s


def test_shared_memory_beyond_a_blocks_share_is_refused(hd, monkeypatch, no_leaks):
    monkeypatch.setenv("KORVANE_DENSITY_FUSION", "1")
    state = dormeth.DeviceDensityState.zero_state(9, dtype="complex128")
    ops = [gate("h", [q]) for q in range(5)]  # one group of five qubits: 16 KiB of dynamic shared memory
    hd.set_kernel_resources("korvane::dormeth::density_sparsesharemem_kernel<double>", registers=64,
                            static_shared_bytes=32 * 1024 + 1, max_threads=128)
    with pytest.raises(RuntimeError, match="^density_sparsesharemem kernel launch failed: invalid argument$"):
        dormeth.run_density_operations_device(state, 9, ops)
    hd.set_kernel_resources("korvane::dormeth::density_sparsesharemem_kernel<double>", registers=64,
                            static_shared_bytes=32 * 1024, max_threads=128)
    dormeth.run_density_operations_device(state, 9, ops)
    del state


def test_thread_order_setting(hd, monkeypatch):
    assert hd.thread_order() == os.environ.get("HOSTDEVICE_THREAD_ORDER", "forward")
    for order in ORDERS:
        hd.set_thread_order(order)
        assert hd.thread_order() == order
    with pytest.raises(ValueError, match="^thread order must be forward, reverse or shuffled$"):
        hd.set_thread_order("backwards")
    monkeypatch.setenv("HOSTDEVICE_THREAD_ORDER", "reverse")
    hd.reset()  # the default is the environment's
    assert hd.thread_order() == "reverse"
    monkeypatch.delenv("HOSTDEVICE_THREAD_ORDER")
    hd.reset()
    assert hd.thread_order() == "forward"


@pytest.mark.parametrize("order", ORDERS)
def test_kernels_with_barriers_give_one_answer_in_every_order(hd, monkeypatch, order):
    hd.set_thread_order(order)
    rng = np.random.default_rng(11)
    n = 9
    psi = random_state(n, "complex128", rng)
    gates = [vgate(name, [q]) for q in range(6) for name in ("h", "t")] + [vgate("x", [4], [1])]
    out = velqa.run_circuit(n, psi.copy(), gates, mode=velqa.PairAutoFusion)
    assert_close(out, run_reference(psi, n, gates), "complex128")
    monkeypatch.setenv("KORVANE_DENSITY_FUSION", "1")
    rho = random_density(8, rng)
    ops = [gate("h", [q]) for q in range(4)] + [gate("unitary", [4, 1], matrix=random_unitary(4, rng)),
                                               channel("depolarizing", 3, 0.2)]
    state = dormeth.DeviceDensityState.from_numpy(8, rho)
    dormeth.run_density_operations_device(state, 8, ops)
    assert_close(state.to_numpy(), apply_all(rho, 8, ops), "complex128")
    kernels = {r["kernel"] for r in hd.launches()}
    assert {"velqa::fusion::sparsesharemem_kernel<double>", "korvane::dormeth::density_sparsesharemem_kernel<double>",
            "korvane::dormeth::unitary_merged_row2_kernel<double>"} <= kernels
