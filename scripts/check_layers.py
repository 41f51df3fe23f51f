#!/usr/bin/env python3
"""Checks that the C++ and CUDA sources include one another one way only.

A unit is a folder and a file stem: velqa/fusion/fusion.hpp and velqa/fusion/fusion.cu are the unit
velqa/fusion/fusion. Every unit belongs to one layer of LAYERS (the first whose pattern matches),
bottom to top; velqa and dormeth each stack their own layers on common and never include each
other. Every quoted #include of every .cpp, .cu, .cuh, .hpp and .inc file (build folders and hidden
folders left out) is read, and the check fails on

- an include that runs up: into a higher layer, into another module, or into hostdevice/ from
  anywhere but the runtime switch (common/gpu/);
- a cycle between units (a unit including itself, foo.cpp including foo.hpp, is no cycle);
- a source file in no layer, or an include that names no file.

Tests, benchmarks and examples stand above everything and may include any unit.

    scripts/check_layers.py [root]     # the repository by default; prints every finding, exit 1 on any
"""
import fnmatch
import os
import re
import sys

EXTENSIONS = (".cpp", ".cu", ".cuh", ".hpp", ".inc")

# Bottom to top. A layer is a name and the unit patterns (fnmatch over "folder/stem") it holds.
BASE = [
    ("hostdevice", ["hostdevice/*"]),
    ("runtime switch", ["common/gpu/*"]),
    ("common", ["common/*"]),
]
MODULES = {
    "velqa": [
        ("velqa state and records", ["velqa/state_view", "velqa/velqa_device_state", "velqa/velqa_state_batch",
                                     "velqa/gate_record", "velqa/gate_traits",
                                     "velqa/gates/gate_matrix", "velqa/gates/control_masks",
                                     "velqa/gates/unitary_matrix"]),
        ("velqa kernels and launchers", ["velqa/gates/*", "velqa/fusion/sparsesharemem", "velqa/fusion/densemm",
                                         "velqa/velqa_measure", "velqa/velqa_observables"]),
        ("velqa gate dispatch", ["velqa/gate_dispatch"]),
        ("velqa fusion", ["velqa/fusion/planner", "velqa/fusion/fusion"]),
        ("velqa runner", ["velqa/run_circuit", "velqa/trajectories"]),
        ("velqa bindings", ["velqa/gate_conversion", "velqa/state_arrays", "velqa/trajectory_bindings",
                             "velqa/velqa_module"]),
    ],
    "dormeth": [
        ("dormeth state and records", ["dormeth/dormeth_device_state", "dormeth/device_targets",
                                       "dormeth/fusion/device_density_gate"]),
        ("dormeth kernels and launchers", ["dormeth/kernels/*", "dormeth/fusion/density_sparsesharemem",
                                           "dormeth/dormeth_measure", "dormeth/dormeth_observables"]),
        ("dormeth prepared operations", ["dormeth/prepared_operation"]),
        ("dormeth fusion", ["dormeth/fusion/*"]),
        ("dormeth runner", ["dormeth/run_density"]),
        ("dormeth bindings", ["dormeth/dormeth_module"]),
    ],
}
CLIENTS = ["tests/*", "bench/*", "examples/*"]

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def unit_of(path):
    return os.path.splitext(path)[0]


def place(unit):
    """(module or None, rank) of a unit: ranks 0 to 2 for the base layers, 3 and up inside a module;
    None when the unit is a client; KeyError when it is in no layer."""
    for rank, (_, patterns) in enumerate(BASE):
        if any(fnmatch.fnmatchcase(unit, p) for p in patterns):
            return None, rank
    for module, layers in MODULES.items():
        exact = [(rank, p) for rank, (_, ps) in enumerate(layers) for p in ps if "*" not in p]
        globbed = [(rank, p) for rank, (_, ps) in enumerate(layers) for p in ps if "*" in p]
        for rank, pattern in exact + globbed:
            if fnmatch.fnmatchcase(unit, pattern):
                return module, len(BASE) + rank
    raise KeyError(unit)


