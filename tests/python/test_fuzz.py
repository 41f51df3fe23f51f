"""Property-based fuzzing of both modules' entry points with a fixed example budget.

Inputs mix well-formed records with malformed ones: unknown names, wrong counts, qubits out of
range or repeated, odd index types (NumPy integers, bools, floats, huge integers, objects with
__index__, None, strings), NaN, infinite and huge values, matrices of the wrong dtype or shape, and
gate lists that the caller's own code changes during conversion. Every call must either succeed
with the result of a dense model of what the call means, or raise a Python exception leaving the
state and the caller's array as they were (for a statevector gate list: the gates before the
refused one applied), with no device memory left live. A call that crashes ends the process.

Counts per entry point (calls, successes, refusals, and the faults: results unlike the model,
states changed by a refused call, non-finite states reported as success, leaks) are written to the
file named by KORVANE_FUZZ_REPORT when it is set. KORVANE_FUZZ_EXAMPLES changes the budget.
"""
import collections
import gc
import json
import math
import operator
import os
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, Phase, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import builders  # noqa: E402
import density_reference as dref  # noqa: E402
import dormeth  # noqa: E402
import reference as ref  # noqa: E402
import velqa  # noqa: E402

EXAMPLES = int(os.environ.get("KORVANE_FUZZ_EXAMPLES", "250"))
# Failing examples are reported as found, without shrinking: a shrink can take minutes.
FUZZ = settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None, print_blob=False,
                phases=[Phase.explicit, Phase.generate], suppress_health_check=list(HealthCheck))
FLOAT_MAX_ROUNDING = 2.0**128 - 2.0**103  # doubles from here on round to an infinite float
STATS = collections.defaultdict(collections.Counter)
FAULTS = ("mismatch", "changed_by_refusal", "nonfinite_success", "leak")


class Refused(Exception):
    """The model's verdict that a record cannot run."""


# ------------------------------------------------------------------ accounting


@pytest.fixture(scope="module", autouse=True)
def fuzz_report():
    yield
    path = os.environ.get("KORVANE_FUZZ_REPORT")
    if not path:
        return
    rows = {name: {key: counts[key] for key in ("calls", "success", "refused") + FAULTS}
            for name, counts in sorted(STATS.items())}
    total = {key: sum(r[key] for r in rows.values()) for key in ("calls", "success", "refused") + FAULTS}
    with open(path, "w") as out:
        json.dump({"examples_per_test": EXAMPLES, "entry_points": rows, "total": total, "crashes": 0}, out, indent=1)


def live(hd):
    return [hd.live_bytes(d) for d in range(2)]


def account(entry, hd, before, ok, fault=None):
    """Counts one call and fails the example on a fault."""
    counts = STATS[entry]
    counts["calls"] += 1
    counts["success" if ok else "refused"] += 1
    if live(hd) != before:
        gc.collect()  # a state kept only by a reference cycle is not a leak
    leaked = live(hd) != before
    if leaked:
        counts["leak"] += 1
    if fault:
        counts[fault] += 1
    assert not fault, f"{entry}: {fault}"
    assert not leaked, f"{entry}: device memory left live"


@pytest.fixture(scope="module")
def warm_caches():
    """This thread's DenseMM caches at their largest size here, so that later growth is no leak."""
    gate_objects = [builders.QuantumGate.of(builders.vgate("h", [q])) for q in (0, 1)] * 2
    for dtype in ("complex64", "complex128"):
        chunk = velqa.prepare_fusion_chunk_gates(5, gate_objects, densemm_gate_threshold_scale=0.0)
        velqa.execute_prepared_fusion_chunk(velqa.DeviceState.zero_state(5, dtype), chunk)


@pytest.fixture
def fuzz_hd(hd, warm_caches):
    return hd


# ------------------------------------------------------------------ values


