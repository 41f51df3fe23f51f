#!/usr/bin/env bash
# Checks the pip packaging on the host backend, in fresh virtual environments under build/package.
#   scripts/check_package.sh wheel      pip wheel . from an empty build/package; the wheel installs with
#                                       pip into venv 1, where the modules import and the example runs
#                                       from outside the source tree and mypy --strict checks the example
#                                       and tests/typing/usage.py against the installed stubs, and into
#                                       venv 2, where the modules import
#   scripts/check_package.sh editable   pip install -e . into venv 3, where the modules import
#   scripts/check_package.sh            both, in that order
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

case "${1:-all}" in
    wheel) step_wheel ;;
    editable) step_editable ;;
    all) step_wheel; step_editable ;;
    *) echo "usage: scripts/check_package.sh [wheel|editable]" >&2; exit 2 ;;
esac
