#!/usr/bin/env bash
# Checks the pip packaging on the host backend, in fresh virtual environments under build/package.
#   scripts/check_package.sh wheel      pip wheel . from an empty build/package; the wheel installs with
#                                       pip into venv 1, where the modules import and the example runs
#                                       from outside the source tree and mypy --strict checks the example
#                                       and tests/typing/usage.py against the installed stubs, and into
#                                       venv 2, where the modules import
#   scripts/check_package.sh editable   pip install -e . into venv 3, where the modules import
#   scripts/check_package.sh cuda12     KORVANE_BACKEND=cuda12 pip install . (one architecture) into venv 4,
#                                       where the modules import without a GPU, refuse device work with a
#                                       CUDA error, and need only CUDA 12 libraries, which they find in
#                                       the environment's runtime and cuBLAS wheels through their run path
#   scripts/check_package.sh            wheel and editable, in that order
# `pip install .` is pip building this same wheel through the same build hook and installing it, so
# the wheel step covers it with one build; the editable install is the other hook, run from source. It
# shares the wheel's CMake build folder and so recompiles only what pip's fresh build environment
# changes (the binding sources, which find pybind11 at a new path), not the whole system.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="${KORVANE_PYTHON:-$root/.venv/bin/python}"
[ -x "$python" ] || python="$(command -v python3)"
work="$root/build/package"
export KORVANE_BACKEND=host
export SKBUILD_BUILD_DIR="$work/cmake"
export PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHONPATH LD_LIBRARY_PATH KORVANE_BUILD
outside="$(mktemp -d)"
trap 'rm -rf "$outside"' EXIT

fresh_venv() {
    rm -rf "$1"
    "$python" -m venv "$1"
}

# Imports the modules in a folder outside the source tree and checks that they, their stubs and the
# host device's library come from the environment's site-packages, and that device work runs.
check_import() {
    (cd "$outside" && "$1/bin/python" - <<'PY'
import importlib.util, os, sysconfig
import dormeth, velqa

site = os.path.realpath(sysconfig.get_paths()["platlib"])
for module in (velqa, dormeth):
    assert os.path.dirname(os.path.realpath(module.__file__)) == site, module.__file__
    assert module.backend == "host", module.backend
    assert os.path.isfile(os.path.join(site, module.__name__ + "-stubs", "__init__.pyi")), module.__name__
assert os.path.isfile(os.path.join(site, "libhostdevice.so"))
assert importlib.util.find_spec("hostdevice") is None, "the host device's test controls are not installed"
state = velqa.DeviceState.zero_state(3)
velqa.run_circuit_device(state, [{"id": "x", "target": [2], "control": [], "control_state": [], "parameter": []}])
assert abs(state.to_numpy()[4] - 1) < 1e-12
rho = dormeth.DeviceDensityState.zero_state(2)
assert dormeth.measure_device(rho, [0, 1], seed=1) == "00"
print(f"import from {os.getcwd()}: velqa and dormeth ({velqa.backend}) from {site}")
PY
    )
}

step_wheel() {
    rm -rf "$work"
    mkdir -p "$work"
    "$python" -m pip wheel --quiet --no-deps --wheel-dir "$work/dist" "$root"
    local wheel
    wheel="$(ls "$work"/dist/korvane_gpu-*.whl)"
    echo "built $(basename "$wheel")"
    fresh_venv "$work/venv1"
    "$work/venv1/bin/python" -m pip install --quiet "$wheel"
    check_import "$work/venv1"
    # The example as a user runs it: a copy in a folder of its own, no build folder to fall back on.
    cp "$root/examples/example_circuits.py" "$outside/"
    (cd "$outside" && KORVANE_BUILD="$outside/no-build" "$work/venv1/bin/python" example_circuits.py)
    (cd "$outside" && "$python" -m mypy --strict --no-incremental --cache-dir=/dev/null \
        --python-executable "$work/venv1/bin/python" "$root/examples/example_circuits.py" "$root/tests/typing/usage.py")
    fresh_venv "$work/venv2"
    "$work/venv2/bin/python" -m pip install --quiet "$wheel"
    check_import "$work/venv2"
}

step_editable() {
    fresh_venv "$work/venv3"
    "$work/venv3/bin/python" -m pip install --quiet --editable "$root"
    check_import "$work/venv3"
}

# The CUDA 12 wheels come from scripts/cuda12_root.py's cache (downloaded there once) at the pinned
# versions, for the build environment and for the installed dependencies alike.
step_cuda12() {
    local wheels venv="$work/venv4"
    wheels="$("$python" "$root/scripts/cuda12_root.py" wheels)"
    mkdir -p "$work"
    "$python" "$root/scripts/cuda12_root.py" pins >"$work/cuda12-pins.txt"
    fresh_venv "$venv"
    KORVANE_BACKEND=cuda12 KORVANE_CUDA_ARCHITECTURES="${KORVANE_CUDA_ARCHITECTURES:-90-real}" \
        SKBUILD_BUILD_DIR="$work/cmake-cuda12" PIP_CONSTRAINT="$work/cuda12-pins.txt" \
        "$venv/bin/python" -m pip install --quiet --find-links "$wheels" "$root"
    (cd "$outside" && "$venv/bin/python" - <<'PY'
import os, re, subprocess, sysconfig
import dormeth, velqa

site = os.path.realpath(sysconfig.get_paths()["platlib"])
runtime, cublas = (os.path.join(site, "nvidia", package, "lib") for package in ("cuda_runtime", "cublas"))
wheels = {"libcudart.so.12": runtime, "libcublas.so.12": cublas, "libcublasLt.so.12": cublas}
for module in (velqa, dormeth):
    assert os.path.dirname(os.path.realpath(module.__file__)) == site, module.__file__
    assert module.backend == "cuda", module.backend
    dynamic = subprocess.run(["readelf", "-d", module.__file__], capture_output=True, text=True, check=True).stdout
    assert "Library runpath: [$ORIGIN/nvidia/cuda_runtime/lib:$ORIGIN/nvidia/cublas/lib]" in dynamic, dynamic
    loaded = dict(re.findall(r"^\s*(\S+) => (\S+)", subprocess.run(["ldd", module.__file__], capture_output=True,
                                                                  text=True, check=True).stdout, re.M))
    cuda = {lib: path for lib, path in loaded.items() if re.match(r"libcu(dart|blas)", lib)}
    assert cuda and all(lib.endswith(".so.12") for lib in cuda), cuda
    for lib, path in cuda.items():
        assert os.path.dirname(os.path.realpath(path)) == wheels[lib], (lib, path)
    print(f"{module.__name__}: " + ", ".join(f"{lib} from {os.path.relpath(path, site)}" for lib, path in cuda.items()))
try:
    velqa.DeviceState.zero_state(2)
    refusal = "none"
except RuntimeError as e:
    refusal = str(e)
assert refusal.startswith("CUDA error: "), refusal
print(f"import from {os.getcwd()}: velqa and dormeth (CUDA 12 from the wheels) from {site}; no GPU: {refusal}")
PY
    )
}

case "${1:-all}" in
    wheel) step_wheel ;;
    editable) step_editable ;;
    cuda12) step_cuda12 ;;
    all) step_wheel; step_editable ;;
    *) echo "usage: scripts/check_package.sh [wheel|editable|cuda12]" >&2; exit 2 ;;
esac
