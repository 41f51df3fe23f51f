#!/usr/bin/env python3
"""The CUDA 12 root the cuda12 backend compiles against, made from the package index's CUDA 12 wheels:
nvidia-cuda-runtime-cu12 (runtime headers, libcudart.so.12), nvidia-cublas-cu12 (cuBLAS 12) and
nvidia-cuda-nvcc-cu12 (ptxas, libdevice, the crt/ headers), at the versions pyproject.toml pins.

    scripts/cuda12_root.py packages [--cache DIR] [--offline]
        Downloads the pinned wheels into DIR/wheels (once; pip's download) and unpacks them into
        DIR/cuda12/<versions>/ (once); prints that folder, which holds nvidia/cuda_runtime, nvidia/cublas
        and nvidia/cuda_nvcc. DIR: $KORVANE_CACHE, else $XDG_CACHE_HOME/korvane, else ~/.cache/korvane.
        --offline only looks: it fails when the cache does not hold the packages yet.
    scripts/cuda12_root.py wheels [--cache DIR]     the wheels alone (downloaded once); prints DIR/wheels
    scripts/cuda12_root.py pins                     the pinned requirements, one a line
    scripts/cuda12_root.py assemble ROOT [--packages DIR] [--fatbinary PATH]
        Lays out ROOT as a CUDA toolkit root that clang's --cuda-path and CMake accept: include/,
        lib64/, nvvm/libdevice and bin/ptxas link into the packages (DIR, or where this Python
        imports them from: pip's build environment); bin/fatbinary and bin/nvcc are written here.

The wheels lack two tools. fatbinary: bin/fatbinary hands clang's images to a CUDA toolkit's own
fatbinary (--fatbinary, else the one on PATH or in /usr/local/cuda/bin), translating the older
--image=profile= form into --image3= and turning compression off, so every CUDA 12 driver reads the
cubins as ptxas wrote them. nvcc: CMake finds a toolkit's root and version by running its nvcc
(`nvcc -v __cmake_determine_cuda` and `nvcc --version`); bin/nvcc answers exactly those two
questions from this root and refuses everything else, so nothing can compile with it.
"""
import argparse
import contextlib
import fcntl
import importlib.metadata
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGES = {"cuda_runtime": "nvidia-cuda-runtime-cu12", "cublas": "nvidia-cublas-cu12",
            "cuda_nvcc": "nvidia-cuda-nvcc-cu12"}

FATBINARY = """#!/bin/sh
# clang's fatbinary call, handed to {tool}: images in the --image3 form that tool takes,
# uncompressed (a compressed image needs a driver that knows its compression).
n=$#
for a in "$@"; do
    case "$a" in
        --image=profile=sm_*,file=*)
            r=${{a#--image=profile=sm_}}; a="--image3=kind=elf,sm=${{r%%,file=*}},file=${{r#*,file=}}" ;;
        --image=profile=compute_*,file=*)
            r=${{a#--image=profile=compute_}}; a="--image3=kind=ptx,sm=${{r%%,file=*}},file=${{r#*,file=}}" ;;
    esac
    set -- "$@" "$a"
done
shift "$n"
exec '{tool}' "$@" --compress-mode=none
"""

NVCC = """#!/bin/sh
# Not a compiler: the cuda12 backend compiles with clang. CMake identifies a CUDA toolkit through its
# nvcc; this answers its two questions (root and version) for the root above this folder.
top=$(cd "$(dirname "$0")/.." && pwd)
case "$*" in
    --version) echo "Cuda compilation tools, release {release}, V{version}" ;;
    "-v __cmake_determine_cuda") echo "#\\$ TOP=$top"; echo "#\\$ NVVMIR_LIBRARY_DIR=$top/nvvm/libdevice" ;;
    *) echo "nvcc: this CUDA 12 root has no nvcc; it only names its root and version to CMake" >&2; exit 1 ;;
esac
"""


