#!/usr/bin/env bash
# The GPU check: on a machine with an NVIDIA GPU (no network needed: nvcc, python3 with NumPy, pybind11
# and pytest already present), builds the cuda backend for that GPU, runs the whole Python test suite
# and every benchmark against it, and writes what it printed to a log ($OUT/gpu_check.log when $OUT is
# set, else build/gpu_check.log).
#   scripts/gpu_check.sh [all-archs]     (all-archs: build the six product architectures, slower)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
mkdir -p build
log="${OUT:+$OUT/gpu_check.log}"
log="${log:-$root/build/gpu_check.log}"
exec > >(tee "$log") 2>&1

stage() { printf '\n==== %s (%s)\n' "$1" "$(date +%T)"; }
elapsed() { printf -- '---- %s took %ss\n' "$1" "$(( $(date +%s) - $2 ))"; }

stage "machine"
nvidia-smi --query-gpu=name,compute_cap,memory.total,driver_version --format=csv
nvcc --version | tail -n 2
python3 -c 'import sys, numpy, pybind11; print("python", sys.version.split()[0], "numpy", numpy.__version__, "pybind11", pybind11.__version__)'

archs="75-real;80-real;86-real;89-real;90-real;120-real"
if [ "${1:-}" != "all-archs" ]; then
    cap=$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader | head -n 1 | tr -d '. ')
    archs="${cap}-real"
fi

stage "build cuda backend for $archs"
t=$(date +%s)
export KORVANE_PYTHON="$(command -v python3)"
build=$(KORVANE_JOBS=$(nproc) scripts/build.sh cuda "$root/build/gpu" -DKORVANE_CUDA_ARCHITECTURES="$archs") || {
    echo "BUILD FAILED"; exit 1; }
elapsed build "$t"

stage "test suite"
t=$(date +%s)
KORVANE_BUILD="$build" timeout 300 python3 -m pytest -q -p no:cacheprovider tests/python
tests=$?
elapsed tests "$t"

stage "benchmarks"
for bench in bench/bench_*.py; do
    t=$(date +%s)
    KORVANE_BUILD="$build" timeout 150 python3 "$bench"
    elapsed "$bench" "$t"
done

stage "done: test suite exit status $tests"
exit "$tests"
