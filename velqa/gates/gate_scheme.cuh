// The scheme shared by every single-target gate, written once: the kernel bodies of the kernel
// modes and the launcher decision tree with the AutoPair selection. A gate's unit supplies its pair
// update, its named kernels (each a few lines calling a body here with the update), the table of
// those kernels and its launcher:
//
//   template <class T>
//   __global__ void __launch_bounds__(korvane::kLinearBlockThreads)
//       cu_y_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
//                        std::uint64_t ctrl_value) {
//       scheme::pair_body(n, state, target, ctrl_mask, ctrl_value, YUpdate<T>{});
//   }
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
#include "velqa/gate_traits.hpp"
#include "velqa/gates/control_masks.hpp"
#include "velqa/gates/gate_matrix.hpp"

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

namespace scheme {

using korvane::linear_geometry;
using korvane::gpu::launch;

// The kernels of a single-target gate. AllState and Pair take (n, state, target, ctrl_mask,
// ctrl_value, angles...); the four AutoPair kernels take (count, state, ...) and the PairAuto
// constants (all_state_body ... target0_no_control_body above). A gate struct G names them as
// `template <class T> using kernels = GateKernels<...>`, beside kLaunchFailure (the launch check's
// prefix) and autopair_constants<T>(angles...), the PairAuto constants computed once on the host.
template <auto AllState, auto Pair, auto Compact, auto Target0Compact, auto NoControl, auto Target0NoControl>
struct GateKernels {
    static constexpr auto all_state = AllState;
    static constexpr auto pair = Pair;
    static constexpr auto compact = Compact;
    static constexpr auto target0_compact = Target0Compact;
    static constexpr auto no_control = NoControl;
    static constexpr auto target0_no_control = Target0NoControl;
};

// Launch-time behaviour a gate struct G may adjust.
struct GateDefaults {
    // X: with controls and a target above qubit 0, the compact slot holds a scan of the whole
    // state, launched with (total, state, target_bit, ctrl_mask, ctrl_value).
    static constexpr bool kControlledScan = false;
    // The values a gate's AutoPair kernels take after their indices: none for a fixed-matrix gate.
    template <class T>
    static std::tuple<> autopair_constants() {
        return {};
    }
};

// The AutoPair table: picks the kernel from the control count k and the target position.
template <class G, class T, class... C>
void autopair_dispatch(std::int64_t n, CuComplex<T>* state, std::int32_t target, const ControlMasks& m, std::uint64_t k,
                       cudaStream_t stream, const C&... constants) {
    using K = typename G::template kernels<T>;
    const std::uint64_t target_bit = std::uint64_t(1) << target;
    if (k == 0) {
        const std::uint64_t count = std::uint64_t(1) << (n - 1);
        if (target == 0)
            launch<K::target0_no_control>(linear_geometry(count), stream, count, state, constants...);
        else
            launch<K::no_control>(linear_geometry(count), stream, count, state, target_bit, constants...);
        return;
    }
    const std::uint64_t count = std::uint64_t(1) << (n - static_cast<std::int64_t>(k) - 1);
    if (target == 0) {
        launch<K::target0_compact>(linear_geometry(count), stream, count, state, m.ctrl_mask | 1,
                                   m.ctrl_value & ~std::uint64_t(1), constants...);
    } else if constexpr (G::kControlledScan) {
        const std::uint64_t total = std::uint64_t(1) << n;
        launch<K::compact>(linear_geometry(total), stream, total, state, target_bit, m.ctrl_mask, m.ctrl_value);
    } else {
        launch<K::compact>(linear_geometry(count), stream, count, state, m.ctrl_mask | target_bit,
                           m.ctrl_value & ~target_bit, target_bit, constants...);
    }
}

// The launcher of every single-target gate: AllState, PairAuto, otherwise Pair; then the launch
// check with the gate's prefix. The dispatcher has checked the record; angles are its parameters
// rounded to T.
template <class G, class T, class... A>
void launch_single_target(std::int64_t n, CuComplex<T>* state, const GateRecord& gate, cudaStream_t stream,
                          KernelMode mode, A... angles) {
    using K = typename G::template kernels<T>;
    const auto target = static_cast<std::int32_t>(gate.target[0]);
    const ControlMasks m = build_control_masks(gate.control, gate.control_state);
    if (mode == KernelMode::AllState) {
        launch<K::all_state>(linear_geometry(std::uint64_t(1) << n), stream, n, state, target, m.ctrl_mask,
                             m.ctrl_value, angles...);
    } else if (mode == KernelMode::PairAuto) {
        std::apply(
            [&](const auto&... constants) {
                autopair_dispatch<G, T>(n, state, target, m, gate.control.size(), stream, constants...);
            },
            G::template autopair_constants<T>(angles...));
    } else {
        launch<K::pair>(linear_geometry(std::uint64_t(1) << (n - 1)), stream, n, state, target, m.ctrl_mask,
                        m.ctrl_value, angles...);
    }
    korvane::check_launch(G::kLaunchFailure);
}

}  // namespace scheme
}  // namespace velqa
