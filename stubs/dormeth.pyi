"""
CUDA dense density-matrix backend for korvane
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['DeviceDensityState', 'backend', 'measure_device', 'run_density_operations_device']
class DeviceDensityState:
    @staticmethod
    def from_numpy(n: typing.SupportsInt | typing.SupportsIndex, state: numpy.typing.NDArray[typing.Any], device: str = 'cuda:0') -> DeviceDensityState:
        ...
    @staticmethod
    def zero_state(n: typing.SupportsInt | typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceDensityState:
        ...
    def copy(self) -> DeviceDensityState:
        ...
    def to_numpy(self) -> numpy.typing.NDArray[typing.Any]:
        ...
    @property
    def device_id(self) -> int:
        ...
    @property
    def dimension(self) -> int:
        ...
    @property
    def dtype(self) -> str:
        ...
    @property
    def num_qubits(self) -> int:
        ...
def measure_device(state: DeviceDensityState, targets: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    """
    Measure target qubits of a DeviceDensityState once, collapse it and return the bit string.
    """
def run_density_operations_device(state: DeviceDensityState, num_qubits: typing.SupportsInt | typing.SupportsIndex, operations: collections.abc.Iterable[typing.Any]) -> None:
    """
    Apply density operations (gates, noise channels, Kraus channels) to a DeviceDensityState in place.
    """
backend: typing.Literal['cuda', 'host']