class Index:
    """An object with __index__, as a caller's own integer type."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("caller's __index__ failed")


def float_like(value):
    """A number equal to an integer that is not one: never read as that integer."""
    return [np.float16, np.float32, np.longdouble, Decimal, Fraction][abs(value) % 5](value)


def qubit_values(n):
    plain = st.integers(-2, n + 1)
    return st.one_of(
        plain, plain, plain,
        plain.map(np.int64), plain.map(lambda q: np.uint8(q % 256)), plain.map(Index),
        st.booleans(), st.sampled_from([2**63, -2**63 - 1, 2**70, 1.0, float("nan"), None, "1", BadIndex()]),
        plain.map(float_like),
    )


def parameter_values():
    finite = st.floats(-7, 7, allow_nan=False)
    return st.one_of(
        finite, finite, finite, st.integers(-5, 5), finite.map(np.float32),
        st.sampled_from([float("nan"), float("inf"), -float("inf"), 1e39, -3.5e38, 3.4e38, 1e308, 5e-324, None,
                         "0.5", True]),
    )


def sequences(elements, max_size):
    return st.one_of(st.lists(elements, max_size=max_size), st.lists(elements, max_size=max_size).map(tuple))


def unitary_matrices(k_max):
    @st.composite
    def build(draw):
        k = draw(st.integers(0, k_max))
        u = ref.random_unitary(1 << k, np.random.default_rng(draw(st.integers(0, 2**32 - 1))))
        kind = draw(st.sampled_from(["unitary"] * 5 + ["nan", "huge", "float32", "list", "strings", "ragged",
                                                        "vector", "none"]))
        if kind == "nan":
            u = u.copy()
            u.flat[draw(st.integers(0, u.size - 1))] = draw(st.sampled_from([np.nan, np.inf, 1e39, 3.5e38]))
        elif kind == "huge":
            u = u * 1e39
        elif kind == "float32":
            u = u.astype(np.complex64)
        elif kind == "list":
            u = u.tolist()
        elif kind == "strings":
            u = [["a"] * (1 << k)] * (1 << k)
        elif kind == "ragged":
            u = [[1, 0], [0]]
        elif kind == "vector":
            u = u.ravel()
        elif kind == "none":
            u = None
        return u

    return build()


NAMES = sorted(ref.VELQA_NAMES) + ["unitary"]  # every name velqa accepts
BAD_NAMES = ["RX", "", "foo", "cnot", 5, None]


@st.composite
def velqa_gates(draw, n):
    name = draw(st.one_of(st.sampled_from(NAMES), st.sampled_from(NAMES), st.sampled_from(BAD_NAMES)))
    well_formed = draw(st.booleans())
    qubits = [int(q) for q in draw(st.permutations(range(n)))]
    if well_formed:  # most records valid, so that sequences run far
        k = {"swap": 2, "unitary": draw(st.integers(1, min(2, n)))}.get(name, 1)
        if name == "swap" and n < 2:
            name, k = "x", 1
        targets = qubits[:k]
        nc = draw(st.integers(0, n - k))
        controls = qubits[k:k + nc]
        states = [draw(st.integers(0, 1)) for _ in controls]
        count = ref.GATES[ref.VELQA_NAMES[name]].parameters if name in ref.VELQA_NAMES else 0
        params = [draw(st.floats(-7, 7, allow_nan=False)) for _ in range(count)]
        matrix = ref.random_unitary(1 << k, np.random.default_rng(draw(st.integers(0, 999)))) if name == "unitary" \
            else None
        if draw(st.integers(0, 9)) == 0 and count:  # a value not finite in some precision
            params[0] = draw(st.sampled_from([float("nan"), float("inf"), 1e39, -3.5e38]))
    else:
        targets = draw(sequences(qubit_values(n), 3))
        controls = draw(sequences(qubit_values(n), 3))
        states = draw(st.one_of(st.just([1] * len(controls)), sequences(qubit_values(2), 3)))
        params = draw(sequences(parameter_values(), 4))
        matrix = draw(unitary_matrices(2)) if draw(st.booleans()) else None
    return builders.vgate(name, targets, controls, states, params, matrix)


class MutatingDict(dict):
    """A gate dict whose first read runs the caller's code on the list being converted."""

    def __init__(self, fields, gates, action):
        super().__init__(fields)
        self.gates, self.action = gates, action

    def __getitem__(self, key):
        if self.action:
            action, self.action = self.action, None
            action(self.gates)
        return super().__getitem__(key)


