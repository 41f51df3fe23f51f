#include "velqa/gate_dispatch.hpp"

#include <stdexcept>
#include <vector>

#include "common/cuda_check.hpp"
#include "velqa/gate_traits.hpp"
#include "velqa/gates/control_masks.hpp"

namespace velqa {
namespace {

void require(bool ok, const char* message) {
    if (!ok) throw std::invalid_argument(message);
}

// The system's own qubit checks for a named gate, after the control checks the launcher would make
// first, so that their messages keep precedence. The first `targets` entries are the gate's targets.
void check_named_gate(std::int64_t n, const GateRecord& r, std::size_t targets) {
    build_control_masks(r.control, r.control_state);
    std::vector<std::int64_t> used(targets, -1);  // a missing target reads as -1
    for (std::size_t j = 0; j < targets && j < r.target.size(); ++j) used[j] = r.target[j];
    check_gate_qubits(static_cast<std::uint64_t>(n), used, r.control);
}

const GateTraits& checked_row(std::int64_t n, const GateRecord& r) {
    const GateTraits* gate = find_gate_traits(r.id);
    if (!gate) throw std::invalid_argument("Unsupported gate id");
    const auto parameters = static_cast<std::size_t>(gate->parameters);
    const auto targets = static_cast<std::size_t>(gate->targets);
    if (gate->counted == Counted::Parameters) require(r.parameter.size() == parameters, gate->count_message);
    if (gate->counted == Counted::Targets) require(r.target.size() == targets, gate->count_message);
    if (gate->own_checks)
        gate->own_checks(n, r);
    else
        check_named_gate(n, r, targets);
    return *gate;
}

}  // namespace

template <class T>
void check_gate(std::int64_t n, const GateRecord& r, std::size_t index) {
    check_gate_values<T>(r, index);
    (void)checked_row(n, r);
}

template <class T>
void apply_gate(const StateSpan<T>& state, const GateRecord& r, std::size_t index, cudaStream_t stream,
                KernelMode mode) {
    check_gate_values<T>(r, index);
    const GateLauncher<T> launch = launcher_of<T>(checked_row(state.n, r));
    launch(state, r, stream, mode);
    korvane::check_last_error();
}

template void check_gate<float>(std::int64_t, const GateRecord&, std::size_t);
template void check_gate<double>(std::int64_t, const GateRecord&, std::size_t);
template void apply_gate<float>(const StateSpan<float>&, const GateRecord&, std::size_t, cudaStream_t, KernelMode);
template void apply_gate<double>(const StateSpan<double>&, const GateRecord&, std::size_t, cudaStream_t, KernelMode);

}  // namespace velqa
