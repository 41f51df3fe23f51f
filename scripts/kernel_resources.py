#!/usr/bin/env python3
"""Kernel resources of a cuda build, read from its modules with cuobjdump, checked against what a
block of each kernel's launch needs.

    scripts/kernel_resources.py [BUILD] [--expect-archs 75,80,...] [--write | --no-table]

For every kernel of the built modules (BUILD/python/*.so, default build/cuda) it reads, per
architecture, the registers, stack frame and static shared memory (cuobjdump --dump-resource-usage)
and the threads per block the kernel was compiled for (its __launch_bounds__, recorded in the
image as EIATTR_MAX_THREADS; cuobjdump --dump-elf). It prints one line per kernel for its worst
architecture and fails when

  - a kernel has no __launch_bounds__ (then nothing keeps its registers within its block);
  - its stack frame exceeds 512 bytes (local arrays and call frames; spilled registers never get
    there: ptxas fails the build on a spill);
  - registers x block threads exceed 65536, the registers one block may hold (counted as a GPU
    holds them: per whole warp, and 8 a thread at a time);
  - static plus dynamic shared memory exceeds 48 KiB, what a block may use without opting in.

The block size of a kernel is its __launch_bounds__: every kernel names its launcher's block size
there, and the host device refuses a launch with more threads than that, so the two cannot drift
apart unnoticed. Dynamic shared memory is not in the image; the launchers that ask for some are
listed in DYNAMIC_SHARED_BYTES with the most they ask for, and a host test checks every launch
against that list.

The same figures, worst architecture per kernel, are the table the host device consults
(hostdevice/kernel_resources.inc) to refuse launches a GPU would refuse. Without --write the script
also fails when that table differs from the build; with --write it rewrites it. The table is the cuda
build's (nvcc); other builds of the same kernels (cuda12, compiled by clang) are held to the same
rules with --no-table, which leaves the table out.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = os.path.join(ROOT, "hostdevice", "kernel_resources.inc")
REGISTERS_PER_BLOCK = 65536
REGISTER_GRANULE, WARP = 8, 32  # a GPU holds registers per whole warp, 8 a thread at a time
SHARED_BYTES_PER_BLOCK = 48 * 1024
STACK_BYTES = 512
NO_LAUNCH_BOUNDS = 1024  # what the hardware allows a kernel compiled without __launch_bounds__

# The most dynamic shared memory each launcher asks for, by kernel (unqualified name with template
# arguments); other kernels take none. SparseShareMem groups hold at most 10 qubits (2^10 elements)
# and density fusion groups at most 5 (4^5 elements). A wide UNITARY tile holds G = 2^(10-K) groups
# of 2^K amplitudes, each padded by one: 1024 + G elements, the most at K = 6.
DYNAMIC_SHARED_BYTES = {
    "sparsesharemem_kernel<float>": (1 << 10) * 8,
    "sparsesharemem_kernel<double>": (1 << 10) * 16,
    "density_sparsesharemem_kernel<float>": (1 << 10) * 8,
    "density_sparsesharemem_kernel<double>": (1 << 10) * 16,
    "cu_unitary_kernel<float>": (1024 + 16) * 8,
    "cu_unitary_kernel<double>": (1024 + 16) * 16,
}


class Kernel:
    def __init__(self, symbol):
        self.symbol = symbol
        self.per_arch = {}  # arch -> (registers, stack, static shared)
        self.max_threads = None
        self.name = symbol

    def worst_arch(self):
        """The architecture needing the most registers (then stack)."""
        return max(self.per_arch, key=lambda a: (self.per_arch[a][0], self.per_arch[a][1], a))

    def stack(self):
        return max(s for _, s, _ in self.per_arch.values())

    def registers(self):
        return max(r for r, _, _ in self.per_arch.values())

    def static_shared(self):
        return max(s for _, _, s in self.per_arch.values())

    def block(self):
        return self.max_threads or NO_LAUNCH_BOUNDS

    def registers_per_block(self):
        granted = -(-self.registers() // REGISTER_GRANULE) * REGISTER_GRANULE
        return granted * (-(-self.block() // WARP) * WARP)

    def dynamic_shared(self):
        return DYNAMIC_SHARED_BYTES.get(unqualified(self.name), 0)

    def problems(self):
        out = []
        if self.max_threads is None:
            out.append("no __launch_bounds__")
        if self.registers_per_block() > REGISTERS_PER_BLOCK:
            out.append(f"{self.registers()} registers x {self.block()} threads: {self.registers_per_block()} held > "
                       f"{REGISTERS_PER_BLOCK}")
        if self.stack() > STACK_BYTES:
            out.append(f"{self.stack()} bytes of stack > {STACK_BYTES}")
        if self.static_shared() + self.dynamic_shared() > SHARED_BYTES_PER_BLOCK:
            out.append(f"{self.static_shared()} + {self.dynamic_shared()} bytes of shared memory > "
                       f"{SHARED_BYTES_PER_BLOCK}")
        return out


def arch_list(archs):
    """sm_75 sm_80 ... sm_120, in the order of the compute capabilities."""
    return " ".join(sorted(archs, key=lambda a: int(a[3:])))


def host_symbol(symbol):
    """The host compiler's symbol for a device symbol: nvcc names an anonymous namespace after its
    file (<length>_GLOBAL__N__<hash>_<file>_...), the host compiler 12_GLOBAL__N_1."""
    out, i = [], 0
    for m in re.finditer(r"(\d+)(?=_GLOBAL__N_)", symbol):
        if m.start() < i:
            continue
        out.append(symbol[i:m.start()] + "12_GLOBAL__N_1")
        i = m.end() + int(m.group(1))
    return "".join(out) + symbol[i:]


def unqualified(name):
    """f<T> of a::b::f<T>: the last component of a qualified name, template arguments kept."""
    depth, cut = 0, 0
    for i, c in enumerate(name):
        if c in "<(":
            depth += 1
        elif c in ">)":
            depth -= 1
        elif c == ":" and depth == 0 and name[i:i + 2] == "::":
            cut = i + 2
    return name[cut:]


def short_name(demangled):
    """ns::kernel<args> of 'void ns::kernel<args>(parameters)'."""
    name = demangled[5:] if demangled.startswith("void ") else demangled
    if name.endswith(")"):
        depth = 0
        for i in range(len(name) - 1, -1, -1):
            depth += {")": 1, "(": -1}.get(name[i], 0)
            if depth == 0:
                return name[:i]
    return name


def find_cuobjdump(explicit=None):
    candidates = [explicit, shutil.which("cuobjdump")]
    nvcc = shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc"
    candidates.append(os.path.join(os.path.dirname(nvcc), "cuobjdump"))
    # The package index's nvidia-cuda-cuobjdump (scripts/setup.sh installs it where the toolkit has none).
    for key in ("purelib", "platlib"):
        candidates.append(os.path.join(sysconfig.get_paths()[key], "nvidia", "cu13", "bin", "cuobjdump"))
    for c in candidates:
        if c and os.path.isfile(c) and os.access(c, os.X_OK):
            return c
    sys.exit("kernel_resources: cuobjdump not found (the CUDA toolkit's, or pip install nvidia-cuda-cuobjdump)")


def cuobjdump(tool, *args):
    run = subprocess.run([tool, *args], capture_output=True, text=True)
    if run.returncode != 0 and "does not contain device code" not in run.stderr:
        sys.exit(f"kernel_resources: {' '.join([tool, *args])} failed:\n{run.stderr}")
    return run.stdout


def read_module(tool, path, kernels):
    """Adds the kernels of one module; returns its architectures and whether it holds PTX."""
    archs = set()
    arch = None
    current = None
    for line in cuobjdump(tool, "--dump-resource-usage", path).splitlines():
        line = line.strip()
        if line.startswith("arch = "):
            arch = line.split("=", 1)[1].strip()
            archs.add(arch)
        elif line.startswith("Function ") and line.endswith(":"):
            symbol = line[len("Function "):-1]
            current = kernels.setdefault(symbol, Kernel(symbol))
        elif line.startswith("REG:") and current is not None:
            fields = dict(f.split(":", 1) for f in line.split())
            current.per_arch[arch] = (int(fields["REG"]), int(fields["STACK"]), int(fields["SHARED"]))
            current = None
    section = None
    attribute = None
    for line in cuobjdump(tool, "--dump-elf", path).splitlines():
        if line.startswith("."):  # a section starts
            section = kernels.get(line[len(".nv.info."):].strip()) if line.startswith(".nv.info.") else None
        elif "Attribute:" in line:
            attribute = line.split("Attribute:", 1)[1].strip()
        elif attribute == "EIATTR_MAX_THREADS" and "Value:" in line and section is not None:
            x, y, z = (int(v, 16) for v in line.split("Value:", 1)[1].split())
            section.max_threads = max(section.max_threads or 0, x * y * z)
            attribute = None
    ptx = cuobjdump(tool, "--list-ptx", path).strip() if archs else ""
    return archs, bool(ptx)


def demangle(kernels):
    filt = shutil.which("c++filt") or shutil.which("cu++filt")
    if not filt:
        return
    symbols = sorted(kernels)
    run = subprocess.run([filt], input="\n".join(symbols), capture_output=True, text=True)
    if run.returncode == 0:
        for symbol, name in zip(symbols, run.stdout.splitlines()):
            kernels[symbol].name = short_name(name)


def table_text(kernels, archs):
    lines = ["// clang-format off",
             f"// Generated by scripts/kernel_resources.py from the cuda build ({arch_list(archs)}).",
             "// symbol (host spelling), registers, static shared bytes, __launch_bounds__ threads: the most any",
             "// architecture needs."]
    rows = {}
    for k in kernels.values():
        key = host_symbol(k.symbol)
        old = rows.get(key)
        regs, shared, block = k.registers(), k.static_shared(), k.block()
        if old:  # two anonymous-namespace kernels of one name: the most either needs
            regs, shared, block = max(regs, old[1]), max(shared, old[2]), min(block, old[3])
        rows[key] = (k.name, regs, shared, block)
    for key in sorted(rows):
        name, regs, shared, block = rows[key]
        lines.append(f'{{"{key}", {regs}, {shared}, {block}}},  // {name}')
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "cuda"))
    parser.add_argument("--cuobjdump", help="the cuobjdump to use")
    parser.add_argument("--expect-archs", help="compute capabilities the build must hold, e.g. 75,80")
    table = parser.add_mutually_exclusive_group()
    table.add_argument("--write", action="store_true", help="rewrite the host device's table from this build")
    table.add_argument("--no-table", action="store_true",
                       help="check the rules only, not the host device's table (a build other than nvcc's)")
    parser.add_argument("--table", default=TABLE, help=argparse.SUPPRESS)
    args = parser.parse_args()

    tool = find_cuobjdump(args.cuobjdump)
    python_dir = os.path.join(args.build, "python")
    modules = sorted(os.path.join(python_dir, f) for f in os.listdir(python_dir) if f.endswith(".so"))
    kernels, archs, failures = {}, set(), []
    for module in modules:
        module_archs, ptx = read_module(tool, module, kernels)
        if module_archs:
            print(f"{os.path.basename(module)}: {arch_list(module_archs)}{', with PTX' if ptx else ''}")
            archs |= module_archs
            if ptx:
                failures.append(f"{os.path.basename(module)} holds PTX; the build is machine code only")
            if args.expect_archs:
                expected = {f"sm_{a}" for a in args.expect_archs.split(",")}
                if module_archs != expected:
                    failures.append(f"{os.path.basename(module)} holds {arch_list(module_archs)}, "
                                    f"expected {arch_list(expected)}")
    if not kernels:
        sys.exit(f"kernel_resources: no kernels in {python_dir}")
    demangle(kernels)

    print(f"\n{len(kernels)} kernels, the most each needs on any architecture (arch: the one with the most "
          f"registers), most registers held per block first; stack bytes are local arrays and call frames:")
    print(f"{'regs':>4} {'x block':>7} {'held':>6} {'stack':>5} {'static':>6} {'dynamic':>7}  {'arch':<6} kernel")
    order = sorted(kernels.values(), key=lambda k: (-k.registers_per_block(), -k.stack(), k.name))
    for k in order:
        problems = k.problems()
        mark = "  <-- " + "; ".join(problems) if problems else ""
        print(f"{k.registers():>4} {k.block():>7} {k.registers_per_block():>6} {k.stack():>5} "
              f"{k.static_shared():>6} {k.dynamic_shared():>7}  {k.worst_arch():<6} {k.name}{mark}")
        failures += [f"{k.name}: {p}" for p in problems]
    spilling = sorted((k for k in kernels.values() if k.stack() > 0), key=lambda k: -k.stack())
    if spilling:
        print(f"\n{len(spilling)} kernels use a stack frame; the largest: " +
              ", ".join(f"{k.name} {k.stack()} bytes" for k in spilling[:5]))
    for name in DYNAMIC_SHARED_BYTES:
        if not any(unqualified(k.name) == name for k in kernels.values()):
            failures.append(f"DYNAMIC_SHARED_BYTES names {name}, which the build does not have")

    text = table_text(kernels, archs)
    if args.no_table:
        pass
    elif args.write:
        with open(args.table, "w") as f:
            f.write(text)
        print(f"\nwrote {os.path.relpath(args.table, ROOT)}")
    else:
        current = open(args.table).read() if os.path.exists(args.table) else ""
        if current != text:
            failures.append(f"{os.path.relpath(args.table, ROOT)} does not match this build: "
                            f"run scripts/kernel_resources.py {args.build} --write")
    if failures:
        print("\nFAILED:\n  " + "\n  ".join(failures))
        return 1
    print("\nall kernels fit their blocks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
