#!/usr/bin/env bash
# Creates the project's Python environment (.venv) with NumPy, pybind11, pytest, Hypothesis (the
# fuzz tests) and pytest-random-order (off unless asked for; CI runs the suite once in random order).
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
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check numpy pybind11 pytest hypothesis pytest-random-order
"$venv/bin/python" -c 'import sys, numpy, pybind11, pytest, hypothesis; print("python", sys.version.split()[0], "numpy", numpy.__version__, "pybind11", pybind11.__version__, "hypothesis", hypothesis.__version__)'