MUTATIONS = [lambda g: g.clear(), lambda g: g.extend([{"id": "h"}] * 50), lambda g: g.reverse(),
             lambda g: g.__delitem__(slice(0, 1))]


@st.composite
def velqa_lists(draw, n):
    gates = draw(st.lists(velqa_gates(n), max_size=5))
    as_passed = list(gates)  # what the call converts: the list as it was when the call began
    if gates and draw(st.integers(0, 4)) == 0:
        live_list = []
        i = draw(st.integers(0, len(gates) - 1))
        action = MUTATIONS[draw(st.integers(0, len(MUTATIONS) - 1))]
        live_list.extend(MutatingDict(g, live_list, action) if j == i else g for j, g in enumerate(gates))
        return live_list, as_passed
    return gates, as_passed


# ------------------------------------------------------------------ the statevector model

def finite_in(x, dtype):
    return math.isfinite(x) and (dtype == "complex128" or abs(x) < FLOAT_MAX_ROUNDING)


def as_index(value):
    if isinstance(value, float) or value is None or isinstance(value, str):
        raise Refused
    try:
        v = operator.index(value)
    except Exception:
        raise Refused
    if not -2**63 <= v < 2**63:
        raise Refused
    return v


def as_float(value):
    if value is None or isinstance(value, str):
        raise Refused
    return float(value)


def model_gate(g, n, dtype):
    """(kind, matrix or phase, targets, controls, states) of a record velqa may run; Refused otherwise."""
    name = g["id"]
    if not isinstance(name, str):
        raise Refused
    params = [as_float(p) for p in g["parameter"]]
    if name in ("t", "ct", "mct"):
        name, params = "phase", params + [0.7853981633974483]
    elif name == "t_dag":
        name, params = "phase", params + [-0.7853981633974483]
    canon = "unitary" if name == "unitary" else ref.VELQA_NAMES.get(name)
    if canon is None:
        raise Refused
    targets = [as_index(q) for q in g["target"]]
    controls = [as_index(q) for q in g["control"]]
    states = [as_index(q) for q in g["control_state"]]
    if len(controls) != len(states) or any(s not in (0, 1) for s in states):
        raise Refused
    if canon == "unitary":
        m = g.get("matrix")
        if m is None:
            raise Refused
        try:
            m = np.asarray(m, dtype=complex)
        except Exception:
            raise Refused
        if m.ndim != 2 or m.shape[0] != m.shape[1] or m.shape[0] != 1 << len(targets) or not targets:
            raise Refused
        if not all(finite_in(x, dtype) for x in np.concatenate([m.real.ravel(), m.imag.ravel()])):
            raise Refused
        used = targets
    else:
        count = ref.GATES[canon].parameters
        if count and len(params) != count:
            raise Refused
        if canon == "swap" and len(targets) != 2:
            raise Refused
        if count and not all(finite_in(p, dtype) for p in params):
            raise Refused
        used = [] if canon == "gp" else targets[:2 if canon == "swap" else 1]
        if canon != "gp" and len(used) < (2 if canon == "swap" else 1):
            raise Refused
        m = None if canon == "gp" else ref.matrix_of(canon, params[:count])
    qubits = used + controls
    if any(not 0 <= q < n for q in qubits) or len(set(qubits)) != len(qubits):
        raise Refused
    if canon == "gp":
        return ("gp", params[0], [], controls, states)
    return ("matrix", m, used, controls, states)


def model_apply(state, n, g, dtype):
    kind, value, targets, controls, states = model_gate(g, n, dtype)
    if kind == "gp":
        return ref.apply_global_phase(state, n, value, controls, states)
    return ref.apply_matrix(state, n, value, targets, controls, states)


