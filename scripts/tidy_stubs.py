"""Makes pybind11-stubgen's output for velqa and dormeth exact for type checkers, the same way every time.

    python scripts/tidy_stubs.py FILE.pyi...      (rewrites the files in place)

- Bare generic annotations (list, tuple, dict, numpy.ndarray, collections.abc.Iterable, ...) get
  explicit parameters, so the stubs pass `mypy --strict` themselves.
- `backend` is written as the two values it can have, not as the value of the build that produced the
  stubs, so a host build and a cuda build give the same file.
- `__cuda_array_interface__`, which only the cuda build's states have, is left out, so that the
  stubs of both builds are the same (its docstring says it exists on the cuda backend only).
- A class's own `__new__` is left out: the states' and the chunk's only refuses (instances come from
  the factories, so a call of the class stays a type error), and the enumeration's is Enum's.
- The members of an enumeration are written `Name = ...`, as a stub declares enum members (an
  annotated name is not a member).
"""
import re
import sys

# Bare annotation -> parameterised annotation. Only annotations are rewritten, never docstrings.
GENERICS = {
    "numpy.ndarray": "numpy.typing.NDArray[typing.Any]",
    "list": "list[typing.Any]",
    "tuple": "tuple[typing.Any, ...]",
    "dict": "dict[typing.Any, typing.Any]",
    "set": "set[typing.Any]",
    "collections.abc.Iterable": "collections.abc.Iterable[typing.Any]",
    "collections.abc.Iterator": "collections.abc.Iterator[typing.Any]",
    "collections.abc.Sequence": "collections.abc.Sequence[typing.Any]",
    "collections.abc.Mapping": "collections.abc.Mapping[typing.Any, typing.Any]",
    "collections.abc.Callable": "collections.abc.Callable[..., typing.Any]",
}
BARE = re.compile(
    r"(?<![\w.'\"])(" + "|".join(re.escape(name) for name in sorted(GENERICS, key=len, reverse=True)) + r")(?![\w.\[])"
)
# A signature or an annotated name: the only lines that carry annotations.
ANNOTATED = re.compile(r"^\s*(def \w+\(|[A-Za-z_]\w*: )")
BACKEND = re.compile(r"^backend: str = '(cuda|host)'$")
# A __new__ with its decorator and its body (a docstring or an ellipsis), as stubgen writes it in a class.
NEW = re.compile(r'^    @(staticmethod|classmethod)\n    def __new__\(.*?\):\n(        """\n.*?\n        """|        \.\.\.)\n',
                 re.MULTILINE | re.DOTALL)

# The cuda build's own property, with its decorator and body.
CUDA_ONLY = re.compile(r'^    @property\n    def __cuda_array_interface__\(.*?\).*?:\n(        """\n.*?\n        """|'
                       r'        \.\.\.)\n', re.MULTILINE | re.DOTALL)


def tidy(text):
    text = NEW.sub("", text)
    text = CUDA_ONLY.sub("", text)
    text = enum_members(text)
    out = []
    in_docstring = False
    for line in text.split("\n"):
        quotes = line.count('"""')
        if in_docstring or quotes:
            out.append(line)
            if quotes % 2 == 1:
                in_docstring = not in_docstring
            continue
        if BACKEND.match(line):
            line = "backend: typing.Literal['cuda', 'host']"
        elif ANNOTATED.match(line):
            line = BARE.sub(lambda m: GENERICS[m.group(1)], line)
        out.append(line)
    text = "\n".join(out)
    return add_imports(text)


def enum_members(text):
    out = []
    enum_class = None
    for line in text.split("\n"):
        start = re.match(r"^class (\w+)\(enum\.\w*Enum\):", line)
        if start or line.startswith("class ") or (line and not line.startswith(" ")):
            enum_class = start.group(1) if start else None
        member = enum_class and re.match(rf"^    (\w+): typing\.ClassVar\[{enum_class}\]$", line)
        out.append(f"    {member.group(1)} = ..." if member else line)
    return "\n".join(out)


def add_imports(text):
    lines = text.split("\n")
    imports = [i for i, line in enumerate(lines) if line.startswith(("import ", "from "))]
    have = {line.split()[1] for line in lines if line.startswith("import ")}
    need = set()
    body = "\n".join(line for line in lines if not line.startswith(("import ", "from ")))
    if "numpy.typing." in body:
        need.add("numpy.typing")
    if "typing." in body.replace("numpy.typing.", ""):
        need.add("typing")
    missing = sorted(need - have)
    if not missing:
        return text
    # Keep stubgen's plain imports sorted, after its `from __future__` line.
    plain = sorted(have | need)
    first = imports[0]
    kept = [lines[i] for i in imports if lines[i].startswith("from ")]
    rest = [line for i, line in enumerate(lines) if i not in imports]
    return "\n".join(rest[:first] + kept + [f"import {name}" for name in plain] + rest[first:])


def main(paths):
    for path in paths:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        with open(path, "w", encoding="utf-8") as f:
            f.write(tidy(text))


if __name__ == "__main__":
    main(sys.argv[1:])
