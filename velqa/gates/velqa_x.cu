// X = [[0, 1], [1, 0]]. X has no compact AutoPair kernel: with controls and a target above
// qubit 0 it scans the whole state (state_scan).
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct XUpdate {
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> x0 = a0;
        a0 = a1;
        a1 = x0;
    }
};

}  // namespace

VELQA_PAIR_KERNELS(x, XUpdate<T>{})

namespace x_autopair {

VELQA_TARGET0_COMPACT_KERNEL(target0_compact, XUpdate<T>{})
VELQA_NO_CONTROL_KERNEL(no_control, XUpdate<T>{})
VELQA_TARGET0_NO_CONTROL_KERNEL(target0_no_control, XUpdate<T>{})

// Launch: 256-thread blocks, total = 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    state_scan(std::uint64_t total, CuComplex<T>* state, std::uint64_t target_bit, std::uint64_t ctrl_mask,
               std::uint64_t ctrl_value) {
    const std::uint64_t i = scheme::global_thread_index();
    if (i >= total || (i & target_bit) || (i & ctrl_mask) != ctrl_value) return;
    XUpdate<T>{}(state[i], state[i | target_bit]);
}

}  // namespace x_autopair

namespace {
struct x_gate : scheme::GateDefaults {
    static constexpr bool kControlledScan = true;
    static constexpr const char* kLaunchFailure = "cu_x kernel launch failed: ";
    template <class T>
    static constexpr auto all_state = &cu_x_kernel_all_state<T>;
    template <class T>
    static constexpr auto pair = &cu_x_kernel_pair<T>;
    template <class T>
    static constexpr auto state_scan = &x_autopair::state_scan<T>;
    template <class T>
    static constexpr auto target0_compact = &x_autopair::target0_compact<T>;
    template <class T>
    static constexpr auto no_control = &x_autopair::no_control<T>;
    template <class T>
    static constexpr auto target0_no_control = &x_autopair::target0_no_control<T>;
    template <class T>
    static std::tuple<> autopair_constants() {
        return {};
    }
};
}  // namespace

template <class T>
void launch_x(VELQA_FIXED_SIGNATURE(T)) {
    scheme::launch_single_target<x_gate, T>(n, state, target, controls, control_state, stream, mode);
}

template <class T>
void launch_x_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T)) {
    scheme::autopair_select<x_gate, T>(n, state, target, controls, control_state, stream);
}

VELQA_INSTANTIATE(launch_x, VELQA_FIXED_SIGNATURE)
VELQA_INSTANTIATE(launch_x_autopair, VELQA_FIXED_SELECTOR_SIGNATURE)

}  // namespace velqa