def model_prefixes(state, n, gates, dtype):
    """The model's state after each prefix of the list, up to the first record it refuses."""
    out = [state]
    with np.errstate(all="ignore"):
        for g in gates:
            try:
                out.append(model_apply(out[-1], n, g, dtype))
            except Refused:
                break
    return out


def close(actual, expected, dtype):
    scale = max(1.0, float(np.abs(expected).max()))
    tol = (5e-5 if dtype == "complex64" else 1e-10) * scale
    return np.allclose(actual, expected, rtol=0, atol=tol)


def judge_list_run(entry, hd, before, start, dtype, n, as_passed, run, read_state, whole):
    """Runs a gate list; whole: a refusal leaves the state as it was (else: a prefix applied)."""
    prefixes = model_prefixes(start.astype(complex), n, as_passed, dtype)
    try:
        result = run()
    except Exception:
        after = read_state()
        if whole:
            fault = None if np.array_equal(after, start, equal_nan=True) else "changed_by_refusal"
        else:
            fault = None if any(close(after, p, dtype) for p in prefixes[:len(as_passed)]) else "changed_by_refusal"
        account(entry, hd, before, False, fault)
        return
    fault = None
    if len(prefixes) != len(as_passed) + 1:
        fault = "mismatch"  # the model refuses a record that ran
    elif np.all(np.isfinite(prefixes[-1])) and not np.all(np.isfinite(result)):
        fault = "nonfinite_success"
    elif not close(result, prefixes[-1], dtype):
        fault = "mismatch"
    account(entry, hd, before, True, fault)


MODES = [velqa.AllState, velqa.Pair, velqa.PairAuto, velqa.PairAutoFusion]


@st.composite
def statevector_cases(draw):
    n = draw(st.integers(1, 4))
    dtype = draw(st.sampled_from(["complex64", "complex128"]))
    state = ref.random_unitary(1 << n, np.random.default_rng(draw(st.integers(0, 999))))[:, 0].astype(dtype)
    return n, dtype, state


# ------------------------------------------------------------------ statevector entry points


@FUZZ
@given(case=statevector_cases(), data=st.data())
def test_fuzz_run_circuit(fuzz_hd, case, data):
    n, dtype, state = case
    gates, as_passed = data.draw(velqa_lists(n))
    mode = data.draw(st.sampled_from(MODES))
    array = state.copy()
    before = live(fuzz_hd)
    judge_list_run("run_circuit", fuzz_hd, before, state, dtype, n, as_passed,
                   lambda: velqa.run_circuit(n, array, gates, mode=mode), lambda: array, whole=True)


@FUZZ
@given(case=statevector_cases(), data=st.data())
def test_fuzz_run_circuit_device(fuzz_hd, case, data):
    n, dtype, state = case
    gates, as_passed = data.draw(velqa_lists(n))
    mode = data.draw(st.sampled_from(MODES))
    device = velqa.DeviceState.from_numpy(n, state)
    before = live(fuzz_hd)

    def run():
        velqa.run_circuit_device(device, gates, mode=mode)
        return device.to_numpy()

    judge_list_run("run_circuit_device", fuzz_hd, before, state, dtype, n, as_passed, run, device.to_numpy,
                   whole=False)


