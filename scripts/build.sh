#!/usr/bin/env bash
# Configures and builds one backend.
#   scripts/build.sh host|asan|tsan|cuda|auto [build-dir] [extra cmake arguments...]
# auto picks cuda when an NVIDIA GPU answers nvidia-smi, host otherwise. Prints the build folder.
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
    *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$build" "${generator[@]}" "${options[@]}" -DPython_EXECUTABLE="$python" "$@" >/dev/null
cmake --build "$build" -j "${KORVANE_JOBS:-$(nproc)}" >&2
echo "$build"
