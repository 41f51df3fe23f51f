#include "dormeth/fusion/density_planner.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>
#include <variant>

#include "common/group_selection.hpp"
#include "dormeth/prepared_operation.hpp"

namespace korvane::dormeth {

using density::DensityOperation;
using density::OperationKind;

namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// What the selection asks of a record, computed once per plan.
OperationFacts operation_facts(std::int64_t n, const DensityOperation& r) {
    OperationFacts f;
    add_qubits(f.qubits, n, r.targets);
    add_qubits(f.qubits, n, r.controls);
    f.fusable = is_density_fusable(r);
    return f;
}

CuComplex<double> device_complex(std::complex<double> z) { return CuComplex<double>{z.real(), z.imag()}; }

// The fused record's kind and values for each form the runner recognises.
struct FusedForm {
    DeviceDensityGate<double>& g;

    void set_kind(DensityFusedGateKind kind) const { g.kind = static_cast<std::int32_t>(kind); }
    // The runner drops it; in the tile it is the identity.
    void operator()(const density::DroppedGate&) const { set_kind(DensityFusedGateKind::Diagonal); }
    void operator()(const density::DiagonalGate<double>& d) const {
        set_kind(DensityFusedGateKind::Diagonal);
        g.diag[0] = device_complex(d.d0);
        g.diag[1] = device_complex(d.d1);
    }
    void operator()(const density::PermutationGate& p) const {
        if (p.is_swap) fail("fused unitary must be 2x2");
        set_kind(DensityFusedGateKind::Flip);
        g.flip_mask = std::uint32_t(1) << g.target;
    }
    void operator()(const density::MatrixGate<double>& m) const {
        if (m.matrix.size() != 4) fail("fused unitary must be 2x2");
        set_kind(DensityFusedGateKind::Matrix);
        std::copy(m.matrix.begin(), m.matrix.end(), g.matrix);
    }
};

}  // namespace

DensityFusionOptions density_fusion_options(std::int64_t n) {
    return DensityFusionOptions{static_cast<std::int32_t>(std::min<std::int64_t>(n - 4, 5)), 4, 1024};
}

bool is_density_fusable(const DensityOperation& r) {
    if (r.kind == OperationKind::Kraus) return density::builtin_channel(r).has_value();
    return r.targets.size() == 1;
}

DeviceDensityGate<double> make_device_density_gate(const DensityOperation& r, const std::vector<std::int64_t>& active) {
    DeviceDensityGate<double> g;
    // Local indices must name tile positions: a qubit outside the group would address outside it.
    g.target = r.targets.empty() ? -1 : local_qubit_index(active, r.targets[0]);
    if (g.target < 0) fail("target qubit outside active set");
    if (r.kind == OperationKind::Kraus) {
        const auto channel = density::builtin_channel(r);
        if (!channel) fail("fused Kraus is not a built-in channel");
        g.kind = static_cast<std::int32_t>(DensityFusedGateKind::Channel);
        g.channel_kind = static_cast<std::int32_t>(channel->kind);
        g.channel_parameter = channel->probability;
        return g;
    }
    std::visit(FusedForm{g}, density::gate_form<double>(r));
    for (std::size_t i = 0; i < r.controls.size(); ++i) {
        const std::int32_t p = local_qubit_index(active, r.controls[i]);
        if (p < 0) fail("control qubit outside active set");
        g.control_mask |= std::uint32_t(1) << p;
        if (i < r.control_state.size() && r.control_state[i] == 1) g.control_values |= std::uint32_t(1) << p;
    }
    return g;
}

std::vector<DensityFusionGroup> plan_density_fusion(std::int64_t n, const std::vector<DensityOperation>& records,
                                                    const DensityFusionOptions& options) {
    const auto count = static_cast<std::int64_t>(records.size());
    std::vector<OperationFacts> facts(records.size());
    for (std::int64_t i = 0; i < count; ++i) facts[i] = operation_facts(n, records[i]);

    std::vector<DensityFusionGroup> plan;
    RemainingOperations remaining(count);
    GroupSelector selector;
    while (!remaining.empty()) {
        const std::vector<std::int64_t>& chosen = selector.select(n, remaining, options.budget, options.window, facts);
        DensityFusionGroup& group = plan.emplace_back();
        if (chosen.size() < 2) {
            // One operation runs as the runner prepared it: its qubits are kept as written.
            const std::int64_t i = chosen.empty() ? remaining.first() : chosen.front();
            const DensityOperation& r = records[i];
            group.operation_indices = {i};
            group.active = r.targets;
            group.active.insert(group.active.end(), r.controls.begin(), r.controls.end());
            std::sort(group.active.begin(), group.active.end());
            group.active.erase(std::unique(group.active.begin(), group.active.end()), group.active.end());
            remaining.erase(i);
            continue;
        }
        group.operation_indices = chosen;
        std::uint64_t active_mask = 0;
        for (const std::int64_t i : chosen) active_mask |= facts[i].qubits.mask;
        group.active = qubit_list(active_mask);
        const auto k = static_cast<std::int64_t>(group.active.size());
        if (k == 1)
            group.kind = DensityFusionGroupKind::OneQubit;
        else if (k < options.shared_memory_min_qubits)
            group.kind = DensityFusionGroupKind::Unfused;
        else
            group.kind = DensityFusionGroupKind::SparseShareMem;
        if (group.kind == DensityFusionGroupKind::SparseShareMem) {
            group.fused_gates.reserve(group.operation_indices.size());
            for (const std::int64_t i : group.operation_indices)
                group.fused_gates.push_back(make_device_density_gate(records[i], group.active));
        }
        for (const std::int64_t i : group.operation_indices) remaining.erase(i);
    }
    return plan;
}

}  // namespace korvane::dormeth
