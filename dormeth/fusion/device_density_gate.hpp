// The record the density shared-memory kernel reads for each operation of a fused group, declared
// once for the host (which builds it) and the kernel (which reads it). Qubits are local indices:
// bit p of a local row or column index is the p-th smallest active qubit of the group.
#pragma once

#include <cstdint>

#include "common/complex.hpp"

namespace korvane::dormeth {

enum class DensityFusedGateKind : std::int32_t { Matrix = 0, Diagonal = 1, Flip = 2, Channel = 3 };

template <class T>
struct DeviceDensityGate {
    std::int32_t kind = 0;  // DensityFusedGateKind
    std::int32_t target = -1;
    std::uint32_t control_mask = 0;
    std::uint32_t control_values = 0;
    CuComplex<T> matrix[4] = {};                                      // Matrix: m00, m01, m10, m11
    CuComplex<T> diag[2] = {CuComplex<T>{1, 0}, CuComplex<T>{1, 0}};  // Diagonal: d0, d1
    std::uint32_t flip_mask = 0;                                      // Flip: 1 << target
    std::int32_t channel_kind = 0;                                    // Channel: ChannelKind 1 ... 5
    T channel_parameter = 0;                                          // Channel: p
};

// The record in precision T: floating-point fields rounded, integers copied.
template <class T>
DeviceDensityGate<T> to_precision(const DeviceDensityGate<double>& g) {
    const auto round = [](CuComplex<double> z) { return CuComplex<T>{static_cast<T>(z.re), static_cast<T>(z.im)}; };
    DeviceDensityGate<T> out;
    out.kind = g.kind;
    out.target = g.target;
    out.control_mask = g.control_mask;
    out.control_values = g.control_values;
    for (int i = 0; i < 4; ++i) out.matrix[i] = round(g.matrix[i]);
    for (int i = 0; i < 2; ++i) out.diag[i] = round(g.diag[i]);
    out.flip_mask = g.flip_mask;
    out.channel_kind = g.channel_kind;
    out.channel_parameter = static_cast<T>(g.channel_parameter);
    return out;
}

}  // namespace korvane::dormeth
