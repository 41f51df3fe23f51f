"""Zero-copy interchange of both state kinds with other array libraries: DLPack both ways and the CUDA
array interface. The consumer and producer is the array library that lives where the states do:
NumPy on the host backend, CuPy on a GPU (skipped there without CuPy). The capsule layout is read with
ctypes from the DLPack standard's structures, independently of the modules' own declaration."""
import ctypes
import sys
import weakref
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import dormeth
import reference as ref
import velqa
from builders import gate, vgate
from conftest import host_device_or_skip, random_state, releases_gil
from density_reference import apply_all, random_density

ON_HOST = velqa.backend == "host"
host_only = pytest.mark.skipif(not ON_HOST, reason="NumPy arrays are the host backend's device memory")
CIRCUIT = [("h", 0, (), ()), ("x", 1, (0,), ()), ("ry", 2, (), (0.3,))]  # name, target, controls, parameters


def velqa_gates(ops):
    return [vgate(name, [t], c, parameter=p) for name, t, c, p in ops]


def dormeth_ops(ops):
    return [gate(name, [t], c, [1] * len(c), list(p) or None) for name, t, c, p in ops]


def density_basis(n, index, dtype):
    rho = np.zeros((1 << n, 1 << n), dtype)
    rho[index, index] = 1
    return rho


STATE = SimpleNamespace(
    name="DeviceState", cls=velqa.DeviceState, zero=velqa.DeviceState.zero_state,
    form="(2**n,) with n in [1, 62]", shape=lambda n: (1 << n,),
    basis=lambda n, i, dtype: np.eye(1 << n, dtype=dtype)[i],
    random=lambda n, dtype, rng: random_state(n, dtype, rng),
    run=lambda s, ops: velqa.run_circuit_device(s, velqa_gates(ops)),
    model=lambda a, n, ops: ref.run_reference(a, n, velqa_gates(ops)),
    measure=lambda s, qubits: velqa.measure_device(s, qubits, seed=7))
DENSITY = SimpleNamespace(
    name="DeviceDensityState", cls=dormeth.DeviceDensityState, zero=dormeth.DeviceDensityState.zero_state,
    form="(2**n, 2**n) with n in [0, 15]", shape=lambda n: (1 << n, 1 << n), basis=density_basis,
    random=lambda n, dtype, rng: random_density(n, rng).astype(dtype),
    run=lambda s, ops: dormeth.run_density_operations_device(s, s.num_qubits, dormeth_ops(ops)),
    model=lambda a, n, ops: apply_all(a, n, dormeth_ops(ops)),
    measure=lambda s, qubits: dormeth.measure_device(s, qubits, seed=7))
MEMBERS = 3  # a batch's members: its tensor is (3, 2**n), a shape no other kind takes
BATCH = SimpleNamespace(
    name="DeviceStateBatch", cls=velqa.DeviceStateBatch,
    zero=lambda n, dtype="complex128": velqa.DeviceStateBatch.zero_state(n, MEMBERS, dtype=dtype),
    form="(batch, 2**n) with batch at least 1 and n in [1, 62]", shape=lambda n: (MEMBERS, 1 << n),
    basis=lambda n, i, dtype: np.tile(np.eye(1 << n, dtype=dtype)[i], (MEMBERS, 1)),
    random=lambda n, dtype, rng: np.stack([random_state(n, dtype, rng) for _ in range(MEMBERS)]),
    run=lambda s, ops: velqa.run_circuit_batch_device(s, velqa_gates(ops)),
    model=lambda a, n, ops: np.stack([ref.run_reference(row, n, velqa_gates(ops)) for row in a]),
    measure=lambda s, qubits: velqa.measure_batch_device(s, qubits, seed=7))
KINDS = [pytest.param(STATE, id="state"), pytest.param(BATCH, id="batch"), pytest.param(DENSITY, id="density")]
TOLERANCE = {"complex64": 1e-6, "complex128": 1e-12}


@pytest.fixture
def xp():
    """The array library whose arrays live where the states do."""
    return np if ON_HOST else pytest.importorskip("cupy")


