#!/usr/bin/env bash
# Regenerates the type stubs of velqa and dormeth (stubs/velqa.pyi, stubs/dormeth.pyi) from the built
# modules: pybind11-stubgen, then scripts/tidy_stubs.py. Commit the result; pip installs them beside
# the modules as the stub packages velqa-stubs and dormeth-stubs.
#   scripts/gen_stubs.sh [build-dir [output-dir]]
# Without a build folder it brings build/host up to date first (scripts/build.sh host).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="${KORVANE_PYTHON:-$root/.venv/bin/python}"
[ -x "$python" ] || python="$(command -v python3)"
if [ $# -ge 1 ]; then
    build="$(cd "$1" && pwd)"
else
    build="$("$root/scripts/build.sh" host)"
fi
out="${2:-$root/stubs}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
export PYTHONPATH="$build/python"
# The stubs describe this build's modules, not an installed copy that an import hook might prefer.
"$python" - "$build/python" <<'PY'
import os, sys
import dormeth, velqa
for module in (velqa, dormeth):
    if os.path.dirname(os.path.realpath(module.__file__)) != os.path.realpath(sys.argv[1]):
        sys.exit(f"{module.__name__} was imported from {module.__file__}, not from {sys.argv[1]}")
PY
# An enumeration that appears as a default value needs its module named here (--enum-class-locations).
"$python" -m pybind11_stubgen --exit-code --enum-class-locations KernelMode:velqa -o "$work/out" velqa dormeth
"$python" "$root/scripts/tidy_stubs.py" "$work/out/velqa.pyi" "$work/out/dormeth.pyi"
cp "$work/out/velqa.pyi" "$work/out/dormeth.pyi" "$out/"
echo "stubs written to $out"
