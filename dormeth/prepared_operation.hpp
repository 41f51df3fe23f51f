// Operations prepared for the device: each validated record as the cheapest path that runs it
// (no-op, diagonal phase, basis permutation, built-in channel, general Kraus sum or general
// unitary), its preparation, and the launch of its kernel. Below both the runner, which prepares
// every record of a call before any device work, and fusion, which runs them in groups.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "common/complex.hpp"
#include "dormeth/channel_kind.hpp"
#include "dormeth/density_operation.hpp"
#include "dormeth/device_targets.hpp"
#include "dormeth/dormeth_device_state.hpp"

namespace korvane::dormeth {

// The masks of a gate's controls: the gate acts where (index & mask) == values.
struct ControlMasks {
    std::uint64_t mask = 0;
    std::uint64_t values = 0;
};

// One record prepared for the device, as the cheapest path that runs it. Matrices live in the
// call's matrix buffer, at an element offset.
struct SkippedOp {};  // a global phase without controls: it cancels in rho
struct DiagonalOp {   // diag(d0, d1) on one target
    std::uint64_t target_mask = 0;
    ControlMasks controls;
    std::complex<double> d0{1.0, 0.0};
    std::complex<double> d1{1.0, 0.0};
};
struct PermutationOp {  // X (one bit in mask) or SWAP (two bits)
    std::uint64_t mask = 0;
    ControlMasks controls;
    bool is_swap = false;
};
struct UnitaryOp {  // a general unitary on 1 to 6 targets
    DeviceTargets targets;
    ControlMasks controls;
    std::int64_t matrix_offset = 0;
};
struct ChannelOp {  // a built-in channel in closed form
    std::uint64_t target_mask = 0;
    density::ChannelKind kind = density::ChannelKind::BitFlip;
    double probability = 0.0;
};
struct KrausOp {  // sum_i K_i rho K_i^dagger on 1 to 3 targets
    DeviceTargets targets;
    std::int64_t count = 0;
    std::int64_t matrix_offset = 0;
};
using PreparedDensityOp = std::variant<SkippedOp, DiagonalOp, PermutationOp, UnitaryOp, ChannelOp, KrausOp>;

// How a gate record runs, as the runner recognises it: dropped (a global phase without controls), a
// one-target diagonal diag(d0, d1), a basis permutation (X on one target, SWAP on two), or a general
// unitary with its matrix (stored, or named; row-major, in the precision T).
struct DroppedGate {};
template <class T>
struct DiagonalGate {
    std::complex<T> d0{1, 0};
    std::complex<T> d1{1, 0};
};
struct PermutationGate {
    bool is_swap = false;
};
template <class T>
struct MatrixGate {
    std::vector<CuComplex<T>> matrix;
};
template <class T>
using GateForm = std::variant<DroppedGate, DiagonalGate<T>, PermutationGate, MatrixGate<T>>;

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

}  // namespace korvane::dormeth
