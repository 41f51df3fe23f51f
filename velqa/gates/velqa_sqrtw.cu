// SqrtW = r [[1, -e], [conj(e), 1]] with r = 1/sqrt(2), e = e^(i pi/4): the square root of
// W = (X + Y)/sqrt(2) up to a global phase.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct SqrtWUpdate {
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const T r = T(0.7071067811865476);
        const CuComplex<T> e{T(0.5), T(0.5)};   // r e^(i pi/4)
        const CuComplex<T> f{T(0.5), T(-0.5)};  // r e^(-i pi/4)
        const CuComplex<T> x0 = a0;
        a0 = r * x0 - e * a1;
        a1 = f * x0 + r * a1;
    }
};

}  // namespace

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_sqrtw_kernel_all_state(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                              std::uint64_t ctrl_value) {
    scheme::all_state_body(n, state, target, ctrl_mask, ctrl_value, SqrtWUpdate<T>{});
}

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_sqrtw_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                         std::uint64_t ctrl_value) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value, SqrtWUpdate<T>{});
}

namespace sqrtw_autopair {

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
            std::uint64_t target_bit) {
    scheme::compact_body(count, state, mask, value, target_bit, SqrtWUpdate<T>{});
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls; target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value) {
    scheme::compact_body(count, state, mask, value, std::uint64_t(1), SqrtWUpdate<T>{});
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair; no controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit) {
    scheme::no_control_body(count, state, target_bit, SqrtWUpdate<T>{});
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair (2t, 2t + 1); no controls, target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_no_control(std::uint64_t count, CuComplex<T>* state) {
    scheme::target0_no_control_body(count, state, SqrtWUpdate<T>{});
}

}  // namespace sqrtw_autopair

namespace {
struct sqrtw_gate : scheme::GateDefaults {
    static constexpr const char* kLaunchFailure = "cu_sqrtw kernel launch failed: ";
    template <class T>
    using kernels = scheme::GateKernels<&cu_sqrtw_kernel_all_state<T>, &cu_sqrtw_kernel_pair<T>,
                                        &sqrtw_autopair::compact<T>, &sqrtw_autopair::target0_compact<T>,
                                        &sqrtw_autopair::no_control<T>, &sqrtw_autopair::target0_no_control<T>>;
    template <class T>
    static std::tuple<> autopair_constants() {
        return {};
    }
};
}  // namespace

template <class T>
void launch_sqrtw(std::int64_t n, CuComplex<T>* state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    scheme::launch_single_target<sqrtw_gate, T>(n, state, gate, stream, mode);
}

template void launch_sqrtw<float>(std::int64_t, CuComplex<float>*, const GateRecord&, cudaStream_t, KernelMode);
template void launch_sqrtw<double>(std::int64_t, CuComplex<double>*, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
