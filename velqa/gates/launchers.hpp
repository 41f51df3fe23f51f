// The gate launchers and AutoPair selectors, one instance per precision (T = float for complex64
// states, double for complex128). Launchers validate the controls, pick the kernel for the mode,
// queue it on the stream and check the launch; UNITARY also waits for the stream.
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

using korvane::CuComplex;

#define VELQA_TARGET_PARAMS(T)                                                                                    \
    std::int64_t n, ::korvane::CuComplex<T>*state, std::int32_t target, const std::vector<std::int64_t>&controls, \
        const std::vector<std::int64_t>&control_state
#define VELQA_FIXED_SIGNATURE(T) VELQA_TARGET_PARAMS(T), cudaStream_t stream, ::velqa::KernelMode mode
#define VELQA_ANGLE_SIGNATURE(T) VELQA_TARGET_PARAMS(T), T theta, cudaStream_t stream, ::velqa::KernelMode mode
#define VELQA_U_SIGNATURE(T) \
    VELQA_TARGET_PARAMS(T), T theta, T phi, T lambda, cudaStream_t stream, ::velqa::KernelMode mode
#define VELQA_FIXED_SELECTOR_SIGNATURE(T) VELQA_TARGET_PARAMS(T), cudaStream_t stream
#define VELQA_AB_SELECTOR_SIGNATURE(T) \
    VELQA_TARGET_PARAMS(T), ::korvane::CuComplex<T> a, ::korvane::CuComplex<T> b, cudaStream_t stream
#define VELQA_E_SELECTOR_SIGNATURE(T) VELQA_TARGET_PARAMS(T), ::korvane::CuComplex<T> e, cudaStream_t stream
#define VELQA_U_SELECTOR_SIGNATURE(T)                                                            \
    std::int64_t n, ::korvane::CuComplex<T>*state, std::int32_t target, std::uint64_t ctrl_mask, \
        std::uint64_t ctrl_value, std::int32_t k, ::velqa::GateMatrix2x2<T> M, cudaStream_t stream
#define VELQA_SWAP_SIGNATURE(T)                                                                                       \
    std::int64_t n, ::korvane::CuComplex<T>*state, std::int32_t t0, std::int32_t t1,                                  \
        const std::vector<std::int64_t>&controls, const std::vector<std::int64_t>&control_state, cudaStream_t stream, \
        ::velqa::KernelMode mode
#define VELQA_SWAP_SELECTOR_SIGNATURE(T)                                                                      \
    std::int64_t n, ::korvane::CuComplex<T>*state, std::int32_t t0, std::int32_t t1, std::uint64_t ctrl_mask, \
        std::uint64_t ctrl_value, std::int32_t k, cudaStream_t stream
#define VELQA_GLOBAL_PHASE_SIGNATURE(T)                                                      \
    std::int64_t n, ::korvane::CuComplex<T>*state, const std::vector<std::int64_t>&controls, \
        const std::vector<std::int64_t>&control_state, T phi, cudaStream_t stream
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

// Instantiates a launcher or selector for both precisions.
#define VELQA_INSTANTIATE(function, SIGNATURE)       \
    template void function<float>(SIGNATURE(float)); \
    template void function<double>(SIGNATURE(double));

template <class T>
void launch_x(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_y(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_z(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_h(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_s(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_sdag(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_sqrtx(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_sqrtxdag(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_sqrty(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_sqrtydag(VELQA_FIXED_SIGNATURE(T));
template <class T>
void launch_rx(VELQA_ANGLE_SIGNATURE(T));
template <class T>
void launch_ry(VELQA_ANGLE_SIGNATURE(T));
template <class T>
void launch_rz(VELQA_ANGLE_SIGNATURE(T));
template <class T>
void launch_phase(VELQA_ANGLE_SIGNATURE(T));
template <class T>
void launch_u(VELQA_U_SIGNATURE(T));
template <class T>
void launch_swap(VELQA_SWAP_SIGNATURE(T));
template <class T>
void launch_global_phase(VELQA_GLOBAL_PHASE_SIGNATURE(T));
template <class T>
void launch_unitary(VELQA_UNITARY_SIGNATURE(T));

template <class T>
void launch_x_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_y_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_z_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_s_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_sdag_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_sqrtx_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_sqrtxdag_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_sqrty_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_sqrtydag_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T));
template <class T>
void launch_rx_autopair(VELQA_AB_SELECTOR_SIGNATURE(T));
template <class T>
void launch_ry_autopair(VELQA_AB_SELECTOR_SIGNATURE(T));
template <class T>
void launch_rz_autopair(VELQA_AB_SELECTOR_SIGNATURE(T));
template <class T>
void launch_phase_autopair(VELQA_E_SELECTOR_SIGNATURE(T));
template <class T>
void launch_u_autopair(VELQA_U_SELECTOR_SIGNATURE(T));
template <class T>
void launch_swap_autopair(VELQA_SWAP_SELECTOR_SIGNATURE(T));
template <class T>
void launch_unitary_1q_autopair(VELQA_UNITARY_1Q_SELECTOR_SIGNATURE(T));
template <class T>
void launch_unitary_2q_autopair(VELQA_UNITARY_2Q_SELECTOR_SIGNATURE(T));

}  // namespace velqa
