#!/usr/bin/env python3
"""The GPU check (run through scripts/gpu_check.sh, whose header holds the time budget).

Preflight, a cuda build for the local GPU, the Python suite, the round trip with CuPy (where CuPy
imports), compute-sanitizer, the benchmarks;
then a summary JSON and a plot of the benchmarks' figures as fractions of the device-to-device copy
bandwidth measured in the same run. Where the machine can also build the cuda12 backend (clang++-22
and the CUDA 12 packages: --cuda12-packages, $KORVANE_CUDA12_PACKAGES or scripts/cuda12_root.py's
cache; this machine needs no network), it builds both at once, runs the suite on each and every
benchmark on each, and reports them side by side; otherwise the log and the summary say why the
cuda12 half was skipped. Everything it prints goes to the log as well. Its outputs go to $OUT when
set, else to build/:

    gpu_check.log             everything the check and its commands printed
    gpu_check_summary.json    machine, stages, test counts, sanitizer findings, benchmark figures
    gpu_check_bandwidth.png   the benchmark figures against n

Options select stages and inputs, for reruns and for tests of the check itself:

    --only STAGES       comma-separated subset of preflight,build,tests,interop,sanitizers,benchmarks
    --build DIR         use this build instead of building (the build stage is then skipped)
    --cuda12-build DIR  and this cuda12 build beside it
    --cuda12-packages DIR   the CUDA 12 packages to build the cuda12 backend with
    --no-cuda12         the cuda backend only
    --all-archs         build the product's architectures instead of the local GPU's only
    --benchmarks P[:S]  run these benchmark scripts (allowance S seconds each) instead of the list
    --print-tests SET   print the test selection SET (memcheck, racecheck, barrier, interop) and exit

Exit status: 0 when every stage run passed, 1 when one failed, 2 when the preflight failed.
"""
import argparse
import importlib.util
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import threading
import time
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STAGES = ("preflight", "build", "tests", "interop", "sanitizers", "benchmarks")

# The Python suite, run from the repository root; the GPU-mode stage of CI runs the same.
SUITE = ["-m", "pytest", "-q", "-p", "no:cacheprovider"]

