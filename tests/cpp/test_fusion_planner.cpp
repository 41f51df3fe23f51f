// The fusion planner: group selection, classification by the DenseMM cost model, padding, fused
// records, dense group matrices and offsets. Pure CPU.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

#include "velqa/fusion/planner.hpp"

namespace {

using namespace velqa;
using namespace velqa::fusion;
using Index = std::vector<std::int64_t>;

GateRecord gate(GateId id, Index target, Index control = {}, Index control_state = {},
                std::vector<double> parameter = {}) {
    GateRecord g;
    g.id = id;
    g.target = std::move(target);
    g.control = std::move(control);
    g.control_state = control_state.empty() ? Index(g.control.size(), 1) : std::move(control_state);
    g.parameter = std::move(parameter);
    return g;
}

GateRecord u_gate(std::int64_t q, double theta = 0.3, double phi = 0.7, double lambda = -1.1) {
    return gate(kGateU, {q}, {}, {}, {theta, phi, lambda});
}

GateRecord unitary_gate(Index targets, const std::vector<Complex>& m) {
    GateRecord g = gate(kGateUnitary, std::move(targets));
    g.matrix = m;
    g.has_matrix = true;
    g.matrix_dim = static_cast<std::int64_t>(std::lround(std::sqrt(double(m.size()))));
    return g;
}

FusionOptions options_with(std::int32_t s = 10) {
    FusionOptions o;
    o.sparsesharemem_qubits = s;
    return o;
}

Index range(std::int64_t n) {
    Index r;
    for (std::int64_t q = 0; q < n; ++q) r.push_back(q);
    return r;
}

std::vector<Index> indices_of(const FusionPlan& plan) {
    std::vector<Index> out;
    for (const auto& g : plan.groups) out.push_back(g.gate_indices);
    return out;
}

std::vector<FusionGroupKind> kinds_of(const FusionPlan& plan) {
    std::vector<FusionGroupKind> out;
    for (const auto& g : plan.groups) out.push_back(g.kind);
    return out;
}

constexpr auto kAuto = FusionGroupKind::AutoPair;
constexpr auto kShared = FusionGroupKind::SparseShareMem;
constexpr auto kDense = FusionGroupKind::DenseMM;

// ------------------------------------------------------------------ selection

TEST(FusionPlanner, FiveQubitExampleMovesGateThreeAheadAndBreaksTiesOnSmallestQubit) {
    const std::vector<GateRecord> gates = {gate(kGateX, {1}, {0}), gate(kGateX, {2}, {1}), gate(kGateX, {4}, {3}),
                                           gate(kGateX, {0})};
    const FusionPlan plan = plan_fusion_chunk(5, gates, options_with(2));
    EXPECT_EQ(indices_of(plan), (std::vector<Index>{{0, 3}, {1}, {2}}));
    EXPECT_EQ(kinds_of(plan), (std::vector<FusionGroupKind>{kShared, kAuto, kAuto}));
    EXPECT_EQ(plan.groups[0].active, (Index{0, 1}));
    EXPECT_EQ(plan.total_fused_gates, 2u);

    // The selections one at a time: the second finds equal clusters on qubits 1 and 3.
    korvane::RemainingOperations remaining(4);
    EXPECT_EQ(select_fusion_group(5, gates, remaining, 2, 512, true), (Index{0, 3}));
    remaining.erase(0);
    remaining.erase(3);
    EXPECT_EQ(select_fusion_group(5, gates, remaining, 2, 512, true), (Index{1}));
}

TEST(FusionPlanner, RejectedGateBlocksItsQubitsForLaterGates) {
    // Gate 1 needs three qubits with budget 2 and is rejected; gates 2 and 4 on its qubits may not
    // pass it, gate 3 on qubit 4 may.
    const std::vector<GateRecord> gates = {gate(kGateH, {0}), gate(kGateX, {2}, {0, 1}), gate(kGateH, {2}),
                                           gate(kGateH, {4}), gate(kGateH, {0})};
    const FusionPlan plan = plan_fusion_chunk(5, gates, options_with(2));
    EXPECT_EQ(indices_of(plan), (std::vector<Index>{{0, 3}, {1}, {2, 4}}));
}

TEST(FusionPlanner, WindowBoundsEveryGroup) {
    std::vector<GateRecord> gates(5, gate(kGateX, {0}));
    FusionOptions o;
    o.max_gates_per_group = 3;
    EXPECT_EQ(indices_of(plan_fusion_chunk(4, gates, o)), (std::vector<Index>{{0, 1, 2}, {3, 4}}));
    for (std::int32_t w : {1, 0, -3}) {
        o.max_gates_per_group = w;
        const FusionPlan plan = plan_fusion_chunk(4, gates, o);
        EXPECT_EQ(kinds_of(plan), std::vector<FusionGroupKind>(5, kAuto)) << "window " << w;
        EXPECT_EQ(plan.total_fused_gates + plan.total_matrix_elements, 0u);
    }
}

TEST(FusionPlanner, BudgetOfZeroGivesOnlySingleGates) {
    const std::vector<GateRecord> gates(3, gate(kGateH, {1}));
    for (std::int32_t s : {0, -1}) {
        const FusionPlan plan = plan_fusion_chunk(3, gates, options_with(s));
        EXPECT_EQ(indices_of(plan), (std::vector<Index>{{0}, {1}, {2}})) << "budget " << s;
        EXPECT_EQ(kinds_of(plan), std::vector<FusionGroupKind>(3, kAuto));
    }
}

TEST(FusionPlanner, EmptyListGivesEmptyPlan) {
    const FusionPlan plan = plan_fusion_chunk(4, {}, FusionOptions{});
    EXPECT_TRUE(plan.groups.empty());
    EXPECT_EQ(plan.total_fused_gates, 0u);
    EXPECT_EQ(plan.total_matrix_elements, 0u);
}

TEST(FusionPlanner, NonFusableFirstGateRunsAloneAndStopsTheScan) {
    GateRecord short_states = gate(kGateX, {1}, {0});
    short_states.control_state.clear();
    const std::vector<GateRecord> firsts = {
        gate(kGateGlobalPhase, {}, {}, {}, {0.4}),
        unitary_gate({0, 1}, std::vector<Complex>(16, 0.5)),
        gate(kGateSwap, {0, 1}),
        short_states,
    };
    FusionOptions o;
    o.fuse_swap = false;
    for (const GateRecord& first : firsts) {
        const std::vector<GateRecord> gates = {first, gate(kGateH, {2}), gate(kGateH, {3})};
        const FusionPlan plan = plan_fusion_chunk(6, gates, o);
        EXPECT_EQ(indices_of(plan), (std::vector<Index>{{0}, {1, 2}})) << "gate id " << first.id;
        EXPECT_EQ(kinds_of(plan)[0], kAuto);
    }
    // A fusable gate right before a non-fusable one is a group of its own.
    const std::vector<GateRecord> gates = {gate(kGateH, {2}), gate(kGateGlobalPhase, {}, {}, {}, {0.4}),
                                           gate(kGateH, {2})};
    EXPECT_EQ(indices_of(plan_fusion_chunk(6, gates, o)), (std::vector<Index>{{0}, {1}, {2}}));
}

TEST(FusionPlanner, SwapJoinsGroupsOnlyWithFuseSwap) {
    const std::vector<GateRecord> gates = {gate(kGateX, {0}), gate(kGateSwap, {2, 1}, {3}, {0}), gate(kGateX, {1})};
    FusionOptions o = options_with(4);
    o.pad_sparsesharemem = false;
    const FusionPlan fused = plan_fusion_chunk(6, gates, o);
    ASSERT_EQ(indices_of(fused), (std::vector<Index>{{0, 1, 2}}));
    EXPECT_EQ(fused.groups[0].kind, kShared);
    EXPECT_EQ(fused.groups[0].active, (Index{0, 1, 2, 3}));
    const FusedGate& swap = fused.groups[0].fused_gates[1];
    EXPECT_EQ(swap.kind, FusedGateKind::Swap);
    EXPECT_EQ(swap.target, 2);
    EXPECT_EQ(swap.target2, 1);
    EXPECT_EQ(swap.control_mask, 8u);
    EXPECT_EQ(swap.control_values, 0u);  // a control on |0> stays a control
    EXPECT_EQ(swap.matrix, (Matrix2{1.0, 0.0, 0.0, 1.0}));

    o.fuse_swap = false;
    const FusionPlan apart = plan_fusion_chunk(6, gates, o);
    EXPECT_EQ(indices_of(apart), (std::vector<Index>{{0}, {1}, {2}}));
    EXPECT_EQ(kinds_of(apart), std::vector<FusionGroupKind>(3, kAuto));
}

// ------------------------------------------------------------------ gates the per-gate path refuses

TEST(FusionPlanner, GatesThePerGatePathRefusesAreNeverFused) {
    std::vector<GateRecord> refused = {
        gate(kGateX, {1}, {0}, {2}),             // control state other than 0 or 1
        gate(kGateX, {1}, {0, 0}),               // repeated control
        gate(kGateX, {1}, {1}),                  // control on the target
        gate(kGateX, {1}, {0, 2}, {1}),          // fewer states than controls
        gate(kGateSwap, {1, 1}),                 // SWAP of one qubit
        gate(kGateSwap, {1}),                    // SWAP with one target
        gate(kGateRX, {1}, {}, {}, {0.1, 0.2}),  // two angles
        gate(kGateU, {1}, {}, {}, {0.1}),        // one angle
        gate(kGatePhase, {1}),                   // no angle
        gate(kGateH, {0, 1}),                    // two targets
        gate(kGateH, {}),                        // no target
        gate(kGateX, {1}, {63}),                 // control beyond any register
        unitary_gate({1}, {1.0, 0.0, 0.0}),      // not 2x2
    };
    for (const GateRecord& g : refused) EXPECT_FALSE(is_fusable(g, true)) << "gate id " << g.id;
    EXPECT_TRUE(is_fusable(gate(kGateX, {1}, {0}, {0}), true));
    EXPECT_TRUE(is_fusable(unitary_gate({1}, {0.0, 1.0, 1.0, 0.0}), true));
    EXPECT_THROW(make_device_matrix_gate(refused[0], {0, 1}), std::invalid_argument);

    // Qubits outside the register as well: such a gate ends the scan, so no later gate is
    // applied before it is refused.
    refused.push_back(gate(kGateX, {7}));
    refused.push_back(gate(kGateX, {1}, {-1}));
    for (const GateRecord& bad : refused) {
        const std::vector<GateRecord> gates = {gate(kGateH, {0}), gate(kGateH, {2}), bad, gate(kGateH, {3}),
                                               gate(kGateH, {4})};
        const FusionPlan plan = plan_fusion_chunk(5, gates, FusionOptions{});
        EXPECT_EQ(indices_of(plan), (std::vector<Index>{{0, 1}, {2}, {3, 4}})) << "gate id " << bad.id;
        EXPECT_EQ(plan.groups[1].kind, kAuto);
    }
}

TEST(FusionPlanner, RecordBuilderRefusesWhatCannotBeFused) {
    try {
        make_device_matrix_gate(gate(kGateSwap, {1}), {0, 1});
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "unsupported fused SWAP gate");
    }
    for (const GateRecord& g : {gate(kGateGlobalPhase, {}, {}, {}, {0.1}), gate(kGateRX, {0})}) {
        try {
            make_device_matrix_gate(g, {0, 1});
            FAIL();
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "unsupported SparseShareMem gate");
        }
    }
}