def to_host(array):
    return array.get() if hasattr(array, "get") else np.asarray(array)


# ------------------------------------------------------------------ the capsule, as the standard lays it out

class DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32),
                ("ndim", ctypes.c_int32), ("code", ctypes.c_uint8), ("bits", ctypes.c_uint8),
                ("lanes", ctypes.c_uint16), ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.POINTER(ctypes.c_int64)), ("byte_offset", ctypes.c_uint64)]


class DLManagedTensorVersioned(ctypes.Structure):
    _fields_ = [("major", ctypes.c_uint32), ("minor", ctypes.c_uint32), ("manager_ctx", ctypes.c_void_p),
                ("deleter", ctypes.c_void_p), ("flags", ctypes.c_uint64), ("dl_tensor", DLTensor)]


class DLManagedTensor(ctypes.Structure):
    _fields_ = [("dl_tensor", DLTensor), ("manager_ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype, _capsule_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype, _capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]


def read_capsule(capsule):
    """(name, version, flags, tensor fields) of a capsule, without consuming it."""
    name = _capsule_name(capsule)
    address = _capsule_pointer(capsule, name)
    if name.endswith(b"versioned"):
        managed = DLManagedTensorVersioned.from_address(address)
        version, flags = (managed.major, managed.minor), managed.flags
    else:
        managed, version, flags = DLManagedTensor.from_address(address), None, None
    t = managed.dl_tensor
    return SimpleNamespace(
        name=name.decode(), version=version, flags=flags, data=t.data, device=(t.device_type, t.device_id),
        dtype=(t.code, t.bits, t.lanes), shape=tuple(t.shape[d] for d in range(t.ndim)),
        strides=tuple(t.strides[d] for d in range(t.ndim)), byte_offset=t.byte_offset)


# ------------------------------------------------------------------ round trips

@pytest.mark.parametrize("kind", KINDS)
def test_export_is_a_writable_view(kind, dtype, xp):
    state = kind.zero(3, dtype=dtype)
    view = xp.from_dlpack(state)
    assert view.shape == kind.shape(3) and view.dtype == np.dtype(dtype)
    view[...] = xp.asarray(kind.basis(3, 6, dtype))  # |110>, written by the consumer
    kind.run(state, [("x", 1, (), ())])
    assert np.array_equal(to_host(view), kind.basis(3, 4, dtype)), "the consumer sees the gate"
    assert np.array_equal(state.to_numpy(), kind.basis(3, 4, dtype)), "the state sees the consumer's write"


@pytest.mark.parametrize("kind", KINDS)
def test_import_borrows_and_every_operation_works_in_place(kind, dtype, xp):
    start = kind.random(3, dtype, np.random.default_rng(3))
    array = xp.array(start)  # a copy: start stays the model's input
    state = kind.cls.from_dlpack(array)
    assert (state.dtype, state.device_id) == (dtype, 0)
    kind.run(state, CIRCUIT)
    np.testing.assert_allclose(to_host(array), kind.model(start, 3, CIRCUIT), rtol=0, atol=TOLERANCE[dtype])
    before = to_host(array).copy()
    kind.measure(state, [0, 2])
    after = to_host(array)
    assert np.array_equal(after, state.to_numpy()) and not np.array_equal(after, before), "the collapse is seen"


@pytest.mark.parametrize("kind", KINDS)
def test_capsules_follow_the_consumers_version_and_the_standards_layout(kind, dtype):
    state = kind.zero(2, dtype=dtype)
    own = state.__dlpack_device__()
    assert own == ((1, 0) if ON_HOST else (2, state.device_id))
    shape = kind.shape(2)
    strides = (1,) if len(shape) == 1 else (shape[1], 1)
    bits = 64 if dtype == "complex64" else 128
    for max_version, versioned in [(None, False), ((0, 8), False), ((1, 0), True), ((1, 7), True), ((2, 0), True)]:
        capsule = state.__dlpack__(max_version=max_version)
        c = read_capsule(capsule)
        assert c.name == ("dltensor_versioned" if versioned else "dltensor"), max_version
        assert (c.device, c.dtype, c.shape, c.strides, c.byte_offset) == (own, (5, bits, 1), shape, strides, 0)
        if versioned:
            assert c.version == (1, 1) and c.flags == 0, "writable and not a copy"
    copied = read_capsule(state.__dlpack__(max_version=(1, 0), copy=True))
    assert copied.flags == 2 and copied.data != c.data, "a copy is flagged as one"


@pytest.mark.parametrize("kind", KINDS)
def test_an_exported_copy_is_the_consumers_alone(kind, dtype):
    state = kind.zero(2, dtype=dtype)
    copy = kind.cls.from_dlpack(state.__dlpack__(max_version=(1, 0), copy=True))
    alias = kind.cls.from_dlpack(state)
    kind.run(state, [("x", 0, (), ())])
    assert np.array_equal(copy.to_numpy(), kind.basis(2, 0, dtype))
    assert np.array_equal(alias.to_numpy(), kind.basis(2, 1, dtype))


# ------------------------------------------------------------------ lifetimes (run under ASan too)

@host_only
@pytest.mark.parametrize("kind", KINDS)
def test_views_and_capsules_keep_the_memory_until_released(kind, hd):
    start = hd.live_bytes(0)
    state = kind.zero(4)
    size = hd.live_bytes(0) - start
    view = np.from_dlpack(state)
    capsule = state.__dlpack__(max_version=(1, 0))
    copy = state.__dlpack__(copy=True)
    assert hd.live_bytes(0) == start + 2 * size
    del state
    view[...] = kind.basis(4, 9, "complex128")  # written after the state is gone
    assert np.array_equal(view, kind.basis(4, 9, "complex128"))
    del view
    assert hd.live_bytes(0) == start + 2 * size, "the unconsumed capsule still holds the memory"
    del capsule, copy
    assert hd.live_bytes(0) == start, "unconsumed capsules release what they hold"


@host_only
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("source", ["array", "capsule"])
def test_states_keep_their_producer_until_released(kind, source, hd):
    start = hd.live_bytes(0)
    array = kind.random(2, "complex128", np.random.default_rng(1))
    producer = weakref.ref(array)
    references = sys.getrefcount(array)
    state = kind.cls.from_dlpack(array if source == "array" else array.__dlpack__())
    assert sys.getrefcount(array) == references + 1
    assert (hd.live_bytes(0), hd.registered_device_ranges()) == (start, 1), "borrowed: registered, not allocated"
    expected = kind.model(array.copy(), 2, CIRCUIT[:1])
    del array
    assert producer() is not None
    kind.run(state, CIRCUIT[:1])
    np.testing.assert_allclose(state.to_numpy(), expected, rtol=0, atol=1e-12)
    del state
    assert producer() is None and hd.registered_device_ranges() == 0 and hd.live_bytes(0) == start


# ------------------------------------------------------------------ copies

def strided_views(xp, values):
    """Device arrays holding values (a C-contiguous host array) that are not C-contiguous: a slice of a
    wider array, columns first (2-D) and negative strides."""
    if values.ndim == 1:
        wide = np.zeros(4 * values.size, values.dtype)
        wide[::4] = values
        return [xp.asarray(wide)[::4], xp.asarray(values[::-1].copy())[::-1]]
    wide = np.zeros((values.shape[0], 2 * values.shape[1]), values.dtype)
    wide[:, 1::2] = values
    return [xp.asarray(wide)[:, 1::2], xp.asfortranarray(xp.asarray(values)),
            xp.asarray(values[::-1, ::-1].copy())[::-1, ::-1]]


@pytest.mark.parametrize("kind", KINDS)
def test_tensors_that_are_not_c_contiguous_are_copied_unless_copy_is_false(kind, dtype, xp):
    values = kind.random(2, dtype, np.random.default_rng(5))
    for view in strided_views(xp, values):
        state = kind.cls.from_dlpack(view)
        assert np.array_equal(state.to_numpy(), values)
        kind.run(state, [("x", 0, (), ())])
        assert np.array_equal(to_host(view), values), "the state works on its own copy"
        with pytest.raises(ValueError, match=r"^DLPack tensor is not C-contiguous \(strides \(.*\) in elements\), "
                                             r"and copy=False$"):
            kind.cls.from_dlpack(view, copy=False)


@host_only
@pytest.mark.parametrize("kind", KINDS)
def test_copies_are_owned_and_borrows_are_not(kind, hd):
    start = hd.live_bytes(0)
    array = kind.random(3, "complex64", np.random.default_rng(2))
    states = [kind.cls.from_dlpack(array, copy=copy) for copy in (None, False, True)]
    assert hd.live_bytes(0) == start + array.nbytes and hd.registered_device_ranges() == 2
    states.append(kind.cls.from_dlpack(strided_views(np, array)[0]))
    assert hd.live_bytes(0) == start + 2 * array.nbytes and hd.registered_device_ranges() == 2, "copies register nothing"
    del states
    assert hd.live_bytes(0) == start and hd.registered_device_ranges() == 0


@host_only
def test_read_only_tensors_are_taken_as_copies_when_asked(hd):
    """A broadcast row (row stride 0) is read-only: refused without a copy, gathered with one."""
    rows = np.broadcast_to(np.array([1, 2j, 3, 4j]), (4, 4))
    start = hd.live_bytes(0)
    with pytest.raises(ValueError, match="read-only"):
        DENSITY.cls.from_dlpack(rows)
    state = DENSITY.cls.from_dlpack(rows, copy=True)
    assert np.array_equal(state.to_numpy(), rows) and hd.live_bytes(0) == start + rows.size * 16
    assert hd.registered_device_ranges() == 0


# Strides of any sign over both dtypes: every tensor either becomes a state equal to it or is refused
# with nothing allocated or registered.
@host_only
@settings(max_examples=60, derandomize=True, database=None, deadline=None,
          suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_any_strided_view_is_copied_exactly(data):
    hd = host_device_or_skip()
    density = data.draw(st.booleans(), "density")
    kind = DENSITY if density else STATE
    n = data.draw(st.integers(0 if density else 1, 3), "n")
    dtype = data.draw(st.sampled_from(["complex64", "complex128"]), "dtype")
    dim = 1 << n
    steps = data.draw(st.lists(st.sampled_from([1, 2, 3, -1, -2]), min_size=2 if density else 1,
                               max_size=2 if density else 1), "steps")
    base_shape = [dim * abs(s) for s in steps]
    base = (np.arange(np.prod(base_shape)) * (1 + 1j)).astype(dtype).reshape(base_shape)
    view = base[tuple(slice(None, None, s) for s in steps)]
    if data.draw(st.booleans(), "transposed") and density:
        view = view.T
    copy = data.draw(st.sampled_from([None, True, False]), "copy")
    start = hd.live_bytes(0)
    contiguous = view.flags.c_contiguous
    if copy is False and not contiguous:
        with pytest.raises(ValueError, match="not C-contiguous"):
            kind.cls.from_dlpack(view, copy=copy)
        assert hd.live_bytes(0) == start and hd.registered_device_ranges() == 0
        return
    state = kind.cls.from_dlpack(view, copy=copy)
    assert np.array_equal(state.to_numpy(), view)
    owned = copy is True or not contiguous
    assert hd.live_bytes(0) == start + (view.nbytes if owned else 0)
    assert hd.registered_device_ranges() == (0 if owned else 1)


# ------------------------------------------------------------------ refusals


class Elsewhere:
    """A producer whose tensor lives on the other kind of device; never asked for its capsule."""

    def __dlpack_device__(self):
        return (2, 0) if ON_HOST else (1, 0)

    def __dlpack__(self, **kwargs):
        raise AssertionError("asked for a capsule of a tensor on the wrong device")


def used_capsule():
    capsule = np.zeros(4, complex).__dlpack__()
    velqa.DeviceState.from_dlpack(capsule)
    return capsule


def read_only():
    a = np.zeros(4, complex)
    a.flags.writeable = False
    return a


def misaligned(count):
    """count complex128 values 8 bytes past a 16-byte boundary (NumPy calls them aligned)."""
    buffer = np.zeros(16 * count + 16, np.uint8)
    offset = (8 - buffer.ctypes.data) % 16
    return buffer[offset:offset + 16 * count].view(np.complex128)


OTHER = "CUDA memory (device 0); this build's states take CPU memory" if ON_HOST else \
    "CPU memory (device 0); this build's states take CUDA memory"
IMPORT_REFUSALS = [
    # (kind, producer, copy, exception, message): ValueError and TypeError, each naming the problem
    (STATE, lambda: np.zeros(4), None, TypeError, "a DeviceState takes a complex64 or complex128 tensor, not float64"),
    (DENSITY, lambda: np.zeros((2, 2), np.int32), True, TypeError,
     "a DeviceDensityState takes a complex64 or complex128 tensor, not int32"),
    (STATE, lambda: np.zeros(6, complex), None, ValueError,
     "a DeviceState takes a tensor of shape (2**n,) with n in [1, 62], not (6,)"),
    (STATE, lambda: np.zeros(1, complex), True, ValueError,
     "a DeviceState takes a tensor of shape (2**n,) with n in [1, 62], not (1,)"),
    (STATE, lambda: np.zeros((2, 2), complex), None, ValueError,
     "a DeviceState takes a tensor of shape (2**n,) with n in [1, 62], not (2, 2)"),
    (DENSITY, lambda: np.zeros((2, 4), complex), None, ValueError,
     "a DeviceDensityState takes a tensor of shape (2**n, 2**n) with n in [0, 15], not (2, 4)"),
    (DENSITY, lambda: np.zeros(4, complex), None, ValueError,
     "a DeviceDensityState takes a tensor of shape (2**n, 2**n) with n in [0, 15], not (4,)"),
    (BATCH, lambda: np.zeros(4, complex), None, ValueError,
     "a DeviceStateBatch takes a tensor of shape (batch, 2**n) with batch at least 1 and n in [1, 62], not (4,)"),
    (BATCH, lambda: np.zeros((0, 4), complex), True, ValueError,
     "a DeviceStateBatch takes a tensor of shape (batch, 2**n) with batch at least 1 and n in [1, 62], not (0, 4)"),
    (BATCH, lambda: np.zeros((2, 3), complex), None, ValueError,
     "a DeviceStateBatch takes a tensor of shape (batch, 2**n) with batch at least 1 and n in [1, 62], not (2, 3)"),
    (STATE, read_only, None, ValueError,
     "DLPack tensor is read-only, and a state writes to its memory (copy=True copies it)"),
    (STATE, read_only, False, ValueError,
     "DLPack tensor is read-only, and a state writes to its memory (copy=True copies it)"),
    (STATE, lambda: np.zeros(8, complex)[::2], False, ValueError,
     "DLPack tensor is not C-contiguous (strides (2,) in elements), and copy=False"),
    (DENSITY, lambda: misaligned(1).reshape(1, 1), False, ValueError,
     "DLPack tensor is not aligned to its 16-byte elements, and copy=False"),
    (STATE, Elsewhere, None, ValueError, "DLPack tensor is in " + OTHER),
    (STATE, lambda: [0j, 1j], None, TypeError, "from_dlpack takes an object with __dlpack__ or a DLPack capsule, "
     "not list"),
    (DENSITY, used_capsule, None, ValueError, "DLPack capsule was already consumed"),
    (STATE, lambda: np.zeros(4, complex), 1, TypeError, "copy must be a bool, not int"),
]


@host_only
@pytest.mark.parametrize("kind, producer, copy, error, message", IMPORT_REFUSALS)
def test_import_refusals_name_the_problem_and_allocate_nothing(kind, producer, copy, error, message, hd):
    source = producer()
    start = hd.live_bytes(0)
    with pytest.raises(error) as raised:
        kind.cls.from_dlpack(source, copy=copy)
    assert str(raised.value) == message
    assert hd.live_bytes(0) == start and hd.registered_device_ranges() == 0


@host_only
def test_refused_capsules_stay_unconsumed_and_misaligned_tensors_are_copied(hd):
    capsule = np.zeros(6, complex).__dlpack__()
    for cls in (velqa.DeviceState, velqa.DeviceStateBatch, dormeth.DeviceDensityState):
        with pytest.raises(ValueError, match="shape"):
            cls.from_dlpack(capsule)
        assert _capsule_name(capsule) == b"dltensor"
    del capsule  # its own destructor releases the producer's tensor (ASan sees a leak or a double release)
    values = misaligned(4)
    values[:] = [1, 2j, 3, 4j]
    start = hd.live_bytes(0)
    state = velqa.DeviceState.from_dlpack(values)
    assert np.array_equal(state.to_numpy(), values) and hd.live_bytes(0) == start + 64, "a copy"


EXPORT_REFUSALS = [
    # keyword arguments of __dlpack__, exception, message
    ({"stream": 1.0}, TypeError, "stream must be None or an integer, not float"),
    ({"max_version": [1, 0]}, TypeError, "max_version must be None or a tuple (major, minor) of integers, not list"),
    ({"max_version": (1, 0.5)}, TypeError, "max_version must be None or a tuple (major, minor) of integers, "
     "not tuple"),
    ({"dl_device": (1,)}, TypeError, "dl_device must be None or a tuple (device_type, device_id) of integers, "
     "not tuple"),
    ({"copy": 0}, TypeError, "copy must be a bool, not int"),
    ({"dl_device": (9, 0)}, BufferError, "cannot export a state in {own} to device type 9 memory (device 0)"),
]
EXPORT_REFUSALS_HOST = [
    ({"stream": 1}, ValueError, "stream must be None for CPU memory, not 1"),
    ({"dl_device": (2, 0)}, BufferError, "cannot export a state in CPU memory (device 0) to CUDA memory (device 0)"),
]
EXPORT_REFUSALS_CUDA = [
    ({"stream": 0}, ValueError,
     "stream 0 is ambiguous: None or 1 is the legacy default stream, 2 the per-thread default stream"),
    ({"stream": -2}, ValueError, "stream must be None, -1, 1, 2 or a CUDA stream handle, not -2"),
    ({"dl_device": (1, 0), "copy": False}, BufferError,
     "copy=False, but an export to CPU memory (device 0) copies the state's CUDA memory (device 0)"),
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("arguments, error, message",
                         EXPORT_REFUSALS + (EXPORT_REFUSALS_HOST if ON_HOST else EXPORT_REFUSALS_CUDA))
def test_export_refusals_name_the_problem(kind, arguments, error, message, no_leaks):
    state = kind.zero(1)
    own = "CPU memory (device 0)" if ON_HOST else "CUDA memory (device 0)"
    with pytest.raises(error) as raised:
        state.__dlpack__(**arguments)
    assert str(raised.value) == message.format(own=own)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        state.__dlpack__(None)  # the arguments are keyword-only
    with pytest.raises(TypeError, match="incompatible function arguments"):
        kind.cls.__dlpack__(None)


def test_cuda_array_interface_only_on_a_gpu():
    state = velqa.DeviceState.zero_state(2, dtype="complex64")
    density = dormeth.DeviceDensityState.zero_state(1)
    batch = velqa.DeviceStateBatch.zero_state(1, 3)
    if ON_HOST:
        assert not any(hasattr(s, "__cuda_array_interface__") for s in (state, density, batch))
        return
    for s, shape, typestr in ((state, (4,), "<c8"), (density, (2, 2), "<c16"), (batch, (3, 2), "<c16")):
        interface = s.__cuda_array_interface__
        view = read_capsule(s.__dlpack__())
        assert interface == {"shape": shape, "typestr": typestr, "data": (view.data, False), "version": 3,
                             "strides": None, "stream": 1}


@pytest.mark.threads
@host_only
def test_copies_run_without_the_gil(hd):
    state = velqa.DeviceState.zero_state(4)
    strided = np.zeros(32, complex)[::2]
    for name, call in [("__dlpack__(copy=True)", lambda: state.__dlpack__(copy=True)),
                       ("from_dlpack of a strided array", lambda: dormeth.DeviceDensityState.from_dlpack(
                           strided.reshape(4, 4)))]:
        assert releases_gil(hd, call), name
