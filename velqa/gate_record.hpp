// The native record of one statevector gate and the kernel modes. What each gate kind is (its
// names, counts, matrix, launcher) is the table in velqa/gate_traits.hpp.
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velqa {

enum class KernelMode : std::int32_t {
    AllState = 0,        // per-gate kernels, one thread per amplitude
    Pair = 1,            // per-gate kernels, one thread per amplitude pair
    PairAuto = 2,        // per-gate kernels, specialised index kernel chosen per gate
    PairAutoFusion = 3,  // plan fused groups first, then execute them
};

// A gate kind: the position of its row in the gate table, whose ids are named beside it
// (velqa/gate_traits.hpp).
enum GateId : std::int32_t;

struct GateRecord {
    GateId id{};
    std::string name;
    std::vector<std::int64_t> control;
    std::vector<std::int64_t> control_state;
    std::vector<std::int64_t> target;
    std::vector<double> parameter;
    std::vector<std::complex<double>> matrix;  // row-major, matrix_dim x matrix_dim
    std::int64_t matrix_dim = 0;
    bool has_matrix = false;
    // A gate of a batch whose values differ between members: member b's parameters are row b of
    // member_parameter (rows of parameter.size()), its matrix block b of member_matrix (blocks of
    // matrix.size()); parameter and matrix then hold member 0's, so every count and size check
    // reads them as for a single state. Empty: every member uses parameter and matrix.
    std::vector<double> member_parameter;
    std::vector<std::complex<double>> member_matrix;

    bool varies_by_member() const { return !member_parameter.empty() || !member_matrix.empty(); }
    std::span<const double> parameters_of(std::uint64_t member) const {
        if (member_parameter.empty()) return parameter;
        return std::span<const double>(member_parameter).subspan(member * parameter.size(), parameter.size());
    }
    std::span<const std::complex<double>> matrix_of(std::uint64_t member) const {
        if (member_matrix.empty()) return matrix;
        return std::span<const std::complex<double>>(member_matrix).subspan(member * matrix.size(), matrix.size());
    }
};

}  // namespace velqa