// ------------------------------------------------------------------ classification and cost model

TEST(FusionPlanner, TenUGatesOnThreeQubitsAreDenseNineAreShared) {
    std::vector<GateRecord> gates;
    gates.reserve(10);
    for (int i = 0; i < 10; ++i) gates.push_back(u_gate(i % 3, 0.1 * i, 0.2, 0.3 * i));
    const FusionPlan ten = plan_fusion_chunk(20, gates, FusionOptions{});
    ASSERT_EQ(ten.groups.size(), 1u);
    EXPECT_EQ(ten.groups[0].kind, kDense);
    EXPECT_EQ(ten.groups[0].active, (Index{0, 1, 2}));
    EXPECT_EQ(ten.groups[0].dense_matrix.size(), 64u);
    EXPECT_EQ(ten.total_matrix_elements, 64u);
    EXPECT_EQ(ten.total_fused_gates, 0u);  // DenseMM records stay in the group, uncounted

    gates.pop_back();
    const FusionPlan nine = plan_fusion_chunk(20, gates, FusionOptions{});
    ASSERT_EQ(nine.groups.size(), 1u);
    EXPECT_EQ(nine.groups[0].kind, kShared);
    EXPECT_EQ(nine.groups[0].active, range(10));
    EXPECT_EQ(nine.total_fused_gates, 9u);
    EXPECT_EQ(nine.total_matrix_elements, 0u);
}

