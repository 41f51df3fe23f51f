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

#include "common/channel_kind.hpp"
#include "common/complex.hpp"
#include "common/density_operation.hpp"
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

// Validates record `index` of a call for n qubits and prepares it; general unitaries and general
// Kraus sets append their matrices, in the precision T of the state, to `matrices`.
template <class T>
PreparedDensityOp prepare_density_op(const density::DensityOperation& record, std::int64_t n, std::size_t index,
                                     std::vector<CuComplex<T>>& matrices);

// Launches the kernel of one prepared operation on the default stream; device_matrices is the
// uploaded matrix buffer (null when the call has no matrices).
template <class T>
void execute_prepared_op(const DeviceDensityState& state, const PreparedDensityOp& op,
                         const CuComplex<T>* device_matrices);

}  // namespace korvane::dormeth
