"""UNITARY gate time by target count and sampling throughput.

UNITARY: one gate with K = 1..7 targets on n = 22 qubits on the host device (26 on a GPU), both
precisions, mode PairAuto. The bandwidth model (bench/common.py) counts one read and one write of
the state per gate and the matrix for K >= 3; the model time is those bytes at the bandwidth of a
device-to-device copy of the state measured in the same run, efficiency is model over measured.

Sampling: 10^6 shots of k = 4, 16 and 24 targets on a state of max(k, 20) qubits on the host
(max(k, 26) on a GPU), without collapse. The one-shot time is the fixed cost of the call (the
probability pass over the state and the copy of the 2^k probabilities); its model is one read of
the state. Goal on a GPU: 10^6 shots of 4 qubits at n = 26 within twice one pass over the state.

    python bench/bench_unitary_sampling.py        (KORVANE_BUILD selects the build, default build/host)
"""
import numpy as np

from common import (ELEMENT_BYTES, ON_GPU, best_time, copy_bandwidth, header, model_cells, model_header, model_seconds,
                    report, sampling_bytes, unitary_bytes)

import velqa


def random_unitary(dim, rng):
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def bench_unitary(rng):
    n = 26 if ON_GPU else 22
    header(f"UNITARY, n = {n}, mode PairAuto")
    for dtype in ("complex64", "complex128"):
        state = velqa.DeviceState.zero_state(n, dtype)
        nbytes = ELEMENT_BYTES[dtype] << n
        copy = copy_bandwidth(nbytes)
        print(f"{dtype}: state {nbytes / 2**20:.0f} MiB, device-to-device copy {copy / 1e9:.2f} GB/s")
        print(f"  {'K':>2} {'time/gate':>12} {'effective':>12}{model_header()}")
        for K in range(1, 8):
            gate = {"id": "unitary", "target": list(range(K)), "control": [], "control_state": [],
                    "parameter": [], "matrix": random_unitary(1 << K, rng)}
            repeats = 3 if ON_GPU or K < 6 else 1
            t = best_time(lambda: velqa.run_circuit_device(state, [gate], mode=velqa.PairAuto), repeats)
            model = unitary_bytes(n, dtype, K)
            print(f"  {K:>2} {t * 1e3:>9.2f} ms {model / t / 1e9:>7.2f} GB/s{model_cells(t, model, copy)}")
            report(f"UNITARY K={K}", n, dtype, t, model, copy)


def bench_sampling():
    shots = 10**6
    header(f"sampling, {shots:.0e} shots, no collapse")
    print(f"  {'k':>2} {'n':>3} {'one shot':>10} {'1e6 shots':>10} {'shots/s':>12}{model_header()}"
          f"{'1e6 shots / pass':>18}")
    for k in (4, 16, 24):
        n = max(k, 26 if ON_GPU else 20)
        state = velqa.DeviceState.zero_state(n, "complex128")
        copy = copy_bandwidth(16 << n)
        # an equal superposition on the measured qubits, so every outcome is drawn
        velqa.run_circuit_device(state, [{"id": "h", "target": [q], "control": [], "control_state": [],
                                          "parameter": []} for q in range(n)])
        targets = list(range(k))
        one = best_time(lambda: velqa.sample_measure_device(state, targets, 1, seed=1, collapse_last=False))
        full = best_time(lambda: velqa.sample_measure_device(state, targets, shots, seed=1, collapse_last=False),
                         repeats=2)
        model = sampling_bytes(n, "complex128", k)
        print(f"  {k:>2} {n:>3} {one * 1e3:>7.1f} ms {full * 1e3:>7.1f} ms {shots / full:>12.3e}"
              f"{model_cells(one, model, copy)}{full / model_seconds(model, copy):>17.1f}x")
        report(f"sampling k={k}, one shot", n, "complex128", one, model, copy, shots_per_second=shots / full)


if __name__ == "__main__":
    rng = np.random.default_rng(0)
    bench_unitary(rng)
    bench_sampling()