@FUZZ
@given(case=statevector_cases(), data=st.data())
def test_fuzz_gate_objects_and_prepared_chunks(fuzz_hd, case, data):
    n, dtype, state = case
    gates, as_passed = data.draw(velqa_lists(n))
    objects = [builders.QuantumGate.of(g) for g in as_passed]
    device = velqa.DeviceState.from_numpy(n, state)
    before = live(fuzz_hd)

    def run_objects():
        velqa.run_circuit_device_gates(device, objects, mode=data.draw(st.sampled_from(MODES)))
        return device.to_numpy()

    judge_list_run("run_circuit_device_gates", fuzz_hd, before, state, dtype, n, as_passed, run_objects,
                   device.to_numpy, whole=False)

    options = data.draw(st.fixed_dictionaries({}, optional={
        "sparsesharemem_qubits": st.integers(-1, 12), "densemm_min_qubits": st.integers(-1, 8),
        "densemm_max_qubits": st.integers(-1, 64), "densemm_gate_threshold_scale": st.sampled_from(
            [0.0, 1.0, -1.0, float("nan"), float("inf")]), "max_gates_per_group": st.integers(-1, 6),
        "fuse_swap": st.booleans(), "pad_sparsesharemem": st.booleans()}))
    device = velqa.DeviceState.from_numpy(n, state)
    before = live(fuzz_hd)

    def run_chunk():
        chunk = velqa.prepare_fusion_chunk_gates(n, objects, **options)
        velqa.execute_prepared_fusion_chunk(device, chunk)
        return device.to_numpy()

    judge_list_run("prepare_fusion_chunk_gates + execute_prepared_fusion_chunk", fuzz_hd, before, state, dtype, n,
                   as_passed, run_chunk, device.to_numpy, whole=False)


def target_lists(n):
    valid = st.lists(st.integers(0, n - 1), min_size=1, max_size=n, unique=True)
    return st.one_of(valid, valid, valid, sequences(qubit_values(n), 4))


@FUZZ
@given(case=statevector_cases(), data=st.data())
def test_fuzz_measurement(fuzz_hd, case, data):
    n, dtype, state = case
    targets = data.draw(target_lists(n))
    endian = data.draw(st.sampled_from(["little", "big"] * 4 + ["Little", ""]))
    if data.draw(st.integers(0, 5)) == 0:  # an unnormalised, tiny or invalid state
        state = (state * data.draw(st.sampled_from([0.0, 1e-30, 3.0, np.nan, np.inf]))).astype(dtype)
    seed = data.draw(st.one_of(st.integers(0, 2**64 - 1), st.integers(0, 99), st.sampled_from([None, -1, 1.5, 2**64]),
                               st.integers(0, 9).map(float_like)))
    shots = data.draw(st.one_of(st.integers(1, 50), st.integers(1, 3), st.sampled_from([0, -1, 2**48 + 1]),
                                st.integers(1, 9).map(float_like)))
    which = data.draw(st.sampled_from(["measure", "measure_device", "sample_measure_device"]))
    device = velqa.DeviceState.from_numpy(n, state)
    array = state.copy()
    before = live(fuzz_hd)
    try:
        if which == "measure":
            outcome = velqa.measure(n, array, targets, endian=endian)
            after = array
        elif which == "measure_device":
            outcome = velqa.measure_device(device, targets, endian=endian, seed=seed)
            after = device.to_numpy()
        else:
            counts, outcome = velqa.sample_measure_device(device, targets, shots, endian=endian, seed=seed)
            after = device.to_numpy()
            assert sum(counts.values()) == shots and outcome in counts
    except Exception:
        after = array if which == "measure" else device.to_numpy()
        account(which, fuzz_hd, before, False, None if np.array_equal(after, state, equal_nan=True) else "changed_by_refusal")
        return
    # The collapse of the model onto the outcome the call returned.
    k = len(targets)
    bits = [int(c) for c in outcome]
    idx = np.arange(1 << n)
    keep = np.ones(1 << n, dtype=bool)
    for j, t in enumerate(targets):
        t = operator.index(t)
        bit = bits[k - 1 - j] if endian == "little" else bits[j]
        keep &= ((idx >> t) & 1) == bit
    exact = state.astype(complex) * 2.0**100
    expected = np.where(keep, exact, 0)
    with np.errstate(all="ignore"):
        expected = expected / np.linalg.norm(expected)
    fault = None
    read = [seed] if which != "measure" and seed is not None else []
    read += [shots] if which == "sample_measure_device" else []
    if not all(hasattr(type(v), "__index__") for v in read):
        fault = "mismatch"  # a number that is not an integer was read as one
    elif not np.all(np.isfinite(after)):
        fault = "nonfinite_success"
    elif not close(after, expected, dtype):
        fault = "mismatch"
    account(which, fuzz_hd, before, True, fault)


