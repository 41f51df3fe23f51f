// The scheme shared by every single-target gate, written once: kernel bodies for the kernel
// modes, the macros that give each gate its named kernels, and the launcher decision tree with
// the AutoPair selection. A gate's own unit supplies only its pair update and constants.
//
// A pair update is a functor u(a0, a1) replacing the amplitudes of one pair (target bit 0 and 1)
// by the gate's 2x2 matrix applied to them.
#pragma once

#include <cstdint>
#include <tuple>
#include <vector>

#include "common/complex.hpp"
#include "common/cuda_check.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "velqa/gate_record.hpp"
#include "velqa/gates/control_masks.hpp"
#include "velqa/gates/gate_matrix.hpp"
#include "velqa/gates/launchers.hpp"

namespace velqa {

using korvane::CuComplex;

// The general pair update: M applied to (a0, a1).
template <class T>
struct MatrixUpdate {
    GateMatrix2x2<T> m;
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> x0 = a0;
        const CuComplex<T> x1 = a1;
        a0 = m.m00 * x0 + m.m01 * x1;
        a1 = m.m10 * x0 + m.m11 * x1;
    }
};

namespace scheme {

using korvane::gpu::global_thread_index;
using korvane::gpu::insert_zero_bits;

// Index of the pair's first amplitude: t with a 0 bit inserted at the target position.
__device__ __forceinline__ std::uint64_t pair_index(std::uint64_t t, std::uint64_t target_bit) {
    return ((t & ~(target_bit - 1)) << 1) | (t & (target_bit - 1));
}

// Kernel bodies. Launch: one-dimensional grid of 256-thread blocks with the thread count noted.

// 2^n threads, one per amplitude; the thread of a matching pair's first amplitude updates it.
template <class T, class Update>
__device__ __forceinline__ void all_state_body(std::int64_t n, CuComplex<T>* state, std::int32_t target,
                                               std::uint64_t ctrl_mask, std::uint64_t ctrl_value, const Update& u) {
    const std::uint64_t i = global_thread_index();
    const std::uint64_t target_bit = std::uint64_t(1) << target;
    if (i >= (std::uint64_t(1) << n) || (i & target_bit) || (i & ctrl_mask) != ctrl_value) return;
    u(state[i], state[i | target_bit]);
}

// 2^(n-1) threads, one per pair.
template <class T, class Update>
__device__ __forceinline__ void pair_body(std::int64_t n, CuComplex<T>* state, std::int32_t target,
                                          std::uint64_t ctrl_mask, std::uint64_t ctrl_value, const Update& u) {
    const std::uint64_t t = global_thread_index();
    if (t >= (std::uint64_t(1) << (n - 1))) return;
    const std::uint64_t target_bit = std::uint64_t(1) << target;
    const std::uint64_t i0 = pair_index(t, target_bit);
    if ((i0 & ctrl_mask) != ctrl_value) return;
    u(state[i0], state[i0 | target_bit]);
}

// count = 2^(n-k-1) threads, one per matching pair: mask holds the controls and the target.
template <class T, class Update>
__device__ __forceinline__ void compact_body(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask,
                                             std::uint64_t value, std::uint64_t target_bit, const Update& u) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    const std::uint64_t i0 = insert_zero_bits(t, mask) | value;
    u(state[i0], state[i0 | target_bit]);
}

// count = 2^(n-1) threads, one per pair, no controls.
template <class T, class Update>
__device__ __forceinline__ void no_control_body(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit,
                                                const Update& u) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    const std::uint64_t i0 = pair_index(t, target_bit);
    u(state[i0], state[i0 | target_bit]);
}

// count = 2^(n-1) threads, one per pair (2t, 2t + 1).
template <class T, class Update>
__device__ __forceinline__ void target0_no_control_body(std::uint64_t count, CuComplex<T>* state, const Update& u) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    u(state[2 * t], state[2 * t + 1]);
}

}  // namespace scheme

