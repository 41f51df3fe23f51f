"""The cuda12 backend's build tools without a GPU: the CUDA 12 root scripts/cuda12_root.py lays out
(its two tools: the fatbinary wrapper and the nvcc that only answers CMake), and the module check of
scripts/check_modules.py, on modules with planted faults made by the real toolchain.

    .venv/bin/python -m pytest -q tests/scripts/test_cuda12_build.py
"""
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import check_modules  # noqa: E402

CUDA_BIN = os.path.dirname(shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc")


def fake_packages(base, cuda_version=12090):
    """The three packages' layout, with empty libraries and tools."""
    for package, files in {"cuda_runtime": ["include/cuda.h", "include/cuda_runtime.h", "lib/libcudart.so.12"],
                           "cublas": ["include/cublas_v2.h", "lib/libcublas.so.12", "lib/libcublasLt.so.12"],
                           "cuda_nvcc": ["include/crt/host_config.h", "bin/ptxas", "nvvm/libdevice/libdevice.10.bc"]
                           }.items():
        for f in files:
            path = base / "nvidia" / package / f
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(f"#define CUDA_VERSION {cuda_version}\n" if f.endswith("cuda.h") else "")
    return base


def assemble(tmp_path, packages, fatbinary):
    return subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "cuda12_root.py"), "assemble",
                           str(tmp_path / "root"), "--packages", str(packages), "--fatbinary", str(fatbinary)],
                          capture_output=True, text=True)


def test_the_root_links_the_packages_and_answers_clang_and_cmake(tmp_path):
    packages = fake_packages(tmp_path / "site")
    recorder = tmp_path / "fatbinary13"
    recorder.write_text('#!/bin/sh\nfor a in "$@"; do echo "$a"; done\n')
    recorder.chmod(0o755)
    run = assemble(tmp_path, packages, recorder)
    assert run.returncode == 0, run.stderr
    root = tmp_path / "root"
    assert sorted(os.listdir(root / "lib64")) == ["libcublas.so", "libcublas.so.12", "libcublasLt.so",
                                                  "libcublasLt.so.12", "libcudart.so", "libcudart.so.12"]
    runtime = packages / "nvidia" / "cuda_runtime" / "lib" / "libcudart.so.12"
    assert os.path.realpath(root / "lib64" / "libcudart.so") == str(runtime)
    assert {"cuda.h", "cublas_v2.h", "crt"} <= set(os.listdir(root / "include"))
    assert os.path.isfile(root / "nvvm/libdevice/libdevice.10.bc") and os.path.isfile(root / "bin/ptxas")

    def tool(name, *args):
        r = subprocess.run([str(root / "bin" / name), *args], capture_output=True, text=True)
        return r.returncode, r.stdout.splitlines(), r.stderr

    # clang's older image form becomes CUDA 13's, other arguments pass as they are, compression goes off.
    assert tool("fatbinary", "-64", "--create", "x.fatbin", "--image=profile=sm_90,file=/t/a b.cubin",
                "--image=profile=compute_120,file=/t/c.s", "--image3=kind=elf,sm=75,file=/t/d.cubin")[1] == [
        "-64", "--create", "x.fatbin", "--image3=kind=elf,sm=90,file=/t/a b.cubin",
        "--image3=kind=ptx,sm=120,file=/t/c.s", "--image3=kind=elf,sm=75,file=/t/d.cubin", "--compress-mode=none"]
    # The nvcc answers CMake's two questions about this root and compiles nothing.
    assert tool("nvcc", "--version")[:2] == (0, ["Cuda compilation tools, release 12.9, V12.9.0"])
    assert tool("nvcc", "-v", "__cmake_determine_cuda")[:2] == (
        0, [f"#$ TOP={root}", f"#$ NVVMIR_LIBRARY_DIR={root}/nvvm/libdevice"])
    status, _, message = tool("nvcc", "-c", "k.cu")
    assert status == 1 and "this CUDA 12 root has no nvcc" in message


def test_a_runtime_package_of_another_major_version_is_refused(tmp_path):
    run = assemble(tmp_path, fake_packages(tmp_path / "site", cuda_version=13000), "/bin/true")
    assert run.returncode == 1 and "the runtime package is CUDA 13.0, not CUDA 12" in run.stderr
    assert not (tmp_path / "root").exists()


