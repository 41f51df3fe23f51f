// X (common/gate_matrices.hpp): a swap of the pair. X has no compact AutoPair kernel: with controls and a
// target above qubit 0 it scans the whole state (state_scan).
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
using XUpdate = FixedMatrixUpdate<T, korvane::gates::x<T>()>;

}  // namespace

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_x_kernel_all_state(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                          std::uint64_t ctrl_value) {
    scheme::all_state_body(n, state, target, ctrl_mask, ctrl_value, XUpdate<T>{});
}

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_x_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                     std::uint64_t ctrl_value) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value, XUpdate<T>{});
}

namespace x_autopair {

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls; target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value) {
    scheme::compact_body(count, state, mask, value, std::uint64_t(1), XUpdate<T>{});
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair; no controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit) {
    scheme::no_control_body(count, state, target_bit, XUpdate<T>{});
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair (2t, 2t + 1); no controls, target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_no_control(std::uint64_t count, CuComplex<T>* state) {
    scheme::target0_no_control_body(count, state, XUpdate<T>{});
}

// Launch: 256-thread blocks, total = 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    state_scan(std::uint64_t total, CuComplex<T>* state, std::uint64_t target_bit, std::uint64_t ctrl_mask,
               std::uint64_t ctrl_value) {
    const std::uint64_t i = scheme::global_thread_index();
    if (i >= total || (i & target_bit) || (i & ctrl_mask) != ctrl_value) return;
    state = scheme::member_data(state, total);
    XUpdate<T>{}(state[i], state[i | target_bit]);
}

}  // namespace x_autopair

namespace {
struct x_gate : scheme::GateDefaults {
    static constexpr bool kControlledScan = true;
    static constexpr const char* kLaunchFailure = "cu_x kernel launch failed: ";
    template <class T>
    using kernels = scheme::GateKernels<&cu_x_kernel_all_state<T>, &cu_x_kernel_pair<T>, &x_autopair::state_scan<T>,
                                        &x_autopair::target0_compact<T>, &x_autopair::no_control<T>,
                                        &x_autopair::target0_no_control<T>>;
};
}  // namespace

template <class T>
void launch_x(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    scheme::launch_single_target<x_gate, T>(state, gate, stream, mode);
}

template void launch_x<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_x<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