// Named kernels of a gate. UPDATE is an expression building the gate's pair update from the
// kernel's trailing parameters, which follow it.
#define VELQA_PAIR_KERNELS(name, UPDATE, ...)                                                                        \
    template <class T>                                                                                               \
    __global__ void __launch_bounds__(::korvane::kLinearBlockThreads)                                                \
        cu_##name##_kernel_all_state(std::int64_t n, ::korvane::CuComplex<T>* state, std::int32_t target,            \
                                     std::uint64_t ctrl_mask, std::uint64_t ctrl_value __VA_OPT__(, ) __VA_ARGS__) { \
        ::velqa::scheme::all_state_body(n, state, target, ctrl_mask, ctrl_value, UPDATE);                            \
    }                                                                                                                \
    template <class T>                                                                                               \
    __global__ void __launch_bounds__(::korvane::kLinearBlockThreads)                                                \
        cu_##name##_kernel_pair(std::int64_t n, ::korvane::CuComplex<T>* state, std::int32_t target,                 \
                                std::uint64_t ctrl_mask, std::uint64_t ctrl_value __VA_OPT__(, ) __VA_ARGS__) {      \
        ::velqa::scheme::pair_body(n, state, target, ctrl_mask, ctrl_value, UPDATE);                                 \
    }

#define VELQA_COMPACT_KERNEL(kernel, UPDATE, ...)                                                            \
    template <class T>                                                                                       \
    __global__ void __launch_bounds__(::korvane::kLinearBlockThreads)                                        \
        kernel(std::uint64_t count, ::korvane::CuComplex<T>* state, std::uint64_t mask, std::uint64_t value, \
               std::uint64_t target_bit __VA_OPT__(, ) __VA_ARGS__) {                                        \
        ::velqa::scheme::compact_body(count, state, mask, value, target_bit, UPDATE);                        \
    }

#define VELQA_TARGET0_COMPACT_KERNEL(kernel, UPDATE, ...)                                   \
    template <class T>                                                                      \
    __global__ void __launch_bounds__(::korvane::kLinearBlockThreads)                       \
        kernel(std::uint64_t count, ::korvane::CuComplex<T>* state, std::uint64_t mask,     \
               std::uint64_t value __VA_OPT__(, ) __VA_ARGS__) {                            \
        ::velqa::scheme::compact_body(count, state, mask, value, std::uint64_t(1), UPDATE); \
    }

#define VELQA_NO_CONTROL_KERNEL(kernel, UPDATE, ...)                                                                \
    template <class T>                                                                                              \
    __global__ void __launch_bounds__(::korvane::kLinearBlockThreads) kernel(                                       \
        std::uint64_t count, ::korvane::CuComplex<T>* state, std::uint64_t target_bit __VA_OPT__(, ) __VA_ARGS__) { \
        ::velqa::scheme::no_control_body(count, state, target_bit, UPDATE);                                         \
    }

#define VELQA_TARGET0_NO_CONTROL_KERNEL(kernel, UPDATE, ...)                                     \
    template <class T>                                                                           \
    __global__ void __launch_bounds__(::korvane::kLinearBlockThreads)                            \
        kernel(std::uint64_t count, ::korvane::CuComplex<T>* state __VA_OPT__(, ) __VA_ARGS__) { \
        ::velqa::scheme::target0_no_control_body(count, state, UPDATE);                          \
    }

#define VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, UPDATE, ...) \
    VELQA_COMPACT_KERNEL(compact, UPDATE __VA_OPT__(, ) __VA_ARGS__)                                  \
    VELQA_TARGET0_COMPACT_KERNEL(target0_compact, UPDATE __VA_OPT__(, ) __VA_ARGS__)                  \
    VELQA_NO_CONTROL_KERNEL(no_control, UPDATE __VA_OPT__(, ) __VA_ARGS__)                            \
    VELQA_TARGET0_NO_CONTROL_KERNEL(target0_no_control, UPDATE __VA_OPT__(, ) __VA_ARGS__)

