"""
CUDA gate backend for korvane
"""
from __future__ import annotations
import collections.abc
import enum
import numpy
import numpy.typing
import typing
import typing_extensions
__all__: list[str] = ['AllState', 'DeviceState', 'DeviceStateBatch', 'KernelMode', 'Pair', 'PairAuto', 'PairAutoFusion', 'PreparedFusionChunk', 'TrajectoryEstimate', 'backend', 'estimate_expectation_trajectories', 'execute_prepared_fusion_chunk', 'expectation_pauli_batch_device', 'expectation_pauli_device', 'measure', 'measure_batch_device', 'measure_device', 'prepare_fusion_chunk_gates', 'probabilities_batch_device', 'probabilities_device', 'run_circuit', 'run_circuit_batch_device', 'run_circuit_device', 'run_circuit_device_gates', 'run_trajectories_device', 'sample_measure_batch_device', 'sample_measure_device', 'sample_trajectories']
class KernelMode(enum.IntEnum):
    """
    How gates are applied: per-gate kernels (AllState, Pair, PairAuto) or fused groups planned first (PairAutoFusion).
    """
    AllState = ...
    Pair = ...
    PairAuto = ...
    PairAutoFusion = ...
class DeviceState:
    @staticmethod
    def from_dlpack(obj: typing.Any, /, *, copy: bool | None = None) -> DeviceState:
        """
        A DeviceState over a DLPack tensor's memory, without a copy: obj is any object with __dlpack__
        (NumPy arrays on the host backend; CuPy, PyTorch or JAX arrays on the GPU) or a DLPack capsule, which is
        consumed. The state borrows the memory: it keeps the producer alive, works on the memory in place (its
        gates and collapses are the producer's to see) and never frees it. The tensor must be in the backend's
        memory (CUDA, or CPU on the host backend), complex64 or complex128, of shape (2**n,) with n in [1, 62],
        in C order.
        
        copy: True copies the tensor into memory the state owns; None copies a tensor that is not C-contiguous
        (or not aligned to its elements) and borrows any other; False never copies. A read-only tensor is
        taken only as a copy. Every refusal (ValueError or TypeError naming the problem) comes before any
        allocation and leaves a capsule unconsumed; a consumed capsule is refused.
        """
    @staticmethod
    def from_numpy(n: typing.SupportsIndex, state: numpy.typing.NDArray[typing.Any], device: str = 'cuda:0', use_pinned_host: bool = False) -> DeviceState:
        ...
    @staticmethod
    def zero_state(n: typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceState:
        ...
    def __dlpack__(self, *, stream: int | None = None, max_version: tuple[int, int] | None = None, dl_device: tuple[int, int] | None = None, copy: bool | None = None) -> typing_extensions.CapsuleType:
        """
        Export the state as a DLPack capsule, without a copy (the Python array API standard's protocol):
        the consumer sees its memory, of shape (2**n,) with n in [1, 62] (row-major), and changes to it are the state's.
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
    def copy_to_numpy(self, state: numpy.typing.NDArray[typing.Any], use_pinned_host: bool = False) -> None:
        ...
    def to_numpy(self, use_pinned_host: bool = False) -> numpy.typing.NDArray[typing.Any]:
        ...
    @property
    def device_id(self) -> int:
        ...
    @property
    def dtype(self) -> str:
        ...
    @property
    def n(self) -> int:
        ...
    @property
    def num_state(self) -> int:
        ...
class DeviceStateBatch:
    """
    A batch of statevectors of n qubits each (its members) on one CUDA device, stored as one contiguous
    (batch, 2**n) array. run_circuit_batch_device and the *_batch_device readouts treat every member as
    its own state, with its own parameters and seeds.
    """
    @staticmethod
    def from_dlpack(obj: typing.Any, /, *, copy: bool | None = None) -> DeviceStateBatch:
        """
        A DeviceStateBatch over a DLPack tensor's memory, without a copy: obj is any object with __dlpack__
        (NumPy arrays on the host backend; CuPy, PyTorch or JAX arrays on the GPU) or a DLPack capsule, which is
        consumed. The state borrows the memory: it keeps the producer alive, works on the memory in place (its
        gates and collapses are the producer's to see) and never frees it. The tensor must be in the backend's
        memory (CUDA, or CPU on the host backend), complex64 or complex128, of shape (batch, 2**n) with batch at least 1 and n in [1, 62],
        in C order.
        
        copy: True copies the tensor into memory the state owns; None copies a tensor that is not C-contiguous
        (or not aligned to its elements) and borrows any other; False never copies. A read-only tensor is
        taken only as a copy. Every refusal (ValueError or TypeError naming the problem) comes before any
        allocation and leaves a capsule unconsumed; a consumed capsule is refused.
        """
    @staticmethod
    def from_numpy(n: typing.SupportsIndex, states: numpy.typing.NDArray[typing.Any], device: str = 'cuda:0') -> DeviceStateBatch:
        """
        The rows of states, a complex64 or complex128 array of shape (batch, 2**n) in any memory
        layout (copied), as the members.
        """
    @staticmethod
    def zero_state(n: typing.SupportsIndex, batch: typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceStateBatch:
        """
        batch members, each |0...0>. n as for DeviceState, batch at least 1; a batch larger than the
        device's free memory raises RuntimeError 'CUDA error: out of memory'.
        """
    def __dlpack__(self, *, stream: int | None = None, max_version: tuple[int, int] | None = None, dl_device: tuple[int, int] | None = None, copy: bool | None = None) -> typing_extensions.CapsuleType:
        """
        Export the state as a DLPack capsule, without a copy (the Python array API standard's protocol):
        the consumer sees its memory, of shape (batch, 2**n) with batch at least 1 and n in [1, 62] (row-major), and changes to it are the state's.
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
    def copy_to_numpy(self, states: numpy.typing.NDArray[typing.Any]) -> None:
        """
        Copy the members into states: a writable, C-contiguous array of shape (batch, 2**n) and the
        batch's dtype.
        """
    def to_numpy(self) -> numpy.typing.NDArray[typing.Any]:
        """
        The members as a new array of shape (batch, 2**n).
        """
    @property
    def batch(self) -> int:
        ...
    @property
    def device_id(self) -> int:
        ...
    @property
    def dtype(self) -> str:
        ...
    @property
    def n(self) -> int:
        ...
    @property
    def num_state(self) -> int:
        """
        Amplitudes per member, 2**n.
        """
class PreparedFusionChunk:
    def __reduce_ex__(self, protocol: typing.Any) -> typing.Any:
        ...
    @property
    def gate_count(self) -> int:
        ...
    @property
    def n(self) -> int:
        ...
class TrajectoryEstimate:
    def __reduce_ex__(self, protocol: typing.Any) -> typing.Any:
        ...
    def __repr__(self) -> str:
        ...
    @property
    def distinct(self) -> int:
        ...
    @property
    def mean(self) -> float:
        ...
    @property
    def standard_error(self) -> float:
        ...
    @property
    def trajectories(self) -> int:
        ...
def estimate_expectation_trajectories(n: typing.SupportsIndex, operations: collections.abc.Iterable[typing.Any], terms: typing.Any, trajectories: typing.SupportsIndex, seed: typing.Any = None, dtype: str = 'complex128', batch_size: typing.Any = None, mode: KernelMode = KernelMode.PairAutoFusion, device: typing.Any = 'cuda:0', progress: typing.Any = None, comm: typing.Any = None, deduplicate: bool = True) -> TrajectoryEstimate:
    """
    Estimate a Pauli sum's expectation value over noisy trajectories from |0...0>.
    
    Returns a TrajectoryEstimate: mean, standard_error (of the mean), trajectories, and distinct
    (the noise realisations simulated). Trajectory t uses the draws of (seed, t), so the result
    depends on neither batch_size nor the number of processes. With deduplicate and every channel
    a mixture of unitaries, identical realisations are simulated once and weighted by their
    count. progress(done, total) is called after each batch. comm, an mpi4py communicator,
    splits the trajectories by index range over its ranks and returns the same result on each;
    with device None each rank uses cuda:(local rank mod device count).
    """
def execute_prepared_fusion_chunk(state: DeviceState, chunk: PreparedFusionChunk) -> None:
    """
    Execute one CPU-prepared fusion chunk and wait for its CUDA work.
    """
def expectation_pauli_batch_device(batch: DeviceStateBatch, terms: typing.Any) -> numpy.typing.NDArray[numpy.float64]:
    """
    expectation_pauli_device of every member: a float64 array of shape (batch,). The checks and
    messages are expectation_pauli_device's; a member whose norm is zero, NaN or infinite raises
    RuntimeError naming the member.
    """
def expectation_pauli_device(state: DeviceState, terms: typing.Any) -> float:
    """
    Expectation value of a Pauli sum on an existing CUDA DeviceState, without changing it.
    
    terms is a sequence of (coefficient, paulis, qubits) triples: a real coefficient, a string
    over 'I', 'X', 'Y', 'Z' and as many distinct qubits; paulis[j] acts on qubits[j]. Returns
    sum_t coefficient_t <psi|P_t|psi> / <psi|psi> as a float (0.0 for no terms). A bad letter, a
    length mismatch, a qubit out of range or repeated and a coefficient that is not finite raise
    ValueError naming the term's index; a zero, NaN or infinite norm raises RuntimeError
    'Quantum state has zero or invalid norm.'. Terms with the same X/Y positions share one pass
    over the state. Any finite coefficients give the sum when it is a finite float, else
    OverflowError 'Pauli sum expectation value is out of the float range'.
    """
def measure(n: typing.SupportsIndex, state: numpy.typing.NDArray[typing.Any], targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little', device: str = 'cuda:0', use_pinned_host: bool = False) -> str:
    """
    Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is returned.
    """
def measure_batch_device(batch: DeviceStateBatch, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> list[str]:
    """
    Measure the targets of every member and collapse each: a list of bit strings, member b's what
    measure_device gives for a state equal to member b with seed (seed + b) mod 2**64 (seed None draws
    one seed for the call). A member whose norm is zero, NaN or infinite raises RuntimeError naming
    the member before any member is collapsed.
    """
def measure_device(state: DeviceState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    """
    Measure target qubits on an existing CUDA DeviceState.
    """
def prepare_fusion_chunk_gates(n: typing.SupportsIndex, gates: collections.abc.Iterable[typing.Any], fuse_swap: bool = True, sparsesharemem_qubits: typing.SupportsIndex = 10, densemm_min_qubits: typing.SupportsIndex = 1, densemm_max_qubits: typing.SupportsIndex = 7, densemm_gate_threshold_scale: typing.SupportsFloat | typing.SupportsIndex = 1.0, max_gates_per_group: typing.SupportsIndex = 512, pad_sparsesharemem: bool = True) -> PreparedFusionChunk:
    """
    Parse and plan one streamed chunk on the CPU without launching CUDA.
    """
def probabilities_batch_device(batch: DeviceStateBatch, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little') -> numpy.typing.NDArray[numpy.float64]:
    """
    probabilities_device of every member: a float64 array of shape (batch, 2**k), row b member b's.
    The checks and messages are probabilities_device's; a member whose norm is zero, NaN or infinite
    raises RuntimeError naming the member.
    """
def probabilities_device(state: DeviceState, targets: collections.abc.Sequence[typing.SupportsIndex], endian: str = 'little') -> numpy.typing.NDArray[numpy.float64]:
    """
    Outcome probabilities of target qubits on an existing CUDA DeviceState, without changing it.
    
    Returns a float64 array of length 2**k (k = len(targets)): entry o is the probability that
    measuring the targets gives outcome o, divided by the squared norm of the state. With endian
    'little' target j is bit j of o, with 'big' bit k-1-j (as in measure_device). More than 30
    targets raise ValueError; then targets and endian are checked as measure_device checks them,
    except that an empty list gives [1.0]. A zero, NaN or infinite norm raises RuntimeError
    'Quantum state has zero or invalid norm.'.
    """
def run_circuit(n: typing.SupportsIndex, state: numpy.typing.NDArray[typing.Any], gate_ir: list[typing.Any], endian: str = 'little', device: str = 'cuda:0', mode: KernelMode = KernelMode.PairAuto, use_pinned_host: bool = False) -> numpy.typing.NDArray[typing.Any]:
    """
    Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.
    """
def run_circuit_batch_device(batch: DeviceStateBatch, gates: collections.abc.Iterable[typing.Any], endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a gate list on every member of a DeviceStateBatch.
    
    gates holds gate dicts (as run_circuit_device takes) or QuantumGate objects (as
    run_circuit_device_gates takes). A gate's parameter may be a sequence of floats, used by every
    member, or a real array of shape (batch, p) whose row b member b uses; a stored matrix may be
    (d, d) or (batch, d, d). Member b ends as running the gates on it alone with its own values would
    leave it, in every mode (PairAutoFusion plans once, from the gates' kinds and qubits). Every gate is
    checked before any device work: a refused list (a wrong leading dimension or parameter count, a
    value that is not finite, naming the gate and the member, any check of the single-state run)
    raises and leaves every member unchanged.
    """
def run_circuit_device(state: DeviceState, gate_ir: list[typing.Any], endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a gate_ir chunk on an existing CUDA DeviceState.
    """
def run_circuit_device_gates(state: DeviceState, gates: collections.abc.Iterable[typing.Any], endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a QuantumGate object chunk on an existing CUDA DeviceState.
    """
@typing.overload
def run_trajectories_device(batch: DeviceStateBatch, operations: collections.abc.Iterable[typing.Any], seed: typing.Any, first_trajectory: typing.SupportsIndex = 0, mode: KernelMode = KernelMode.PairAutoFusion) -> None:
    """
    Run noisy trajectories of dormeth operations on the members of a DeviceStateBatch (or on a
    DeviceState, a batch of one), in place: member b runs trajectory first_trajectory + b.
    
    operations are those dormeth.run_density_operations_device accepts, with its checks and
    messages. A gate U maps psi to U psi; a Kraus set applies K_i with probability
    ||K_i psi||^2 / ||psi||^2 and psi becomes K_i psi / ||K_i psi||. A trajectory's draws depend
    only on (seed, trajectory). A Kraus set whose sum K_i^dagger K_i differs from the identity by
    more than 1e-8 (Frobenius norm) raises ValueError naming the operation. Every check precedes
    any device work, so a refused call leaves every member unchanged.
    """
@typing.overload
def run_trajectories_device(batch: DeviceState, operations: collections.abc.Iterable[typing.Any], seed: typing.Any, first_trajectory: typing.SupportsIndex = 0, mode: KernelMode = KernelMode.PairAutoFusion) -> None:
    """
    Run noisy trajectories of dormeth operations on the members of a DeviceStateBatch (or on a
    DeviceState, a batch of one), in place: member b runs trajectory first_trajectory + b.
    
    operations are those dormeth.run_density_operations_device accepts, with its checks and
    messages. A gate U maps psi to U psi; a Kraus set applies K_i with probability
    ||K_i psi||^2 / ||psi||^2 and psi becomes K_i psi / ||K_i psi||. A trajectory's draws depend
    only on (seed, trajectory). A Kraus set whose sum K_i^dagger K_i differs from the identity by
    more than 1e-8 (Frobenius norm) raises ValueError naming the operation. Every check precedes
    any device work, so a refused call leaves every member unchanged.
    """
def sample_measure_batch_device(batch: DeviceStateBatch, targets: collections.abc.Sequence[typing.SupportsIndex], shots: typing.SupportsIndex, endian: str = 'little', seed: typing.Any = None, collapse_last: bool = True) -> list[tuple[dict[str, int], str]]:
    """
    sample_measure_device of every member: a list of (counts, last outcome), member b's what a state
    equal to member b gives with seed (seed + b) mod 2**64 (seed None draws one seed for the call).
    shots as for sample_measure_device (per member); Ctrl-C during the draws raises
    KeyboardInterrupt with every member unchanged. A member whose norm is zero, NaN or infinite raises
    RuntimeError naming the member before any member is collapsed.
    """
def sample_measure_device(state: DeviceState, targets: collections.abc.Sequence[typing.SupportsIndex], shots: typing.SupportsIndex, endian: str = 'little', seed: typing.Any = None, collapse_last: bool = True) -> tuple[dict[str, int], str]:
    """
    Batch-sample target qubits and optionally collapse to the final outcome.
    
    shots must be in [1, 2**48] (ValueError before any work: more draws would take months). A long
    run on the main thread answers Ctrl-C with KeyboardInterrupt within a fraction of a second,
    leaving the state unchanged.
    """
def sample_trajectories(n: typing.SupportsIndex, operations: collections.abc.Iterable[typing.Any], targets: collections.abc.Sequence[typing.SupportsIndex], shots: typing.SupportsIndex, seed: typing.Any = None, shots_per_trajectory: typing.SupportsIndex = 1, endian: str = 'little', dtype: str = 'complex128', batch_size: typing.Any = None, mode: KernelMode = KernelMode.PairAutoFusion, device: typing.Any = 'cuda:0', progress: typing.Any = None, comm: typing.Any = None, deduplicate: bool = True) -> dict[typing.Any, typing.Any]:
    """
    Sample target qubits over noisy trajectories from |0...0>: outcome counts as
    sample_measure_device returns them.
    
    Trajectory t draws shots_per_trajectory outcomes (the last may draw fewer) from its final
    state, keyed by (seed, t), so counts are identical whatever batch_size, deduplicate or the
    number of processes. Other keywords as estimate_expectation_trajectories.
    """
AllState: KernelMode
Pair: KernelMode
PairAuto: KernelMode
PairAutoFusion: KernelMode
backend: typing.Literal['cuda', 'host']