def layer_name(module, rank):
    return BASE[rank][0] if module is None else MODULES[module][rank - len(BASE)][0]


def sources(root):
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and not d.startswith("build"))
        for name in sorted(files):
            if name.endswith(EXTENSIONS):
                yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def includes(root, path):
    """(line number, included path relative to root or None when no file has it) per quoted include."""
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            name = m.group(1)
            beside = os.path.normpath(os.path.join(os.path.dirname(path), name)).replace(os.sep, "/")
            found = name if os.path.isfile(os.path.join(root, name)) else None
            if not found and os.path.isfile(os.path.join(root, beside)):
                found = beside
            yield number, name, found


def is_client(unit):
    return any(fnmatch.fnmatchcase(unit, p) for p in CLIENTS)


def upward(from_unit, to_unit):
    """Why the include from_unit -> to_unit runs up a layer, or None."""
    if is_client(from_unit):
        return None
    if is_client(to_unit):
        return "a client (tests, benchmarks, examples) is above every layer"
    (fm, fr), (tm, tr) = place(from_unit), place(to_unit)
    if tm is not None and fm != tm:
        return f"{layer_name(tm, tr)} is another module" if fm is not None else f"{layer_name(tm, tr)} is above it"
    if tr == 0 and fr > 1:
        return "only the runtime switch (common/gpu/) includes hostdevice/"
    if tr > fr:
        return f"{layer_name(tm, tr)} is above {layer_name(fm, fr)}"
    return None


def cycles(graph):
    """The strongly connected components of more than one unit (Tarjan's algorithm), each sorted."""
    index, low, stack, on_stack, out = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        # Iterative, so a long include chain cannot reach Python's recursion limit.
        work = [(v, iter(sorted(graph.get(v, ()))))]
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        while work:
            node, edges = work[-1]
            advanced = False
            for w in edges:
                if w not in index:
                    index[w] = low[w] = counter[0]
                    counter[0] += 1
                    stack.append(w)
                    on_stack.add(w)
                    work.append((w, iter(sorted(graph.get(w, ())))))
                    advanced = True
                    break
                if w in on_stack:
                    low[node] = min(low[node], index[w])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    w = stack.pop()
                    on_stack.discard(w)
                    component.append(w)
                    if w == node:
                        break
                if len(component) > 1:
                    out.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return sorted(out)


def findings(root):
    """Every problem of the tree at root, one line each."""
    problems = []
    graph = {}
    where = {}  # (from unit, to unit) -> first "file:line" that makes the edge
    for path in sources(root):
        unit = unit_of(path)
        if not is_client(unit):
            try:
                place(unit)
            except KeyError:
                problems.append(f"{path}: in no layer (add its unit to scripts/check_layers.py)")
                continue
        graph.setdefault(unit, set())
        for number, name, found in includes(root, path):
            if found is None:
                problems.append(f"{path}:{number}: includes \"{name}\", which no file has")
                continue
            target = unit_of(found)
            if target == unit:
                continue
            try:
                why = upward(unit, target)
            except KeyError:
                continue  # the included file's own entry reports it
            if why:
                problems.append(f"{path}:{number}: includes {found}, which runs up: {why}")
            graph[unit].add(target)
            where.setdefault((unit, target), f"{path}:{number}")
    for component in cycles(graph):
        members = set(component)
        edges = sorted(f"{where[(a, b)]} -> {b}" for a in component for b in graph[a] if b in members)
        problems.append(f"include cycle between {', '.join(component)}: {'; '.join(edges)}")
    return problems


def main(argv):
    root = os.path.abspath(argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    found = findings(root)
    for p in found:
        print(p)
    if found:
        return 1
    print(f"layers: {sum(1 for _ in sources(root))} source files, every include one way, no cycles")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
