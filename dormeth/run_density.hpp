// The density operation runner: validates and prepares every record (choosing the cheapest path:
// no-op, diagonal phase, basis permutation, built-in channel, general Kraus sum or general
// unitary), uploads all matrices in one copy, then executes the prepared operations in order on
// the default stream and waits for the device once at the end.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/complex.hpp"
#include "dormeth/density_operation.hpp"
#include "dormeth/device_targets.hpp"
#include "dormeth/dormeth_device_state.hpp"

namespace korvane::dormeth {

struct PreparedDensityOp {
    std::int32_t kind = 0;         // the record's OperationKind
    DeviceTargets device_targets;  // general unitary and Kraus paths
    std::uint64_t control_mask = 0;
    std::uint64_t control_values = 0;
    std::int64_t kraus_count = 0;    // general Kraus path
    std::int64_t matrix_offset = 0;  // element offset of the operation's matrices in the matrix buffer
    bool is_diagonal = false;
    bool is_noop = false;
    std::uint64_t target_mask = 0;  // diagonal and channel paths
    std::complex<double> diag0{1.0, 0.0};
    std::complex<double> diag1{1.0, 0.0};
    bool is_permutation = false;
    std::uint64_t permutation_mask = 0;
    bool is_swap = false;
    bool is_channel = false;
    std::int32_t channel_kind = 0;
    double channel_probability = 0.0;
};

// How a gate record runs, as the runner recognises it: dropped (a global phase without controls), a
// one-target diagonal diag(d0, d1), a basis permutation (X on one target, SWAP on two), or a general
// unitary with its matrix (stored, or named; row-major, in the precision T).
enum class GatePath { Noop, Diagonal, Permutation, General };

template <class T>
struct GateForm {
    GatePath path = GatePath::General;
    std::complex<T> d0{1, 0};
    std::complex<T> d1{1, 0};
    bool is_swap = false;              // Permutation
    std::vector<CuComplex<T>> matrix;  // General
};

// Recognises the path of a gate record whose qubits are already validated, with the checks that path
// makes (parameters, matrix entries, named target counts; RuntimeError; value errors name the
// record's index in its call). The size of a general matrix against the targets is left to the caller.
template <class T>
GateForm<T> gate_form(const DensityOperation& record, std::size_t index = 0);

// Validates record `index` of a call for n qubits and prepares it; general unitaries and general
// Kraus sets append their matrices, in the precision T of the state, to `matrices`.
template <class T>
PreparedDensityOp prepare_density_op(const DensityOperation& record, std::int64_t n, std::size_t index,
                                     std::vector<CuComplex<T>>& matrices);

// Launches the kernel of one prepared operation on the default stream; device_matrices is the
// uploaded matrix buffer (null when the call has no matrices).
template <class T>
void execute_prepared_op(const DeviceDensityState& state, const PreparedDensityOp& op,
                         const CuComplex<T>* device_matrices);

// Applies the records in order to the state, called without the interpreter lock and only for a
// non-empty list. A validation error leaves the state unchanged; a CUDA failure during execution
// may leave it partly updated. Device buffers are freed on every path.
void run_density_operations(DeviceDensityState& state, std::int64_t num_qubits,
                            const std::vector<DensityOperation>& records, bool fusion_enabled);

// The same with the fusion switch read from the environment now.
void run_density_operations(DeviceDensityState& state, std::int64_t num_qubits,
                            const std::vector<DensityOperation>& records);

}  // namespace korvane::dormeth
