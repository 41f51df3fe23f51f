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
// A pair update (pair_updates.cuh) is a functor u(a0, a1) replacing the amplitudes of one pair
// (target bit 0 and 1) by the gate's 2x2 matrix applied to them.
//
// Batches: every kernel runs on the members of a batch of states as well, one member per grid row
// (blockIdx.y; a single state's launches have grid.y = 1). Each body finds its member's amplitudes
// from the member size, 2^n, which it derives from its own arguments, so a kernel's arguments and a
// single state's launch stay as they were. A gate with values takes, after its by-value values, an
// array of per-member updates: null for a single state and for values every member shares, else
// member b applies entry b (member_update below).
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
#include "velqa/gates/pair_updates.cuh"
#include "velqa/state_view.hpp"

namespace velqa {

using korvane::CuComplex;

namespace scheme {

using korvane::gpu::global_thread_index;
using korvane::gpu::insert_zero_bits;
using korvane::gpu::member_data;

// Index of the pair's first amplitude: t with a 0 bit inserted at the target position.
__device__ __forceinline__ std::uint64_t pair_index(std::uint64_t t, std::uint64_t target_bit) {
    return ((t & ~(target_bit - 1)) << 1) | (t & (target_bit - 1));
}

// The update of the block's member: its entry of members when the members' values differ, else
// the one shared() makes (from the by-value arguments, which then hold every member's values).
template <class U, class Make>
__device__ __forceinline__ U member_update(const U* members, const Make& shared) {
    return members ? members[korvane::gpu::launch_member()] : shared();
}

// f(the block's member's entry of members) when the members' values differ, else f(shared): a large
// by-value argument (a 4x4 matrix) is read in place rather than copied per thread.
template <class V, class F>
__device__ __forceinline__ void with_member_value(const V* members, const V& shared, const F& f) {
    if (members)
        f(members[korvane::gpu::launch_member()]);
    else
        f(shared);
}

// Kernel bodies. Launch: grid of 256-thread blocks with the thread count noted, per member.

// 2^n threads, one per amplitude; the thread of a matching pair's first amplitude updates it.
template <class T, class Update>
__device__ __forceinline__ void all_state_body(std::int64_t n, CuComplex<T>* state, std::int32_t target,
                                               std::uint64_t ctrl_mask, std::uint64_t ctrl_value, const Update& u) {
    const std::uint64_t i = global_thread_index();
    const std::uint64_t target_bit = std::uint64_t(1) << target;
    if (i >= (std::uint64_t(1) << n) || (i & target_bit) || (i & ctrl_mask) != ctrl_value) return;
    state = member_data(state, std::uint64_t(1) << n);
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
    state = member_data(state, std::uint64_t(1) << n);
    u(state[i0], state[i0 | target_bit]);
}

// count = 2^(n-k-1) threads, one per matching pair: mask holds the controls and the target (so a
// member holds count << popcount(mask) amplitudes).
template <class T, class Update>
__device__ __forceinline__ void compact_body(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask,
                                             std::uint64_t value, std::uint64_t target_bit, const Update& u) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    const std::uint64_t i0 = insert_zero_bits(t, mask) | value;
    state = member_data(state, count << korvane::gpu::popcount(mask));
    u(state[i0], state[i0 | target_bit]);
}

// count = 2^(n-1) threads, one per pair, no controls.
template <class T, class Update>
__device__ __forceinline__ void no_control_body(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit,
                                                const Update& u) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    const std::uint64_t i0 = pair_index(t, target_bit);
    state = member_data(state, count << 1);
    u(state[i0], state[i0 | target_bit]);
}

// count = 2^(n-1) threads, one per pair (2t, 2t + 1).
template <class T, class Update>
__device__ __forceinline__ void target0_no_control_body(std::uint64_t count, CuComplex<T>* state, const Update& u) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    state = member_data(state, count << 1);
    u(state[2 * t], state[2 * t + 1]);
}

}  // namespace scheme