def pins():
    """{distribution: version} of the cuda12 backend's build requirements in pyproject.toml."""
    try:
        import tomllib
    except ImportError:  # Python 3.10: pytest's tomli, which scripts/setup.sh installs
        try:
            import tomli as tomllib
        except ImportError:
            sys.exit("cuda12_root: reading pyproject.toml needs Python 3.11 or the tomli package")
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)
    for override in project["tool"]["scikit-build"].get("overrides", []):
        if override.get("if", {}).get("env", {}).get("KORVANE_BACKEND") == "cuda12":
            found = dict(re.fullmatch(r"([\w.-]+)==([\w.]+)", r).groups() for r in override["build"]["requires"])
            if sorted(found) == sorted(PACKAGES.values()):
                return found
    sys.exit(f"cuda12_root: pyproject.toml pins no {', '.join(sorted(PACKAGES.values()))} for KORVANE_BACKEND=cuda12")


def cache_dir():
    if os.environ.get("KORVANE_CACHE"):
        return os.environ["KORVANE_CACHE"]
    return os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "korvane")


@contextlib.contextmanager
def locked(path):
    """Holds an exclusive lock on path while the cache is filled, so that two builds share one download."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


PIP = [sys.executable, "-m", "pip", "--disable-pip-version-check"]


def requirements():
    return [f"{d}=={v}" for d, v in sorted(pins().items())]


def fetch_wheels(cache):
    """The cache's wheel folder, downloading the pinned wheels it lacks. Call with the cache locked."""
    wheels = os.path.join(cache, "wheels")
    os.makedirs(wheels, exist_ok=True)
    have = os.listdir(wheels)
    # A wheel's file name starts with its distribution (dashes as underscores) and version.
    missing = [r for r in requirements()
               if not any(w.startswith(r.replace("-", "_").replace("==", "-") + "-") and w.endswith(".whl")
                          for w in have)]
    if missing:
        print(f"cuda12_root: downloading {', '.join(missing)} into {wheels}", file=sys.stderr)
        subprocess.run([*PIP, "download", "--quiet", "--no-deps", "--only-binary=:all:", "--dest", wheels, *missing],
                       check=True, stdout=sys.stderr)
    return wheels


def fetch_packages(cache, offline=False):
    """The folder with the pinned packages unpacked, downloading and unpacking what the cache lacks."""
    wanted = pins()
    target = os.path.join(cache, "cuda12", "_".join(f"{name.replace('cuda_', '')}-{wanted[d]}"
                                                    for name, d in PACKAGES.items()))
    if os.path.isfile(os.path.join(target, ".complete")):
        return target
    if offline:
        sys.exit(f"cuda12_root: the cache holds no CUDA 12 packages ({target}): scripts/cuda12_root.py packages "
                 f"fetches them where the package index can be reached")
    with locked(os.path.join(cache, ".lock")):
        if os.path.isfile(os.path.join(target, ".complete")):  # another build filled it meanwhile
            return target
        wheels = fetch_wheels(cache)
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        unpacking = tempfile.mkdtemp(prefix=".unpacking-", dir=os.path.dirname(target))
        try:
            subprocess.run([*PIP, "install", "--quiet", "--no-deps", "--no-index", "--find-links", wheels, "--target",
                            unpacking, *requirements()], check=True, stdout=sys.stderr)
            open(os.path.join(unpacking, ".complete"), "w").close()
            os.rename(unpacking, target)
        finally:
            shutil.rmtree(unpacking, ignore_errors=True)
    return target


def package_dirs(packages):
    """{name: folder} of the three packages, under packages (its nvidia/ folder) or as this Python imports them."""
    found = {}
    for name in PACKAGES:
        if packages:
            path = os.path.join(packages, "nvidia", name)
        else:
            package = importlib.util.find_spec(f"nvidia.{name}") if importlib.util.find_spec("nvidia") else None
            path = list(package.submodule_search_locations)[0] if package and package.submodule_search_locations else ""
        if not os.path.isdir(os.path.join(path, "include")):
            where = packages or f"the packages of {sys.executable}"
            sys.exit(f"cuda12_root: {PACKAGES[name]} not found in {where}")
        found[name] = os.path.realpath(path)
    return found