@FUZZ
@given(data=st.data())
def test_fuzz_state_creation_and_copies(fuzz_hd, data):
    n = data.draw(st.one_of(st.integers(1, 4), st.integers(1, 4), st.sampled_from([0, -1, 63, 2**40])))
    size = data.draw(st.sampled_from([1 << max(0, min(n, 4))] * 4 + [3, 0]))
    dtype = data.draw(st.sampled_from(["complex64", "complex128"] * 3 + ["float64", "int32", "complex256"]))
    array = np.arange(size).astype(dtype)
    if data.draw(st.integers(0, 3)) == 0:
        array = array[::-1] if data.draw(st.booleans()) else array.reshape(1, -1)
    which = data.draw(st.sampled_from(["from_numpy", "zero_state", "copy_to_numpy"]))
    device = data.draw(st.sampled_from(["cuda:0", "cuda", "gpu"] * 2 + ["cuda:1", "cuda:", "cpu", "cuda:99999999999"]))
    source = velqa.DeviceState.zero_state(2, "complex128")
    before = live(fuzz_hd)
    ok = True
    try:
        if which == "from_numpy":
            s = velqa.DeviceState.from_numpy(n, array, device=device, use_pinned_host=data.draw(st.booleans()))
            good = np.array_equal(s.to_numpy(), array)
        elif which == "zero_state":
            s = velqa.DeviceState.zero_state(n, dtype=dtype, device=device)
            z = s.to_numpy()
            good = z[0] == 1 and not np.any(z[1:])
        else:
            s = source
            target = array.copy()
            s.copy_to_numpy(target)
            good = target.size == 4 and target[0] == 1 and not np.any(target[1:])
        del s
    except Exception:
        ok, good = False, True
    account(which, fuzz_hd, before, ok, None if good else "mismatch")


# ------------------------------------------------------------------ density entry points

DENSITY_NAMES = list(dref.NAMED) + ["swap", "cx", "cnot", "mcrz", "gphase", "xyarb", "-z", "X", "foo"]


@st.composite
def density_operations(draw, n):
    kind = draw(st.sampled_from(["gate", "gate", "matrix", "channel", "kraus"]))
    qubits = [int(q) for q in draw(st.permutations(range(n)))]
    well_formed = draw(st.booleans())
    if kind in ("channel", "kraus"):
        if kind == "channel":
            name = draw(st.sampled_from(dref.CHANNELS))
            ops = dref.channel_kraus(name, draw(st.floats(0, 1)))
            variant = draw(st.sampled_from(["as is"] * 4 + ["times i", "reordered", "p above 1", "nan", "huge"]))
            ops = np.array(ops, dtype=complex)
            if variant == "times i":
                ops[1] = 1j * ops[1]
            elif variant == "reordered":
                ops = ops[::-1].copy()
            elif variant == "p above 1":
                ops[1] = ops[1] * 3
            elif variant == "nan":
                ops[0, 0, 0] = np.nan
            elif variant == "huge":
                ops[0, 1, 1] = 1e39
            targets = [qubits[0]] if well_formed else draw(sequences(qubit_values(n), 2))
            op = builders.kraus(targets, ops, name if draw(st.integers(0, 4)) else draw(st.sampled_from([None, "custom"])))
        else:
            k = draw(st.integers(1, min(3, n)))
            ops = dref.random_kraus_set(k, draw(st.integers(1, 3)), np.random.default_rng(draw(st.integers(0, 99))))
            if not well_formed:
                ops = draw(st.sampled_from([ops[:, :1], ops.astype(np.complex64), ops.tolist(), "x", ops * np.nan]))
            op = builders.kraus(qubits[:k], ops)
        return op
    if kind == "matrix":
        k = draw(st.integers(1, min(3, n)))
        nc = draw(st.integers(0, n - k))
        m = ref.random_unitary(1 << k, np.random.default_rng(draw(st.integers(0, 99))))
        if not well_formed:
            m = draw(unitary_matrices(2))
        return builders.gate("unitary", qubits[:k], qubits[k:k + nc], [draw(st.integers(0, 1)) for _ in range(nc)],
                         matrix=m)
    name = draw(st.sampled_from(DENSITY_NAMES))
    if well_formed:
        canon = dref.ALIASES.get(name, name)
        k = 2 if canon == "swap" else 1
        if k > n:
            name, k = "h", 1
        nc = draw(st.integers(0, n - k))
        count = dref.NAMED[canon][0] if canon in dref.NAMED else 0
        params = [draw(st.floats(-7, 7, allow_nan=False)) for _ in range(count)] or None
        if params and draw(st.integers(0, 9)) == 0:
            params[0] = draw(st.sampled_from([float("nan"), 1e39, -3.5e38]))
        return builders.gate(name, qubits[:k], qubits[k:k + nc], [draw(st.integers(0, 1)) for _ in range(nc)], params)
    return builders.gate(name, draw(sequences(qubit_values(n), 3)), draw(sequences(qubit_values(n), 2)),
                     draw(sequences(qubit_values(2), 2)), draw(st.one_of(st.none(), sequences(parameter_values(), 3))))