namespace scheme {

using korvane::linear_geometry;
using korvane::with_members;
using korvane::gpu::launch;

// The kernels of a single-target gate. AllState and Pair take (n, state, target, ctrl_mask,
// ctrl_value, angles..., [members]); the four AutoPair kernels take (count, state, ...) and the
// PairAuto constants (all_state_body ... target0_no_control_body above), then [members]. A gate
// struct G names them as `template <class T> using kernels = GateKernels<...>`, beside
// kLaunchFailure (the launch check's prefix) and autopair_constants<T>(angles...), the PairAuto
// constants computed once on the host. A gate with angles also names its update type and how it is
// made from the angles (update<T>, update_of), which gives the per-member array its kernels take.
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

// The AutoPair table: picks the kernel from the control count k and the target position; the
// launch covers `members` members from state on.
template <class G, class T, class... C>
void autopair_dispatch(std::int64_t n, CuComplex<T>* state, std::uint64_t members, std::int32_t target,
                       const ControlMasks& m, std::uint64_t k, cudaStream_t stream, const C&... constants) {
    using K = typename G::template kernels<T>;
    const std::uint64_t target_bit = std::uint64_t(1) << target;
    const auto geometry = [members](std::uint64_t threads) { return with_members(linear_geometry(threads), members); };
    if (k == 0) {
        const std::uint64_t count = std::uint64_t(1) << (n - 1);
        if (target == 0)
            launch<K::target0_no_control>(geometry(count), stream, count, state, constants...);
        else
            launch<K::no_control>(geometry(count), stream, count, state, target_bit, constants...);
        return;
    }
    const std::uint64_t count = std::uint64_t(1) << (n - static_cast<std::int64_t>(k) - 1);
    if (target == 0) {
        launch<K::target0_compact>(geometry(count), stream, count, state, m.ctrl_mask | 1,
                                   m.ctrl_value & ~std::uint64_t(1), constants...);
    } else if constexpr (G::kControlledScan) {
        const std::uint64_t total = std::uint64_t(1) << n;
        launch<K::compact>(geometry(total), stream, total, state, target_bit, m.ctrl_mask, m.ctrl_value);
    } else {
        launch<K::compact>(geometry(count), stream, count, state, m.ctrl_mask | target_bit, m.ctrl_value & ~target_bit,
                           target_bit, constants...);
    }
}

// The values a kernel takes per member, on the device: values(b) for every member b of the state,
// uploaded to its slot; null when the record's values are every member's.
template <class V, class T, class Values>
const V* upload_member_values(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream,
                              const Values& values) {
    if (!gate.varies_by_member()) return nullptr;
    if (!state.uploads) throw std::invalid_argument("per-member gate values need a batch's upload slot");
    std::vector<V> host(state.members);
    for (std::uint64_t b = 0; b < state.members; ++b) host[b] = values(b);
    return state.uploads->upload(host, stream, "cudaMemcpy per-member gate values");
}

// The per-member argument of a gate G's kernels, for the members from first on: none for a gate
// without values, else the array of G::update<T> of each member's parameters (its first
// sizeof...(A) rounded to T), the update the by-value path applies to the same values.
template <class G, class T, class... A>
auto member_update_argument(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream) {
    if constexpr (sizeof...(A) == 0) {
        return [](std::uint64_t) { return std::tuple<>(); };
    } else {
        using U = typename G::template update<T>;
        const U* updates = upload_member_values<U>(state, gate, stream, [&](std::uint64_t b) {
            const std::span<const double> p = gate.parameters_of(b);
            return [&]<std::size_t... I>(std::index_sequence<I...>) {
                return G::template update_of<T>(static_cast<T>(p[I])...);
            }
            (std::index_sequence_for<A...>{});
        });
        return [updates](std::uint64_t first) { return std::make_tuple(updates ? updates + first : nullptr); };
    }
}

// The launcher of every single-target gate: AllState, PairAuto, otherwise Pair, once per chunk of
// members, each launch checked with the gate's prefix before the next. The dispatcher has checked
// the record; angles are its parameters (member 0's) rounded to T.
template <class G, class T, class... A>
void launch_single_target(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode,
                          A... angles) {
    using K = typename G::template kernels<T>;
    const std::int64_t n = state.n;
    const auto target = static_cast<std::int32_t>(gate.target[0]);
    const ControlMasks m = build_control_masks(gate.control, gate.control_state);
    const auto members_from = member_update_argument<G, T, A...>(state, gate, stream);
    state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
        CuComplex<T>* data = state.member(first);
        const auto per_member = members_from(first);
        if (mode == KernelMode::AllState) {
            std::apply(
                [&](const auto&... extra) {
                    launch<K::all_state>(with_members(linear_geometry(std::uint64_t(1) << n), count), stream, n, data,
                                         target, m.ctrl_mask, m.ctrl_value, angles..., extra...);
                },
                per_member);
        } else if (mode == KernelMode::PairAuto) {
            std::apply(
                [&](const auto&... constants) {
                    autopair_dispatch<G, T>(n, data, count, target, m, gate.control.size(), stream, constants...);
                },
                std::tuple_cat(G::template autopair_constants<T>(angles...), per_member));
        } else {
            std::apply(
                [&](const auto&... extra) {
                    launch<K::pair>(with_members(linear_geometry(std::uint64_t(1) << (n - 1)), count), stream, n, data,
                                    target, m.ctrl_mask, m.ctrl_value, angles..., extra...);
                },
                per_member);
        }
        korvane::check_launch(G::kLaunchFailure);
    });
}

}  // namespace scheme
}  // namespace velqa
