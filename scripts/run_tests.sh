#!/usr/bin/env bash
# Runs all tests on the host device: sets up the environment, builds the host backend, then runs the
# C++ unit tests and the Python suite. Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install_deps.sh"
"$root/scripts/setup.sh"
build=$("$root/scripts/build.sh" host)
"$root/scripts/test.sh" "$build" "$@"
