"""Shared fixtures: the built modules, both precisions, every kernel mode, and the host device.

The suite runs unchanged on the cuda backend with a GPU; what only the host device can show
(allocation accounting, launch records, configured devices) is skipped there.
"""
import gc
import os
import sys
import threading
import time

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


@pytest.fixture(params=PRECISIONS)
def dtype(request):
    return request.param


@pytest.fixture(params=MODES, ids=lambda m: m.name)
def mode(request):
    return request.param


@pytest.fixture
def hd():
    """The host device's controls; skips where tests run on a real GPU."""
    if _hostdevice is None:
        pytest.skip("needs the host device")
    _hostdevice.reset()
    yield _hostdevice
    gc.collect()
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


def progress_during(call):
    """How far another Python thread gets while call() runs: nothing when call() holds the GIL
    throughout, a lot when it releases it around its native work. The other thread notes the time
    every 64 steps. Steps in the last five switch intervals are not counted: a call that holds the
    GIL hands it to the waiting thread as soon as it returns, for a switch interval or two before the
    caller reads the clock. The call should last well beyond that margin (a tenth of a second)."""
    stamps = []
    stop = threading.Event()

    def spin():
        steps = 0
        while not stop.is_set():
            steps += 1
            if steps % 64 == 0:
                stamps.append(time.perf_counter())

    thread = threading.Thread(target=spin)
    thread.start()
    time.sleep(0.02)
    start = time.perf_counter()
    call()
    end = time.perf_counter() - 5 * sys.getswitchinterval()
    stop.set()
    thread.join()
    return 64 * sum(1 for t in stamps if start <= t <= end)