# memcheck: a short subset that launches every kernel family (tests/scripts checks that on the host
# device). Only tests that run on a GPU count: those needing the host device are skipped there.
MEMCHECK_TESTS = [
    *[f"tests/python/test_gates.py::test_random_circuits_match_the_reference[{mode}-complex128-{n}]"
      for mode in ("AllState", "Pair", "PairAuto", "PairAutoFusion") for n in (1, 3, 9)],
    # Its draws include a controlled SWAP with a target on qubit 0 (swap_target0_compact).
    "tests/python/test_gates.py::test_random_circuits_match_the_reference[PairAuto-complex128-4]",
    "tests/python/test_gates.py::test_endian_does_not_change_gates",
    "tests/python/test_gates.py::test_identities_that_expose_wrong_constants",
    "tests/python/test_unitary.py::test_every_target_count_matches_reference",
    "tests/python/test_unitary.py::test_groups_wider_than_a_tile_match_reference",
    "tests/python/test_unitary.py::test_controlled_wide_gate_leaves_other_amplitudes_bit_identical",
    "tests/python/test_measure.py::test_fixed_seed_reproduces",
    "tests/python/test_measure.py::test_outcome_bit_order_on_basis_states",
    "tests/python/test_fusion.py::test_random_circuits_match_per_gate_run_and_reference[complex128-11]",
    "tests/python/test_fusion.py::test_random_circuits_with_small_unitaries[complex64-12]",
    "tests/python/test_density_kernels.py::test_stored_unitaries_on_one_to_six_targets",
    "tests/python/test_density_kernels.py::test_every_named_gate_with_and_without_controls",
    "tests/python/test_density_kernels.py::test_builtin_channels_on_every_qubit",
    "tests/python/test_density_kernels.py::test_general_kraus_on_one_to_three_targets",
    "tests/python/test_density_kernels.py::test_controlled_x_on_control_state_zero",
    "tests/python/test_density_measure.py::test_basis_states_measure_as_they_are",
    "tests/python/test_density_fusion.py::test_random_lists_agree_with_fusion_on_and_off[5]",
    "tests/python/test_density_fusion.py::test_random_lists_agree_with_fusion_on_and_off[8]",
    "tests/python/test_observables.py::test_exact_values",
    "tests/python/test_observables.py::test_both_modules_agree_on_a_pure_state",
    # the gather of a strided tensor taken over by from_dlpack (CuPy's arrays on a GPU)
    "tests/python/test_interop.py::test_tensors_that_are_not_c_contiguous_are_copied_unless_copy_is_false",
]
# racecheck and synccheck: the tests that run the kernels with barriers on a GPU.
RACECHECK_TESTS = [
    "tests/python/test_fusion.py::test_random_circuits_match_per_gate_run_and_reference[complex64-10]",
    "tests/python/test_density_kernels.py::test_stored_unitaries_on_one_to_six_targets[complex64-2]",
    "tests/python/test_density_kernels.py::test_stored_unitaries_on_one_to_six_targets[complex64-4]",
    "tests/python/test_unitary.py::test_controlled_wide_gate_leaves_other_amplitudes_bit_identical[complex64-PairAuto]",
    "tests/python/test_density_fusion.py::test_random_lists_agree_with_fusion_on_and_off[8]",
    "tests/python/test_observables.py::test_both_modules_agree_on_a_pure_state",
]
# Every test of the kernels with barriers, for runs in each thread order of the host device.
BARRIER_TESTS = [
    "tests/python/test_fusion.py",
    "tests/python/test_density_fusion.py",
    "tests/python/test_density_kernels.py",
    "tests/python/test_observables.py",
]
# The zero-copy round trips, which take CuPy arrays on a GPU: states read and written through
# cupy.from_dlpack, CuPy arrays (contiguous or not) taken over by from_dlpack.
INTEROP_TESTS = [
    "tests/python/test_interop.py::test_export_is_a_writable_view",
    "tests/python/test_interop.py::test_import_borrows_and_every_operation_works_in_place",
    "tests/python/test_interop.py::test_tensors_that_are_not_c_contiguous_are_copied_unless_copy_is_false",
    "tests/python/test_interop.py::test_cuda_array_interface_only_on_a_gpu",
]
SELECTIONS = {"memcheck": MEMCHECK_TESTS, "racecheck": RACECHECK_TESTS, "barrier": BARRIER_TESTS,
              "interop": INTEROP_TESTS}

# Every benchmark, most wanted first: script (or the build's C++ benchmark), arguments for this
# check (sizes that keep it short on a GPU), allowance in seconds on the GPU machine, per build.
BENCHMARKS = [
    ("bench/bench_gates.py", ["--n", "22", "24", "26"], 45),
    ("bench/bench_density.py", ["--sizes", "11", "12", "13"], 30),
    ("bench/bench_unitary_sampling.py", [], 40),
    ("bench/bench_fusion.py", ["--sizes", "22", "24", "26"], 45),
    ("bench/bench_density_fusion.py", ["--sizes", "10", "11", "12"], 30),
    ("bench/bench_observables.py", ["--n", "24", "--repeats", "2"], 30),
    ("bench/bench_batch.py", ["--sizes", "12", "16", "--batches", "1", "256", "4096", "--repeats", "2",
                              "--loop-members", "8"], 40),
    ("bench/bench_trajectories.py", ["--sizes", "12", "20", "--trajectories", "256"], 30),
    ("bench_planner", [], 20),
]
# Benchmarks that use no device: the same on every build, so they run on the first only.
DEVICE_FREE = {"bench_planner"}

# The builds the check can make, in the order it runs them: backend, build folder.
BUILDS = {"cuda": "gpu", "cuda12": "gpu12"}

# Seconds each stage may take at most (scripts/gpu_check.sh shows the arithmetic).
TIMEOUTS = "build=150,tests=120,tests_cuda12=75,interop=20,memcheck=60,racecheck=30,synccheck=30,report=10"

# The oldest driver each CUDA runtime major version runs on (minor-version compatibility).
MIN_DRIVER = {11: (450, 80, 2), 12: (525, 60, 13), 13: (580,)}
MIN_CMAKE = (3, 24)
PYTHON_MODULES = ("numpy", "pybind11", "pytest")


def version_tuple(text):
    return tuple(int(p) for p in re.findall(r"\d+", text))


