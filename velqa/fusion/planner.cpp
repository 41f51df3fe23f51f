#include "velqa/fusion/planner.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <string>

#include "velqa/gate_traits.hpp"

namespace velqa::fusion {
namespace {

// Complex product written out: std::complex's operator* guards infinities through a library call
// per product, which dominates the dense-matrix build.
inline Complex mul(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

bool controls_well_formed(const GateRecord& g) {
    if (g.control.size() != g.control_state.size()) return false;
    for (std::size_t j = 0; j < g.control.size(); ++j) {
        const std::int64_t c = g.control[j];
        if (c < 0 || c > 62 || (g.control_state[j] != 0 && g.control_state[j] != 1)) return false;
        if (std::find(g.control.data(), g.control.data() + j, c) != g.control.data() + j) return false;
        if (std::find(g.target.begin(), g.target.end(), c) != g.target.end()) return false;
    }
    return true;
}

// The counts fused_gate_matrix requires, without computing the matrix.
bool has_fused_matrix(const GateRecord& g) {
    const GateTraits* gate = find_gate_traits(g.id);
    if (!gate || !gate->matrix || g.target.size() != 1) return false;
    if (gate->matrix_from_record) return g.matrix_dim == 2 && g.matrix.size() == 4;
    return gate->parameters == 0 || g.parameter.size() == static_cast<std::size_t>(gate->parameters);
}

FusedGateKind fused_kind(GateId id) {
    const GateTraits* gate = find_gate_traits(id);
    return gate ? gate->fused_kind : FusedGateKind::Dense;
}

// The entry of the cost row charged per gate (the gate table's cost column).
CostColumn cost_column(GateId id) {
    const GateTraits* gate = find_gate_traits(id);
    return gate ? gate->cost_column : kCostGeneral;
}

bool is_swap(const GateRecord& g) { return fused_kind(g.id) == FusedGateKind::Swap; }

korvane::QubitSet gate_qubits(std::int64_t n, const GateRecord& g) {
    korvane::QubitSet set;
    korvane::add_qubits(set, n, g.target);
    korvane::add_qubits(set, n, g.control);
    return set;
}

[[noreturn]] void too_many_active_qubits() {
    throw std::invalid_argument("fused group has more than " + std::to_string(kMaxGroupQubits) + " active qubits");
}

void check_local_qubit(std::int32_t q, std::int32_t k) {
    if (q < 0 || q >= k) throw std::invalid_argument("fused gate qubit is not an active qubit");
}

std::int32_t local_index(const std::vector<std::int64_t>& active, std::int64_t qubit) {
    const std::int32_t p = korvane::local_qubit_index(active, qubit);
    if (p < 0) throw std::invalid_argument("fused gate qubit is not an active qubit");
    return p;
}

// The DenseMM cost table. A group of k active qubits on an n-qubit state becomes DenseMM when
//     sum over its gates of (E0 + 2^-c E[column])  >  densemm_gate_threshold_scale x E8,
// c being the gate's control count (a controlled gate updates 2^-c of the pairs): when its gates
// would cost more in the SparseShareMem kernel than one DenseMM execution costs beyond that kernel.
//
// Unit: the work one uncontrolled general 2x2 gate adds to a SparseShareMem group beyond what every
// gate adds, so E6 = 1 in every row. The coefficients are ratios of GPU times at the row's n and k,
// E[c] in the CostColumn c of velqa/gate_traits.hpp:
//   E0       kCostPerGate, every gate: its record read and the barrier after it;
//   E1 ... E7 by the gate table's cost column: kCostX, kCostY, kCostH, kCostDiagonal, kCostRotation
//            (RX and RY), kCostGeneral (any other 2x2), kCostSwap. X, Y and SWAP only move
//            amplitudes: E1 = E2 = E7 = 0;
//   E8       kCostDenseMM, one DenseMM execution (gather, GEMM, scatter) less one SparseShareMem pass.
// Rows: n = 14, 16, ..., 24 (linear in between, the nearest row outside) and k = 1 ... 7 (k above 7
// uses k = 7); stored: E0, E3, E4, E5, E8.
//
// Measuring a row (another n, or another GPU): on that GPU, at the row's n and k, time
// SparseShareMem groups of uncontrolled gates of one kind at several group sizes. The line through
// the times has a slope s(kind) per gate and an intercept F, the group's load and store of the
// state. With u = s(U) - s(X): E0 = s(X) / u and E[column] = (s(kind) - s(X)) / u. Time one DenseMM
// group at the same n and k: E8 = (its time - F) / u. bench/bench_fusion.py then shows on standard
// circuits whether fused runs with the new row beat those with the old, and bench/bench_planner
// which groups each makes DenseMM.
constexpr double kCostTable[6][7][5] = {
    {
        {0.2267309915, 0.4663068114, 0.4305625079, 0.4126543972, 19.2041906135},
        {0.1936448856, 0.4348312641, 0.3630326710, 0.3665311539, 8.5737386278},
        {0.1431459377, 0.2813128378, 0.4272427678, 0.3937908037, 6.8351134242},
        {0.1294603588, 0.4418767094, 0.4124389028, 0.4355293568, 6.5972433902},
        {0.1237039937, 0.4583208321, 0.4609262790, 0.3607089269, 9.0576002890},
        {0.1134037947, 0.4200237677, 0.4096829191, 0.4169479613, 13.7867828220},
        {0.1439097654, 0.4236649670, 0.4280879442, 0.4036212946, 37.7536502156},
    },
    {
        {0.2499536785, 0.4327765383, 0.4159954925, 0.4257499481, 57.6349677667},
        {0.1935236047, 0.4456121759, 0.4125726482, 0.4235925690, 25.1801967557},
        {0.1449774106, 0.4037705297, 0.3780610250, 0.3857775592, 10.8604332565},
        {0.1237890392, 0.3960666470, 0.3837057141, 0.4006176829, 4.6912812249},
        {0.1197688318, 0.4081205374, 0.3712236518, 0.4402610052, 8.2633751702},
        {0.1362211732, 0.4317386592, 0.3777549916, 0.4194927532, 16.1692801746},
        {0.1649626971, 0.4801643006, 0.4317395824, 0.4289294586, 41.3435396318},
    },
    {
        {0.0623577125, 0.4048188074, 0.3629521470, 0.3729365845, 49.9309167715},
        {0.0703647698, 0.3906147699, 0.3718418944, 0.3307937737, 22.3069560404},
        {0.0561787196, 0.4165279412, 0.3796676243, 0.3662542234, 9.1743349114},
        {0.0273214964, 0.3805148485, 0.3193008547, 0.4317869357, 4.1132001103},
        {0.0502081644, 0.3895374996, 0.3332073686, 0.3686740557, 8.1324914859},
        {0.0329637366, 0.4051349311, 0.3835218069, 0.3472308097, 13.8599167934},
        {0.0358002777, 0.3943217704, 0.3348748251, 0.3444463187, 38.9741526030},
    },
    {
        {0.0822500709, 0.3854695461, 0.3565873327, 0.3588609502, 64.7908634594},
        {0.0696640313, 0.3810080609, 0.3436941078, 0.3645507405, 26.2292490027},
        {0.0313966879, 0.3594153364, 0.3465040022, 0.3722762727, 9.7276431628},
        {0.0355984560, 0.4557457366, 0.4002886409, 0.3975650198, 5.3611010050},
        {0.0355785774, 0.4282642425, 0.3860270158, 0.3886413829, 8.5296332301},
        {0.0230712973, 0.4095765687, 0.3638007416, 0.3653354283, 15.0465130124},
        {0.0328167196, 0.3981510212, 0.3833523026, 0.3805736397, 40.3674190239},
    },
    {
        {0.0386908556, 0.4082006527, 0.3790144781, 0.3682198856, 65.1874387340},
        {0.0563003912, 0.3952628431, 0.3523859240, 0.3629833039, 27.3037814580},
        {0.0396924953, 0.4131644747, 0.3718221339, 0.3810398916, 12.8582993879},
        {0.0360903995, 0.3751837202, 0.3803791644, 0.3883155239, 6.1494884912},
        {0.0325545535, 0.3783954530, 0.3689890005, 0.3590252857, 8.6392121369},
        {0.0385665957, 0.4152876809, 0.3843099939, 0.3462436183, 16.3773339440},
        {0.0340686411, 0.3788890351, 0.3484452258, 0.3377141553, 48.1268758089},
    },
    {
        {0.0646315801, 0.3935932135, 0.3650757826, 0.3625834006, 69.7297370062},
        {0.0412030846, 0.3904604122, 0.3810597341, 0.3726857492, 28.4554961237},
        {0.0417507920, 0.3345039189, 0.3369325833, 0.3451052982, 12.7023134529},
        {0.0271617336, 0.3967623538, 0.3566315969, 0.3739319939, 5.5504598856},
        {0.0542495392, 0.3228026700, 0.3501258331, 0.3638225633, 10.2329091177},
        {0.0307375350, 0.4368380848, 0.3659103299, 0.3699950918, 16.1127148904},
        {0.0391712890, 0.4005399489, 0.3511638542, 0.3670682421, 45.1368155348},
    },
};
constexpr std::int64_t kCostBreakpoints[6] = {14, 16, 18, 20, 22, 24};

CostRow table_row(int b, std::int64_t kk) {
    const double* e = kCostTable[b][kk - 1];
    CostRow row{};
    row[kCostPerGate] = e[0];
    row[kCostH] = e[1];
    row[kCostDiagonal] = e[2];
    row[kCostRotation] = e[3];
    row[kCostGeneral] = 1.0;  // the unit
    row[kCostDenseMM] = e[4];
    return row;  // X, Y and SWAP only move amplitudes
}

// What the selection asks of every gate, computed once per plan.
std::vector<korvane::OperationFacts> gate_facts(std::int64_t n, const std::vector<GateRecord>& gates, bool fuse_swap) {
    std::vector<korvane::OperationFacts> facts(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) {
        facts[i].qubits = gate_qubits(n, gates[i]);
        facts[i].fusable = facts[i].qubits.in_range && is_fusable(gates[i], fuse_swap);
    }
    return facts;
}

// Classifies a group of two or more gates and fills its active list, records and matrix.
void build_fused_group(std::int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options,
                       std::uint64_t active_mask, FusionGroup& group) {
    const auto k = static_cast<std::int64_t>(std::popcount(active_mask));
    group.kind = FusionGroupKind::SparseShareMem;
    if (options.densemm_min_qubits <= k && k <= options.densemm_max_qubits && k < n) {
        const CostRow e = densemm_cost_row(n, k);
        double score = -options.densemm_gate_threshold_scale * e[kCostDenseMM];
        for (const std::int64_t i : group.gate_indices) {
            const GateRecord& g = gates[i];
            score += e[kCostPerGate];
            score += std::ldexp(1.0, -static_cast<int>(g.control.size())) * e[cost_column(g.id)];
        }
        if (score > 0) group.kind = FusionGroupKind::DenseMM;
    }
    if (group.kind == FusionGroupKind::SparseShareMem && options.pad_sparsesharemem) {
        for (std::int64_t q = 0; q < n && std::popcount(active_mask) < options.sparsesharemem_qubits; ++q)
            active_mask |= std::uint64_t(1) << q;
    }
    group.active = korvane::qubit_list(active_mask);
    group.fused_gates.reserve(group.gate_indices.size());
    for (const std::int64_t i : group.gate_indices)
        group.fused_gates.push_back(make_device_matrix_gate(gates[i], group.active));
    if (group.kind == FusionGroupKind::DenseMM)
        group.dense_matrix = build_dense_group_matrix(group.fused_gates, static_cast<std::int32_t>(k));
}

}  // namespace

std::optional<Matrix2> fused_gate_matrix(const GateRecord& g, std::uint64_t member) {
    if (!has_fused_matrix(g)) return std::nullopt;
    return find_gate_traits(g.id)->matrix(g, member);
}

bool is_fusable(const GateRecord& g, bool fuse_swap) {
    if (!controls_well_formed(g)) return false;
    if (is_swap(g)) return fuse_swap && g.target.size() == 2 && g.target[0] != g.target[1];
    return has_fused_matrix(g) && gate_values_finite<float>(g);
}

std::vector<std::int64_t> select_fusion_group(std::int64_t n, const std::vector<GateRecord>& gates,
                                              const korvane::RemainingOperations& remaining, std::int32_t s,
                                              std::int32_t w, bool fuse_swap) {
    korvane::GroupSelector selector;
    return selector.select(n, remaining, s, w, gate_facts(n, gates, fuse_swap));
}

FusedGate make_device_matrix_gate(const GateRecord& g, const std::vector<std::int64_t>& active) {
    // Local indices become bits of 32-bit masks and of a 2^k sub-block index.
    if (active.size() > static_cast<std::size_t>(kMaxGroupQubits)) too_many_active_qubits();
    FusedGate record;
    if (is_swap(g)) {
        if (!is_fusable(g, true)) throw std::invalid_argument("unsupported fused SWAP gate");
        record.kind = FusedGateKind::Swap;
        record.target = local_index(active, g.target[0]);
        record.target2 = local_index(active, g.target[1]);
        record.matrix = Matrix2{1.0, 0.0, 0.0, 1.0};
    } else {
        // A malformed control list would otherwise turn into a control the per-gate path refuses.
        if (!is_fusable(g, true)) throw std::invalid_argument("unsupported SparseShareMem gate");
        record.matrix = *fused_gate_matrix(g);
        record.kind = fused_kind(g.id);
        record.target = local_index(active, g.target[0]);
    }
    for (std::size_t j = 0; j < g.control.size(); ++j) {
        const std::uint32_t bit = std::uint32_t(1) << local_index(active, g.control[j]);
        record.control_mask |= bit;
        if (g.control_state[j] == 1) record.control_values |= bit;
    }
    return record;
}

std::vector<Complex> build_dense_group_matrix(const std::vector<FusedGate>& records, std::int32_t k) {
    if (k < 0 || k > kMaxGroupQubits) too_many_active_qubits();
    for (const FusedGate& r : records) {
        check_local_qubit(r.target, k);
        if (r.kind == FusedGateKind::Swap) check_local_qubit(r.target2, k);
        if ((r.control_mask >> k) != 0) throw std::invalid_argument("fused gate qubit is not an active qubit");
    }
    const std::size_t d = std::size_t(1) << k;
    std::vector<Complex> m(d * d, Complex{0, 0});
    for (std::size_t i = 0; i < d; ++i) m[i * d + i] = 1.0;
    for (const FusedGate& r : records) {
        const std::size_t tbit = std::size_t(1) << r.target;
        if (r.kind == FusedGateKind::Swap) {
            const std::size_t t2bit = std::size_t(1) << r.target2;
            for (std::size_t i = 0; i < d; ++i) {
                if ((i & tbit) || !(i & t2bit) || (i & r.control_mask) != r.control_values) continue;
                const std::size_t j = (i | tbit) & ~t2bit;
                std::swap_ranges(m.data() + i * d, m.data() + (i + 1) * d, m.data() + j * d);
            }
            continue;
        }
        const auto [m00, m01, m10, m11] = r.matrix;
        for (std::size_t i = 0; i < d; ++i) {
            if ((i & tbit) || (i & r.control_mask) != r.control_values) continue;
            Complex* row0 = m.data() + i * d;
            Complex* row1 = m.data() + (i | tbit) * d;
            if (r.kind == FusedGateKind::X) {
                std::swap_ranges(row0, row0 + d, row1);
            } else if (r.kind == FusedGateKind::Diagonal) {
                for (std::size_t c = 0; c < d; ++c) {
                    row0[c] = mul(m00, row0[c]);
                    row1[c] = mul(m11, row1[c]);
                }
            } else {
                for (std::size_t c = 0; c < d; ++c) {
                    const Complex a = row0[c];
                    const Complex b = row1[c];
                    row0[c] = mul(m00, a) + mul(m01, b);
                    row1[c] = mul(m10, a) + mul(m11, b);
                }
            }
        }
    }
    return m;
}

CostRow densemm_cost_row(std::int64_t n, std::int64_t k) {
    const std::int64_t kk = std::clamp<std::int64_t>(k, 1, 7);
    if (n <= kCostBreakpoints[0]) return table_row(0, kk);
    if (n >= kCostBreakpoints[5]) return table_row(5, kk);
    int j = 1;
    while (kCostBreakpoints[j] < n) ++j;
    const double t = static_cast<double>(n - kCostBreakpoints[j - 1]) /
                     static_cast<double>(kCostBreakpoints[j] - kCostBreakpoints[j - 1]);
    const CostRow lower = table_row(j - 1, kk);
    const CostRow upper = table_row(j, kk);
    CostRow row{};
    for (std::size_t c = 0; c < row.size(); ++c) row[c] = lower[c] + (upper[c] - lower[c]) * t;
    return row;
}

void validate_fusion_options(const FusionOptions& options) {
    if (options.sparsesharemem_qubits > kMaxGroupQubits)
        throw std::invalid_argument("sparsesharemem_qubits must be at most " + std::to_string(kMaxGroupQubits));
}

FusionPlan plan_fusion_chunk(std::int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options) {
    validate_fusion_options(options);
    const auto count = static_cast<std::int64_t>(gates.size());
    const std::vector<korvane::OperationFacts> facts = gate_facts(n, gates, options.fuse_swap);

    FusionPlan plan;
    korvane::RemainingOperations remaining(count);
    korvane::GroupSelector selector;
    while (!remaining.empty()) {
        const std::vector<std::int64_t>& chosen =
            selector.select(n, remaining, options.sparsesharemem_qubits, options.max_gates_per_group, facts);
        FusionGroup& group = plan.groups.emplace_back();
        if (chosen.size() >= 2) {
            group.gate_indices = chosen;
            std::uint64_t active_mask = 0;
            for (const std::int64_t i : chosen) active_mask |= facts[i].qubits.mask;
            build_fused_group(n, gates, options, active_mask, group);
        } else {
            // One gate runs through the per-gate path, which checks its qubits itself: keep them as
            // written, whatever their range.
            const std::int64_t i = chosen.empty() ? remaining.first() : chosen.front();
            group.gate_indices = {i};
            const GateRecord& g = gates[i];
            group.active = g.target;
            group.active.insert(group.active.end(), g.control.begin(), g.control.end());
            std::sort(group.active.begin(), group.active.end());
            group.active.erase(std::unique(group.active.begin(), group.active.end()), group.active.end());
        }
        for (const std::int64_t i : group.gate_indices) remaining.erase(i);
    }

    for (FusionGroup& group : plan.groups) {
        if (group.kind == FusionGroupKind::SparseShareMem) {
            group.fused_gate_offset = plan.total_fused_gates;
            plan.total_fused_gates += group.fused_gates.size();
        } else if (group.kind == FusionGroupKind::DenseMM) {
            group.matrix_offset = plan.total_matrix_elements;
            plan.total_matrix_elements += group.dense_matrix.size();
        }
    }
    return plan;
}

}  // namespace velqa::fusion
