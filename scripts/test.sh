#!/usr/bin/env bash
# Runs every test against one build: the C++ unit tests, then the Python suite.
#   scripts/test.sh [build-dir] [pytest arguments...]
# A sanitizer build (its CMakeCache says KORVANE_SANITIZE=ON) runs Python with the sanitizer
# runtime preloaded.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/host}"
shift || true
python="${KORVANE_PYTHON:-$root/.venv/bin/python}"
[ -x "$python" ] || python="$(command -v python3)"

if [ -f "$build/CTestTestfile.cmake" ] || [ -d "$build/tests/cpp" ]; then
    ctest --test-dir "$build" --output-on-failure
fi

export KORVANE_BUILD="$build"
if grep -q "KORVANE_SANITIZE:BOOL=ON" "$build/CMakeCache.txt" 2>/dev/null; then
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
fi
exec "$python" -m pytest -q "$root/tests/python" "$@"
