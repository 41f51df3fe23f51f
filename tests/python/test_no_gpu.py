"""The cuda backend on a machine without a GPU: the modules import and refuse device work cleanly.

Runs only where KORVANE_EXPECT_NO_GPU=1 (CI sets it for its cuda build); elsewhere a GPU or the
host device answers instead.
"""
import importlib
import os

import pytest

pytestmark = pytest.mark.skipif(os.environ.get("KORVANE_EXPECT_NO_GPU") != "1",
                                reason="needs a cuda build on a machine without a GPU")


def test_modules_import_and_creating_a_state_fails_with_a_cuda_error():
    velqa = importlib.import_module("velqa")
    assert velqa.__doc__ == "CUDA gate backend for korvane"
    assert velqa.backend == importlib.import_module("dormeth").backend == "cuda"
    with pytest.raises(RuntimeError, match="^CUDA error: "):
        velqa.DeviceState.zero_state(2)
    with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
        velqa.DeviceState.zero_state(0)  # argument checks come before the device
