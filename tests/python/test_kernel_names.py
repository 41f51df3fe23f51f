"""Every kernel of the cuda build is defined under its own name: a name from a launch log or the
resource table, searched for in the sources, finds its definition."""
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TABLE = os.path.join(ROOT, "hostdevice", "kernel_resources.inc")


def sources():
    texts = {}
    for folder in ("common", "velqa", "dormeth"):
        for directory, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in files:
                if name.endswith((".cu", ".cuh", ".hpp")):
                    with open(os.path.join(directory, name)) as f:
                        texts[os.path.relpath(os.path.join(directory, name), ROOT)] = f.read()
    return texts


def kernels():
    """Qualified names without template arguments, from the table's demangled comments."""
    with open(TABLE) as f:
        names = {line.split("  // ")[1].split("<")[0].strip() for line in f if line.startswith("{")}
    return sorted(names)


SOURCES = sources()


@pytest.mark.parametrize("kernel", kernels())
def test_kernel_has_a_literal_definition(kernel):
    *scopes, name = kernel.split("::")
    definition = re.compile(r"__global__\s+void\s+(?:__launch_bounds__\((?:[^()]|\([^()]*\))*\)\s*)?" + name + r"\s*\(")
    namespaces = [re.compile(r"namespace\s+(?:\w+::)*" + scope + r"\b") for scope in scopes
                  if scope != "(anonymous namespace)"]
    files = [path for path, text in SOURCES.items()
             if definition.search(text) and all(n.search(text) for n in namespaces)]
    assert files, f"no source defines {kernel} under that name"
