"""
CUDA dense density-matrix backend for korvane
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['DeviceDensityState', 'backend', 'expectation_pauli_device', 'measure_device', 'probabilities_device', 'run_density_operations_device']
class DeviceDensityState:
    @staticmethod
    def from_numpy(n: typing.SupportsIndex, state: numpy.typing.NDArray[typing.Any], device: str = 'cuda:0') -> DeviceDensityState:
        ...
    @staticmethod
    def zero_state(n: typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceDensityState:
        ...
    def __reduce_ex__(self, protocol: typing.Any) -> typing.Any:
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
def expectation_pauli_device(state: DeviceDensityState, terms: typing.Any) -> float:
    """
    Expectation value of a Pauli sum on a DeviceDensityState, without changing it.
    
    terms is a sequence of (coefficient, paulis, qubits) triples: a real coefficient, a string
    over 'I', 'X', 'Y', 'Z' and as many distinct qubits; paulis[j] acts on qubits[j]. Returns
    sum_t coefficient_t Re Tr(rho P_t) / Tr(rho) as a float (0.0 for no terms). A bad letter, a
    length mismatch, a qubit out of range or repeated and a coefficient that is not finite raise
    ValueError naming the term's index; a zero, NaN or infinite trace raises RuntimeError
    'density matrix has zero or invalid trace.', a non-finite element read RuntimeError 'density
    matrix gives a non-finite expectation value.'. Terms with the same X/Y positions share one pass.
    Any finite coefficients give the sum when it is a finite float, else OverflowError 'Pauli sum
    expectation value is out of the float range'.
    """
def measure_device(state: DeviceDensityState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    """
    Measure target qubits of a DeviceDensityState once, collapse it and return the bit string.
    
    A collapse that would leave an element that is not finite in the state's precision raises
    RuntimeError 'density matrix gives a non-finite collapse.' and leaves the state unchanged.
    """
def probabilities_device(state: DeviceDensityState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little') -> numpy.typing.NDArray[numpy.float64]:
    """
    Outcome probabilities of target qubits of a DeviceDensityState, without changing it.
    
    Returns a float64 array of length 2**k (k = len(targets)): entry o is the probability that
    measuring the targets gives outcome o, divided by the trace. With endian 'little' target j is
    bit j of o, with 'big' bit k-1-j (as in measure_device). More than 30 targets raise ValueError;
    then targets and endian are checked as measure_device checks them, except that an empty list
    gives [1.0]. A zero, NaN or infinite trace raises RuntimeError 'density matrix has zero or
    invalid trace.'.
    """
def run_density_operations_device(state: DeviceDensityState, num_qubits: typing.SupportsIndex, operations: collections.abc.Iterable[typing.Any]) -> None:
    """
    Apply density operations (gates, noise channels, Kraus channels) to a DeviceDensityState in place.
    """
backend: typing.Literal['cuda', 'host']
