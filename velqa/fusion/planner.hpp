// The fusion planner: turns an ordered gate list into groups executed per gate (AutoPair), in
// shared memory (SparseShareMem) or as one dense matrix by GEMM (DenseMM). Pure CPU code:
// deterministic, no device calls.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/group_selection.hpp"
#include "velqa/gate_record.hpp"
#include "velqa/gate_traits.hpp"

namespace velqa::fusion {

// The most active qubits a fused group may have: the SparseShareMem executor's limit, and so the
// largest budget a plan may use (every group fits the budget, a padded one has min(budget, n)).
constexpr std::int32_t kMaxGroupQubits = 10;

struct FusionOptions {
    std::int32_t sparsesharemem_qubits = 10;
    std::int32_t densemm_min_qubits = 1;
    std::int32_t densemm_max_qubits = 7;
    double densemm_gate_threshold_scale = 1.0;
    std::int32_t max_gates_per_group = 512;
    bool pad_sparsesharemem = true;
    bool fuse_swap = true;
};

enum class FusionGroupKind : std::int32_t { AutoPair = 0, SparseShareMem = 1, DenseMM = 2 };

// Host form of one fused gate; qubits are local indices in the group's ascending active list.
struct FusedGate {
    FusedGateKind kind = FusedGateKind::Dense;
    std::int32_t target = -1;
    std::int32_t target2 = -1;
    std::uint32_t control_mask = 0;
    std::uint32_t control_values = 0;
    Matrix2 matrix{};
};

struct FusionGroup {
    FusionGroupKind kind = FusionGroupKind::AutoPair;
    std::vector<std::int64_t> gate_indices;  // ascending
    std::vector<std::int64_t> active;        // ascending, distinct qubits
    std::vector<FusedGate> fused_gates;      // SparseShareMem and DenseMM
    std::vector<Complex> dense_matrix;       // DenseMM: 2^k x 2^k, row-major
    std::uint64_t fused_gate_offset = 0;     // SparseShareMem: first record in the plan's record array
    std::uint64_t matrix_offset = 0;         // DenseMM: first element in the plan's matrix array
};

struct FusionPlan {
    std::vector<FusionGroup> groups;
    std::uint64_t total_fused_gates = 0;
    std::uint64_t total_matrix_elements = 0;
};

// Refuses options that would build a group larger than the executors accept: a ValueError that
// names the option ("sparsesharemem_qubits must be at most 10").
void validate_fusion_options(const FusionOptions& options);

// Plans the gates of an n-qubit register (1 <= n <= 62, checked by the callers) into groups, after
// validate_fusion_options. Deterministic.
FusionPlan plan_fusion_chunk(std::int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options);

// The 2x2 matrix of a single-target gate that can join a group (row = output value of the target
// bit), of the member's values; none for SWAP, GLOBAL_PHASE, other ids, wrong target or parameter
// counts, or a UNITARY that is not 2x2.
std::optional<Matrix2> fused_gate_matrix(const GateRecord& gate, std::uint64_t member = 0);

// Whether the gate may join a SparseShareMem or DenseMM group: a one-target gate with a matrix, or
// (with fuse_swap) a SWAP of two different targets, whose controls are well formed (as many states
// as controls, states 0 or 1, indices in [0, 62], none repeated, none a target) and whose values
// are finite in single precision (every member's). A gate the per-gate path would refuse (in
// either precision; a chunk carries none) is never fusable, so it runs alone and is refused there.
// The planner also requires every qubit in [0, n). Nothing else of a gate's values decides a plan:
// kinds, costs and groups follow from the gate kinds, targets and controls, so one plan serves every
// member of a batch.
bool is_fusable(const GateRecord& gate, bool fuse_swap);

// One group selection over the remaining gates with budget s and window w (ascending indices;
// possibly none).
std::vector<std::int64_t> select_fusion_group(std::int64_t n, const std::vector<GateRecord>& gates,
                                              const korvane::RemainingOperations& remaining, std::int32_t s,
                                              std::int32_t w, bool fuse_swap);

// The fused record of a fusable gate with local qubit indices in the ascending active list of at
// most kMaxGroupQubits qubits, with member 0's matrix (every member's when they share it). Raises
// "unsupported fused SWAP gate" or "unsupported SparseShareMem gate" for other gates.
FusedGate make_device_matrix_gate(const GateRecord& gate, const std::vector<std::int64_t>& active);

// M = G_last ... G_first on k local qubits (0 <= k <= kMaxGroupQubits): 2^k x 2^k, row-major. Every
// record must name local qubits below k.
std::vector<Complex> build_dense_group_matrix(const std::vector<FusedGate>& records, std::int32_t k);

// The DenseMM cost coefficients E0 ... E8 for an n-qubit register and k active qubits, by CostColumn.
using CostRow = std::array<double, kCostColumns>;
CostRow densemm_cost_row(std::int64_t n, std::int64_t k);

}  // namespace velqa::fusion