// The kernel table of a gate's traits struct: the two per-mode kernels and the AutoPair kernels.
#define VELQA_KERNEL_TABLE(name, compact_k, target0_compact_k, no_control_k, target0_no_control_k) \
    template <class T>                                                                             \
    static constexpr auto all_state = &cu_##name##_kernel_all_state<T>;                            \
    template <class T>                                                                             \
    static constexpr auto pair = &cu_##name##_kernel_pair<T>;                                      \
    template <class T>                                                                             \
    static constexpr auto compact = &compact_k<T>;                                                 \
    template <class T>                                                                             \
    static constexpr auto target0_compact = &target0_compact_k<T>;                                 \
    template <class T>                                                                             \
    static constexpr auto no_control = &no_control_k<T>;                                           \
    template <class T>                                                                             \
    static constexpr auto target0_no_control = &target0_no_control_k<T>;

namespace scheme {

using korvane::linear_geometry;
using korvane::gpu::launch;

// Launch-time behaviour a gate's traits struct G may adjust.
struct GateDefaults {
    static constexpr bool kControlledScan = false;      // X: state_scan replaces compact
    static constexpr bool kSelectorTakesMasks = false;  // H and U: no second control validation
};

// The AutoPair table: picks the kernel from the control count k and the target position.
template <class G, class T, class... C>
void autopair_dispatch(std::int64_t n, CuComplex<T>* state, std::int32_t target, const ControlMasks& m, std::uint64_t k,
                       cudaStream_t stream, const C&... constants) {
    const std::uint64_t target_bit = std::uint64_t(1) << target;
    if (k == 0) {
        const std::uint64_t count = std::uint64_t(1) << (n - 1);
        if (target == 0)
            launch<G::template target0_no_control<T>>(linear_geometry(count), stream, count, state, constants...);
        else
            launch<G::template no_control<T>>(linear_geometry(count), stream, count, state, target_bit, constants...);
        return;
    }
    const std::uint64_t count = std::uint64_t(1) << (n - k - 1);
    if (target == 0) {
        launch<G::template target0_compact<T>>(linear_geometry(count), stream, count, state, m.ctrl_mask | 1,
                                               m.ctrl_value & ~std::uint64_t(1), constants...);
    } else if constexpr (G::kControlledScan) {
        const std::uint64_t total = std::uint64_t(1) << n;
        launch<G::template state_scan<T>>(linear_geometry(total), stream, total, state, target_bit, m.ctrl_mask,
                                          m.ctrl_value);
    } else {
        launch<G::template compact<T>>(linear_geometry(count), stream, count, state, m.ctrl_mask | target_bit,
                                       m.ctrl_value & ~target_bit, target_bit, constants...);
    }
}

// The standard AutoPair selector: validates the controls again, then the table.
template <class G, class T, class... C>
void autopair_select(std::int64_t n, CuComplex<T>* state, std::int32_t target,
                     const std::vector<std::int64_t>& controls, const std::vector<std::int64_t>& control_state,
                     cudaStream_t stream, const C&... constants) {
    const ControlMasks m = build_control_masks(controls, control_state);
    autopair_dispatch<G, T>(n, state, target, m, controls.size(), stream, constants...);
}

// The launcher decision tree of every single-target gate: AllState, PairAuto, otherwise Pair;
// then the launch check with the gate's prefix.
template <class G, class T, class... A>
void launch_single_target(std::int64_t n, CuComplex<T>* state, std::int32_t target,
                          const std::vector<std::int64_t>& controls, const std::vector<std::int64_t>& control_state,
                          cudaStream_t stream, KernelMode mode, A... angles) {
    const ControlMasks m = build_control_masks(controls, control_state);
    if (mode == KernelMode::AllState) {
        launch<G::template all_state<T>>(linear_geometry(std::uint64_t(1) << n), stream, n, state, target, m.ctrl_mask,
                                         m.ctrl_value, angles...);
    } else if (mode == KernelMode::PairAuto) {
        std::apply(
            [&](const auto&... constants) {
                if constexpr (G::kSelectorTakesMasks)
                    autopair_dispatch<G, T>(n, state, target, m, controls.size(), stream, constants...);
                else
                    autopair_select<G, T>(n, state, target, controls, control_state, stream, constants...);
            },
            G::template autopair_constants<T>(angles...));
    } else {
        launch<G::template pair<T>>(linear_geometry(std::uint64_t(1) << (n - 1)), stream, n, state, target, m.ctrl_mask,
                                    m.ctrl_value, angles...);
    }
    korvane::check_launch(G::kLaunchFailure);
}

}  // namespace scheme
}  // namespace velqa

