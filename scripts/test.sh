#!/usr/bin/env bash
# Runs every test against one build: the C++ unit tests, then the Python suite.
#   scripts/test.sh [build-dir] [pytest arguments...]
# A sanitizer build (its CMakeCache names KORVANE_SANITIZER) runs Python with the sanitizer runtime
# preloaded: Python itself is not instrumented, and the runtime must be the first library loaded.
# A ThreadSanitizer build runs the tests that use several host threads: the C++ tests (less one
# that checks the shared-memory kernel's grid stride, minutes under it, and single-kernel anyway)
# and the Python tests marked "threads".
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/host}"
shift || true
python="${KORVANE_PYTHON:-$root/.venv/bin/python}"
[ -x "$python" ] || python="$(command -v python3)"

# The sanitizer CMake chose from KORVANE_SANITIZE: address, thread or empty.
sanitize=$(sed -n 's/^KORVANE_SANITIZER:INTERNAL=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
pytest_selection=()
if [ "$sanitize" = thread ]; then
    # A race ends the run where it is found.
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
    export GTEST_FILTER="-DensityFusionKernel.SubBlocksBeyondOneGridAreEachDoneOnce"
    pytest_selection=(-m threads)
fi

if [ -f "$build/CTestTestfile.cmake" ] || [ -d "$build/tests/cpp" ]; then
    ctest --test-dir "$build" --output-on-failure
fi

export KORVANE_BUILD="$build"
if [ "$sanitize" = thread ]; then
    export LD_PRELOAD="$(g++ -print-file-name=libtsan.so)"
elif [ "$sanitize" = address ]; then
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
fi
exec "$python" -m pytest -q "$root/tests/python" "${pytest_selection[@]}" "$@"
