// H = r [[1, 1], [1, -1]] with r = 1/sqrt(2) held at the kernel's precision. The launcher makes the
// AutoPair choice itself with the masks it has already built.
#include <type_traits>

#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct HUpdate {
    // 0x3F3504F3 as float, 0x3FE6A09E667F3BCD as double.
    static constexpr T r = std::is_same_v<T, float> ? T(0.70710677f) : T(0.7071067811865476);
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> x0 = a0;
        a0 = r * (x0 + a1);
        a1 = r * (x0 - a1);
    }
};

VELQA_AUTOPAIR_KERNELS(h_compact, h_target0_compact, h_no_control, h_target0_no_control, HUpdate<T>{})

}  // namespace

VELQA_PAIR_KERNELS(h, HUpdate<T>{})

namespace {
struct h_gate : scheme::GateDefaults {
    static constexpr bool kSelectorTakesMasks = true;
    static constexpr const char* kLaunchFailure = "cu_h kernel launch failed: ";
    VELQA_KERNEL_TABLE(h, h_compact, h_target0_compact, h_no_control, h_target0_no_control)
    template <class T>
    static std::tuple<> autopair_constants() {
        return {};
    }
};
}  // namespace

template <class T>
void launch_h(VELQA_FIXED_SIGNATURE(T)) {
    scheme::launch_single_target<h_gate, T>(n, state, target, controls, control_state, stream, mode);
}

VELQA_INSTANTIATE(launch_h, VELQA_FIXED_SIGNATURE)

}  // namespace velqa
