#!/usr/bin/env bash
# Runs clang-tidy (Debian's clang-tidy 14, the checks in .clang-tidy) over every source file of a host
# build, as its compile_commands.json compiles them (the .cu sources as C++), on all cores, and fails
# on any finding. Findings in a header are printed once for each file that includes it.
#   scripts/tidy.sh [build-dir] [path-regex...]    e.g. scripts/tidy.sh build/host '^dormeth/'
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build/host}" && pwd)"
shift || true
if [ ! -f "$build/compile_commands.json" ]; then
    echo "no compile_commands.json in $build: configure it with scripts/build.sh host" >&2
    exit 2
fi
tool=$(command -v clang-tidy-14 || command -v clang-tidy || true)
[ -n "$tool" ] || { echo "clang-tidy not found (scripts/install_deps.sh installs it)" >&2; exit 2; }
cd "$root"
# The build's files, as paths from the repository root, that match any of the regexes.
mapfile -t files < <(python3 - "$build/compile_commands.json" "$root" "$@" <<'PY'
import json, os, re, sys
database, root, patterns = sys.argv[1], sys.argv[2], sys.argv[3:] or [""]
paths = sorted({os.path.relpath(entry["file"], root) for entry in json.load(open(database))})
print("\n".join(p for p in paths if any(re.search(r, p) for r in patterns)))
PY
)
[ ${#files[@]} -gt 0 ] && [ -n "${files[0]}" ] || { echo "no file of the build matches" >&2; exit 2; }

# One clang-tidy a file, its output printed in one piece; xargs fails when any of them does.
export tool build
status=0
printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P "${KORVANE_JOBS:-$(nproc)}" sh -c '
    out=$("$tool" -p "$build" --quiet "$1" 2>&1); code=$?
    printf "%s\n" "$out" | grep -vE "^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$"
    exit $code' tidy || status=$?
if [ "$status" -eq 0 ]; then
    echo "clang-tidy: ${#files[@]} files, no findings"
else
    echo "clang-tidy: findings above" >&2
fi
exit "$status"
