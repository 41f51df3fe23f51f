"""The GPU check on a machine without a GPU: its preflight messages, its budget and its outputs,
with the GPU steps skipped or stood in for; and its test selections, run on the host device as they
run on a GPU. Needs the host build (KORVANE_BUILD, default build/host).

    .venv/bin/python -m pytest -q tests/scripts
"""
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import threading

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("KORVANE_BUILD", os.path.join(ROOT, "build", "host")))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import gpu_check  # noqa: E402
import kernel_resources  # noqa: E402

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


# ------------------------------------------------------------------ preflight

class Machine(gpu_check.Probe):
    """A machine as the preflight sees it: a GPU with driver 580 and CUDA 13.0, CMake 3.28, Python.h
    and the modules, clang++-22 and the CUDA 12 packages in the cache; each test takes something away."""

    def __init__(self, tmp_path, **changes):
        include = tmp_path / "include"
        include.mkdir(exist_ok=True)
        (include / "Python.h").write_text("")
        self.tools = {"nvidia-smi": "/bin/nvidia-smi", "cmake": "/bin/cmake", "compute-sanitizer": None,
                      "clang++-22": "/usr/bin/clang++-22"}
        self.packages = ("/cache/korvane/cuda12/runtime-12.9.79", None)
        self.smi = (0, "NVIDIA H100 80GB HBM3, 9.0, 580.65.06, 81559 MiB\n", "")
        self.cuda = "13.0"
        self.cmake = "3.28.3"
        self.include = str(include)
        self.modules = {"numpy", "pybind11", "pytest", "matplotlib"}
        self.__dict__.update(changes)

    def which(self, name):
        return self.tools.get(name)

    def nvcc(self):
        return "/cuda/bin/nvcc" if self.cuda else None

    def run(self, command):
        if command[0].endswith("nvidia-smi"):
            return self.smi
        if command[0].endswith("nvcc"):
            return 0, f"Cuda compilation tools, release {self.cuda}, V{self.cuda}.88\n", ""
        if command[0].endswith("cmake"):
            return 0, f"cmake version {self.cmake}\n", ""
        raise AssertionError(command)

    def python_include(self):
        return self.include

    def has_module(self, name):
        return name in self.modules

    def cuda12_packages(self):
        return self.packages


def test_a_ready_machine_passes_with_its_facts(tmp_path):
    facts, problems, notes = gpu_check.preflight(Machine(tmp_path))
    assert problems == []
    assert facts["compute_capability"] == "9.0" and facts["driver"] == "580.65.06" and facts["cuda"] == "13.0"
    assert notes == ["compute-sanitizer not found: no sanitizer runs"]


@pytest.mark.parametrize("changes, message", [
    ({"tools": {"cmake": "/bin/cmake"}}, "nvidia-smi not found: this machine has no NVIDIA driver installed"),
    ({"smi": (9, "", "NVIDIA-SMI has failed because it couldn't communicate with the NVIDIA driver.\n")},
     "nvidia-smi failed (exit status 9): NVIDIA-SMI has failed because it couldn't communicate with the NVIDIA "
     "driver."),
    ({"smi": (0, "", "")}, "nvidia-smi lists no GPU"),
    ({"smi": (0, "Tesla V100, 7.0, 575.57.08, 16384 MiB\n", "")},
     "driver 575.57.08 is too old for the CUDA 13.0 runtime this build links: CUDA 13 needs driver 580 or newer"),
    ({"smi": (0, "A100, 8.0, 520.61.05, 40960 MiB\n", ""), "cuda": "12.8"},
     "driver 520.61.05 is too old for the CUDA 12.8 runtime this build links: CUDA 12 needs driver 525.60.13 or "
     "newer"),
    ({"cuda": None}, "nvcc not found (PATH, CUDACXX, /usr/local/cuda/bin): the CUDA toolkit is needed to build"),
    ({"include": "/nowhere"}, f"Python.h not found for {sys.executable} (Python {sys.version.split()[0]}) (looked "
                              f"in /nowhere): install the Python development headers"),
    ({"cmake": "3.22.1"}, "CMake 3.22.1 is too old: 3.24 or newer is needed"),
    ({"tools": {"nvidia-smi": "/bin/nvidia-smi"}}, "cmake not found: CMake 3.24 or newer is needed"),
    ({"modules": {"numpy", "matplotlib"}},
     f"Python modules missing for {sys.executable} (Python {sys.version.split()[0]}): pybind11, pytest"),
])
def test_each_problem_has_its_message(tmp_path, changes, message):
    _, problems, _ = gpu_check.preflight(Machine(tmp_path, **changes))
    assert problems == [message]