TEST(FusionPlanner, TwoXGatesArePaddedSharedMemoryUnlessPaddingIsOff) {
    const std::vector<GateRecord> gates = {gate(kGateX, {0}), gate(kGateX, {0})};
    const CostRow row = densemm_cost_row(10, 1);
    EXPECT_LT(-row[kCostDenseMM] + 2 * row[kCostPerGate], 0);
    EXPECT_DOUBLE_EQ(row[kCostDenseMM], 19.2041906135);
    EXPECT_DOUBLE_EQ(row[kCostPerGate], 0.2267309915);

    const FusionPlan padded = plan_fusion_chunk(10, gates, FusionOptions{});
    ASSERT_EQ(padded.groups.size(), 1u);
    EXPECT_EQ(padded.groups[0].kind, kShared);
    EXPECT_EQ(padded.groups[0].active, range(10));

    FusionOptions o;
    o.pad_sparsesharemem = false;
    const FusionPlan bare = plan_fusion_chunk(10, gates, o);
    EXPECT_EQ(bare.groups[0].kind, kShared);
    EXPECT_EQ(bare.groups[0].active, (Index{0}));

    // Padding stops at the register size.
    const FusionPlan small = plan_fusion_chunk(3, gates, FusionOptions{});
    EXPECT_EQ(small.groups[0].active, range(3));
}

