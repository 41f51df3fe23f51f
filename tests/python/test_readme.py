"""What the README promises a newcomer: its Python blocks run and the values in their comments are
true, it names every environment variable the project reads, and its layout lists every unit of
the C++ and CUDA sources."""
import ast
import os
import re
import subprocess
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import check_layers  # noqa: E402
import velqa  # noqa: E402

with open(os.path.join(ROOT, "README.md")) as f:
    README = f.read()


def section(title):
    return README.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README, re.S)


@pytest.mark.parametrize("block", python_blocks())
def test_python_block_runs_and_its_commented_values_hold(block):
    """Runs a block statement by statement; an expression whose line ends in a comment that starts
    with a number or a list of numbers must have that value (to the digits shown)."""
    if "import cupy" in block and velqa.backend != "host":
        pytest.importorskip("cupy")  # the interchange block takes the GPU's arrays from CuPy
    lines = block.splitlines()
    scope = {}
    checked = 0
    for statement in ast.parse(block).body:
        code = compile(ast.Module([statement], []), "README.md", "exec")
        comment = re.search(r"#\s*(-?\d[\d.]*|\[[-\d., ]+\])", lines[statement.end_lineno - 1])
        if not (isinstance(statement, ast.Expr) and comment):
            exec(code, scope)
            continue
        expected = np.array(ast.literal_eval(comment.group(1)))
        value = eval(compile(ast.Expression(statement.value), "README.md", "eval"), scope)
        np.testing.assert_allclose(value, expected, rtol=0, atol=1.01e-6, err_msg=lines[statement.lineno - 1])
        checked += 1
    assert checked or "#" not in block


def environment_variables():
    """Every variable the project's code, scripts and tests read from the environment."""
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                           capture_output=True, text=True, check=True).stdout.split()
    read = re.compile(r"getenv\(\"(\w+)\"|environ(?:\.get\(|\[)\"(\w+)\"|\$\{(\w+):?-|env = \"(\w+)\"")
    names = set()
    for path in files:
        if path.endswith((".cpp", ".hpp", ".cu", ".cuh", ".py", ".sh", ".toml")) or path == ".ci/run":
            with open(os.path.join(ROOT, path), errors="replace") as f:
                names |= {name for groups in read.findall(f.read()) for name in groups if name}
    return names - {"PATH", "HOME"} - {name for name in names if name.isdigit()}


def test_the_readme_names_every_environment_variable_read():
    names = environment_variables()
    assert {"KORVANE_DENSITY_FUSION", "HOSTDEVICE_THREAD_ORDER", "KORVANE_BUILD"} <= names  # the scan finds them
    listed = set(re.findall(r"^\| `(\w+)` \|", section("Environment variables"), re.M))
    assert names == listed


def test_the_layout_lists_every_unit():
    """Layout lines name units relative to their folder's line; <...> stands for any name."""
    listed, folder = [], None
    for line in section("Layout").splitlines():
        m = re.match(r"    (\S+/)\s", line)
        if m:
            folder = m.group(1)
        m = re.match(r"      (\S+)\s", line)
        if m and folder:
            listed.append(folder + m.group(1))
    units = {u for u in map(check_layers.unit_of, check_layers.sources(ROOT)) if not check_layers.is_client(u)}
    patterns = [re.compile(re.sub(r"<\w+>", r"\\w+", re.escape(u)) + "$") for u in listed]
    assert sorted(u for u in units if not any(p.match(u) for p in patterns)) == []
    assert [u for u, p in zip(listed, patterns) if not any(p.match(x) for x in units)] == []