def test_drivers_new_enough_pass(tmp_path):
    for smi, cuda in [("A100, 8.0, 525.60.13, 1 MiB\n", "12.4"), ("B200, 10.0, 580.00.01, 1 MiB\n", "13.0"),
                      ("L4, 8.9, 590.10, 1 MiB\n", "13.1")]:
        _, problems, _ = gpu_check.preflight(Machine(tmp_path, smi=(0, smi, ""), cuda=cuda))
        assert problems == [], (smi, cuda)


def test_every_problem_is_reported_at_once(tmp_path):
    machine = Machine(tmp_path, smi=(0, "T4, 7.5, 470.1, 1 MiB\n", ""), cmake="3.20", modules=set())
    _, problems, notes = gpu_check.preflight(machine)
    assert len(problems) == 3 and "matplotlib missing: no plot" in notes


NO_PACKAGES = "cuda12_root: the cache holds no CUDA 12 packages (/cache/korvane/cuda12/runtime-12.9.79)"


@pytest.mark.parametrize("changes, why", [
    ({}, None),
    ({"tools": {"nvidia-smi": "/bin/nvidia-smi"}}, "clang++-22 not found (Debian: apt-get install clang-22)"),
    ({"packages": (None, NO_PACKAGES)}, NO_PACKAGES),
    ({"smi": (0, "T4, 7.5, 520.61.05, 1 MiB\n", ""), "tools": {"nvidia-smi": "/bin/nvidia-smi"},
      "packages": (None, NO_PACKAGES)},
     f"clang++-22 not found (Debian: apt-get install clang-22); {NO_PACKAGES}; driver 520.61.05 is too old for "
     f"CUDA 12: it needs 525.60.13 or newer"),
])
def test_the_cuda12_half_needs_clang_the_packages_and_a_cuda12_driver(tmp_path, monkeypatch, changes, why):
    monkeypatch.delenv("KORVANE_CUDA12_PACKAGES", raising=False)
    machine = Machine(tmp_path, **changes)
    facts, _, _ = gpu_check.preflight(machine)
    assert gpu_check.cuda12_readiness(machine, facts) == (None if why else machine.packages[0], why)


def test_without_cuda12_packages_the_half_is_skipped_unless_a_folder_is_named(tmp_path, monkeypatch):
    monkeypatch.delenv("KORVANE_CUDA12_PACKAGES", raising=False)
    machine = Machine(tmp_path, packages=(None, NO_PACKAGES))
    check = gpu_check.Check(str(tmp_path / "out"), 540, gpu_check.parse_timeouts(gpu_check.TIMEOUTS))
    facts, ok = gpu_check.run_preflight(check, machine, want_cuda12=True)
    assert ok and "cuda12_packages" not in facts
    assert check.summary["cuda12"] == {"status": "skipped", "reason": NO_PACKAGES}
    assert check.summary["stages"]["preflight"]["notes"][-1] == f"cuda12 half skipped: {NO_PACKAGES}"
    given = tmp_path / "packages"
    (given / "nvidia" / "cublas").mkdir(parents=True)
    assert gpu_check.cuda12_readiness(machine, facts, str(given)) == (str(given), None)
    monkeypatch.setenv("KORVANE_CUDA12_PACKAGES", str(tmp_path))
    assert gpu_check.cuda12_readiness(machine, facts) == (None, f"{tmp_path} holds no CUDA 12 packages (nvidia/cublas)")


