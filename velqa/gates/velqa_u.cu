// U(theta, phi, lambda) (common/gate_matrices.hpp), applied as the general product. In PairAuto the
// matrix is built once on the host and passed to the AutoPair kernels.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
__host__ __device__ __forceinline__ GateMatrix2x2<T> u_matrix(T theta, T phi, T lambda) {
    return GateMatrix2x2<T>{korvane::gates::u(theta, phi, lambda)};
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    u_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
              std::uint64_t target_bit, GateMatrix2x2<T> M, const MatrixUpdate<T>* members) {
    scheme::compact_body(count, state, mask, value, target_bit,
                         scheme::member_update(members, [&] { return MatrixUpdate<T>{M}; }));
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls; target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    u_target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
                      GateMatrix2x2<T> M, const MatrixUpdate<T>* members) {
    scheme::compact_body(count, state, mask, value, std::uint64_t(1),
                         scheme::member_update(members, [&] { return MatrixUpdate<T>{M}; }));
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair; no controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    u_no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit, GateMatrix2x2<T> M,
                 const MatrixUpdate<T>* members) {
    scheme::no_control_body(count, state, target_bit,
                            scheme::member_update(members, [&] { return MatrixUpdate<T>{M}; }));
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair (2t, 2t + 1); no controls, target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    u_target0_no_control(std::uint64_t count, CuComplex<T>* state, GateMatrix2x2<T> M, const MatrixUpdate<T>* members) {
    scheme::target0_no_control_body(count, state, scheme::member_update(members, [&] { return MatrixUpdate<T>{M}; }));
}

}  // namespace

// Launch: 256-thread blocks, 2^n threads, one per amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_u_kernel_all_state(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                          std::uint64_t ctrl_value, T theta, T phi, T lambda, const MatrixUpdate<T>* members) {
    scheme::all_state_body(n, state, target, ctrl_mask, ctrl_value, scheme::member_update(members, [&] {
                               return MatrixUpdate<T>{u_matrix(theta, phi, lambda)};
                           }));
}

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_u_kernel_pair(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                     std::uint64_t ctrl_value, T theta, T phi, T lambda, const MatrixUpdate<T>* members) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value,
                      scheme::member_update(members, [&] { return MatrixUpdate<T>{u_matrix(theta, phi, lambda)}; }));
}

namespace {
struct u_gate : scheme::GateDefaults {
    static constexpr const char* kLaunchFailure = "cu_u kernel launch failed: ";
    template <class T>
    using kernels = scheme::GateKernels<&cu_u_kernel_all_state<T>, &cu_u_kernel_pair<T>, &u_compact<T>,
                                        &u_target0_compact<T>, &u_no_control<T>, &u_target0_no_control<T>>;
    template <class T>
    using update = MatrixUpdate<T>;
    template <class T>
    static update<T> update_of(T theta, T phi, T lambda) {
        return MatrixUpdate<T>{u_matrix(theta, phi, lambda)};
    }
    template <class T>
    static auto autopair_constants(T theta, T phi, T lambda) {
        return std::make_tuple(u_matrix(theta, phi, lambda));
    }
};
}  // namespace

template <class T>
void launch_u(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    scheme::launch_single_target<u_gate, T>(state, gate, stream, mode, static_cast<T>(gate.parameter[0]),
                                            static_cast<T>(gate.parameter[1]), static_cast<T>(gate.parameter[2]));
}

template void launch_u<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_u<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
