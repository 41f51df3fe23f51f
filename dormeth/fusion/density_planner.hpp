// The density fusion planner: turns the validated operation records of one runner call into
// groups run one by one, as one-qubit runs (a gate and the channel after it in one pass), or in one
// shared-memory pass over the matrix. Pure CPU code: deterministic, no device calls.
#pragma once

#include <cstdint>
#include <vector>

#include "common/density_operation.hpp"
#include "dormeth/fusion/device_density_gate.hpp"

namespace korvane::dormeth {

struct DensityFusionOptions {
    std::int32_t budget = 5;                    // active-qubit budget of a group
    std::int32_t shared_memory_min_qubits = 4;  // smallest k run by the shared-memory kernel
    std::int32_t window = 1024;                 // remaining operations one selection visits
};

// The options the runner plans with for n qubits: budget min(n - 4, 5), minimum 4, window 1024.
DensityFusionOptions density_fusion_options(std::int64_t n);

enum class DensityFusionGroupKind : std::int32_t { Single = 0, OneQubit = 1, SparseShareMem = 2, Unfused = 3 };

struct DensityFusionGroup {
    DensityFusionGroupKind kind = DensityFusionGroupKind::Single;
    std::vector<std::int64_t> operation_indices;         // ascending positions in the record list
    std::vector<std::int64_t> active;                    // ascending, distinct qubits
    std::vector<DeviceDensityGate<double>> fused_gates;  // SparseShareMem: one per operation, in order
};

// A record may join a group: a built-in channel (as the runner recognises it), or a gate with
// exactly one target and any controls. Everything else is a barrier.
bool is_density_fusable(const density::DensityOperation& record);

// Plans the records of an n-qubit call (already validated and prepared by the runner) into groups
// in execution order. Applying the groups in order, and each group's operations in index order,
// gives the same matrix as applying the records in list order.
std::vector<DensityFusionGroup> plan_density_fusion(std::int64_t n,
                                                    const std::vector<density::DensityOperation>& records,
                                                    const DensityFusionOptions& options);

// The fused record of one operation on the group's ascending active qubits. RuntimeError "fused
// Kraus is not a built-in channel", "fused unitary must be 2x2" (also for a SWAP) or "control
// qubit outside active set"; a target outside the active set raises "target qubit outside active
// set". A global phase without controls, which the runner drops, becomes diag(1, 1).
DeviceDensityGate<double> make_device_density_gate(const density::DensityOperation& record,
                                                   const std::vector<std::int64_t>& active);

}  // namespace korvane::dormeth