def test_both_backends_build_at_once_on_half_the_cores_each(tmp_path):
    check = gpu_check.Check(str(tmp_path), 540, gpu_check.parse_timeouts(gpu_check.TIMEOUTS))
    both_running = threading.Barrier(2, timeout=60)
    calls = {}

    def run(command, timeout, env=None, label=""):
        calls[command[2]] = (command[3:], env, label, timeout)
        both_running.wait()
        return (0 if command[2] == "cuda" else 1), "", 1.0

    check.run = run
    facts = {"compute_capability": "9.0", "nvcc": "/cuda/bin/nvcc", "cuda12_packages": "/packages"}
    assert gpu_check.run_builds(check, facts, all_archs=False) == {"cuda": os.path.join(ROOT, "build", "gpu")}
    jobs = str(max(1, (os.cpu_count() or 1) // 2))
    assert calls["cuda"][:3] == ([os.path.join(ROOT, "build", "gpu"), "-DKORVANE_CUDA_ARCHITECTURES=90-real"],
                                 {"KORVANE_PYTHON": sys.executable, "KORVANE_JOBS": jobs, "CUDACXX": "/cuda/bin/nvcc"},
                                 "[cuda] ")
    assert calls["cuda12"][:3] == ([os.path.join(ROOT, "build", "gpu12"), "-DKORVANE_CUDA_ARCHITECTURES=90-real"],
                                   {"KORVANE_PYTHON": sys.executable, "KORVANE_JOBS": jobs,
                                    "KORVANE_CUDA12_PACKAGES": "/packages"}, "[cuda12] ")
    assert calls["cuda"][3] == calls["cuda12"][3] <= 150
    stages = check.summary["stages"]
    assert (stages["build"]["status"], stages["build_cuda12"]["status"]) == ("passed", "failed")


def test_the_wrapper_states_the_budget_the_defaults_make():
    header = open(os.path.join(ROOT, "scripts", "gpu_check.sh")).read().replace("\n#  ", " ")
    m = re.search(r"at least 540 - ([\d -]+) = (\d+) s \((\d+) s without", header)
    t = gpu_check.parse_timeouts(gpu_check.TIMEOUTS)
    fixed = [5, t["build"], t["tests"], t["tests_cuda12"], t["interop"], t["memcheck"], t["racecheck"], t["synccheck"],
             t["report"]]
    assert [int(x) for x in m.group(1).split(" - ")] == fixed
    assert (int(m.group(2)), int(m.group(3))) == (540 - sum(fixed), 540 - sum(fixed) + t["tests_cuda12"])


def fake_tool(directory, name, text, status=0):
    path = directory / name
    path.write_text(f"#!/bin/sh\ncat <<'END'\n{text}\nEND\nexit {status}\n")
    path.chmod(path.stat().st_mode | stat.S_IEXEC)


def run_check(tmp_path, *args, path=None):
    """Runs scripts/gpu_check.sh with this interpreter as python3, as the GPU machine's would be."""
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    env = {**os.environ, "OUT": str(out), "KORVANE_BUILD": BUILD,
           "PATH": os.pathsep.join([os.path.dirname(sys.executable), path or os.environ["PATH"]])}
    run = subprocess.run(["bash", os.path.join(ROOT, "scripts", "gpu_check.sh"), *args], cwd=ROOT, env=env,
                         capture_output=True, text=True, timeout=300)
    summary = json.loads((out / "gpu_check_summary.json").read_text())
    return run, summary, out


def test_preflight_failures_stop_the_check_before_any_build(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in ("dirname", "bash", "cat"):
        os.symlink(shutil.which(tool), bin_dir / tool)
    fake_tool(bin_dir, "nvidia-smi", "NVIDIA-SMI has failed because it couldn't communicate with the NVIDIA driver.",
              9)
    fake_tool(bin_dir, "nvcc", "Cuda compilation tools, release 13.0, V13.0.88")
    fake_tool(bin_dir, "cmake", "cmake version 3.22.1")
    run, summary, out = run_check(tmp_path, path=str(bin_dir))
    assert run.returncode == 2
    expected = ["nvidia-smi failed (exit status 9): NVIDIA-SMI has failed because it couldn't communicate with the "
                "NVIDIA driver.", "CMake 3.22.1 is too old: 3.24 or newer is needed"]
    for problem in expected:
        assert f"PREFLIGHT FAILED: {problem}" in run.stdout
    assert summary["stages"] == {"preflight": {"status": "failed", "problems": expected,
                                                "notes": ["compute-sanitizer not found: no sanitizer runs"]}}
    assert summary["status"] == "failed"
    log = (out / "gpu_check.log").read_text()
    assert "PREFLIGHT FAILED: nvidia-smi failed" in log and "==== build" not in log
    assert sorted(os.listdir(out)) == ["gpu_check.log", "gpu_check_bandwidth.png", "gpu_check_summary.json"]


def test_without_python3_the_wrapper_says_so(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in ("dirname", "bash"):
        os.symlink(shutil.which(tool), bin_dir / tool)
    run = subprocess.run(["bash", os.path.join(ROOT, "scripts", "gpu_check.sh")], cwd=ROOT,
                         env={**os.environ, "PATH": str(bin_dir)}, capture_output=True, text=True)
    assert run.returncode == 2
    assert "PREFLIGHT FAILED: python3 not found" in run.stderr


# ------------------------------------------------------------------ benchmarks, budget and outputs

def stand_in_benchmark(tmp_path, name, body):
    """A benchmark script that records through bench/common.py, as every benchmark does."""
    path = tmp_path / name
    path.write_text(f"import sys, time\nsys.path.insert(0, {os.path.join(ROOT, 'bench')!r})\n"
                    f"from common import report\n{body}\n")
    return str(path)


def test_benchmark_figures_become_summary_and_plot(tmp_path):
    copy_bound = stand_in_benchmark(tmp_path, "bench_copy_bound.py", (
        "for n in (10, 12, 14):\n"
        "    for case, share in (('half', 0.5), ('quarter', 0.25)):\n"
        "        # 1 MB in 1 ms against a 2 GB/s copy: 0.5 of it; 4 GB/s: 0.25\n"
        "        report(case, n, 'complex64', 1e-3, 1e6, 1e6 / 1e-3 / share, launches=n)\n"
        "report('shots', 20, 'complex128', 2.0, shots_per_second=5e5)"))
    too_long = stand_in_benchmark(tmp_path, "bench_too_long.py", "report('never', 1, 'complex64', 1.0)")
    run, summary, out = run_check(tmp_path, "--only", "benchmarks", "--build", BUILD, "--budget", "50",
                                  "--benchmarks", f"{copy_bound}:30", f"{too_long}:45")
    assert run.returncode == 0, run.stdout + run.stderr
    bench = summary["stages"]["benchmarks"]
    assert [r["name"] for r in bench["ran"]] == ["bench_copy_bound.py"] and bench["ran"][0]["status"] == "passed"
    # 50 s less 10 s for the outputs and the first benchmark's time: 45 s do not fit.
    assert [s["name"] for s in bench["skipped"]] == ["bench_too_long.py"]
    assert "skipped for lack of time: bench_too_long.py" in run.stdout
    records = bench["records"]
    assert len(records) == 7
    fractions = {(r["case"], r["n"]): r["fraction_of_copy"] for r in records if r["case"] != "shots"}
    assert fractions == pytest.approx({(c, n): f for n in (10, 12, 14) for c, f in (("half", 0.5),
                                                                                     ("quarter", 0.25))})
    assert all(r["bench"] == "bench_copy_bound" and r["backend"] == "host" for r in records)
    assert records[0]["launches"] == 10 and records[-1] == {
        "bench": "bench_copy_bound", "case": "shots", "n": 20, "dtype": "complex128", "seconds": 2.0,
        "backend": "host", "shots_per_second": 5e5, "build": "cuda"}
    png = (out / "gpu_check_bandwidth.png").read_bytes()
    assert png.startswith(PNG_MAGIC) and len(png) > 10000
    assert len(os.listdir(out)) <= 8


def test_both_builds_run_every_device_benchmark_and_are_reported_side_by_side(tmp_path):
    cuda12 = tmp_path / "build12"
    os.symlink(BUILD, cuda12)  # the same modules under the cuda12 build's name: its figures are twice as long
    timed = stand_in_benchmark(tmp_path, "bench_timed.py", (
        "import os\nslow = 2 if os.environ['KORVANE_BUILD'].endswith('build12') else 1\n"
        "for n in (10, 12):\n"
        "    report('gate', n, 'complex64', slow * n * 1e-3)"))
    planner = stand_in_benchmark(tmp_path, "bench_planner", "report('plan', 5, 'none', 1.0)")
    too_long = stand_in_benchmark(tmp_path, "bench_too_long.py", "report('never', 1, 'complex64', 1.0)")
    run, summary, _ = run_check(tmp_path, "--only", "benchmarks", "--build", BUILD, "--cuda12-build", str(cuda12),
                                "--budget", "60", "--benchmarks", f"{timed}:20", f"{planner}:20", f"{too_long}:26")
    assert run.returncode == 0, run.stdout + run.stderr
    bench = summary["stages"]["benchmarks"]
    # 60 s less 10 s for the outputs: 2 x 20 s fit, and 20 s once (the planner uses no device); 2 x 26 s do
    # not, though 26 s would.
    assert [(r["name"], r["build"]) for r in bench["ran"]] == [
        ("bench_timed.py", "cuda"), ("bench_timed.py", "cuda12"), ("bench_planner", "cuda")]
    assert bench["skipped"][0]["name"] == "bench_too_long.py" and bench["skipped"][0]["allowance_s"] == 52
    assert bench["side_by_side"] == [
        {"bench": "bench_timed", "case": "gate", "n": n, "dtype": "complex64", "cuda_s": n * 1e-3,
         "cuda12_s": 2 * n * 1e-3, "cuda12_over_cuda": 2.0} for n in (10, 12)]
    assert summary["builds"] == {"cuda": BUILD, "cuda12": str(cuda12)} and summary["cuda12"] == {"status": "ran"}
    assert re.search(r"bench_timed +gate +12 complex64 +0\.012 +0\.024 +2\.000", run.stdout)


def test_a_benchmark_over_its_allowance_is_stopped_and_the_run_goes_on(tmp_path):
    slow = stand_in_benchmark(tmp_path, "bench_slow.py", "time.sleep(60)")
    quick = stand_in_benchmark(tmp_path, "bench_quick.py", "report('quick', 3, 'complex64', 1.0, 10, 20)")
    run, summary, _ = run_check(tmp_path, "--only", "benchmarks", "--build", BUILD, "--benchmarks", f"{slow}:2",
                                f"{quick}:30")
    assert run.returncode == 1
    ran = summary["stages"]["benchmarks"]["ran"]
    assert [(r["name"], r["status"]) for r in ran] == [("bench_slow.py", "timed out"), ("bench_quick.py", "passed")]
    assert ran[0]["seconds"] < 60  # stopped, not ended by itself: a busy machine only delays the stop
    assert summary["stages"]["benchmarks"]["records"][0]["fraction_of_copy"] == 0.5


@pytest.mark.parametrize("cupy", [False, True])
def test_the_cupy_round_trips_run_where_cupy_imports_and_are_skipped_elsewhere(tmp_path, monkeypatch, cupy):
    """On the host build the round trips take NumPy arrays whatever CuPy is; a stand-in package named
    cupy on the path is all the check looks for."""
    if cupy:
        (tmp_path / "stand_in" / "cupy").mkdir(parents=True)
        (tmp_path / "stand_in" / "cupy" / "__init__.py").write_text("")
        monkeypatch.setenv("PYTHONPATH", str(tmp_path / "stand_in"), prepend=os.pathsep)
    run, summary, _ = run_check(tmp_path, "--only", "interop", "--build", BUILD)
    assert run.returncode == 0, run.stdout + run.stderr
    interop = summary["stages"]["interop"]
    if not cupy:
        assert interop == {"status": "skipped", "reason": "CuPy is not importable"}
        assert "interop       skipped: CuPy is not importable" in run.stdout
        return
    assert interop["status"] == "passed" and interop["failures"] == interop["errors"] == 0
    assert interop["passed"] >= 8, "every round trip of both state kinds and precisions ran"
    assert all(test.split("::")[0] == "tests/python/test_interop.py" for test in gpu_check.INTEROP_TESTS)


def test_sanitizer_reports_are_counted():
    memcheck = """========= COMPUTE-SANITIZER
========= Invalid __global__ read of size 8 bytes
=========     at velqa::cu_x_kernel_pair<double>(long, korvane::CuComplex<double> *, int, ...)+0x90
=========     by thread (3,0,0) in block (0,0,0)
=========
........                                                                 [100%]
8 passed in 3.10s
========= ERROR SUMMARY: 1 error
"""
    found = gpu_check.sanitizer_findings(memcheck)
    assert found["errors"] == 1 and found["hazards"] == 0
    assert found["reports"][0] == "========= Invalid __global__ read of size 8 bytes"
    racecheck = ("========= Error: Race reported between Write access at f+0x10\n"
                 "========= RACECHECK SUMMARY: 2 hazards displayed (2 errors, 0 warnings)\n"
                 "========= ERROR SUMMARY: 0 errors\n")
    assert gpu_check.sanitizer_findings(racecheck)["hazards"] == 2
    assert gpu_check.sanitizer_findings("========= ERROR SUMMARY: 0 errors\n") == {"errors": 0, "hazards": 0,
                                                                                 "reports": []}


def test_test_counts_come_from_the_junit_report(tmp_path):
    junit = tmp_path / "junit.xml"
    junit.write_text('<testsuites><testsuite name="pytest" errors="1" failures="2" skipped="3" tests="10">'
                     '<testcase classname="tests.python.test_a" name="test_ok"/>'
                     '<testcase classname="tests.python.test_a" name="test_bad"><failure message="x"/></testcase>'
                     '<testcase classname="tests.python.test_b" name="test_err"><error message="y"/></testcase>'
                     '</testsuite></testsuites>')
    assert gpu_check.test_counts(str(junit)) == {
        "tests": 10, "failures": 2, "errors": 1, "skipped": 3, "passed": 4,
        "failing": ["tests.python.test_a::test_bad", "tests.python.test_b::test_err"]}


# ------------------------------------------------------------------ test selections, as on a GPU

def gpu_mode_build(tmp_path):
    """The host build without its hostdevice Python module: the suite sees what it sees on a GPU."""
    python = tmp_path / "gpumode" / "python"
    shutil.copytree(os.path.join(BUILD, "python"), python)
    for f in os.listdir(python):
        if f.startswith("hostdevice."):
            os.remove(python / f)
    return str(python.parent)


def launched_by(tmp_path, selection):
    """{kernel: whether its threads met at barriers} of a run of the selection, on the host device
    as on a GPU."""
    kernels = tmp_path / "kernels.txt"
    env = {**os.environ, "KORVANE_BUILD": gpu_mode_build(tmp_path), "HOSTDEVICE_LAUNCHED_KERNELS": str(kernels)}
    run = subprocess.run([sys.executable, *gpu_check.SUITE, *selection], cwd=ROOT, env=env, capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-3000:]
    assert " skipped" not in run.stdout.splitlines()[-1], "the selection has tests that do not run on a GPU"
    lines = [line.split("\t") for line in kernels.read_text().splitlines()]
    return {fields[0]: fields[1:] == ["barriers"] for fields in lines}


GATE_KERNELS = re.compile(r"^velqa::cu_(?!swap_)\w+_kernel_(all_state|pair)$")
AUTOPAIR_KERNELS = re.compile(
    r"^velqa::(?!swap_|unitary_2q_)\w+?_(?:autopair::)?(target0_compact|target0_no_control|compact|no_control|"
    r"state_scan)$")


def family(kernel):
    """A kernel's family: its name without template arguments, with the named one-target gates'
    kernels (one body per mode for all of them) taken together."""
    name = kernel.replace("(anonymous namespace)::", "").replace("{anonymous}::", "").split("<")[0]
    name = GATE_KERNELS.sub(r"velqa::cu_*_kernel_\1", name)
    return AUTOPAIR_KERNELS.sub(r"velqa::*_autopair::\1", name)


def table_kernels():
    """The kernels of the cuda build, from the table generated from it."""
    with open(kernel_resources.TABLE) as f:
        return [line.split("  // ", 1)[1].strip() for line in f if line.startswith("{")]


def test_sanitizer_subsets_launch_every_kernel_family_and_every_kernel_with_barriers(tmp_path):
    families = {family(k) for k in table_kernels()}
    assert len(families) > 20, "the table lists the cuda build's kernels"
    memcheck = launched_by(tmp_path / "memcheck", gpu_check.MEMCHECK_TESTS)
    missing = families - {family(k) for k in memcheck}
    assert not missing, f"no memcheck test launches {sorted(missing)}"
    with_barriers = {family(k) for k, barriers in memcheck.items() if barriers}
    assert {"velqa::fusion::sparsesharemem_kernel", "korvane::dormeth::density_sparsesharemem_kernel"} <= with_barriers
    racecheck = {family(k) for k, barriers in launched_by(tmp_path / "racecheck", gpu_check.RACECHECK_TESTS).items()
                 if barriers}
    assert with_barriers <= racecheck, f"no racecheck test launches {sorted(with_barriers - racecheck)}"


# ------------------------------------------------------------------ kernel resources of a cuda build

RESOURCE_USAGE = """
Fatbin elf code:
================
arch = sm_{arch}
code version = [1,8]

Resource usage:
 Common:
  GLOBAL:0
 Function _ZN5velqa12_GLOBAL__N_19h_compactIdEEvmPN7korvane9CuComplexIT_EEmmm:
  REG:{regs} STACK:0 SHARED:0 LOCAL:0 CONSTANT[0]:400 TEXTURE:0 SURFACE:0 SAMPLER:0
 Function _ZN5velqa6fusion21sparsesharemem_kernelIdEEvPN7korvane9CuComplexIT_EEmmmiPKNS0_16DeviceMatrixGateIS4_EEi:
  REG:40 STACK:{stack} SHARED:{shared} LOCAL:0 CONSTANT[0]:400 TEXTURE:0 SURFACE:0 SAMPLER:0
 Function _Z9unboundedPd:
  REG:12 STACK:0 SHARED:0 LOCAL:0 CONSTANT[0]:400 TEXTURE:0 SURFACE:0 SAMPLER:0
"""
ELF = """
Fatbin elf code:
================
arch = sm_{arch}

.nv.info._ZN5velqa12_GLOBAL__N_19h_compactIdEEvmPN7korvane9CuComplexIT_EEmmm
\t<0x1>
\tAttribute:\tEIATTR_MAX_THREADS
\tFormat:\tEIFMT_SVAL
\tValue:\t0x100 0x1 0x1 
.nv.info._ZN5velqa6fusion21sparsesharemem_kernelIdEEvPN7korvane9CuComplexIT_EEmmmiPKNS0_16DeviceMatrixGateIS4_EEi
\tAttribute:\tEIATTR_MAX_THREADS
\tFormat:\tEIFMT_SVAL
\tValue:\t0x80 0x1 0x1 
.nv.info._Z9unboundedPd
\tAttribute:\tEIATTR_CRS_STACK_SIZE
\tFormat:\tEIFMT_SVAL
\tValue:\t0x0 
"""


def resource_check(tmp_path, regs, shared, *args, stack=16):
    """scripts/kernel_resources.py on a stand-in build whose module reports these figures on sm_80
    and smaller ones on sm_90 (cuobjdump stood in for)."""
    build = tmp_path / "build"
    (build / "python").mkdir(parents=True)
    (build / "python" / "velqa.so").write_bytes(b"")
    dumps = tmp_path / "dumps"
    dumps.mkdir()
    (dumps / "res").write_text(RESOURCE_USAGE.format(arch=80, regs=regs, shared=shared, stack=stack) +
                               RESOURCE_USAGE.format(arch=90, regs=16, shared=1024, stack=16))
    (dumps / "elf").write_text(ELF.format(arch=80) + ELF.format(arch=90))
    tool = tmp_path / "cuobjdump"
    tool.write_text(f'#!/bin/sh\ncase "$1" in\n  --dump-resource-usage) cat {dumps}/res;;\n'
                    f'  --dump-elf) cat {dumps}/elf;;\nesac\n')
    tool.chmod(0o755)
    table = tmp_path / "table.inc"
    run = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "kernel_resources.py"), str(build),
                          "--cuobjdump", str(tool), "--table", str(table), *args],
                         capture_output=True, text=True)
    return run, table


def failures(run):
    return run.stdout.split("FAILED:")[1].strip().splitlines() if "FAILED:" in run.stdout else []


def test_resource_check_writes_the_host_table_and_fails_kernels_without_launch_bounds(tmp_path):
    run, table = resource_check(tmp_path, 255, 1024, "--write", "--expect-archs", "80,90")
    assert run.returncode == 1
    assert "unbounded: no __launch_bounds__" in failures(run)
    assert not any("h_compact" in f or "sparsesharemem_kernel<double>:" in f for f in failures(run))
    rows = [line.split("  // ") for line in table.read_text().splitlines() if line.startswith("{")]
    # The worst architecture's figures; nvcc's name for an anonymous namespace becomes the host compiler's.
    assert rows == [
        ['{"_Z9unboundedPd", 12, 0, 1024},', "unbounded"],
        ['{"_ZN5velqa12_GLOBAL__N_19h_compactIdEEvmPN7korvane9CuComplexIT_EEmmm", 255, 0, 256},',
         "velqa::(anonymous namespace)::h_compact<double>"],
        ['{"_ZN5velqa6fusion21sparsesharemem_kernelIdEEvPN7korvane9CuComplexIT_EEmmmiPKNS0_16DeviceMatrixGateIS4_'
         'EEi", 40, 1024, 128},', "velqa::fusion::sparsesharemem_kernel<double>"]]


@pytest.mark.parametrize("regs, shared, stack, problem", [
    (257, 1024, 16, "257 registers x 256 threads: 67584 held > 65536"),
    (64, 32 * 1024 + 1, 16, "32769 + 16384 bytes of shared memory > 49152"),
    (64, 1024, 520, "sparsesharemem_kernel<double>: 520 bytes of stack > 512"),
])
def test_resource_check_fails_a_kernel_whose_block_cannot_run(tmp_path, regs, shared, stack, problem):
    run, _ = resource_check(tmp_path, regs, shared, "--write", stack=stack)
    assert run.returncode == 1
    assert [f for f in failures(run) if problem in f] != []
    within, _ = resource_check(tmp_path / "within", regs, shared, "--write", stack=512 if stack > 16 else 16)
    assert not [f for f in failures(within) if "bytes of stack" in f]


def test_resource_check_fails_a_stale_host_table_or_a_missing_architecture(tmp_path):
    run, table = resource_check(tmp_path, 32, 1024, "--write")
    table.write_text(table.read_text().replace(", 32, 0, 256}", ", 31, 0, 256}"))
    run, _ = resource_check(tmp_path / "again", 32, 1024, "--table", str(table), "--expect-archs", "80,90,100")
    found = "\n".join(failures(run))
    assert "table.inc does not match this build: run scripts/kernel_resources.py" in found
    assert "velqa.so holds sm_80 sm_90, expected sm_80 sm_90 sm_100" in found
    # Another compiler's build of the kernels is held to the rules alone: the table stays as it was.
    stale = table.read_text()
    run, _ = resource_check(tmp_path / "clang", 32, 1024, "--table", str(table), "--no-table")
    assert not [f for f in failures(run) if "does not match" in f] and table.read_text() == stale
