// U(theta, phi, lambda) = [[c, -e^(i lambda) s], [e^(i phi) s, e^(i(phi + lambda)) c]].
// In PairAuto the matrix is built once on the host and the selector takes the finished masks.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
__host__ __device__ __forceinline__ GateMatrix2x2<T> u_matrix(T theta, T phi, T lambda) {
    T s, c, sin_phi, cos_phi, sin_lambda, cos_lambda;
    korvane::sin_cos(theta * T(0.5), &s, &c);
    korvane::sin_cos(phi, &sin_phi, &cos_phi);
    korvane::sin_cos(lambda, &sin_lambda, &cos_lambda);
    return GateMatrix2x2<T>{
        {c, T(0)},
        {-s * cos_lambda, -s * sin_lambda},
        {s * cos_phi, s * sin_phi},
        {(cos_lambda * cos_phi - sin_lambda * sin_phi) * c, (cos_lambda * sin_phi + sin_lambda * cos_phi) * c}};
}

VELQA_AUTOPAIR_KERNELS(u_compact, u_target0_compact, u_no_control, u_target0_no_control, MatrixUpdate<T>{M},
                       GateMatrix2x2<T> M)

}  // namespace

VELQA_PAIR_KERNELS(u, (MatrixUpdate<T>{u_matrix(theta, phi, lambda)}), T theta, T phi, T lambda)

namespace {
struct u_gate : scheme::GateDefaults {
    static constexpr bool kSelectorTakesMasks = true;
    static constexpr const char* kLaunchFailure = "cu_u kernel launch failed: ";
    VELQA_KERNEL_TABLE(u, u_compact, u_target0_compact, u_no_control, u_target0_no_control)
    template <class T>
    static auto autopair_constants(T theta, T phi, T lambda) {
        return std::make_tuple(u_matrix(theta, phi, lambda));
    }
};
}  // namespace

template <class T>
void launch_u(VELQA_U_SIGNATURE(T)) {
    scheme::launch_single_target<u_gate, T>(n, state, target, controls, control_state, stream, mode, theta, phi,
                                            lambda);
}

template <class T>
void launch_u_autopair(VELQA_U_SELECTOR_SIGNATURE(T)) {
    scheme::autopair_dispatch<u_gate, T>(n, state, target, ControlMasks{ctrl_mask, ctrl_value},
                                         static_cast<std::uint64_t>(k), stream, M);
}

VELQA_INSTANTIATE(launch_u, VELQA_U_SIGNATURE)
VELQA_INSTANTIATE(launch_u_autopair, VELQA_U_SELECTOR_SIGNATURE)

}  // namespace velqa