def find_fatbinary(explicit):
    for candidate in (explicit, shutil.which("fatbinary"), "/usr/local/cuda/bin/fatbinary"):
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.realpath(candidate)
    sys.exit("cuda12_root: no fatbinary found (PATH, /usr/local/cuda/bin): the cuda12 backend needs a CUDA "
             "toolkit's fatbinary to package clang's cubins")


def write_tool(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


def versions(dirs):
    """(release, nvcc version) of the packages, e.g. ("12.9", "12.9.86"): the release from cuda.h, the
    version from the nvcc package's metadata beside it."""
    with open(os.path.join(dirs["cuda_runtime"], "include", "cuda.h")) as f:
        number = int(re.search(r"#define CUDA_VERSION (\d+)", f.read()).group(1))
    release = f"{number // 1000}.{number % 1000 // 10}"
    site = os.path.dirname(os.path.dirname(dirs["cuda_nvcc"]))
    for dist in importlib.metadata.distributions(path=[site]):
        if dist.metadata["Name"] == PACKAGES["cuda_nvcc"]:
            return release, dist.version
    return release, release + ".0"


def assemble(root, packages, fatbinary):
    dirs = package_dirs(packages)
    tool = find_fatbinary(fatbinary)
    release, version = versions(dirs)
    if not release.startswith("12."):
        sys.exit(f"cuda12_root: the runtime package is CUDA {release}, not CUDA 12")
    building = root + ".assembling"
    shutil.rmtree(building, ignore_errors=True)
    for sub in ("bin", "include", "lib64", "nvvm"):
        os.makedirs(os.path.join(building, sub))
    for name in ("cuda_runtime", "cublas", "cuda_nvcc"):
        include = os.path.join(dirs[name], "include")
        for entry in sorted(os.listdir(include)):
            os.symlink(os.path.join(include, entry), os.path.join(building, "include", entry))
        lib = os.path.join(dirs[name], "lib")
        for entry in sorted(os.listdir(lib)) if os.path.isdir(lib) else []:
            os.symlink(os.path.join(lib, entry), os.path.join(building, "lib64", entry))
            unversioned = re.sub(r"\.so\.\d+$", ".so", entry)
            if unversioned != entry:
                os.symlink(os.path.join(lib, entry), os.path.join(building, "lib64", unversioned))
    os.symlink(os.path.join(dirs["cuda_nvcc"], "bin", "ptxas"), os.path.join(building, "bin", "ptxas"))
    os.symlink(os.path.join(dirs["cuda_nvcc"], "nvvm", "libdevice"), os.path.join(building, "nvvm", "libdevice"))
    write_tool(os.path.join(building, "bin", "fatbinary"), FATBINARY.format(tool=tool))
    write_tool(os.path.join(building, "bin", "nvcc"), NVCC.format(release=release, version=version))
    shutil.rmtree(root, ignore_errors=True)
    os.rename(building, root)
    return root


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    fetch = commands.add_parser("packages", help="the pinned packages, unpacked in the cache")
    fetch.add_argument("--cache", default=None)
    fetch.add_argument("--offline", action="store_true", help="only look in the cache")
    wheels = commands.add_parser("wheels", help="the pinned wheels, downloaded into the cache")
    wheels.add_argument("--cache", default=None)
    commands.add_parser("pins", help="the pinned requirements, one a line (a pip constraints file)")
    build = commands.add_parser("assemble", help="a CUDA 12 root from the packages")
    build.add_argument("root")
    build.add_argument("--packages", help="a folder holding nvidia/cuda_runtime, nvidia/cublas, nvidia/cuda_nvcc")
    build.add_argument("--fatbinary", help="the CUDA toolkit fatbinary that bin/fatbinary calls")
    args = parser.parse_args()
    if args.command == "packages":
        print(fetch_packages(os.path.abspath(args.cache or cache_dir()), args.offline))
    elif args.command == "wheels":
        cache = os.path.abspath(args.cache or cache_dir())
        with locked(os.path.join(cache, ".lock")):
            print(fetch_wheels(cache))
    elif args.command == "pins":
        print("\n".join(requirements()))
    else:
        print(assemble(os.path.abspath(args.root), args.packages and os.path.abspath(args.packages), args.fatbinary))
    return 0


if __name__ == "__main__":
    sys.exit(main())
