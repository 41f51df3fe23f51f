// Y (common/gate_matrices.hpp): products by -i and i, without multiplications.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
using YUpdate = FixedMatrixUpdate<T, korvane::gates::y<T>()>;

}  // namespace

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_y_kernel_all_state(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                          std::uint64_t ctrl_value) {
    scheme::all_state_body(n, state, target, ctrl_mask, ctrl_value, YUpdate<T>{});
}

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_y_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                     std::uint64_t ctrl_value) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value, YUpdate<T>{});
}

namespace y_autopair {

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
            std::uint64_t target_bit) {
    scheme::compact_body(count, state, mask, value, target_bit, YUpdate<T>{});
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls; target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value) {
    scheme::compact_body(count, state, mask, value, std::uint64_t(1), YUpdate<T>{});
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair; no controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit) {
    scheme::no_control_body(count, state, target_bit, YUpdate<T>{});
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair (2t, 2t + 1); no controls, target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_no_control(std::uint64_t count, CuComplex<T>* state) {
    scheme::target0_no_control_body(count, state, YUpdate<T>{});
}

}  // namespace y_autopair

namespace {
struct y_gate : scheme::GateDefaults {
    static constexpr const char* kLaunchFailure = "cu_y kernel launch failed: ";
    template <class T>
    using kernels = scheme::GateKernels<&cu_y_kernel_all_state<T>, &cu_y_kernel_pair<T>, &y_autopair::compact<T>,
                                        &y_autopair::target0_compact<T>, &y_autopair::no_control<T>,
                                        &y_autopair::target0_no_control<T>>;
};
}  // namespace

template <class T>
void launch_y(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    scheme::launch_single_target<y_gate, T>(state, gate, stream, mode);
}

template void launch_y<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_y<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
