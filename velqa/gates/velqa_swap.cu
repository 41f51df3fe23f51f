// SWAP exchanges the values of its two target qubits: for every index with bit t0 set and bit t1
// clear that matches the controls, it exchanges the amplitude with the one of the bits reversed.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
__device__ __forceinline__ void exchange(CuComplex<T>* state, std::uint64_t i, std::uint64_t j) {
    const CuComplex<T> x = state[i];
    state[i] = state[j];
    state[j] = x;
}

// Launch: 256-thread blocks, count = 2^(n-2) threads (2^(n-k-2) for the compact kernel), one per
// exchanged pair, per member.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    swap_target0_no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t other) {
    const std::uint64_t t = scheme::global_thread_index();
    if (t >= count) return;
    const std::uint64_t base = scheme::insert_zero_bits(t, other | 1);
    exchange(scheme::member_data(state, count << 2), base | 1, base | other);
}

template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    swap_no_control(std::uint64_t count, CuComplex<T>* state, std::int32_t lo, std::int32_t hi, std::uint64_t b0,
                    std::uint64_t b1) {
    const std::uint64_t t = scheme::global_thread_index();
    if (t >= count) return;
    const std::uint64_t base =
        scheme::pair_index(scheme::pair_index(t, std::uint64_t(1) << lo), std::uint64_t(1) << hi);
    exchange(scheme::member_data(state, count << 2), base | b0, base | b1);
}

template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    swap_target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
                         std::uint64_t other) {
    const std::uint64_t t = scheme::global_thread_index();
    if (t >= count) return;
    const std::uint64_t base = scheme::insert_zero_bits(t, mask) | value;
    exchange(scheme::member_data(state, count << korvane::gpu::popcount(mask)), base | 1, base | other);
}

// Launch: 512-thread blocks, 2^(n-2) threads, one per base index with both target bits clear.
template <class T>
__global__ void __launch_bounds__(512)
    swap_control_scan(std::int64_t n, CuComplex<T>* state, std::int32_t t0, std::int32_t t1, std::uint64_t ctrl_mask,
                      std::uint64_t ctrl_value) {
    const std::uint64_t t = scheme::global_thread_index();
    if (t >= (std::uint64_t(1) << (n - 2))) return;
    const std::uint64_t b0 = std::uint64_t(1) << t0;
    const std::uint64_t b1 = std::uint64_t(1) << t1;
    const std::uint64_t base = scheme::insert_zero_bits(t, b0 | b1);
    if ((base & ctrl_mask) != ctrl_value) return;
    exchange(scheme::member_data(state, std::uint64_t(1) << n), base | b0, base | b1);
}

}  // namespace

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_swap_kernel_all_state(std::int64_t n, CuComplex<T>* state, std::int32_t t0, std::int32_t t1,
                             std::uint64_t ctrl_mask, std::uint64_t ctrl_value) {
    const std::uint64_t i = scheme::global_thread_index();
    const std::uint64_t b0 = std::uint64_t(1) << t0;
    const std::uint64_t b1 = std::uint64_t(1) << t1;
    if (i >= (std::uint64_t(1) << n) || !(i & b0) || (i & b1) || (i & ctrl_mask) != ctrl_value) return;
    exchange(scheme::member_data(state, std::uint64_t(1) << n), i, i ^ b0 ^ b1);
}

// Launch: 256-thread blocks, 2^(n-1) threads, one per index with bit t1 clear.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_swap_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t t0, std::int32_t t1, std::uint64_t ctrl_mask,
                        std::uint64_t ctrl_value) {
    const std::uint64_t t = scheme::global_thread_index();
    if (t >= (std::uint64_t(1) << (n - 1))) return;
    const std::uint64_t b0 = std::uint64_t(1) << t0;
    const std::uint64_t b1 = std::uint64_t(1) << t1;
    const std::uint64_t i = scheme::pair_index(t, b1);
    if (!(i & b0) || (i & ctrl_mask) != ctrl_value) return;
    exchange(scheme::member_data(state, std::uint64_t(1) << n), i, i ^ b0 ^ b1);
}

namespace {

// The AutoPair choice: no controls (a target on qubit 0 or not), controls with a target on qubit 0,
// otherwise a scan of every base.
template <class T>
void autopair_swap(std::int64_t n, CuComplex<T>* state, std::uint64_t members, std::int32_t t0, std::int32_t t1,
                   const ControlMasks& m, std::int32_t k, cudaStream_t stream) {
    using korvane::linear_geometry;
    using korvane::with_members;
    using korvane::gpu::launch;
    const std::uint64_t b0 = std::uint64_t(1) << t0;
    const std::uint64_t b1 = std::uint64_t(1) << t1;
    const std::uint64_t both = b0 | b1;
    const bool zero_target = t0 == 0 || t1 == 0;
    const std::uint64_t other = t0 == 0 ? b1 : b0;
    const std::uint64_t count = std::uint64_t(1) << (n - 2);
    if (k == 0 && zero_target) {
        launch<&swap_target0_no_control<T>>(with_members(linear_geometry(count), members), stream, count, state, other);
    } else if (k == 0) {
        launch<&swap_no_control<T>>(with_members(linear_geometry(count), members), stream, count, state,
                                    std::min(t0, t1), std::max(t0, t1), b0, b1);
    } else if (zero_target) {
        const std::uint64_t compact = std::uint64_t(1) << (n - k - 2);
        launch<&swap_target0_compact<T>>(with_members(linear_geometry(compact), members), stream, compact, state,
                                         both | m.ctrl_mask, m.ctrl_value & ~both, other);
    } else {
        launch<&swap_control_scan<T>>(with_members(linear_geometry(count, 512), members), stream, n, state, t0, t1,
                                      m.ctrl_mask, m.ctrl_value);
    }
}

}  // namespace

template <class T>
void launch_swap(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    using korvane::linear_geometry;
    using korvane::with_members;
    using korvane::gpu::launch;
    const std::int64_t n = state.n;
    const auto t0 = static_cast<std::int32_t>(gate.target[0]);
    const auto t1 = static_cast<std::int32_t>(gate.target[1]);
    const ControlMasks m = build_control_masks(gate.control, gate.control_state);
    state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
        CuComplex<T>* data = state.member(first);
        if (mode == KernelMode::AllState)
            launch<&cu_swap_kernel_all_state<T>>(with_members(linear_geometry(std::uint64_t(1) << n), count), stream, n,
                                                 data, t0, t1, m.ctrl_mask, m.ctrl_value);
        else if (mode == KernelMode::PairAuto)
            autopair_swap<T>(n, data, count, t0, t1, m, static_cast<std::int32_t>(gate.control.size()), stream);
        else
            launch<&cu_swap_kernel_pair<T>>(with_members(linear_geometry(std::uint64_t(1) << (n - 1)), count), stream,
                                            n, data, t0, t1, m.ctrl_mask, m.ctrl_value);
        korvane::check_launch("cu_swap kernel launch failed: ");
    });
}

template void launch_swap<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_swap<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
