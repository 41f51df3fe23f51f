"""What an installed build says about itself (the backend attribute), and the stub tidying that makes
the generated type stubs exact: annotations rewritten, docstrings and values left alone."""
import os
import runpy

import dormeth
import pytest
import velqa
from conftest import _hostdevice

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_backend_attribute_names_the_build():
    # A host build run as on a GPU (its hostdevice module hidden) says which backend it expects.
    expected = "host" if _hostdevice is not None else os.environ.get("KORVANE_EXPECT_BACKEND", "cuda")
    assert velqa.backend == expected
    assert dormeth.backend == expected


@pytest.fixture(scope="module")
def tidy():
    return runpy.run_path(os.path.join(_ROOT, "scripts", "tidy_stubs.py"))["tidy"]


RAW = '''"""
A list of tuple values, not an annotation: list, tuple, numpy.ndarray
"""
from __future__ import annotations
import collections.abc
import numpy
__all__: list[str] = ['f', 'backend']
class C:
    """
    dict: a docstring line that looks like an annotation
    """
    def m(self, a: numpy.ndarray, b: list[list] = 'list') -> tuple:
        ...
    @property
    def __cuda_array_interface__(self) -> dict[str, typing.Any]:
        """
        The state's CUDA memory (cuda build only).
        """
def f(x: collections.abc.Iterable, y: dict[str, int], z: list | None = None) -> collections.abc.Sequence:
    """
    Returns a list.
    """
backend: str = 'cuda'
'''

TIDY = '''"""
A list of tuple values, not an annotation: list, tuple, numpy.ndarray
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['f', 'backend']
class C:
    """
    dict: a docstring line that looks like an annotation
    """
    def m(self, a: numpy.typing.NDArray[typing.Any], b: list[list[typing.Any]] = 'list') -> tuple[typing.Any, ...]:
        ...
def f(x: collections.abc.Iterable[typing.Any], y: dict[str, int], z: list[typing.Any] | None = None) -> collections.abc.Sequence[typing.Any]:
    """
    Returns a list.
    """
backend: typing.Literal['cuda', 'host']
'''


def test_tidy_parameterises_bare_generics_only_in_annotations(tidy):
    assert tidy(RAW) == TIDY
    assert tidy(TIDY) == TIDY  # regenerating tidied stubs changes nothing
    host = RAW.replace("'cuda'", "'host'").replace(RAW[RAW.index("    @property"):RAW.index("def f(")], "")
    assert tidy(host) == TIDY  # either build gives the same stubs