def dotted(version):
    return ".".join(str(v) for v in version)


# ---------------------------------------------------------------- preflight

class Probe:
    """What the preflight asks of the machine (tests substitute their own answers)."""

    def which(self, name):
        return shutil.which(name)

    def run(self, command):
        try:
            r = subprocess.run(command, capture_output=True, text=True, timeout=60)
            return r.returncode, r.stdout, r.stderr
        except OSError as e:
            return 127, "", str(e)
        except subprocess.TimeoutExpired:
            return 124, "", "timed out after 60 s"

    def python_include(self):
        return sysconfig.get_config_var("INCLUDEPY") or sysconfig.get_paths().get("include", "")

    def has_module(self, name):
        return importlib.util.find_spec(name) is not None

    def nvcc(self):
        for candidate in (os.environ.get("CUDACXX"), self.which("nvcc"), "/usr/local/cuda/bin/nvcc"):
            if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                return candidate
        return None

    def cuda12_packages(self):
        """(folder, None) of the CUDA 12 packages in scripts/cuda12_root.py's cache, or (None, why not)."""
        rc, out, err = self.run([sys.executable, os.path.join(ROOT, "scripts", "cuda12_root.py"), "packages",
                                 "--offline"])
        lines = (err or out).strip().splitlines()
        return (out.strip(), None) if rc == 0 else (None, lines[-1] if lines else f"exit status {rc}")


def find_sanitizer(probe):
    found = probe.which("compute-sanitizer")
    nvcc = probe.nvcc()
    if not found and nvcc:
        beside = os.path.join(os.path.dirname(nvcc), "compute-sanitizer")
        found = beside if os.path.isfile(beside) else None
    return found


def cuda12_readiness(probe, facts, packages=None):
    """(CUDA 12 packages folder, None) when the machine can build and run the cuda12 backend, else
    (None, why not): it needs clang++-22, the packages (packages, $KORVANE_CUDA12_PACKAGES or the
    cache) and a driver that runs CUDA 12."""
    missing = []
    if not probe.which("clang++-22"):
        missing.append("clang++-22 not found (Debian: apt-get install clang-22)")
    packages = packages or os.environ.get("KORVANE_CUDA12_PACKAGES")
    if packages:
        if not os.path.isdir(os.path.join(packages, "nvidia", "cublas")):
            missing.append(f"{packages} holds no CUDA 12 packages (nvidia/cublas)")
    else:
        packages, why = probe.cuda12_packages()
        if not packages:
            missing.append(why)
    need = MIN_DRIVER[12]
    if "driver" in facts and version_tuple(facts["driver"]) < need:
        missing.append(f"driver {facts['driver']} is too old for CUDA 12: it needs {dotted(need)} or newer")
    return (None, "; ".join(missing)) if missing else (packages, None)


