"""Shared pieces of the benchmarks: module import from the build, timing, the copy reference, and
the machine-readable record of every measurement."""
import json
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("KORVANE_BUILD", os.path.join(ROOT, "build", "host"))
sys.path.insert(0, os.path.join(BUILD, "python"))

import korvane_bench  # noqa: E402

ON_GPU = korvane_bench.backend == "cuda"
# The running benchmark, as records name it.
BENCH = os.path.splitext(os.path.basename(sys.argv[0]))[0]


def best_time(run, repeats=3):
    """Best wall time of run() followed by a device-wide wait."""
    best = float("inf")
    for _ in range(repeats):
        korvane_bench.synchronize()
        start = time.perf_counter()
        run()
        korvane_bench.synchronize()
        best = min(best, time.perf_counter() - start)
    return best


def copy_bandwidth(nbytes, repeats=5):
    """Effective bandwidth (read + write bytes per second) of a device-to-device copy."""
    return 2 * nbytes / korvane_bench.copy_seconds(nbytes, repeats)


def header(title):
    print(f"\n== {title} ({'GPU' if ON_GPU else 'host device'})")


def report(case, n, dtype, seconds, bytes_moved=None, copy_bandwidth=None, **figures):
    """Records one measurement: when KORVANE_BENCH_JSON names a file, appends it there as one JSON
    object on a line (scripts/gpu_check.py collects them). With the bytes the operation must move
    and the device-to-device copy bandwidth measured in the same run, the record carries the
    effective bandwidth and its fraction of the copy's. Further keyword figures are kept as given.
    Returns the record."""
    record = {"bench": BENCH, "case": case, "n": n, "dtype": dtype, "seconds": seconds,
              "backend": korvane_bench.backend}
    if bytes_moved is not None and seconds > 0:
        record["bytes_moved"] = bytes_moved
        record["bandwidth"] = bytes_moved / seconds
        if copy_bandwidth:
            record["copy_bandwidth"] = copy_bandwidth
            record["fraction_of_copy"] = record["bandwidth"] / copy_bandwidth
    record.update(figures)
    path = os.environ.get("KORVANE_BENCH_JSON")
    if path:
        with open(path, "a") as f:
            f.write(json.dumps(record) + "\n")
    return record
# ---------------------------------------------------------------- bandwidth model
# The bytes a case's kernels must move: each pass reads and writes once the part of the state (or
# density matrix) it changes, plus the matrices it reads and the scratch it writes and reads back,
# as the kernels and the plan dictate. The model time is those bytes at the bandwidth of a
# device-to-device copy measured in the same run (copy_bandwidth counts read + written bytes too);
# efficiency = model time / measured time, the fraction of copy bandwidth the case reaches.

ELEMENT_BYTES = {"complex64": 8, "complex128": 16}
SCRATCH_MIN, SCRATCH_MAX = 64 << 10, 1 << 30


