"""Shared fixtures: the built modules, both precisions, every kernel mode, and the host device.

The suite runs unchanged on the cuda backend with a GPU; what only the host device can show
(allocation accounting, launch records, configured devices) is skipped there.
"""
import gc
import os
import subprocess
import sys
import threading
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


def host_device_or_skip():
    """The host device's controls for a test that cannot take the hd fixture (a Hypothesis test);
    pytest.importorskip("hostdevice") would find the source folder on a GPU."""
    if _hostdevice is None:
        pytest.skip("needs the host device")
    return _hostdevice

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


def _hold_first_operation(hd, call, timeout):
    """Runs call() with its first device operation (launch, copy, memset, or the planner's hold point)
    held by the host device until another Python thread lets it go. That thread waits for the hold
    without the GIL and needs the GIL to let it go: it can do so only while call() does not hold the
    GIL. Returns (reached, timeouts): whether the helper saw the hold, and how many holds ran out."""
    hd.hold_operations(1, timeout)
    seen = []

    def let_go():
        if hd.wait_for_held_operations(1, timeout):
            seen.append(True)
            hd.release_held_operations()

    helper = threading.Thread(target=let_go)
    helper.start()
    try:
        call()
    finally:
        hd.release_held_operations()  # a call that failed before any device work holds nothing
        helper.join()
    return bool(seen), hd.held_operation_timeouts()


def releases_gil(hd, call):
    """Whether call() does its device work without the GIL. A busy machine only delays the other
    thread: the generous timeout runs out only when call() held the GIL throughout."""
    reached, timeouts = _hold_first_operation(hd, call, timeout=120.0)
    return reached and timeouts == 0


def holds_gil(hd, call):
    """Whether call() holds the GIL during its first device operation: the other thread cannot let it go
    and the hold runs out. (A call that released the GIL could still run out on a machine too busy to
    run the other thread in two seconds, so this can only miss a release, never invent one.)"""
    reached, timeouts = _hold_first_operation(hd, call, timeout=2.0)
    return reached and timeouts == 1


def run_python(source, timeout=120):
    """Runs source in a fresh interpreter that imports this build's modules; returns the completed process."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(_BUILD, "python"), os.path.dirname(
        os.path.abspath(__file__))]))
    return subprocess.run([sys.executable, "-c", source], env=env, capture_output=True, text=True, timeout=timeout)