TEST(FusionPlanner, ThresholdScaleZeroMakesEveryEligibleGroupDense) {
    FusionOptions o;
    o.densemm_gate_threshold_scale = 0;
    const FusionPlan two_x = plan_fusion_chunk(10, {gate(kGateX, {0}), gate(kGateX, {0})}, o);
    EXPECT_EQ(two_x.groups[0].kind, kDense);
    EXPECT_EQ(two_x.groups[0].active, (Index{0}));
    // A group on every qubit of the register is never dense.
    const FusionPlan all = plan_fusion_chunk(3, {gate(kGateX, {0}), gate(kGateH, {1}), gate(kGateZ, {2})}, o);
    EXPECT_EQ(all.groups[0].kind, kShared);
    EXPECT_EQ(all.groups[0].active, range(3));
    // Nor is one outside [densemm_min_qubits, densemm_max_qubits].
    o.densemm_min_qubits = 2;
    EXPECT_EQ(plan_fusion_chunk(10, {gate(kGateX, {0}), gate(kGateX, {0})}, o).groups[0].kind, kShared);
}

TEST(FusionPlanner, ControlsHalveTheGateCostPerControl) {
    // n = 20, k = 2: E0 = 0.0696640313, E1 = 0, E3 = 0.3810080609, E8 = 26.2292490027.
    // A CX costs E0 alone: 376 of them stay below E8, 377 pass it.
    const auto kind_of = [](std::size_t count, const GateRecord& g) {
        return plan_fusion_chunk(20, std::vector<GateRecord>(count, g), FusionOptions{}).groups.at(0).kind;
    };
    EXPECT_EQ(kind_of(376, gate(kGateX, {1}, {0})), kShared);
    EXPECT_EQ(kind_of(377, gate(kGateX, {1}, {0})), kDense);
    // A CH costs E0 + E3 / 2 = 0.2601680618: 100 stay below, 101 pass.
    EXPECT_EQ(kind_of(100, gate(kGateH, {1}, {0})), kShared);
    EXPECT_EQ(kind_of(101, gate(kGateH, {1}, {0})), kDense);
}