// Everything a parameterless gate that follows the standard scheme needs: its kernels, its traits,
// its launcher and selector for both precisions. UPDATE builds its pair update (T in scope).
#define VELQA_STANDARD_FIXED_GATE(name, UPDATE)                                                                  \
    VELQA_PAIR_KERNELS(name, UPDATE)                                                                             \
    namespace name##_autopair {                                                                                  \
        VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, UPDATE)                 \
    }                                                                                                            \
    struct name##_gate : ::velqa::scheme::GateDefaults {                                                         \
        static constexpr const char* kLaunchFailure = "cu_" #name " kernel launch failed: ";                     \
        VELQA_KERNEL_TABLE(name, name##_autopair::compact, name##_autopair::target0_compact,                     \
                           name##_autopair::no_control, name##_autopair::target0_no_control)                     \
        template <class T>                                                                                       \
        static std::tuple<> autopair_constants() {                                                               \
            return {};                                                                                           \
        }                                                                                                        \
    };                                                                                                           \
    template <class T>                                                                                           \
    void launch_##name(VELQA_FIXED_SIGNATURE(T)) {                                                               \
        ::velqa::scheme::launch_single_target<name##_gate, T>(n, state, target, controls, control_state, stream, \
                                                              mode);                                             \
    }                                                                                                            \
    template <class T>                                                                                           \
    void launch_##name##_autopair(VELQA_FIXED_SELECTOR_SIGNATURE(T)) {                                           \
        ::velqa::scheme::autopair_select<name##_gate, T>(n, state, target, controls, control_state, stream);     \
    }                                                                                                            \
    VELQA_INSTANTIATE(launch_##name, VELQA_FIXED_SIGNATURE)                                                      \
    VELQA_INSTANTIATE(launch_##name##_autopair, VELQA_FIXED_SELECTOR_SIGNATURE)

// The same for a one-angle gate whose AutoPair kernels take two constants a and b: UPDATE<T> has
// from_angle(theta), computed on the device in the AllState and Pair kernels and on the host (in T
// arithmetic) for PairAuto, and holds a and b.
#define VELQA_STANDARD_AB_GATE(name, UPDATE)                                                                           \
    VELQA_PAIR_KERNELS(name, UPDATE<T>::from_angle(theta), T theta)                                                    \
    namespace name##_autopair {                                                                                        \
        VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (UPDATE<T>{a, b}),            \
                               ::korvane::CuComplex<T> a, ::korvane::CuComplex<T> b)                                   \
    }                                                                                                                  \
    struct name##_gate : ::velqa::scheme::GateDefaults {                                                               \
        static constexpr const char* kLaunchFailure = "cu_" #name " kernel launch failed: ";                           \
        VELQA_KERNEL_TABLE(name, name##_autopair::compact, name##_autopair::target0_compact,                           \
                           name##_autopair::no_control, name##_autopair::target0_no_control)                           \
        template <class T>                                                                                             \
        static auto autopair_constants(T theta) {                                                                      \
            const UPDATE<T> u = UPDATE<T>::from_angle(theta);                                                          \
            return std::make_tuple(u.a, u.b);                                                                          \
        }                                                                                                              \
    };                                                                                                                 \
    template <class T>                                                                                                 \
    void launch_##name(VELQA_ANGLE_SIGNATURE(T)) {                                                                     \
        ::velqa::scheme::launch_single_target<name##_gate, T>(n, state, target, controls, control_state, stream, mode, \
                                                              theta);                                                  \
    }                                                                                                                  \
    template <class T>                                                                                                 \
    void launch_##name##_autopair(VELQA_AB_SELECTOR_SIGNATURE(T)) {                                                    \
        ::velqa::scheme::autopair_select<name##_gate, T>(n, state, target, controls, control_state, stream, a, b);     \
    }                                                                                                                  \
    VELQA_INSTANTIATE(launch_##name, VELQA_ANGLE_SIGNATURE)                                                            \
    VELQA_INSTANTIATE(launch_##name##_autopair, VELQA_AB_SELECTOR_SIGNATURE)
