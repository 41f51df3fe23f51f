// PHASE(phi) = [[1, 0], [0, e]] with e = e^(i phi): only the amplitude with the target bit set changes.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct PhaseUpdate {
    CuComplex<T> e;
    __host__ __device__ __forceinline__ static PhaseUpdate from_angle(T phi) {
        return PhaseUpdate{korvane::unit_phase(phi)};
    }
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        (void)a0;
        a1 = e * a1;
    }
};

}  // namespace

VELQA_PAIR_KERNELS(phase, PhaseUpdate<T>::from_angle(phi), T phi)

namespace phase_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, PhaseUpdate<T>{e}, CuComplex<T> e)
}  // namespace phase_autopair

namespace {
struct phase_gate : scheme::GateDefaults {
    static constexpr const char* kLaunchFailure = "cu_phase kernel launch failed: ";
    VELQA_KERNEL_TABLE(phase, phase_autopair::compact, phase_autopair::target0_compact, phase_autopair::no_control,
                       phase_autopair::target0_no_control)
    template <class T>
    static auto autopair_constants(T phi) {
        return std::make_tuple(PhaseUpdate<T>::from_angle(phi).e);
    }
};
}  // namespace

template <class T>
void launch_phase(VELQA_ANGLE_SIGNATURE(T)) {
    scheme::launch_single_target<phase_gate, T>(n, state, target, controls, control_state, stream, mode, theta);
}

template <class T>
void launch_phase_autopair(VELQA_E_SELECTOR_SIGNATURE(T)) {
    scheme::autopair_select<phase_gate, T>(n, state, target, controls, control_state, stream, e);
}

VELQA_INSTANTIATE(launch_phase, VELQA_ANGLE_SIGNATURE)
VELQA_INSTANTIATE(launch_phase_autopair, VELQA_E_SELECTOR_SIGNATURE)

}  // namespace velqa