def scratch_limit(state_bytes):
    """Per-call scratch beside a state: a quarter of it, at least 64 KiB, at most 1 GiB."""
    return min(max(state_bytes // 4, SCRATCH_MIN), SCRATCH_MAX)


def model_seconds(nbytes, copy):
    return nbytes / copy


def model_header():
    return f"{'model ms':>10}{'efficiency':>11}"


def model_cells(seconds, nbytes, copy):
    """Model time and measured-against-model efficiency, formatted for a table row."""
    model = model_seconds(nbytes, copy)
    return f"{model * 1e3:>10.3f}{model / seconds:>11.0%}"


# ---- statevector

def gate_bytes(n, dtype, controls=0, swap=False):
    """A per-gate kernel reads and writes the amplitudes of its matching pairs: 2^-c of the state,
    half of that for a SWAP (only the pairs that exchange)."""
    touched = 2.0 ** -controls * (0.5 if swap else 1.0)
    return 2 * touched * (ELEMENT_BYTES[dtype] << n)


def unitary_bytes(n, dtype, K, controls=0):
    """UNITARY: one pass over the matching amplitudes, plus the matrix for K >= 3; groups wider than
    a tile of 1024 amplitudes (K >= 11) also write and read their slices of scratch."""
    e = ELEMENT_BYTES[dtype]
    nbytes = gate_bytes(n, dtype, controls)
    if K >= 11:
        nbytes *= 2
    if K >= 3:
        nbytes += (1 << 2 * K) * e
    return nbytes


def sampling_bytes(n, dtype, k, collapse=False):
    """The probability pass reads the state once and writes 2^k doubles; a collapse is one more pass."""
    state = ELEMENT_BYTES[dtype] << n
    return state + 8 * (1 << k) + (2 * state if collapse else 0)


def densemm_slice(n, dtype):
    """Amplitudes per DenseMM slice: each scratch buffer within an eighth of the scratch limit."""
    e = ELEMENT_BYTES[dtype]
    per_buffer = scratch_limit(e << n) // 4 // e
    return min(1 << n, 1 << (per_buffer.bit_length() - 1))


def gate_record_bytes(g, n, dtype):
    """The per-gate model of one gate dict (statevector)."""
    controls = len(g.get("control", []))
    if g["id"] == "unitary":
        return unitary_bytes(n, dtype, len(g["target"]), controls)
    return gate_bytes(n, dtype, controls, swap=g["id"] == "swap")


def fused_run_bytes(n, dtype, gates, plan):
    """A fused run as planned (korvane_bench.fusion_plan): single gates by the per-gate model; a
    SparseShareMem group reads and writes the state once (and its records); a DenseMM group gathers
    (read state, write scratch), multiplies (read and write scratch, the matrix once per slice) and
    scatters (read scratch, write state): six state sizes."""
    e = ELEMENT_BYTES[dtype]
    state = e << n
    record = 52 if dtype == "complex64" else 88
    total = 0
    for kind, k, indices in plan:
        if kind == "autopair":
            total += gate_record_bytes(gates[indices[0]], n, dtype)
        elif kind == "sparsesharemem":
            total += 2 * state + record * len(indices)
        else:
            slices = (1 << n) // densemm_slice(n, dtype)
            total += 6 * state + slices * (1 << 2 * k) * e
    return total


# ---- density matrix (M = 4^n elements)

def matrix_bytes(n, dtype):
    return ELEMENT_BYTES[dtype] << (2 * n)


def density_unitary_bytes(n, dtype, k, controls=0):
    """One merged pass for one and two targets, a left and a right pass for 3 to 6; a pass skips the
    blocks whose rows and columns both miss the controls."""
    touched = 1 - (1 - 2.0 ** -controls) ** 2
    return (2 if k <= 2 else 4) * touched * matrix_bytes(n, dtype) + (1 << 2 * k) * ELEMENT_BYTES[dtype]


def density_diagonal_bytes(n, dtype, controls=0):
    """Without controls only the two off-diagonal blocks of the target change (half the matrix);
    with controls every element whose row or column meets them."""
    touched = 0.5 if controls == 0 else 1 - (1 - 2.0 ** -controls) ** 2
    return 2 * touched * matrix_bytes(n, dtype)


def density_permutation_bytes(n, dtype, controls=0, swap=False):
    """Only the elements that move: rho[r][c] with pi(r) != r or pi(c) != c."""
    fixed = 1 - 2.0 ** -controls * (0.5 if swap else 1.0)
    return 2 * (1 - fixed * fixed) * matrix_bytes(n, dtype)


CHANNEL_TOUCHED = {"bit_flip": 1.0, "phase_flip": 0.5, "depolarizing": 1.0, "amplitude_damping": 1.0,
                   "phase_damping": 0.5}


def density_channel_bytes(n, dtype, name):
    """Phase flip and phase damping change only the off-diagonal blocks of the target."""
    return 2 * CHANNEL_TOUCHED[name] * matrix_bytes(n, dtype)


def density_kraus_bytes(n, dtype, k, count):
    return 2 * matrix_bytes(n, dtype) + count * (1 << 2 * k) * ELEMENT_BYTES[dtype]


DENSITY_DIAGONAL = {"z", "s", "sdg", "s_dag", "t", "tdg", "t_dag", "rz", "p", "phase", "cz", "cp", "crz", "gp"}
DENSITY_PERMUTATION = {"x", "cx", "mcx", "swap"}


def density_op_bytes(n, dtype, op):
    """The per-operation model of one density operation object, routed as the runner routes it."""
    if getattr(op, "operation_kind", None) == "kraus":
        name = getattr(op, "channel_name", None)
        if name in CHANNEL_TOUCHED and len(op.target) == 1:
            return density_channel_bytes(n, dtype, name)
        return density_kraus_bytes(n, dtype, len(op.target), len(op.kraus_matrices))
    controls = len(op.control)
    if getattr(op, "has_stored_matrix", False):
        return density_unitary_bytes(n, dtype, len(op.target), controls)
    if op.id in DENSITY_DIAGONAL:
        return density_diagonal_bytes(n, dtype, controls)
    if op.id in DENSITY_PERMUTATION:
        return density_permutation_bytes(n, dtype, controls, swap=op.id == "swap")
    return density_unitary_bytes(n, dtype, len(op.target), controls)


def density_fused_bytes(n, dtype, ops, plan):
    """A fused density run as planned (korvane_bench.density_fusion_plan): a shared-memory group is
    one pass, and so, within a one-qubit group, is a one-target gate without controls that runs as a
    matrix directly followed by a built-in channel; everything else runs one by one."""
    def plain(op):
        return (getattr(op, "operation_kind", None) != "kraus" and not op.control
                and op.id not in DENSITY_DIAGONAL and op.id not in DENSITY_PERMUTATION)

    def channel(op):
        return getattr(op, "operation_kind", None) == "kraus" and getattr(op, "channel_name", None) in CHANNEL_TOUCHED

    total = 0
    for kind, _, indices in plan:
        group = [ops[i] for i in indices]
        if kind == "sparsesharemem":
            total += 2 * matrix_bytes(n, dtype)
            continue
        i = 0
        while i < len(group):
            if kind == "one_qubit" and i + 1 < len(group) and plain(group[i]) and channel(group[i + 1]):
                total += 2 * matrix_bytes(n, dtype)
                i += 2
            else:
                total += density_op_bytes(n, dtype, group[i])
                i += 1
    return total
