// GLOBAL_PHASE(phi) (common/gate_matrices.hpp): every amplitude matching the controls (all of them
// without controls) is multiplied by its phase. It has no target and one kernel, whatever the mode.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_global_phase_kernel(std::int64_t n, CuComplex<T>* state, std::uint64_t ctrl_mask, std::uint64_t ctrl_value,
                           T phi) {
    const std::uint64_t i = scheme::global_thread_index();
    if (i >= (std::uint64_t(1) << n) || (i & ctrl_mask) != ctrl_value) return;
    state[i] = korvane::gates::global_phase(phi).m00 * state[i];
}

// The mode is unused: the launcher signature is every gate's.
template <class T>
void launch_global_phase(std::int64_t n, CuComplex<T>* state, const GateRecord& gate, cudaStream_t stream,
                         KernelMode /*mode*/) {
    const ControlMasks m = build_control_masks(gate.control, gate.control_state);
    korvane::gpu::launch<&cu_global_phase_kernel<T>>(korvane::linear_geometry(std::uint64_t(1) << n), stream, n, state,
                                                     m.ctrl_mask, m.ctrl_value, static_cast<T>(gate.parameter[0]));
    korvane::check_launch("cu_global_phase kernel launch failed: ");
}

template void launch_global_phase<float>(std::int64_t, CuComplex<float>*, const GateRecord&, cudaStream_t, KernelMode);
template void launch_global_phase<double>(std::int64_t, CuComplex<double>*, const GateRecord&, cudaStream_t,
                                          KernelMode);

}  // namespace velqa