def preflight(probe):
    """(facts, problems, notes): what the machine offers, what stops the check, what it will lack."""
    facts, problems, notes = {}, [], []
    python = f"{sys.executable} (Python {sys.version.split()[0]})"
    facts["python"] = python

    smi = probe.which("nvidia-smi")
    if not smi:
        problems.append("nvidia-smi not found: this machine has no NVIDIA driver installed")
    else:
        rc, out, err = probe.run([smi, "--query-gpu=name,compute_cap,driver_version,memory.total",
                                  "--format=csv,noheader"])
        rows = [r for r in out.splitlines() if r.strip()]
        if rc != 0:
            first = (err or out).strip().splitlines()[0] if (err or out).strip() else "no output"
            problems.append(f"nvidia-smi failed (exit status {rc}): {first}")
        elif not rows:
            problems.append("nvidia-smi lists no GPU")
        else:
            fields = [f.strip() for f in rows[0].split(",")]
            if len(fields) < 4 or not re.fullmatch(r"\d+\.\d+", fields[1]):
                problems.append(f"nvidia-smi gave no compute capability: '{rows[0].strip()}'")
            else:
                facts.update(gpu=fields[0], compute_capability=fields[1], driver=fields[2], memory=fields[3],
                             gpus=len(rows))

    nvcc = probe.nvcc()
    if not nvcc:
        problems.append("nvcc not found (PATH, CUDACXX, /usr/local/cuda/bin): the CUDA toolkit is needed to build")
    else:
        rc, out, _ = probe.run([nvcc, "--version"])
        m = re.search(r"release (\d+)\.(\d+)", out)
        if rc != 0 or not m:
            problems.append(f"{nvcc} --version did not say its release")
        else:
            facts["nvcc"] = nvcc
            facts["cuda"] = f"{m.group(1)}.{m.group(2)}"
    if "driver" in facts and "cuda" in facts:
        major = int(facts["cuda"].split(".")[0])
        need = MIN_DRIVER.get(major)
        if need is None:
            notes.append(f"no known driver requirement for CUDA {facts['cuda']}")
        elif version_tuple(facts["driver"]) < need:
            problems.append(f"driver {facts['driver']} is too old for the CUDA {facts['cuda']} runtime this build "
                            f"links: CUDA {major} needs driver {dotted(need)} or newer")

    include = probe.python_include()
    if not include or not os.path.isfile(os.path.join(include, "Python.h")):
        problems.append(f"Python.h not found for {python} (looked in {include or 'no include folder'}): "
                        f"install the Python development headers")

    cmake = probe.which("cmake")
    if not cmake:
        problems.append(f"cmake not found: CMake {dotted(MIN_CMAKE)} or newer is needed")
    else:
        rc, out, _ = probe.run([cmake, "--version"])
        m = re.search(r"version (\d+\.\d+(\.\d+)?)", out)
        if rc != 0 or not m:
            problems.append(f"{cmake} --version did not say its version")
        elif version_tuple(m.group(1))[:2] < MIN_CMAKE:
            problems.append(f"CMake {m.group(1)} is too old: {dotted(MIN_CMAKE)} or newer is needed")
        else:
            facts["cmake"] = m.group(1)

    missing = [name for name in PYTHON_MODULES if not probe.has_module(name)]
    if missing:
        problems.append(f"Python modules missing for {python}: {', '.join(missing)}")
    if not probe.has_module("matplotlib"):
        notes.append("matplotlib missing: no plot")
    sanitizer = find_sanitizer(probe)
    if sanitizer:
        facts["compute_sanitizer"] = sanitizer
    else:
        notes.append("compute-sanitizer not found: no sanitizer runs")
    return facts, problems, notes


# ---------------------------------------------------------------- running commands

