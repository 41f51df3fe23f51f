#include "velqa/run_circuit.hpp"

#include <iterator>
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "velqa/fusion/fusion.hpp"
#include "velqa/gates/control_masks.hpp"
#include "velqa/gates/launchers.hpp"

namespace velqa {
namespace {

void require(bool ok, const char* message) {
    if (!ok) throw std::invalid_argument(message);
}

// The system's own qubit checks for a named gate, after the control checks the launcher would make
// first, so that their messages keep precedence. The first `targets` entries are the gate's targets.
void check_named_gate(std::uint64_t n, const GateRecord& r, std::size_t targets) {
    build_control_masks(r.control, r.control_state);
    std::vector<std::int64_t> used(targets, -1);  // a missing target reads as -1
    for (std::size_t j = 0; j < targets && j < r.target.size(); ++j) used[j] = r.target[j];
    check_gate_qubits(n, used, r.control);
}

}  // namespace

template <class T>
void apply_gate(std::uint64_t n, CuComplex<T>* data, const GateRecord& r, cudaStream_t stream, KernelMode mode) {
    const auto nn = static_cast<std::int64_t>(n);
    // Only read after check_named_gate has confirmed it lies in [0, n).
    const auto target = static_cast<std::int32_t>(r.target.empty() ? -1 : r.target[0]);
    const auto& controls = r.control;
    const auto& states = r.control_state;
    const auto angle = [&r](std::size_t i) { return static_cast<T>(r.parameter[i]); };
    const auto one_parameter = [&](const char* message) {
        require(r.parameter.size() == 1, message);
        check_named_gate(n, r, 1);
    };

    // The parameterless single-target gates, ids 0 (X) to 9 (SqrtYdg), share one launcher signature.
    using FixedLauncher = void (*)(VELQA_FIXED_SIGNATURE(T));
    static constexpr FixedLauncher kFixed[] = {
        &launch_x<T>,    &launch_y<T>,     &launch_z<T>,        &launch_h<T>,     &launch_s<T>,
        &launch_sdag<T>, &launch_sqrtx<T>, &launch_sqrtxdag<T>, &launch_sqrty<T>, &launch_sqrtydag<T>};
    static_assert(std::size(kFixed) == kGateSqrtYdg + 1);

    switch (r.id) {
        case kGateX:
        case kGateY:
        case kGateZ:
        case kGateH:
        case kGateS:
        case kGateSdg:
        case kGateSqrtX:
        case kGateSqrtXdg:
        case kGateSqrtY:
        case kGateSqrtYdg:
            check_named_gate(n, r, 1);
            kFixed[r.id](nn, data, target, controls, states, stream, mode);
            break;
        case kGateSwap:
            require(r.target.size() == 2, "SWAP gate requires exactly two parameters.");
            check_named_gate(n, r, 2);
            launch_swap<T>(nn, data, static_cast<std::int32_t>(r.target[0]), static_cast<std::int32_t>(r.target[1]),
                           controls, states, stream, mode);
            break;
        case kGateRX:
            one_parameter("RX gate requires exactly one parameter.");
            launch_rx<T>(nn, data, target, controls, states, angle(0), stream, mode);
            break;
        case kGateRY:
            one_parameter("RY gate requires exactly one parameter.");
            launch_ry<T>(nn, data, target, controls, states, angle(0), stream, mode);
            break;
        case kGateRZ:
            one_parameter("RZ gate requires exactly one parameter.");
            launch_rz<T>(nn, data, target, controls, states, angle(0), stream, mode);
            break;
        case kGatePhase:
            one_parameter("PHASE gate requires exactly one parameter.");
            launch_phase<T>(nn, data, target, controls, states, angle(0), stream, mode);
            break;
        case kGateGlobalPhase:
            require(r.parameter.size() == 1, "GLOBAL_PHASE gate requires exactly one parameter.");
            check_named_gate(n, r, 0);
            launch_global_phase<T>(nn, data, controls, states, angle(0), stream);
            break;
        case kGateU:
            require(r.parameter.size() == 3, "U gate requires exactly three parameters.");
            check_named_gate(n, r, 1);
            launch_u<T>(nn, data, target, controls, states, angle(0), angle(1), angle(2), stream, mode);
            break;
        case kGateUnitary:
            launch_unitary<T>(nn, data, r.target, controls, states, r.matrix, r.matrix_dim, stream, mode);
            break;
        default: throw std::invalid_argument("Unsupported gate id");
    }
    korvane::check_last_error();
}

template <class T>
void run_gates(std::uint64_t n, CuComplex<T>* data, std::uint64_t num_state, const std::vector<GateRecord>& records,
               const std::string& endian, std::int32_t device_id, KernelMode mode) {
    (void)endian;  // gates act on the same amplitudes for either bit order
    if (n < 1 || n > 62 || num_state != (std::uint64_t(1) << n))
        throw std::invalid_argument("state size does not match 2**n");
    korvane::cuda_check(cudaSetDevice(device_id));
    if (mode == KernelMode::PairAutoFusion) {
        fusion::run_fused<T>(n, data, records, 0);
        return;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        check_gate_values<T>(records[i], i);
        apply_gate<T>(n, data, records[i], 0, mode);
    }
}

void run_gates(const DeviceState& state, const std::vector<GateRecord>& records, const std::string& endian,
               KernelMode mode) {
    dispatch_precision(state.dtype(), [&]<class T>() {
        run_gates<T>(state.n(), state.data_as<T>(), state.num_state(), records, endian, state.device_id(), mode);
    });
}

template void apply_gate<float>(std::uint64_t, CuComplex<float>*, const GateRecord&, cudaStream_t, KernelMode);
template void apply_gate<double>(std::uint64_t, CuComplex<double>*, const GateRecord&, cudaStream_t, KernelMode);
template void run_gates<float>(std::uint64_t, CuComplex<float>*, std::uint64_t, const std::vector<GateRecord>&,
                               const std::string&, std::int32_t, KernelMode);
template void run_gates<double>(std::uint64_t, CuComplex<double>*, std::uint64_t, const std::vector<GateRecord>&,
                                const std::string&, std::int32_t, KernelMode);

}  // namespace velqa
