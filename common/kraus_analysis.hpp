// What a Kraus set is, read from its values in double precision: whether it preserves the trace,
// and whether it is a mixture of unitaries (each K_i a multiple of a unitary), which a trajectory
// draws from fixed probabilities without reading the state. Names play no part: bit flip, phase
// flip, depolarizing and any other such set are recognised by their operators.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/density_operation.hpp"

namespace korvane::density {

// A trajectory needs sum_i K_i^dagger K_i = I: the Frobenius norm of the difference may not exceed this.
inline constexpr double kTracePreservingTolerance = 1e-8;

// K_i^dagger K_i = p_i I is accepted when the Frobenius norm of the difference is at most this times
// p_i: a relative bound, so a small operator is held to the same precision as a large one. A set
// that misses it is still run exactly, as a general channel.
inline constexpr double kUnitaryMixtureTolerance = 1e-8;

// ||sum_i K_i^dagger K_i - I||_F of a record's operators (count d x d matrices, row-major), in double.
double trace_preservation_error(const DensityOperation& record);

// Refuses a Kraus record whose operators do not preserve the trace: std::invalid_argument (ValueError)
// "Kraus operators are not trace preserving (operation <index>)".
void require_trace_preserving(const DensityOperation& record, std::size_t index);

// K_i = sqrt(p_i) U_i with U_i unitary: the probabilities p_i = Tr(K_i^dagger K_i) / d and the
// unitaries U_i (d x d row-major each, one after another; zero for an operator with p_i = 0, which is
// never drawn).
struct UnitaryMixture {
    std::vector<double> probabilities;
    std::vector<std::complex<double>> unitaries;
};

// The mixture of a trace-preserving Kraus record when every operator is a multiple of a unitary
// within kUnitaryMixtureTolerance; nothing otherwise.
std::optional<UnitaryMixture> unitary_mixture(const DensityOperation& record);

// The index drawn by u in [0, 1) from non-negative weights: the first whose running sum exceeds
// u times their total, passing over weights of 0; when rounding leaves no running sum above it, the
// last index of non-zero weight. The caller guarantees a positive, finite total.
std::size_t draw_weighted(const double* weights, std::size_t count, double u);

}  // namespace korvane::density
