// GLOBAL_PHASE(phi) (common/gate_matrices.hpp): every amplitude matching the controls (all of them
// without controls) is multiplied by its phase. It has no target and one kernel, whatever the mode.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {

// Launch: 256-thread blocks, 2^n threads, one per amplitude (per member).
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_global_phase_kernel(std::int64_t n, CuComplex<T>* state, std::uint64_t ctrl_mask, std::uint64_t ctrl_value,
                           T phi, const CuComplex<T>* members) {
    const std::uint64_t i = scheme::global_thread_index();
    if (i >= (std::uint64_t(1) << n) || (i & ctrl_mask) != ctrl_value) return;
    state = scheme::member_data(state, std::uint64_t(1) << n);
    state[i] = scheme::member_update(members, [&] { return korvane::gates::global_phase(phi).m00; }) * state[i];
}

// The mode is unused: the launcher signature is every gate's. Per member the kernel takes the phase
// factor the by-value path computes from phi.
template <class T>
void launch_global_phase(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode /*mode*/) {
    const ControlMasks m = build_control_masks(gate.control, gate.control_state);
    const CuComplex<T>* factors = scheme::upload_member_values<CuComplex<T>>(state, gate, stream, [&](std::uint64_t b) {
        return korvane::gates::global_phase(static_cast<T>(gate.parameters_of(b)[0])).m00;
    });
    state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
        korvane::gpu::launch<&cu_global_phase_kernel<T>>(
            korvane::with_members(korvane::linear_geometry(std::uint64_t(1) << state.n), count), stream, state.n,
            state.member(first), m.ctrl_mask, m.ctrl_value, static_cast<T>(gate.parameter[0]),
            factors ? factors + first : nullptr);
        korvane::check_launch("cu_global_phase kernel launch failed: ");
    });
}

template void launch_global_phase<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_global_phase<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
