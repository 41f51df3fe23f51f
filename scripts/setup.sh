#!/usr/bin/env bash
# Creates the project's Python environment (.venv) with NumPy, pybind11, pytest, Hypothesis (the fuzz
# tests), pytest-random-order (off unless asked for; CI runs the suite once in random order),
# mpi4py (the trajectories' communicator: optional to users, the suite runs it under mpirun),
# matplotlib (the GPU check's plot), cuobjdump from the package index where the CUDA toolkit has none
# (the kernel resource check of the cuda build), and the stub generator and type checker of the
# packaging checks.
# Python 3.10 is the target; pyenv's 3.10 is preferred, then any python3.10 on PATH, then the
# newest python3 available (with a warning). Idempotent.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${KORVANE_VENV:-$root/.venv}"

find_python() {
    local candidate
    for candidate in /root/.pyenv/versions/3.10*/bin/python3.10 "$HOME"/.pyenv/versions/3.10*/bin/python3.10; do
        [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
    command -v python3.10 >/dev/null 2>&1 && { command -v python3.10; return; }
    local newest
    newest=$(ls -d /root/.pyenv/versions/3.* 2>/dev/null | sort -V | tail -n 1)
    if [ -n "$newest" ] && [ -x "$newest/bin/python3" ]; then
        echo "warning: no Python 3.10 found; using $newest/bin/python3" >&2
        echo "$newest/bin/python3"; return
    fi
    echo "warning: no Python 3.10 found; using $(command -v python3)" >&2
    command -v python3
}

if [ ! -x "$venv/bin/python" ]; then
    python=$(find_python)
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip >/dev/null
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check numpy pybind11 pytest hypothesis \
    pytest-random-order matplotlib mpi4py
# The stub generator and the type checker of the packaging checks, pinned together with the pybind11 whose
# signatures they read, so that regenerated stubs are the same on every machine.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "pybind11==3.1.0" "pybind11-stubgen==3.0.0" \
    "mypy==2.4.1"
if ! command -v cuobjdump >/dev/null 2>&1 && [ ! -x /usr/local/cuda/bin/cuobjdump ]; then
    # Lands in the venv's site-packages/nvidia/cu13/bin, where scripts/kernel_resources.py looks.
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check 'nvidia-cuda-cuobjdump>=13,<14'
fi
"$venv/bin/python" -c 'import sys, numpy, pybind11, pytest, hypothesis; print("python", sys.version.split()[0], "numpy", numpy.__version__, "pybind11", pybind11.__version__, "hypothesis", hypothesis.__version__)'