class Check:
    def __init__(self, out_dir, budget, timeouts):
        self.out_dir = out_dir
        os.makedirs(out_dir, exist_ok=True)
        self.scratch = os.path.join(ROOT, "build", "gpu_check")
        os.makedirs(self.scratch, exist_ok=True)
        self.log = open(os.path.join(out_dir, "gpu_check.log"), "w", buffering=1)
        self.start = time.monotonic()
        self.deadline = self.start + budget
        self.timeouts = timeouts
        self.summary = {"started": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "budget_s": budget, "stages": {}}
        self.failed = False

    def say(self, text=""):
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
        self.log.write(text + "\n")

    def stage(self, name):
        self.say(f"\n==== {name} ({time.monotonic() - self.start:.0f} s of {self.summary['budget_s']} s)")

    def remaining(self):
        """Seconds left for work, keeping the reserve that writes the outputs."""
        return self.deadline - time.monotonic() - self.timeouts["report"]

    def allowance(self, stage):
        return min(self.timeouts[stage], self.remaining())

    def run(self, command, timeout, env=None, label=""):
        """Runs command from the repository root with its output in the log, each line after label
        (commands that run at once). Returns (exit status, or None when it ran out of time; output;
        seconds)."""
        self.say(label + "$ " + " ".join(command))
        started = time.monotonic()
        proc = subprocess.Popen(command, cwd=ROOT, env={**os.environ, **(env or {})}, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace", start_new_session=True)
        lines = []

        def pump():
            for line in proc.stdout:
                lines.append(line)
                sys.stdout.write(label + line)
                self.log.write(label + line)

        reader = threading.Thread(target=pump)
        reader.start()
        try:
            rc = proc.wait(timeout=max(timeout, 1))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            rc = None
        reader.join()
        seconds = time.monotonic() - started
        ended = f"ran out of its {int(timeout)} s" if rc is None else f"exit status {rc}"
        self.say(f"{label}---- {ended} after {seconds:.1f} s")
        return rc, "".join(lines), seconds


# ---------------------------------------------------------------- stages

def stage_key(stage, backend):
    """The summary's name for a stage of one build: the cuda build's keeps the stage's name."""
    return stage if backend == "cuda" else f"{stage}_{backend}"


def status_of(rc):
    return "passed" if rc == 0 else "timed out" if rc is None else "failed"


def run_preflight(check, probe, want_cuda12=False, cuda12_packages=None):
    check.stage("preflight")
    facts, problems, notes = preflight(probe)
    if want_cuda12 and not problems:
        packages, why = cuda12_readiness(probe, facts, cuda12_packages)
        if packages:
            facts["cuda12_packages"] = packages
        else:
            notes.append(f"cuda12 half skipped: {why}")
            check.summary["cuda12"] = {"status": "skipped", "reason": why}
    for key, value in facts.items():
        check.say(f"{key}: {value}")
    for note in notes:
        check.say(f"note: {note}")
    for problem in problems:
        check.say(f"PREFLIGHT FAILED: {problem}")
    check.summary["machine"] = facts
    check.summary["stages"]["preflight"] = {"status": "failed" if problems else "passed", "problems": problems,
                                            "notes": notes}
    return facts, not problems


def run_builds(check, facts, all_archs):
    """Builds the cuda backend and, where facts name the CUDA 12 packages, the cuda12 backend at the same
    time, each on its share of the cores. Returns {backend: build folder} of those that built."""
    check.stage("build")
    backends = ["cuda", "cuda12"] if facts.get("cuda12_packages") else ["cuda"]
    # The product's architectures are the build's default: folders of their own keep them there.
    archs = None if all_archs else facts["compute_capability"].replace(".", "") + "-real"
    jobs = max(1, (os.cpu_count() or 1) // len(backends))
    timeout = check.allowance("build")
    results = {}

    def build(backend):
        folder = os.path.join(ROOT, "build", BUILDS[backend] + ("_all" if all_archs else ""))
        command = ["bash", os.path.join(ROOT, "scripts", "build.sh"), backend, folder]
        if archs:
            command.append(f"-DKORVANE_CUDA_ARCHITECTURES={archs}")
        env = {"KORVANE_PYTHON": sys.executable, "KORVANE_JOBS": str(jobs)}
        if backend == "cuda" and facts.get("nvcc"):
            env["CUDACXX"] = facts["nvcc"]
        if backend == "cuda12":
            env["KORVANE_CUDA12_PACKAGES"] = facts["cuda12_packages"]
        label = f"[{backend}] " if len(backends) > 1 else ""
        results[backend] = (folder, *check.run(command, timeout, env, label))

    threads = [threading.Thread(target=build, args=(backend,)) for backend in backends]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    built = {}
    for backend in backends:
        folder, rc, _, seconds = results[backend]
        check.summary["stages"][stage_key("build", backend)] = {"status": status_of(rc), "seconds": round(seconds, 1),
                                                                "architectures": archs or "the product's"}
        if rc == 0:
            built[backend] = folder
    return built


def test_counts(junit_path):
    """Counts and the failing tests, from pytest's JUnit XML."""
    root = ET.parse(junit_path).getroot()
    suite = root if root.tag == "testsuite" else root.find("testsuite")
    counts = {k: int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped")}
    counts["passed"] = counts["tests"] - counts["failures"] - counts["errors"] - counts["skipped"]
    failing = []
    for case in suite.iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failing.append(f"{case.get('classname')}::{case.get('name')}")
    counts["failing"] = failing[:50]
    return counts


def run_tests(check, build, backend="cuda"):
    key = stage_key("tests", backend)
    check.stage(f"tests ({backend} build)")
    junit = os.path.join(check.scratch, f"junit_{backend}.xml")
    if os.path.exists(junit):
        os.remove(junit)
    rc, _, seconds = check.run([sys.executable, *SUITE, f"--junitxml={junit}", "tests/python"],
                               check.allowance(key), {"KORVANE_BUILD": build})
    result = {"status": status_of(rc), "seconds": round(seconds, 1)}
    if os.path.exists(junit):
        result.update(test_counts(junit))
    check.summary["stages"][key] = result
    return rc == 0


def run_interop(check, build, probe):
    """The round trips with CuPy where it imports; skipped, and said so, where it does not. The suite
    ran them too; here they must run, not skip."""
    check.stage("interop (CuPy round trip)")
    if not probe.has_module("cupy"):
        check.say("CuPy is not importable: skipped")
        check.summary["stages"]["interop"] = {"status": "skipped", "reason": "CuPy is not importable"}
        return True
    junit = os.path.join(check.scratch, "junit_interop.xml")
    if os.path.exists(junit):
        os.remove(junit)
    rc, _, seconds = check.run([sys.executable, *SUITE, f"--junitxml={junit}", *INTEROP_TESTS],
                               check.allowance("interop"), {"KORVANE_BUILD": build})
    result = {"status": status_of(rc), "seconds": round(seconds, 1)}
    if os.path.exists(junit):
        result.update(test_counts(junit))
        if rc == 0 and result["passed"] == 0:
            result.update(status="failed", reason="every round trip skipped: CuPy was found but did not import")
    check.summary["stages"]["interop"] = result
    return result["status"] == "passed"


def sanitizer_findings(output):
    errors = [int(m) for m in re.findall(r"ERROR SUMMARY: (\d+) error", output)]
    hazards = [int(m) for m in re.findall(r"RACECHECK SUMMARY: (\d+) hazard", output)]
    reports = [line.strip() for line in output.splitlines()
               if line.startswith("========= ") and not re.search(r"SUMMARY|COMPUTE-SANITIZER|^=+\s*$", line)]
    return {"errors": sum(errors), "hazards": sum(hazards), "reports": reports[:20]}


def run_sanitizers(check, build, sanitizer):
    check.stage("compute-sanitizer")
    results = {}
    if not sanitizer:
        check.say("compute-sanitizer not present: skipped")
        check.summary["stages"]["sanitizers"] = {"status": "not present"}
        return True
    ok = True
    for tool, tests in (("memcheck", MEMCHECK_TESTS), ("racecheck", RACECHECK_TESTS), ("synccheck", RACECHECK_TESTS)):
        budget = check.allowance(tool)
        if budget < 10:
            results[tool] = {"status": "skipped: no time left"}
            continue
        rc, output, seconds = check.run([sanitizer, "--tool", tool, "--error-exitcode", "99", "--print-limit", "20",
                                         sys.executable, *SUITE, *tests], budget, {"KORVANE_BUILD": build})
        found = sanitizer_findings(output)
        summary = re.findall(r"^=* ?(\d+ passed.*|.*\d+ failed.*) in [\d.]+s", output, re.M)
        status = "timed out" if rc is None else "passed" if rc == 0 else "findings" if rc == 99 else "failed"
        results[tool] = {"status": status, "seconds": round(seconds, 1), "tests": summary[-1] if summary else None,
                         **found}
        ok = ok and status == "passed"
    check.summary["stages"]["sanitizers"] = {"status": "passed" if ok else "failed", **results}
    return ok


def run_benchmarks(check, builds, benchmarks):
    """Runs each benchmark on every build ({backend: folder}), one build after the other, when its
    allowance for all of them fits in what is left; a benchmark without device work on the first only."""
    check.stage("benchmarks")
    records_paths = {backend: os.path.join(check.scratch, f"bench_{backend}.jsonl") for backend in builds}
    for path in records_paths.values():
        if os.path.exists(path):
            os.remove(path)
    ran, skipped, ok = [], [], True
    for script, arguments, allowance in benchmarks:
        name = os.path.basename(script)
        targets = list(builds)[:1] if name in DEVICE_FREE else list(builds)
        need, left = allowance * len(targets), check.remaining()
        if need > left:
            skipped.append({"name": name, "allowance_s": need, "left_s": round(max(left, 0))})
            check.say(f"{name}: skipped, needs up to {need} s and {max(left, 0):.0f} s are left")
            continue
        for backend in targets:
            build = builds[backend]
            if script == "bench_planner":
                command = [os.path.join(build, "bench", "bench_planner"), *arguments]
            else:
                command = [sys.executable, script, *arguments]
            rc, _, seconds = check.run(command, allowance,
                                       {"KORVANE_BUILD": build, "KORVANE_BENCH_JSON": records_paths[backend]})
            ok = ok and rc == 0
            ran.append({"name": name, "build": backend, "status": status_of(rc), "seconds": round(seconds, 1)})
    records = []
    for backend, path in records_paths.items():
        if os.path.exists(path):
            with open(path) as f:
                records += [{**json.loads(line), "build": backend} for line in f if line.strip()]
    if skipped:
        check.say("skipped for lack of time: " + ", ".join(s["name"] for s in skipped))
    result = {"status": "passed" if ok else "failed", "ran": ran, "skipped": skipped, "records": records}
    if len(builds) > 1:
        result["side_by_side"] = side_by_side(records)
        check.say(side_by_side_table(result["side_by_side"]))
    check.summary["stages"]["benchmarks"] = result
    return ok


def side_by_side(records):
    """The figures both the cuda and the cuda12 build measured: each one's seconds and their ratio."""
    seconds = {}
    for r in records:
        seconds.setdefault((r["bench"], r["case"], r["n"], r["dtype"]), {})[r["build"]] = r["seconds"]
    rows = []
    for (bench, case, n, dtype), by_build in seconds.items():
        if "cuda" in by_build and "cuda12" in by_build:
            ratio = round(by_build["cuda12"] / by_build["cuda"], 3) if by_build["cuda"] else None
            rows.append({"bench": bench, "case": case, "n": n, "dtype": dtype, "cuda_s": by_build["cuda"],
                         "cuda12_s": by_build["cuda12"], "cuda12_over_cuda": ratio})
    return rows


def side_by_side_table(rows):
    lines = [f"{'benchmark':<22} {'case':<28} {'n':>3} {'dtype':<10} {'cuda s':>10} {'cuda12 s':>10} {'ratio':>6}"]
    for r in rows:
        ratio = f"{r['cuda12_over_cuda']:.3f}" if r["cuda12_over_cuda"] is not None else "-"
        lines.append(f"{r['bench']:<22} {r['case']:<28} {r['n']:>3} {r['dtype']:<10} {r['cuda_s']:>10.4g} "
                     f"{r['cuda12_s']:>10.4g} {ratio:>6}")
    return "\n".join(lines)


# ---------------------------------------------------------------- outputs

def plot(records, path):
    """The fractions of the copy bandwidth against n, one panel per benchmark. False without matplotlib."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import MaxNLocator
    except ImportError:
        return False
    series = {}
    builds = {r.get("build") for r in records}
    for r in records:
        if r.get("fraction_of_copy") is None:
            continue
        label = f"{r['case']} {r['dtype']}" + (f" ({r['build']})" if len(builds) > 1 else "")
        series.setdefault((r["bench"], label), []).append((r["n"], r["fraction_of_copy"]))
    benches = sorted({b for b, _ in series}) or ["no benchmark figures"]
    fig, axes = plt.subplots(len(benches), 1, figsize=(11, 4 * len(benches)), squeeze=False)
    for ax, bench in zip(axes[:, 0], benches):
        for (b, label), points in sorted(series.items()):
            if b == bench:
                points.sort()
                ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=label,
                        linestyle="--" if label.endswith("(cuda12)") else "-")
        ax.set_title(bench)
        ax.set_xlabel("n (qubits)")
        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
        ax.set_ylabel("fraction of copy bandwidth")
        ax.grid(True, alpha=0.3)
        if ax.has_data():
            ax.legend(fontsize=6, ncol=2, loc="center left", bbox_to_anchor=(1.0, 0.5))
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True


def write_outputs(check):
    check.stage("outputs")
    check.summary["duration_s"] = round(time.monotonic() - check.start, 1)
    check.summary["status"] = "failed" if check.failed else "passed"
    summary_path = os.path.join(check.out_dir, "gpu_check_summary.json")
    with open(summary_path, "w") as f:
        json.dump(check.summary, f, indent=1)
    check.say(f"wrote {summary_path}")
    records = check.summary["stages"].get("benchmarks", {}).get("records", [])
    png = os.path.join(check.out_dir, "gpu_check_bandwidth.png")
    if plot(records, png):
        check.say(f"wrote {png}")
    else:
        check.say("matplotlib missing: no plot")
    stages = check.summary["stages"]
    for name in STAGES:
        for key in (name, stage_key(name, "cuda12")):
            if key in stages:
                s = stages[key]
                extra = ""
                if name in ("tests", "interop") and "tests" in s:
                    extra = (f": {s['passed']} passed, {s['failures']} failed, {s['errors']} errors, "
                             f"{s['skipped']} skipped")
                if "reason" in s:
                    extra += f" ({s['reason']})" if extra else f": {s['reason']}"
                check.say(f"{key:<13} {s['status']}{extra}")
    if check.summary.get("cuda12", {}).get("status") == "skipped":
        check.say(f"{'cuda12':<13} skipped: {check.summary['cuda12']['reason']}")
    check.say(f"done in {check.summary['duration_s']} s: {check.summary['status']}")


# ---------------------------------------------------------------- main

def parse_timeouts(text):
    out = {}
    for item in text.split(","):
        key, _, value = item.partition("=")
        out[key.strip()] = float(value)
    return out


def main(argv=None, probe=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="comma-separated stages: " + ",".join(STAGES))
    parser.add_argument("--build", help="an existing build to use")
    parser.add_argument("--cuda12-build", help="an existing cuda12 build to use beside it")
    parser.add_argument("--cuda12-packages", help="the CUDA 12 packages folder (scripts/cuda12_root.py packages)")
    parser.add_argument("--no-cuda12", action="store_true", help="the cuda backend only")
    parser.add_argument("--all-archs", action="store_true")
    parser.add_argument("--benchmarks", nargs="+", help="benchmark scripts, each as PATH or PATH:SECONDS")
    parser.add_argument("--budget", type=float, default=540, help="seconds for the whole run")
    parser.add_argument("--timeouts", default=TIMEOUTS, help="seconds per stage")
    parser.add_argument("--print-tests", choices=sorted(SELECTIONS))
    args = parser.parse_args(argv)
    if args.print_tests:
        print(" ".join(SELECTIONS[args.print_tests]))
        return 0
    stages = set(args.only.split(",")) if args.only else set(STAGES)
    unknown = stages - set(STAGES)
    if unknown:
        parser.error(f"unknown stages: {', '.join(sorted(unknown))}")
    if args.build:
        stages.discard("build")
    benchmarks = BENCHMARKS
    if args.benchmarks:
        benchmarks = []
        for item in args.benchmarks:
            path, _, seconds = item.partition(":")
            benchmarks.append((path, [], float(seconds) if seconds else 60))

    check = Check(os.environ.get("OUT") or os.path.join(ROOT, "build"), args.budget, parse_timeouts(args.timeouts))
    facts = {}
    if "preflight" in stages:
        want_cuda12 = "build" in stages and not args.no_cuda12
        facts, ok = run_preflight(check, probe or Probe(), want_cuda12, args.cuda12_packages)
        if not ok:
            check.failed = True
            write_outputs(check)
            return 2
    if "build" in stages:
        builds = run_builds(check, facts, args.all_archs)
        if "cuda" not in builds:
            check.failed = True
            write_outputs(check)
            return 1
        if facts.get("cuda12_packages") and "cuda12" not in builds:
            check.failed = True
    else:
        builds = {"cuda": os.path.abspath(args.build) if args.build else os.path.join(ROOT, "build", BUILDS["cuda"])}
        if args.cuda12_build and not args.no_cuda12:
            builds["cuda12"] = os.path.abspath(args.cuda12_build)
    check.summary["build"] = builds["cuda"]
    check.summary["builds"] = builds
    if "cuda12" in builds:
        check.summary["cuda12"] = {"status": "ran"}
    elif facts.get("cuda12_packages"):
        check.summary["cuda12"] = {"status": "skipped", "reason": "its build failed"}
    for backend, build in builds.items():
        if "tests" in stages and not run_tests(check, build, backend):
            check.failed = True
    if "interop" in stages and not run_interop(check, builds["cuda"], probe or Probe()):
        check.failed = True
    sanitizer = facts.get("compute_sanitizer") or find_sanitizer(probe or Probe())
    if "sanitizers" in stages and not run_sanitizers(check, builds["cuda"], sanitizer):
        check.failed = True
    if "benchmarks" in stages and not run_benchmarks(check, builds, benchmarks):
        check.failed = True
    write_outputs(check)
    return 1 if check.failed else 0


if __name__ == "__main__":
    sys.exit(main())
