#!/usr/bin/env bash
# Formats the C++ and CUDA sources with the repository's .clang-format (clang-format 14, Debian's).
#   scripts/format.sh           rewrites every source file that differs
#   scripts/format.sh --check   names every file that differs and fails, changing nothing (CI)
# Generated files that must keep their layout say "// clang-format off" (hostdevice/kernel_resources.inc).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
tool=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$tool" ] || { echo "clang-format not found (scripts/install_deps.sh installs it)" >&2; exit 2; }
# Tracked files and new ones git does not ignore.
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.hpp' '*.cu' '*.cuh' '*.h' '*.inc')

if [ "${1:-}" = --check ]; then
    differ=()
    for f in "${files[@]}"; do
        "$tool" --dry-run --Werror "$f" >/dev/null 2>&1 || differ+=("$f")
    done
    if [ ${#differ[@]} -gt 0 ]; then
        printf 'not formatted: %s\n' "${differ[@]}" >&2
        echo "run scripts/format.sh to format them" >&2
        exit 1
    fi
    echo "clang-format: ${#files[@]} files formatted"
else
    "$tool" -i "${files[@]}"
fi