TEST(FusionPlanner, CostRowsInterpolateBetweenBreakpointsAndClampK) {
    const CostRow low = densemm_cost_row(14, 3);
    const CostRow high = densemm_cost_row(16, 3);
    const CostRow mid = densemm_cost_row(15, 3);
    for (int c = 0; c < kCostColumns; ++c) EXPECT_DOUBLE_EQ(mid[c], 0.5 * (low[c] + high[c])) << c;
    EXPECT_DOUBLE_EQ(low[kCostDenseMM], 6.8351134242);
    EXPECT_DOUBLE_EQ(high[kCostDenseMM], 10.8604332565);
    EXPECT_EQ(densemm_cost_row(3, 3), low);
    EXPECT_EQ(densemm_cost_row(40, 5), densemm_cost_row(24, 5));
    EXPECT_DOUBLE_EQ(densemm_cost_row(24, 5)[kCostDenseMM], 10.2329091177);
    EXPECT_EQ(densemm_cost_row(18, 9), densemm_cost_row(18, 7));
    EXPECT_EQ(densemm_cost_row(18, 0), densemm_cost_row(18, 1));
    for (const CostRow& r : {low, high, mid, densemm_cost_row(23, 4)}) {
        EXPECT_EQ(r[kCostX], 0.0);
        EXPECT_EQ(r[kCostY], 0.0);
        EXPECT_EQ(r[kCostGeneral], 1.0);
        EXPECT_EQ(r[kCostSwap], 0.0);
    }
    const CostRow r21 = densemm_cost_row(21, 6);
    EXPECT_NEAR(r21[kCostDenseMM], 0.5 * (15.0465130124 + 16.3773339440), 1e-12);
}

// ------------------------------------------------------------------ matrices

using Dense = std::vector<Complex>;

Dense multiply(const Dense& a, const Dense& b, std::size_t d) {
    Dense c(d * d);
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = 0; j < d; ++j)
            for (std::size_t l = 0; l < d; ++l) c[i * d + j] += a[i * d + l] * b[l * d + j];
    return c;
}

// The k-qubit operator of a one-target matrix with controls, element by element.
Dense embed(const Matrix2& m, int target, std::uint32_t mask, std::uint32_t values, int k) {
    const std::size_t d = std::size_t(1) << k;
    Dense e(d * d);
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c) {
            const std::size_t other = ~(std::size_t(1) << target);
            if ((r & other) != (c & other)) continue;
            if ((c & mask) != values)
                e[r * d + c] = r == c ? 1.0 : 0.0;
            else
                e[r * d + c] = m[((r >> target) & 1) * 2 + ((c >> target) & 1)];
        }
    return e;
}

Dense swap_embed(int a, int b, std::uint32_t mask, std::uint32_t values, int k) {
    const std::size_t d = std::size_t(1) << k;
    Dense e(d * d);
    for (std::size_t c = 0; c < d; ++c) {
        std::size_t r = c;
        if ((c & mask) == values && ((c >> a) & 1) != ((c >> b) & 1))
            r = c ^ (std::size_t(1) << a) ^ (std::size_t(1) << b);
        e[r * d + c] = 1.0;
    }
    return e;
}

