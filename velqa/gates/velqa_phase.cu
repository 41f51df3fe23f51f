// PHASE(phi) (common/gate_matrices.hpp), applied as diag(1, e): only the amplitude with the target bit
// set changes.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
__host__ __device__ __forceinline__ PhaseUpdate<T> phase_update(T phi) {
    return PhaseUpdate<T>::of(korvane::gates::phase(phi));
}

}  // namespace

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_phase_kernel_all_state(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                              std::uint64_t ctrl_value, T phi, const PhaseUpdate<T>* members) {
    scheme::all_state_body(n, state, target, ctrl_mask, ctrl_value,
                           scheme::member_update(members, [&] { return phase_update(phi); }));
}

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_phase_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                         std::uint64_t ctrl_value, T phi, const PhaseUpdate<T>* members) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value,
                      scheme::member_update(members, [&] { return phase_update(phi); }));
}

namespace phase_autopair {

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value, std::uint64_t target_bit,
            CuComplex<T> e, const PhaseUpdate<T>* members) {
    scheme::compact_body(count, state, mask, value, target_bit,
                         scheme::member_update(members, [&] { return PhaseUpdate<T>{e}; }));
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls; target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value, CuComplex<T> e,
                    const PhaseUpdate<T>* members) {
    scheme::compact_body(count, state, mask, value, std::uint64_t(1),
                         scheme::member_update(members, [&] { return PhaseUpdate<T>{e}; }));
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair; no controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit, CuComplex<T> e,
               const PhaseUpdate<T>* members) {
    scheme::no_control_body(count, state, target_bit,
                            scheme::member_update(members, [&] { return PhaseUpdate<T>{e}; }));
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair (2t, 2t + 1); no controls, target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_no_control(std::uint64_t count, CuComplex<T>* state, CuComplex<T> e, const PhaseUpdate<T>* members) {
    scheme::target0_no_control_body(count, state, scheme::member_update(members, [&] { return PhaseUpdate<T>{e}; }));
}

}  // namespace phase_autopair

namespace {
struct phase_gate : scheme::GateDefaults {
    static constexpr const char* kLaunchFailure = "cu_phase kernel launch failed: ";
    template <class T>
    using kernels = scheme::GateKernels<&cu_phase_kernel_all_state<T>, &cu_phase_kernel_pair<T>,
                                        &phase_autopair::compact<T>, &phase_autopair::target0_compact<T>,
                                        &phase_autopair::no_control<T>, &phase_autopair::target0_no_control<T>>;
    template <class T>
    using update = PhaseUpdate<T>;
    template <class T>
    static update<T> update_of(T phi) {
        return phase_update(phi);
    }
    template <class T>
    static auto autopair_constants(T phi) {
        return std::make_tuple(phase_update(phi).e);
    }
};
}  // namespace

template <class T>
void launch_phase(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    scheme::launch_single_target<phase_gate, T>(state, gate, stream, mode, static_cast<T>(gate.parameter[0]));
}

template void launch_phase<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_phase<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
