// GLOBAL_PHASE(phi): every amplitude matching the controls (all of them without controls) is
// multiplied by e^(i phi). It has no target and one kernel, whatever the mode.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_global_phase_kernel(std::int64_t n, CuComplex<T>* state, std::uint64_t ctrl_mask, std::uint64_t ctrl_value,
                           T phi) {
    const std::uint64_t i = scheme::global_thread_index();
    if (i >= (std::uint64_t(1) << n) || (i & ctrl_mask) != ctrl_value) return;
    state[i] = korvane::unit_phase(phi) * state[i];
}

template <class T>
void launch_global_phase(VELQA_GLOBAL_PHASE_SIGNATURE(T)) {
    const ControlMasks m = build_control_masks(controls, control_state);
    korvane::gpu::launch<&cu_global_phase_kernel<T>>(korvane::linear_geometry(std::uint64_t(1) << n), stream, n, state,
                                                     m.ctrl_mask, m.ctrl_value, phi);
    korvane::check_launch("cu_global_phase kernel launch failed: ");
}

VELQA_INSTANTIATE(launch_global_phase, VELQA_GLOBAL_PHASE_SIGNATURE)

}  // namespace velqa
