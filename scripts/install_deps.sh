#!/usr/bin/env bash
# Installs the system packages the build needs (Debian): clang-22 compiles the cuda12 backend and the
# clang warning pass; Open MPI runs the trajectory tests across processes (mpirun, mpi4py's MPI).
# Idempotent; does nothing when all are present.
set -euo pipefail
packages=(cmake ninja-build g++ libboost-context-dev libopenblas-dev libgtest-dev clang-format clang-tidy clang-22
          openmpi-bin libopenmpi-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
echo "system packages: ok"