def density_model(op, dtype):
    """The operation with plain integer and float fields, as the module reads it; Refused when a
    value it hands a kernel is not finite in the state's precision or a field does not convert."""
    if getattr(op, "operation_kind", None) == "kraus":
        try:
            values = np.asarray(op.kraus_matrices, dtype=complex)
        except Exception:
            raise Refused
        model = builders.kraus([as_index(q) for q in op.target], values)
    else:
        params = None if op.parameter is None else [as_float(p) for p in op.parameter]
        matrix = None
        if op.has_stored_matrix:
            try:
                matrix = np.asarray(op.stored_matrix, dtype=complex)
            except Exception:
                raise Refused
        model = builders.gate(op.id, [as_index(q) for q in op.target], [as_index(q) for q in op.control],
                          [as_index(q) for q in op.control_state], params, matrix)
        canon = dref.ALIASES.get(op.id, op.id)
        count = dref.NAMED[canon][0] if canon in dref.NAMED and not op.has_stored_matrix else 0
        if canon == "gp" and not model.control:
            count = 0  # dropped without reading its parameters
        values = np.asarray(matrix if op.has_stored_matrix else (params or [])[:count], dtype=complex)
    if not all(finite_in(x, dtype) for x in np.concatenate([values.real.ravel(), values.imag.ravel()])):
        raise Refused
    return model


@FUZZ
@given(data=st.data())
def test_fuzz_run_density_operations(fuzz_hd, data, monkeypatch):
    n = data.draw(st.integers(1, 5))
    dtype = data.draw(st.sampled_from(["complex64", "complex128"]))
    monkeypatch.setenv("KORVANE_DENSITY_FUSION", data.draw(st.sampled_from(["0", "1"])))
    rho = dref.random_density(n, np.random.default_rng(data.draw(st.integers(0, 99)))).astype(dtype)
    ops = data.draw(st.lists(density_operations(n), max_size=5))
    state = dormeth.DeviceDensityState.from_numpy(n, rho)
    before = live(fuzz_hd)
    try:
        dormeth.run_density_operations_device(state, n, ops)
    except Exception:
        account("run_density_operations_device", fuzz_hd, before, False,
                None if np.array_equal(state.to_numpy(), rho, equal_nan=True) else "changed_by_refusal")
        return
    out = state.to_numpy()
    fault = None
    try:
        with np.errstate(all="ignore"):
            expected = dref.apply_all(rho.astype(complex), n, [density_model(op, dtype) for op in ops])
        modelled = True
    except Exception:
        expected, modelled = None, False
    if not modelled:
        fault = "mismatch"  # ran, though a value could not be modelled
    elif np.all(np.isfinite(expected)) and not np.all(np.isfinite(out)):
        fault = "nonfinite_success"
    elif not close(out, expected, dtype):
        fault = "mismatch"
    account("run_density_operations_device", fuzz_hd, before, True, fault)