double max_distance(const Dense& a, const Dense& b) {
    double worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

TEST(FusionPlanner, NamedMatricesSatisfyTheirIdentities) {
    const auto m = [](const GateRecord& g) {
        const Matrix2 mm = fused_gate_matrix(g).value();
        return Dense(mm.begin(), mm.end());
    };
    const auto named = [&](GateId id) { return m(gate(id, {0})); };
    const auto angle = [&](GateId id, double t) { return m(gate(id, {0}, {}, {}, {t})); };
    const Dense I = {1.0, 0.0, 0.0, 1.0};
    EXPECT_LT(max_distance(multiply(named(kGateSqrtX), named(kGateSqrtX), 2), named(kGateX)), 1e-15);
    EXPECT_LT(max_distance(multiply(named(kGateSqrtY), named(kGateSqrtY), 2), named(kGateY)), 1e-15);
    EXPECT_LT(max_distance(multiply(named(kGateSqrtXdg), named(kGateSqrtX), 2), I), 1e-15);
    EXPECT_LT(max_distance(multiply(named(kGateSqrtYdg), named(kGateSqrtY), 2), I), 1e-15);
    EXPECT_LT(max_distance(multiply(named(kGateS), named(kGateS), 2), named(kGateZ)), 1e-15);
    EXPECT_LT(max_distance(multiply(named(kGateSdg), named(kGateS), 2), I), 1e-15);
    EXPECT_LT(max_distance(multiply(named(kGateH), named(kGateH), 2), I), 1e-15);
    const Dense iI = {Complex(0, 1), 0.0, 0.0, Complex(0, 1)};
    EXPECT_LT(max_distance(multiply(named(kGateX), named(kGateY), 2), multiply(iI, named(kGateZ), 2)), 1e-15);
    const double t = 0.83;
    const Complex e = std::exp(Complex(0, -t / 2));
    Dense rz = angle(kGatePhase, t);
    for (auto& x : rz) x *= e;
    EXPECT_LT(max_distance(angle(kGateRZ, t), rz), 1e-15);
    EXPECT_LT(max_distance(m(u_gate(0, t, 0, 0)), angle(kGateRY, t)), 1e-15);
    EXPECT_LT(max_distance(m(u_gate(0, 0, 0, t)), angle(kGatePhase, t)), 1e-15);
    // RX(t) = H RZ(t) H
    const Dense hzh = multiply(multiply(named(kGateH), angle(kGateRZ, t), 2), named(kGateH), 2);
    EXPECT_LT(max_distance(hzh, angle(kGateRX, t)), 1e-15);
    // U(t, -pi/2, pi/2) = RX(t)
    EXPECT_LT(max_distance(m(u_gate(0, t, -std::numbers::pi / 2, std::numbers::pi / 2)), angle(kGateRX, t)), 1e-15);
    // A negative angle: U(-t, p, l) keeps unitarity through polar forms of negative radius.
    const Dense un = m(u_gate(0, -2.5, 0.4, 1.9));
    Dense adj = {std::conj(un[0]), std::conj(un[2]), std::conj(un[1]), std::conj(un[3])};
    EXPECT_LT(max_distance(multiply(adj, un, 2), I), 1e-15);
    EXPECT_EQ(m(unitary_gate({0}, {1.0, 2.0, 3.0, Complex(4, 5)})), (Dense{1.0, 2.0, 3.0, Complex(4, 5)}));
    EXPECT_FALSE(fused_gate_matrix(gate(kGateSwap, {0, 1})).has_value());
    EXPECT_FALSE(fused_gate_matrix(gate(kGateGlobalPhase, {0}, {}, {}, {0.1})).has_value());
}

TEST(FusionPlanner, DenseGroupMatrixIsTheProductOfTheEmbeddedGates) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> a(-3, 3);
    const int k = 4;
    const std::size_t d = 16;
    const Index active = {1, 3, 4, 7};
    std::vector<GateRecord> gates = {
        gate(kGateH, {3}),
        gate(kGateX, {7}, {1}),
        gate(kGateSwap, {4, 1}, {3}, {0}),
        gate(kGateRZ, {1}, {}, {}, {a(rng)}),
        u_gate(4, a(rng), a(rng), a(rng)),
        gate(kGateY, {1}, {7, 4}, {1, 0}),
        gate(kGateS, {7}, {3}),
        gate(kGateRY, {3}, {}, {}, {a(rng)}),
        gate(kGateSqrtY, {7}),
        gate(kGateSwap, {7, 3}),
        gate(kGateRX, {4}, {1}, {0}, {a(rng)}),
    };
    std::vector<FusedGate> records;
    Dense expected(d * d);
    for (std::size_t i = 0; i < d; ++i) expected[i * d + i] = 1.0;
    for (const GateRecord& g : gates) {
        records.push_back(make_device_matrix_gate(g, active));
        const FusedGate& r = records.back();
        const Dense step = r.kind == FusedGateKind::Swap
                               ? swap_embed(r.target, r.target2, r.control_mask, r.control_values, k)
                               : embed(r.matrix, r.target, r.control_mask, r.control_values, k);
        expected = multiply(step, expected, d);
    }
    EXPECT_EQ(records[2].target, 2);  // qubit 4 is the third active qubit
    EXPECT_EQ(records[2].target2, 0);
    EXPECT_EQ(records[5].control_mask, 0b1100u);
    EXPECT_EQ(records[5].control_values, 0b1000u);
    EXPECT_LT(max_distance(build_dense_group_matrix(records, k), expected), 1e-13);
}

