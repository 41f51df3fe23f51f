#!/usr/bin/env bash
# Installs what is needed, builds (for the GPU when there is one, for the host device otherwise) and
# runs the example circuits through velqa and dormeth.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install_deps.sh"
"$root/scripts/setup.sh"
build=$("$root/scripts/build.sh" auto)
KORVANE_BUILD="$build" "$root/.venv/bin/python" "$root/examples/example_circuits.py"
