// RZ(theta) (common/gate_matrices.hpp), applied as diag(a, b).
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
__host__ __device__ __forceinline__ DiagonalUpdate<T> rz_update(T theta) {
    return DiagonalUpdate<T>::of(korvane::gates::rz(theta));
}

}  // namespace

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_rz_kernel_all_state(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                           std::uint64_t ctrl_value, T theta, const DiagonalUpdate<T>* members) {
    scheme::all_state_body(n, state, target, ctrl_mask, ctrl_value,
                           scheme::member_update(members, [&] { return rz_update(theta); }));
}

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_rz_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                      std::uint64_t ctrl_value, T theta, const DiagonalUpdate<T>* members) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value,
                      scheme::member_update(members, [&] { return rz_update(theta); }));
}

namespace rz_autopair {

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value, std::uint64_t target_bit,
            CuComplex<T> a, CuComplex<T> b, const DiagonalUpdate<T>* members) {
    scheme::compact_body(count, state, mask, value, target_bit, scheme::member_update(members, [&] {
                             return DiagonalUpdate<T>{a, b};
                         }));
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls; target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value, CuComplex<T> a,
                    CuComplex<T> b, const DiagonalUpdate<T>* members) {
    scheme::compact_body(count, state, mask, value, std::uint64_t(1), scheme::member_update(members, [&] {
                             return DiagonalUpdate<T>{a, b};
                         }));
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair; no controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit, CuComplex<T> a, CuComplex<T> b,
               const DiagonalUpdate<T>* members) {
    scheme::no_control_body(count, state, target_bit, scheme::member_update(members, [&] {
                                return DiagonalUpdate<T>{a, b};
                            }));
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair (2t, 2t + 1); no controls, target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    target0_no_control(std::uint64_t count, CuComplex<T>* state, CuComplex<T> a, CuComplex<T> b,
                       const DiagonalUpdate<T>* members) {
    scheme::target0_no_control_body(count, state, scheme::member_update(members, [&] {
                                        return DiagonalUpdate<T>{a, b};
                                    }));
}

}  // namespace rz_autopair

namespace {
struct rz_gate : scheme::GateDefaults {
    static constexpr const char* kLaunchFailure = "cu_rz kernel launch failed: ";
    template <class T>
    using kernels = scheme::GateKernels<&cu_rz_kernel_all_state<T>, &cu_rz_kernel_pair<T>, &rz_autopair::compact<T>,
                                        &rz_autopair::target0_compact<T>, &rz_autopair::no_control<T>,
                                        &rz_autopair::target0_no_control<T>>;
    template <class T>
    using update = DiagonalUpdate<T>;
    template <class T>
    static update<T> update_of(T theta) {
        return rz_update(theta);
    }
    template <class T>
    static auto autopair_constants(T theta) {
        const DiagonalUpdate<T> u = rz_update(theta);
        return std::make_tuple(u.a, u.b);
    }
};
}  // namespace

template <class T>
void launch_rz(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    scheme::launch_single_target<rz_gate, T>(state, gate, stream, mode, static_cast<T>(gate.parameter[0]));
}

template void launch_rz<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_rz<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
