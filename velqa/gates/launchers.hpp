// Transitional: the signatures velqa_unitary.cu still spells with macros; the launchers of the
// other gates are declared with the gate table (velqa/gate_traits.hpp).
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "common/complex.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/gate_record.hpp"
#include "velqa/gates/gate_matrix.hpp"
#include "velqa/gates/unitary_matrix.hpp"

namespace velqa {

#define VELQA_UNITARY_1Q_SELECTOR_SIGNATURE(T)                                                   \
    std::int64_t n, ::korvane::CuComplex<T>*state, std::int32_t target, std::uint64_t ctrl_mask, \
        std::uint64_t ctrl_value, std::int32_t k, ::velqa::Unitary2x2<T> U, cudaStream_t stream
#define VELQA_UNITARY_2Q_SELECTOR_SIGNATURE(T)                                                                \
    std::int64_t n, ::korvane::CuComplex<T>*state, std::int32_t t0, std::int32_t t1, std::uint64_t ctrl_mask, \
        std::uint64_t ctrl_value, std::int32_t k, ::velqa::Unitary4x4<T> U, cudaStream_t stream
#define VELQA_UNITARY_SIGNATURE(T)                                                               \
    std::int64_t n, ::korvane::CuComplex<T>*state, const std::vector<std::int64_t>&targets,      \
        const std::vector<std::int64_t>&controls, const std::vector<std::int64_t>&control_state, \
        const std::vector<std::complex<double>>&matrix, std::int64_t dim, cudaStream_t stream,   \
        ::velqa::KernelMode mode

#define VELQA_INSTANTIATE(function, SIGNATURE)       \
    template void function<float>(SIGNATURE(float)); \
    template void function<double>(SIGNATURE(double));

template <class T>
void launch_unitary(VELQA_UNITARY_SIGNATURE(T));

}  // namespace velqa