// ------------------------------------------------------------------ whole plans

std::vector<GateRecord> random_circuit(std::mt19937_64& rng, int n, int count) {
    std::vector<GateRecord> gates;
    std::uniform_int_distribution<int> kind(0, 17);
    std::uniform_real_distribution<double> a(-3, 3);
    for (int i = 0; i < count; ++i) {
        Index qubits = range(n);
        std::shuffle(qubits.begin(), qubits.end(), rng);
        const auto id = static_cast<GateId>(kind(rng));
        const int targets = id == kGateSwap ? 2 : 1;
        if (id == kGateGlobalPhase || n < targets) {
            gates.push_back(gate(kGateGlobalPhase, {}, {}, {}, {a(rng)}));
            continue;
        }
        const int controls = std::uniform_int_distribution<int>(0, std::min(2, n - targets))(rng);
        Index t(qubits.begin(), qubits.begin() + targets);
        Index c(qubits.begin() + targets, qubits.begin() + targets + controls);
        Index s;
        for (int j = 0; j < controls; ++j) s.push_back(static_cast<std::int64_t>(rng() % 2));
        std::vector<double> p;
        if (id >= kGateRX && id <= kGatePhase) p = {a(rng)};
        if (id == kGateU) p = {a(rng), a(rng), a(rng)};
        GateRecord g = gate(id, t, c, s, p);
        if (id == kGateUnitary) g = unitary_gate(t, {0.0, 1.0, 1.0, 0.0});
        gates.push_back(g);
    }
    return gates;
}

TEST(FusionPlanner, PlansAreValidReorderingsWithinTheBudget) {
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 60; ++trial) {
        const int n = 2 + trial % 12;
        const std::vector<GateRecord> gates = random_circuit(rng, n, 80);
        FusionOptions o;
        o.sparsesharemem_qubits = 1 + trial % 6;
        o.max_gates_per_group = 4 + trial % 40;
        o.densemm_gate_threshold_scale = trial % 3 == 0 ? 0.0 : 1.0;
        o.fuse_swap = trial % 4 != 1;
        const FusionPlan plan = plan_fusion_chunk(n, gates, o);
        EXPECT_EQ(indices_of(plan), indices_of(plan_fusion_chunk(n, gates, o)));  // deterministic

        std::vector<int> group_of(gates.size(), -1);
        std::uint64_t records = 0;
        std::uint64_t elements = 0;
        for (std::size_t gi = 0; gi < plan.groups.size(); ++gi) {
            const FusionGroup& g = plan.groups[gi];
            ASSERT_FALSE(g.gate_indices.empty());
            EXPECT_TRUE(std::is_sorted(g.gate_indices.begin(), g.gate_indices.end()));
            EXPECT_LE(static_cast<int>(g.gate_indices.size()), std::max(1, o.max_gates_per_group));
            for (const std::int64_t i : g.gate_indices) {
                ASSERT_EQ(group_of[i], -1) << "gate planned twice";
                group_of[i] = static_cast<int>(gi);
            }
            if (g.kind == kAuto) {
                EXPECT_EQ(g.gate_indices.size(), 1u);
                continue;
            }
            EXPECT_GE(g.gate_indices.size(), 2u);
            EXPECT_EQ(g.fused_gates.size(), g.gate_indices.size());
            if (g.kind == kShared) {
                EXPECT_EQ(g.fused_gate_offset, records);
                records += g.fused_gates.size();
                EXPECT_EQ(static_cast<int>(g.active.size()), std::min(o.sparsesharemem_qubits, n));
            } else {
                EXPECT_EQ(g.matrix_offset, elements);
                elements += g.dense_matrix.size();
                EXPECT_LT(static_cast<int>(g.active.size()), n);
                EXPECT_LE(static_cast<int>(g.active.size()), o.sparsesharemem_qubits);
            }
            for (const std::int64_t i : g.gate_indices) EXPECT_TRUE(is_fusable(gates[i], o.fuse_swap));
        }
        EXPECT_EQ(plan.total_fused_gates, records);
        EXPECT_EQ(plan.total_matrix_elements, elements);
        // Gates that share a qubit keep their order: the earlier one's group is not later.
        for (std::size_t i = 0; i < gates.size(); ++i) {
            ASSERT_GE(group_of[i], 0) << "gate never planned";
            for (std::size_t j = i + 1; j < gates.size(); ++j) {
                korvane::QubitSet a, b;
                korvane::add_qubits(a, n, gates[i].target);
                korvane::add_qubits(a, n, gates[i].control);
                korvane::add_qubits(b, n, gates[j].target);
                korvane::add_qubits(b, n, gates[j].control);
                const bool global = gates[i].id == kGateGlobalPhase || gates[j].id == kGateGlobalPhase;
                if ((a.mask & b.mask) || global) {
                    EXPECT_LE(group_of[i], group_of[j]) << i << " before " << j;
                }
            }
        }
    }
}

}  // namespace

