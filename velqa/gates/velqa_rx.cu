// RX(theta) (common/gate_matrices.hpp), applied as the general product.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

// RX(theta) = [[a, b], [b, a]]: the AutoPair kernels take a and b.
template <class T>
__host__ __device__ __forceinline__ MatrixUpdate<T> rx_update(CuComplex<T> a, CuComplex<T> b) {
    return MatrixUpdate<T>{{{a, b, b, a}}};
}

template <class T>
__host__ __device__ __forceinline__ MatrixUpdate<T> rx_update(T theta) {
    return MatrixUpdate<T>{{korvane::gates::rx(theta)}};
}

}  // namespace

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_rx_kernel_all_state(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                           std::uint64_t ctrl_value, T theta, const MatrixUpdate<T>* members) {
    scheme::all_state_body(n, state, target, ctrl_mask, ctrl_value,
                           scheme::member_update(members, [&] { return rx_update(theta); }));
}

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_rx_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                      std::uint64_t ctrl_value, T theta, const MatrixUpdate<T>* members) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value,
                      scheme::member_update(members, [&] { return rx_update(theta); }));
}

namespace rx_autopair {

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value, std::uint64_t target_bit,
            CuComplex<T> a, CuComplex<T> b, const MatrixUpdate<T>* members) {
    scheme::compact_body(count, state, mask, value, target_bit,
                         scheme::member_update(members, [&] { return rx_update(a, b); }));
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls; target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value, CuComplex<T> a,
                    CuComplex<T> b, const MatrixUpdate<T>* members) {
    scheme::compact_body(count, state, mask, value, std::uint64_t(1),
                         scheme::member_update(members, [&] { return rx_update(a, b); }));
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair; no controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit, CuComplex<T> a, CuComplex<T> b,
               const MatrixUpdate<T>* members) {
    scheme::no_control_body(count, state, target_bit, scheme::member_update(members, [&] { return rx_update(a, b); }));
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair (2t, 2t + 1); no controls, target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_no_control(std::uint64_t count, CuComplex<T>* state, CuComplex<T> a, CuComplex<T> b,
                       const MatrixUpdate<T>* members) {
    scheme::target0_no_control_body(count, state, scheme::member_update(members, [&] { return rx_update(a, b); }));
}

}  // namespace rx_autopair

namespace {
struct rx_gate : scheme::GateDefaults {
    static constexpr const char* kLaunchFailure = "cu_rx kernel launch failed: ";
    template <class T>
    using kernels = scheme::GateKernels<&cu_rx_kernel_all_state<T>, &cu_rx_kernel_pair<T>, &rx_autopair::compact<T>,
                                        &rx_autopair::target0_compact<T>, &rx_autopair::no_control<T>,
                                        &rx_autopair::target0_no_control<T>>;
    template <class T>
    using update = MatrixUpdate<T>;
    template <class T>
    static update<T> update_of(T theta) {
        return rx_update(theta);
    }
    template <class T>
    static auto autopair_constants(T theta) {
        const korvane::gates::Matrix2<T> m = korvane::gates::rx(theta);
        return std::make_tuple(m.m00, m.m01);
    }
};
}  // namespace

template <class T>
void launch_rx(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    scheme::launch_single_target<rx_gate, T>(state, gate, stream, mode, static_cast<T>(gate.parameter[0]));
}

template void launch_rx<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_rx<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
