"""
CUDA dense density-matrix backend for korvane
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
import typing_extensions
__all__: list[str] = ['DeviceDensityState', 'backend', 'expectation_pauli_device', 'measure_device', 'probabilities_device', 'run_density_operations_device']
class DeviceDensityState:
    @staticmethod
    def from_dlpack(obj: typing.Any, /, *, copy: bool | None = None) -> DeviceDensityState:
        """
        A DeviceDensityState over a DLPack tensor's memory, without a copy: obj is any object with __dlpack__
        (NumPy arrays on the host backend; CuPy, PyTorch or JAX arrays on the GPU) or a DLPack capsule, which is
        consumed. The state borrows the memory: it keeps the producer alive, works on the memory in place (its
        gates and collapses are the producer's to see) and never frees it. The tensor must be in the backend's
        memory (CUDA, or CPU on the host backend), complex64 or complex128, of shape (2**n, 2**n) with n in [0, 15],
        in C order.
        
        copy: True copies the tensor into memory the state owns; None copies a tensor that is not C-contiguous
        (or not aligned to its elements) and borrows any other; False never copies. A read-only tensor is
        taken only as a copy. Every refusal (ValueError or TypeError naming the problem) comes before any
        allocation and leaves a capsule unconsumed; a consumed capsule is refused.
        """
    @staticmethod
    def from_numpy(n: typing.SupportsIndex, state: numpy.typing.NDArray[typing.Any], device: str = 'cuda:0') -> DeviceDensityState:
        ...
    @staticmethod
    def zero_state(n: typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceDensityState:
        ...
    def __dlpack__(self, *, stream: int | None = None, max_version: tuple[int, int] | None = None, dl_device: tuple[int, int] | None = None, copy: bool | None = None) -> typing_extensions.CapsuleType:
        """
        Export the state as a DLPack capsule, without a copy (the Python array API standard's protocol):
        the consumer sees its memory, of shape (2**n, 2**n) with n in [0, 15] (row-major), and changes to it are the state's.
        The capsule keeps the memory alive until the consumer releases it, even after the state is deleted.
        
        stream: the consumer's CUDA stream. The state's work runs on the legacy default stream: for None
        or 1 (that stream) and -1 (no synchronisation) nothing waits; for 2 (the per-thread default
        stream) or a stream handle, that stream waits for the state's pending work (an event recorded on
        the legacy default stream) before the call returns. CPU memory takes only None.
        max_version: the consumer's highest DLPack version (major, minor). A major of 1 or more gives a
        'dltensor_versioned' capsule (DLPack 1.1, with flags), None or a major of 0 the legacy 'dltensor' one.
        dl_device: (device_type, device_id), the state's own device (__dlpack_device__) when None; on a GPU,
        (1, 0) exports a copy in CPU memory. Another device raises BufferError.
        copy: True exports a copy, flagged as one, that the consumer alone owns; False refuses (BufferError)
        an export that needs a copy; None copies only then.
        """
    def __dlpack_device__(self) -> tuple[int, int]:
        """
        (device_type, device_id) of the state's memory in DLPack's numbering: (2, device id) for CUDA memory on
        the cuda backend, (1, 0) for CPU memory on the host backend, whose device memory is host memory.
        """
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