# ------------------------------------------------------------------ the module check, on planted faults

def tool_or_skip(path):
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        pytest.skip(f"needs {path}")
    return path


@pytest.fixture(scope="module")
def toolchain(tmp_path_factory):
    """A cubin and PTX for sm_90 from the CUDA toolkit's nvcc, libraries with CUDA 12 and 13 sonames
    (empty: the check reads what a module needs, it loads nothing)."""
    nvcc = tool_or_skip(os.path.join(CUDA_BIN, "nvcc"))
    tool_or_skip(os.path.join(CUDA_BIN, "fatbinary"))
    for name in ("gcc", "objcopy"):
        tool_or_skip(shutil.which(name) or name)
    d = tmp_path_factory.mktemp("toolchain")
    (d / "k.cu").write_text("__global__ void k(float* x) { x[threadIdx.x] = __sinf(x[threadIdx.x]) * 3.0f; }\n")
    for kind in ("cubin", "ptx"):
        subprocess.run([nvcc, f"-{kind}", "-arch=sm_90", "k.cu", "-o", f"k.{kind}"], cwd=d, check=True)
    (d / "empty.c").write_text("int korvane_empty;\n")
    for soname in ("libcudart.so.12", "libcublas.so.12", "libcudart.so.13", "libcublas.so.13"):
        subprocess.run(["gcc", "-shared", "-o", soname, f"-Wl,-soname,{soname}", "empty.c"], cwd=d, check=True)
    return d


def planted_module(d, name, libraries, fatbinary_arguments):
    """A shared object that needs libraries and carries a fatbinary made by CUDA's fatbinary from
    the arguments (images of k.cubin and k.ptx)."""
    fatbin = d / f"{name}.fatbin"
    subprocess.run([os.path.join(CUDA_BIN, "fatbinary"), "-64", "--create", str(fatbin), *fatbinary_arguments],
                   cwd=d, check=True)
    bare = d / f"{name}.bare.so"
    subprocess.run(["gcc", "-shared", "-o", str(bare), "empty.c", "-L.", "-Wl,--no-as-needed",
                    *(f"-l:{lib}" for lib in libraries)], cwd=d, check=True)
    module = d / f"{name}.so"
    subprocess.run(["objcopy", "--add-section", f".nv_fatbin={fatbin}", str(bare), str(module)], check=True)
    return str(module)


CUDA12 = ["libcudart.so.12", "libcublas.so.12"]
ELF90 = ["--image3=kind=elf,sm=90,file=k.cubin"]


@pytest.mark.parametrize("name, libraries, images, problems", [
    ("clean", CUDA12, ELF90, []),
    ("lz4", CUDA12, [*ELF90, "--compress-all", "--compress-mode=speed"], []),
    ("cuda13", ["libcudart.so.13", "libcublas.so.12"], ELF90, ["needs libcudart.so.13, of CUDA 13 and not of CUDA 12"]),
    ("zstd", CUDA12, [*ELF90, "--compress-all", "--compress-mode=size"],
     ["holds 1 zstd-compressed images, which a CUDA 12 driver may not read"]),
    ("ptx", CUDA12, [*ELF90, "--image3=kind=ptx,sm=90,file=k.ptx", "--compress=false"],
     ["holds PTX; the build is machine code only"]),
    ("noruntime", ["libcublas.so.12"], ELF90, ["needs no CUDA runtime"]),
])
def test_the_module_check_finds_what_a_cuda12_driver_cannot_load(toolchain, name, libraries, images, problems):
    module = planted_module(toolchain, name, libraries, images)
    report, found = check_modules.check(module, 12, {90})
    assert found == [f"{name}.so {p}" for p in problems]
    assert ("1 lz4" if name == "lz4" else "1 zstd" if name == "zstd" else "uncompressed") in report[1]
    # The same module, asked for architectures it lacks.
    _, found = check_modules.check(module, 12, {75, 90})
    assert f"{name}.so holds machine code for sm 90, expected 75, 90" in found