@FUZZ
@given(data=st.data())
def test_fuzz_density_measurement(fuzz_hd, data):
    n = data.draw(st.integers(1, 4))
    dtype = data.draw(st.sampled_from(["complex64", "complex128"]))
    rho = dref.random_density(n, np.random.default_rng(data.draw(st.integers(0, 99))), rank=1)
    rho = (rho * data.draw(st.sampled_from([1.0] * 6 + [0.0, 1e-40, 2.0, np.nan]))).astype(dtype)
    targets = data.draw(target_lists(n))
    endian = data.draw(st.sampled_from(["little", "big"] * 4 + ["BIG"]))
    seed = data.draw(st.one_of(st.integers(0, 2**64 - 1), st.integers(0, 99), st.sampled_from([None, -1, 1.5]),
                               st.integers(0, 9).map(float_like)))
    state = dormeth.DeviceDensityState.from_numpy(n, rho)
    before = live(fuzz_hd)
    try:
        outcome = dormeth.measure_device(state, targets, endian=endian, seed=seed)
    except Exception:
        account("dormeth.measure_device", fuzz_hd, before, False,
                None if np.array_equal(state.to_numpy(), rho, equal_nan=True) else "changed_by_refusal")
        return
    out = state.to_numpy()
    k = len(targets)
    idx = np.arange(1 << n)
    keep = np.ones(1 << n, dtype=bool)
    for j, t in enumerate(targets):
        bit = int(outcome[k - 1 - j] if endian == "little" else outcome[j])
        keep &= ((idx >> operator.index(t)) & 1) == bit
    exact = rho.astype(complex) * 2.0**200 * np.outer(keep, keep)
    expected = exact / np.trace(exact).real
    fault = None
    if seed is not None and not hasattr(type(seed), "__index__"):
        fault = "mismatch"  # a number that is not an integer was read as one
    elif not np.all(np.isfinite(out)):
        fault = "nonfinite_success"
    elif not close(out, expected, dtype):
        fault = "mismatch"
    account("dormeth.measure_device", fuzz_hd, before, True, fault)


@FUZZ
@given(data=st.data())
def test_fuzz_density_state_creation(fuzz_hd, data):
    n = data.draw(st.one_of(st.integers(0, 3), st.integers(0, 3), st.sampled_from([-1, 16, 2**40])))
    dim = 1 << max(0, min(n, 3))
    shape = data.draw(st.sampled_from([(dim, dim)] * 4 + [(dim,), (dim, dim + 1), (1, 1)]))
    dtype = data.draw(st.sampled_from(["complex64", "complex128"] * 3 + ["float64"]))
    array = np.arange(int(np.prod(shape))).reshape(shape).astype(dtype)
    if data.draw(st.integers(0, 3)) == 0 and array.ndim == 2:
        array = np.asfortranarray(array) if data.draw(st.booleans()) else array.T
    device = data.draw(st.sampled_from(["cuda:0", "gpu"] * 3 + ["cuda:3", "cuda:x", "CUDA"]))
    which = data.draw(st.sampled_from(["from_numpy", "zero_state"]))
    before = live(fuzz_hd)
    ok, good = True, True
    try:
        if which == "from_numpy":
            s = dormeth.DeviceDensityState.from_numpy(n, array, device)
            good = np.array_equal(s.to_numpy(), array) and np.array_equal(s.copy().to_numpy(), array)
        else:
            s = dormeth.DeviceDensityState.zero_state(n, dtype, device)
            z = s.to_numpy()
            good = z[0, 0] == 1 and np.count_nonzero(z) == 1
        del s
    except Exception:
        ok = False
    account("DeviceDensityState." + which, fuzz_hd, before, ok, None if good else "mismatch")
