#!/usr/bin/env bash
# Configures and builds one backend.
#   scripts/build.sh host|asan|tsan|cuda|cuda12|auto [build-dir] [extra cmake arguments...]
#   scripts/build.sh clang-warnings [build-dir]
# auto picks cuda when an NVIDIA GPU answers nvidia-smi, host otherwise. cuda12 compiles with clang++-22
# against CUDA 12 from the package index: scripts/cuda12_root.py downloads and unpacks it into a cache
# outside the source tree once (or KORVANE_CUDA12_PACKAGES names a folder already holding it).
# clang-warnings compiles (without linking) the CUDA sources with clang++-22 for the CUDA toolkit
# installed, one architecture, with -Wall -Wextra -Wconversion -Wshadow as errors. Prints the build folder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
kind="${1:-host}"
shift || true
if [ "$kind" = auto ]; then
    if command -v nvidia-smi >/dev/null 2>&1 && nvidia-smi -L >/dev/null 2>&1; then kind=cuda; else kind=host; fi
fi
build="${1:-$root/build/$kind}"
shift || true
python="${KORVANE_PYTHON:-$root/.venv/bin/python}"
[ -x "$python" ] || python="$(command -v python3)"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
case "$kind" in
    host) options=(-DKORVANE_BACKEND=host) ;;
    asan) options=(-DKORVANE_BACKEND=host -DKORVANE_SANITIZE=address) ;;
    tsan) options=(-DKORVANE_BACKEND=host -DKORVANE_SANITIZE=thread) ;;
    cuda) options=(-DKORVANE_BACKEND=cuda) ;;
    cuda12)
        packages="${KORVANE_CUDA12_PACKAGES:-}"
        [ -n "$packages" ] || packages="$("$python" "$root/scripts/cuda12_root.py" packages)"
        options=(-DKORVANE_BACKEND=cuda12 "-DKORVANE_CUDA12_PACKAGES=$packages") ;;
    clang-warnings)
        clang="$(command -v clang++-22)" || { echo "clang++-22 not found: scripts/install_deps.sh installs it" >&2; exit 2; }
        # CMake identifies clang by compiling for sm_52 unless the flags name an architecture; CUDA 13 has
        # none below sm_75.
        options=(-DKORVANE_BACKEND=cuda "-DCMAKE_CUDA_COMPILER=$clang" -DKORVANE_CUDA_WARNINGS=ON
                 -DKORVANE_CUDA_ARCHITECTURES=90-real -DCMAKE_CUDA_FLAGS=--cuda-gpu-arch=sm_90) ;;
    *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$build" "${generator[@]}" "${options[@]}" -DPython_EXECUTABLE="$python" "$@" >/dev/null
jobs="${KORVANE_JOBS:-$(nproc)}"
if [ "$kind" = clang-warnings ]; then
    # Compile only: the object files of the CUDA sources, as CMake's build lists them.
    command -v ninja >/dev/null 2>&1 || { echo "clang-warnings needs ninja (ninja-build)" >&2; exit 2; }
    mapfile -t objects < <(ninja -C "$build" -t targets all | sed -n 's/^\(.*\.cu\.o\): .*/\1/p')
    [ ${#objects[@]} -gt 0 ] || { echo "no CUDA sources in $build" >&2; exit 1; }
    ninja -C "$build" -k 0 -j "$jobs" "${objects[@]}" >&2
    echo "clang-warnings: ${#objects[@]} CUDA sources compile clean" >&2
else
    cmake --build "$build" -j "$jobs" >&2
fi
echo "$build"