namespace {

template <class F>
std::string invalid_argument_of(F&& call) {
    try {
        call();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "no error";
}

TEST(FusionPlannerLimits, BudgetsBeyondTheExecutorsAreRefusedBeforePlanning) {
    const std::vector<GateRecord> gates = {u_gate(0), u_gate(40)};
    for (const std::int32_t s : {11, 31, 62, 1 << 30}) {
        FusionOptions o = options_with(s);
        o.densemm_max_qubits = 62;
        o.densemm_gate_threshold_scale = 0.0;
        EXPECT_EQ(invalid_argument_of([&] { plan_fusion_chunk(62, gates, o); }),
                  "sparsesharemem_qubits must be at most 10");
    }
    EXPECT_EQ(plan_fusion_chunk(62, gates, options_with(10)).groups.size(), 1u);
}

TEST(FusionPlannerLimits, RecordsAndDenseMatricesRefuseQubitsTheyCannotAddress) {
    EXPECT_EQ(invalid_argument_of([] { make_device_matrix_gate(u_gate(40), range(41)); }),
              "fused group has more than 10 active qubits");
    EXPECT_EQ(invalid_argument_of([] { build_dense_group_matrix({}, 31); }),
              "fused group has more than 10 active qubits");
    EXPECT_EQ(invalid_argument_of([] { build_dense_group_matrix({}, -1); }),
              "fused group has more than 10 active qubits");
    FusedGate outside = make_device_matrix_gate(u_gate(3), range(4));  // local qubit 3
    EXPECT_EQ(invalid_argument_of([&] { build_dense_group_matrix({outside}, 3); }),
              "fused gate qubit is not an active qubit");
    FusedGate swap = make_device_matrix_gate(gate(kGateSwap, {0, 2}), range(3));
    EXPECT_EQ(invalid_argument_of([&] { build_dense_group_matrix({swap}, 2); }),
              "fused gate qubit is not an active qubit");
    FusedGate controlled = make_device_matrix_gate(gate(kGateX, {0}, {2}), range(3));
    EXPECT_EQ(invalid_argument_of([&] { build_dense_group_matrix({controlled}, 2); }),
              "fused gate qubit is not an active qubit");
    EXPECT_EQ(build_dense_group_matrix({controlled}, 3).size(), 64u);
}

TEST(FusionPlannerLimits, GroupSelectionCoversEveryQubitOfA62QubitRegister) {
    // Gates on the highest qubits, where a shift by the qubit index reaches bit 61.
    std::vector<GateRecord> gates;
    for (std::int64_t q = 52; q < 62; ++q) gates.push_back(gate(kGateH, {q}, {q - 52}));
    const FusionPlan plan = plan_fusion_chunk(62, gates, options_with(10));
    ASSERT_EQ(plan.groups.size(), 2u);
    EXPECT_EQ(plan.groups[0].active, Index({0, 1, 2, 3, 4, 52, 53, 54, 55, 56}));
    korvane::RemainingOperations remaining(1);
    korvane::GroupSelector selector;
    const std::vector<korvane::OperationFacts> facts{{korvane::QubitSet{std::uint64_t(1) << 61, true}, true}};
    const auto select = [&](std::int64_t n) { return selector.select(n, remaining, 10, 4, facts); };
    EXPECT_EQ(select(62), Index({0}));
    EXPECT_EQ(invalid_argument_of([&] { select(63); }), "group selection supports at most 62 qubits");
}

}  // namespace
