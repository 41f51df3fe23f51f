#!/usr/bin/env bash
# Checks that the committed stubs (stubs/) are what scripts/gen_stubs.sh makes from the build, and that
# they pass mypy --strict themselves.
#   scripts/check_stubs.sh [build-dir]     (default: build/host, brought up to date first)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="${KORVANE_PYTHON:-$root/.venv/bin/python}"
[ -x "$python" ] || python="$(command -v python3)"
build="${1:-}"
[ -n "$build" ] || build="$("$root/scripts/build.sh" host)"
fresh="$(mktemp -d)"
trap 'rm -rf "$fresh"' EXIT
"$root/scripts/gen_stubs.sh" "$build" "$fresh" >/dev/null
if ! diff -u "$root/stubs" "$fresh"; then
    echo "stubs/ differ from what the build produces: run scripts/gen_stubs.sh and commit the result" >&2
    exit 1
fi
cd "$fresh"
"$python" -m mypy --strict --no-incremental "$root/stubs/velqa.pyi" "$root/stubs/dormeth.pyi"
echo "stubs: match the build and pass mypy --strict"
