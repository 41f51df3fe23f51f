#!/usr/bin/env bash
# The GPU check: on a machine with an NVIDIA GPU (no network needed: nvcc, CMake, python3 with NumPy,
# pybind11 and pytest already there; matplotlib, CuPy and compute-sanitizer used when present) it
# checks the machine, builds the cuda backend for the local GPU, runs the whole Python suite and the
# zero-copy round trips with CuPy, runs compute-sanitizer and every benchmark that fits, and writes its
# log, a summary JSON and a plot to $OUT (else build/). Where the machine also has clang++-22 and the
# CUDA 12 packages (the cache of scripts/cuda12_root.py, or a copy named by --cuda12-packages /
# KORVANE_CUDA12_PACKAGES), it builds the cuda12 backend beside it and runs the suite and the
# benchmarks on both, side by side; otherwise it says why the cuda12 half is skipped.
# scripts/gpu_check.py does the work; its docstring lists the options.
#
#   scripts/gpu_check.sh                  the whole check, within 9 minutes
#   scripts/gpu_check.sh --all-archs      build the product's seven architectures (slower)
#   scripts/gpu_check.sh --only tests --build build/gpu     rerun one stage on an existing build
#
# Time budget, for a 10-minute slot on a 16-core GPU machine: the run ends within 540 s.
#   preflight (nvidia-smi, driver, nvcc, Python.h, CMake, modules; clang and
#   the CUDA 12 packages)                                                   ~5 s
#   build, local architecture only: cuda and cuda12     at most 150 s   (one architecture: ~110 CPU-s of
#   at once, half the cores each                                        nvcc here and ~150 CPU-s of clang
#                                                                       and g++, so about a minute on 8
#                                                                       cores each)
#   test suite, cuda build, under its own timeout       at most 120 s   (~40 s on the host device)
#   test suite, cuda12 build                            at most  75 s
#   round trips with CuPy (where it imports)            at most  20 s
#   compute-sanitizer memcheck (cuda build), subset     at most  60 s
#   racecheck + synccheck, barrier kernels              at most  30 + 30 s
#   outputs (summary, plot), kept in reserve                  10 s
#   benchmarks: what is left, at least 540 - 5 - 150 - 120 - 75 - 20 - 60 - 30 - 30 - 10 = 40 s (115 s without
#   the cuda12 half), and more when the stages before them end early. A benchmark starts only when its
#   allowance on every build (20 to 45 s each, listed in gpu_check.py; 280 s for all eight on one build)
#   fits in what is left; the log and the summary name those skipped. Every stage's timeout is cut to
#   what is left of the 540 s.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if ! command -v python3 >/dev/null 2>&1; then
    echo "PREFLIGHT FAILED: python3 not found: the check and the modules need it" >&2
    exit 2
fi
exec python3 "$root/scripts/gpu_check.py" "$@"
