"""Shared fixtures: the built modules, both precisions, every kernel mode, and the host device.

The suite runs unchanged on the cuda backend with a GPU; what only the host device can show
(allocation accounting, launch records, configured devices) is skipped there.
"""
import gc
import os
import sys
import threading
import time
import warnings

import numpy as np
import pytest

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_BUILD = os.environ.get("KORVANE_BUILD", os.path.join(_ROOT, "build", "host"))
sys.path.insert(0, os.path.join(_BUILD, "python"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import velqa  # noqa: E402

# What the tests call on the host device's control module.
_HOST_DEVICE_CONTROLS = ("reset", "configure", "live_bytes", "launches", "inject_launch_failures")


def _host_device():
    """The host device's control module, or None where the modules run on a GPU.

    Importability says nothing: from the repository root the source folder hostdevice/ imports as an
    empty namespace package when the build has no hostdevice module (the cuda backend). The host
    device is the module that has the controls the tests use.
    """
    try:
        import hostdevice
    except ImportError:
        return None
    if all(callable(getattr(hostdevice, name, None)) for name in _HOST_DEVICE_CONTROLS):
        return hostdevice
    sys.modules.pop("hostdevice", None)  # not the host device: leave no look-alike behind
    return None


_hostdevice = _host_device()

PRECISIONS = ["complex64", "complex128"]
MODES = [velqa.AllState, velqa.Pair, velqa.PairAuto, velqa.PairAutoFusion]
# Absolute tolerance per precision for amplitudes of unit-norm states after a few hundred gates.
TOLERANCE = {"complex64": 2e-5, "complex128": 1e-12}


def pytest_configure(config):
    config.addinivalue_line("markers", "threads: runs native code on several host threads (worker pool, two "
                            "Python threads, GIL release); the ThreadSanitizer build runs these")


@pytest.fixture(params=PRECISIONS)
def dtype(request):
    return request.param


@pytest.fixture(params=MODES, ids=lambda m: m.name)
def mode(request):
    return request.param


class UnlistedKernelWarning(UserWarning):
    """Kernels ran that the resource table (hostdevice/kernel_resources.inc, generated from a cuda
    build) lacks, so the host device checked neither their registers nor their launch bounds."""


_unlisted = set()  # such kernels this session; reset() makes the host device forget them


def _note_unlisted():
    if _hostdevice is not None:
        _unlisted.update(_hostdevice.unlisted_kernels())


@pytest.fixture(scope="session", autouse=True)
def _warn_of_unlisted_kernels():
    """A gate added on a machine without a GPU toolkit runs kernels the table has no rows for: the
    suite passes, and says so once, at its end. The cuda stage of CI keeps the table complete."""
    yield
    _note_unlisted()
    if _unlisted:
        warnings.warn(UnlistedKernelWarning(
            f"{len(_unlisted)} kernels have no row in hostdevice/kernel_resources.inc: {', '.join(sorted(_unlisted))}; "
            "regenerate it from a cuda build (scripts/build.sh cuda, then scripts/kernel_resources.py build/cuda "
            "--write)"))


@pytest.fixture
def hd():
    """The host device's controls, from its start; skips where tests run on a real GPU."""
    if _hostdevice is None:
        pytest.skip("needs the host device")
    gc.collect()  # device memory that earlier tests left in reference cycles is released first
    _note_unlisted()
    _hostdevice.reset()
    yield _hostdevice
    gc.collect()
    _note_unlisted()
    _hostdevice.reset()


@pytest.fixture
def no_leaks(hd):
    """Fails the test when device memory allocated during it is still live at its end."""
    gc.collect()  # states kept alive by earlier tracebacks are not this test's
    before = [hd.live_bytes(d) for d in range(4)]
    yield hd
    gc.collect()
    after = [hd.live_bytes(d) for d in range(4)]
    assert after == before, f"device memory left allocated: before {before}, after {after}"


def random_state(n, dtype, rng):
    v = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return (v / np.linalg.norm(v)).astype(dtype)


def assert_close(actual, expected, dtype, scale=1.0):
    np.testing.assert_allclose(actual, expected, rtol=0, atol=TOLERANCE[dtype] * scale)


def _call_beside(call, spin):
    """Runs call() while another Python thread runs spin(stop) until stop is set, with the GIL handed
    over promptly whenever it is free; returns when call() started and ended."""
    stop = threading.Event()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    thread = threading.Thread(target=spin, args=(stop,))
    thread.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    return start, end


def progress_during(call):
    """How far another Python thread gets while call() runs: nothing when call() holds the GIL
    throughout, a lot when it releases it around its native work. The other thread notes the time
    every 64 steps, and only steps in the middle of the call count. A call that holds the GIL may
    still hand it over just before it starts or as it returns, and on a busy machine the caller can
    wait a while for it to come back; so the first and last tenth of the call (at least five switch
    intervals, shortened for the probe) are left out."""
    stamps = []

    def spin(stop):
        steps = 0
        while not stop.is_set():
            steps += 1
            if steps % 64 == 0:
                stamps.append(time.perf_counter())

    start, end = _call_beside(call, spin)
    margin = max(5e-4, 0.1 * (end - start))
    return 64 * sum(1 for t in stamps if start + margin <= t <= end - margin)


def held_fraction(call):
    """The longest time during call() in which another Python thread could not run, as a fraction of
    the call's duration: near 1 when call() holds the GIL throughout. A busy machine can only
    lengthen the pauses, never shorten them."""
    stamps = []

    def spin(stop):
        while not stop.is_set():
            stamps.append(time.perf_counter())

    start, end = _call_beside(call, spin)
    inside = [start] + [t for t in stamps if start < t < end] + [end]
    return max(b - a for a, b in zip(inside, inside[1:])) / (end - start)
