// Density fusion below the Python surface: the planner's groups, the fused record builder and its
// refusals, the shared-memory launcher's checks, and the kernel against the per-operation kernels,
// including a sub-block count beyond one grid (grid stride).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/complex.hpp"
#include "common/cuda_check.hpp"
#include "common/density_operation.hpp"
#include "dormeth/device_targets.hpp"
#include "dormeth/fusion/density_planner.hpp"
#include "dormeth/fusion/density_sparsesharemem.hpp"
#include "dormeth/kernels/density_kernels.hpp"
#include "host_device_test.hpp"
#include "hostdevice/control.hpp"

namespace {

using korvane::CuComplex;
using korvane::density::ChannelKind;
namespace dm = korvane::dormeth;
using Kind = dm::DensityFusionGroupKind;
using Fused = dm::DensityFusedGateKind;
using Complex = std::complex<double>;

// ------------------------------------------------------------------ records

korvane::density::DensityOperation gate(const std::string& name, std::vector<std::int64_t> targets,
                                        std::vector<std::int64_t> controls = {}, std::vector<std::int64_t> states = {},
                                        std::vector<double> parameters = {}) {
    korvane::density::DensityOperation op;
    op.name = name;
    op.targets = std::move(targets);
    op.controls = std::move(controls);
    op.control_state = states.empty() ? std::vector<std::int64_t>(op.controls.size(), 1) : std::move(states);
    op.parameters = std::move(parameters);
    return op;
}

korvane::density::DensityOperation stored(std::vector<std::int64_t> targets, std::vector<Complex> matrix) {
    korvane::density::DensityOperation op = gate("unitary", std::move(targets));
    op.has_stored_matrix = true;
    op.stored_matrix = std::move(matrix);
    return op;
}

korvane::density::DensityOperation kraus(const std::string& name, std::vector<std::int64_t> targets,
                                         std::int64_t count) {
    korvane::density::DensityOperation op;
    op.kind = korvane::density::OperationKind::Kraus;
    op.channel_name = name;
    op.kraus_dimension = std::int64_t(1) << targets.size();
    op.targets = std::move(targets);
    op.kraus_count = count;
    op.kraus_matrices.assign(static_cast<std::size_t>(count * op.kraus_dimension * op.kraus_dimension), 0.0);
    return op;
}

// A built-in channel of probability p with its operators, as the Python package sends it.
korvane::density::DensityOperation channel(const std::string& name, ChannelKind kind, std::int64_t qubit, double p) {
    std::vector<Complex> operators = korvane::density::channel_operators(kind, p);
    korvane::density::DensityOperation op = kraus(name, {qubit}, static_cast<std::int64_t>(operators.size() / 4));
    op.kraus_matrices = std::move(operators);
    return op;
}

// A bit flip of probability p: sqrt(1-p) I, sqrt(p) X.
korvane::density::DensityOperation bit_flip(std::int64_t qubit, double p) {
    return channel("bit_flip", ChannelKind::BitFlip, qubit, p);
}

template <class... Ops>
std::vector<korvane::density::DensityOperation> list(Ops&&... ops) {
    std::vector<korvane::density::DensityOperation> out;
    (out.push_back(std::move(ops)), ...);
    return out;
}

struct GroupShape {
    Kind kind;
    std::vector<std::int64_t> indices;
    std::vector<std::int64_t> active;
    bool operator==(const GroupShape&) const = default;
};

std::ostream& operator<<(std::ostream& os, const GroupShape& g) {
    os << "{kind " << static_cast<int>(g.kind) << ", ops";
    for (const auto i : g.indices) os << ' ' << i;
    os << ", active";
    for (const auto q : g.active) os << ' ' << q;
    return os << '}';
}

std::vector<GroupShape> shapes(std::int64_t n, const std::vector<korvane::density::DensityOperation>& records) {
    std::vector<GroupShape> out;
    for (const auto& g : dm::plan_density_fusion(n, records, dm::density_fusion_options(n))) {
        out.push_back({g.kind, g.operation_indices, g.active});
        EXPECT_EQ(g.fused_gates.size(), g.kind == Kind::SparseShareMem ? g.operation_indices.size() : 0u);
    }
    return out;
}

// ------------------------------------------------------------------ planner

TEST(DensityPlanner, OptionsFollowTheRegisterSize) {
    const auto o5 = dm::density_fusion_options(5);
    EXPECT_EQ(o5.budget, 1);
    EXPECT_EQ(o5.shared_memory_min_qubits, 4);
    EXPECT_EQ(o5.window, 1024);
    EXPECT_EQ(dm::density_fusion_options(8).budget, 4);
    EXPECT_EQ(dm::density_fusion_options(9).budget, 5);
    EXPECT_EQ(dm::density_fusion_options(15).budget, 5);
}

TEST(DensityPlanner, GroupKindsFollowSizeAndQubitCount) {
    // n = 5: budget 1, so a one-qubit run forms one group; H on another qubit runs alone.
    EXPECT_EQ(shapes(5, list(gate("h", {0}), bit_flip(0, 0.2), gate("rz", {0}, {}, {}, {0.3}), gate("h", {1}))),
              (std::vector<GroupShape>{{Kind::OneQubit, {0, 1, 2}, {0}}, {Kind::Single, {3}, {1}}}));
    // n = 8: four disjoint H gates share one group of k = 4.
    EXPECT_EQ(shapes(8, list(gate("h", {0}), gate("h", {1}), gate("h", {2}), gate("h", {3}))),
              (std::vector<GroupShape>{{Kind::SparseShareMem, {0, 1, 2, 3}, {0, 1, 2, 3}}}));
    // n = 7: budget 3, so two or three qubits at most, run unfused.
    EXPECT_EQ(shapes(7, list(gate("h", {0}), gate("cx", {1}, {0}), gate("h", {2}), gate("h", {5}))),
              (std::vector<GroupShape>{{Kind::Unfused, {0, 1, 2}, {0, 1, 2}}, {Kind::Single, {3}, {5}}}));
    // n = 9: a controlled gate joins with its control; five qubits make one shared-memory group.
    EXPECT_EQ(shapes(9, list(gate("h", {0}), gate("x", {4}, {1}, {0}), gate("h", {7}), bit_flip(0, 0.1))),
              (std::vector<GroupShape>{{Kind::SparseShareMem, {0, 1, 2, 3}, {0, 1, 4, 7}}}));
}

TEST(DensityPlanner, BarriersEndTheScan) {
    const auto around = [](korvane::density::DensityOperation barrier) {
        return list(gate("h", {0}), gate("h", {1}), std::move(barrier), gate("h", {2}), gate("h", {3}));
    };
    const std::vector<GroupShape> split = {
        {Kind::Unfused, {0, 1}, {0, 1}}, {Kind::Single, {2}, {6, 7}}, {Kind::Unfused, {3, 4}, {2, 3}}};
    EXPECT_EQ(shapes(8, around(gate("swap", {6, 7}))), split);
    EXPECT_EQ(shapes(8, around(kraus("custom", {6, 7}, 1))), split);
    EXPECT_EQ(shapes(8, around(stored({6, 7}, std::vector<Complex>(16, 0.0)))), split);
    // One target, but not a built-in channel: a barrier on its own qubit.
    auto custom = kraus("custom", {6}, 2);
    EXPECT_EQ(shapes(8, around(std::move(custom)))[1], (GroupShape{Kind::Single, {2}, {6}}));
    auto miscounted = kraus("bit_flip", {6}, 3);  // the channel's name, not its operator count
    EXPECT_EQ(shapes(8, around(std::move(miscounted))).size(), 3u);
    // A built-in channel is no barrier: the H gates fuse around it.
    EXPECT_EQ(shapes(8, around(bit_flip(6, 0.1))),
              (std::vector<GroupShape>{{Kind::SparseShareMem, {0, 1, 3, 4}, {0, 1, 2, 3}}, {Kind::Single, {2}, {6}}}));
}

TEST(DensityPlanner, NothingFusesWithoutABudget) {
    // n = 4 is never planned by the runner; with its budget of 0 the selection would choose nothing.
    for (const auto& g : shapes(4, list(gate("h", {0}), gate("h", {0}), bit_flip(0, 0.1))))
        EXPECT_EQ(g.kind, Kind::Single);
}

// ------------------------------------------------------------------ fused records

TEST(DensityFusedRecord, EachOperationBecomesItsKind) {
    const std::vector<std::int64_t> active = {1, 3, 5, 6};

    const auto flip = dm::make_device_density_gate(gate("cx", {3}, {1}, {1}), active);
    EXPECT_EQ(flip.kind, static_cast<int>(Fused::Flip));
    EXPECT_EQ(flip.target, 1);
    EXPECT_EQ(flip.flip_mask, 2u);
    EXPECT_EQ(flip.control_mask, 1u);
    EXPECT_EQ(flip.control_values, 1u);

    const auto open = dm::make_device_density_gate(gate("mcx", {6}, {5, 1}, {0, 1}), active);
    EXPECT_EQ(open.kind, static_cast<int>(Fused::Flip));
    EXPECT_EQ(open.target, 3);
    EXPECT_EQ(open.flip_mask, 8u);
    EXPECT_EQ(open.control_mask, 5u);
    EXPECT_EQ(open.control_values, 1u);  // the control on qubit 5 requires |0>

    const auto diag = dm::make_device_density_gate(gate("rz", {5}, {}, {}, {0.5}), active);
    EXPECT_EQ(diag.kind, static_cast<int>(Fused::Diagonal));
    EXPECT_EQ(diag.target, 2);
    EXPECT_NEAR(diag.diag[0].re, std::cos(0.25), 1e-15);
    EXPECT_NEAR(diag.diag[0].im, -std::sin(0.25), 1e-15);
    EXPECT_NEAR(diag.diag[1].im, std::sin(0.25), 1e-15);
    EXPECT_EQ(diag.flip_mask, 0u);

    const auto h = dm::make_device_density_gate(gate("h", {1}), active);
    EXPECT_EQ(h.kind, static_cast<int>(Fused::Matrix));
    EXPECT_EQ(h.target, 0);
    EXPECT_NEAR(h.matrix[3].re, -1 / std::sqrt(2.0), 1e-15);
    EXPECT_EQ(h.diag[0].re, 1.0);  // untouched fields keep their start values
    EXPECT_EQ(h.diag[1].re, 1.0);

    const auto u = dm::make_device_density_gate(stored({6}, {Complex(0, 1), 2.0, 3.0, Complex(4, -5)}), active);
    EXPECT_EQ(u.kind, static_cast<int>(Fused::Matrix));
    EXPECT_EQ(u.matrix[0].im, 1.0);
    EXPECT_EQ(u.matrix[3].im, -5.0);

    const auto ch = dm::make_device_density_gate(bit_flip(5, 0.3), active);
    EXPECT_EQ(ch.kind, static_cast<int>(Fused::Channel));
    EXPECT_EQ(ch.target, 2);
    EXPECT_EQ(ch.channel_kind, static_cast<int>(ChannelKind::BitFlip));
    EXPECT_NEAR(ch.channel_parameter, 0.3, 1e-15);
    EXPECT_EQ(ch.control_mask, 0u);

    // The runner drops a global phase without controls without reading its parameters; in a group
    // it is the identity.
    const auto phase = dm::make_device_density_gate(gate("gp", {3}), active);
    EXPECT_EQ(phase.kind, static_cast<int>(Fused::Diagonal));
    EXPECT_EQ(phase.diag[0].re, 1.0);
    EXPECT_EQ(phase.diag[1].re, 1.0);
    EXPECT_EQ(phase.diag[1].im, 0.0);
}

TEST(DensityFusedRecord, RefusesWhatTheKernelCannotRun) {
    const std::vector<std::int64_t> active = {0, 1, 2, 3};
    EXPECT_EQ(message_of([&] { dm::make_device_density_gate(kraus("custom", {1}, 2), active); }),
              "fused Kraus is not a built-in channel");
    EXPECT_EQ(message_of([&] {
                  dm::make_device_density_gate(kraus("bit_flip", {1, 2}, 2), active);
              }),
              "fused Kraus is not a built-in channel");
    EXPECT_EQ(message_of([&] { dm::make_device_density_gate(stored({1}, std::vector<Complex>(16, 0.0)), active); }),
              "fused unitary must be 2x2");
    EXPECT_EQ(message_of([&] {
                  dm::make_device_density_gate(stored({1, 2}, std::vector<Complex>(16, 0.0)), active);
              }),
              "fused unitary must be 2x2");
    EXPECT_EQ(message_of([&] {
                  dm::make_device_density_gate(gate("swap", {1, 2}), active);
              }),
              "fused unitary must be 2x2");
    EXPECT_EQ(message_of([&] { dm::make_device_density_gate(gate("x", {1}, {5}), active); }),
              "control qubit outside active set");
    EXPECT_EQ(message_of([&] { dm::make_device_density_gate(gate("x", {7}), active); }),
              "target qubit outside active set");
    // The runner's own checks of the recognised path still apply.
    EXPECT_EQ(message_of([&] { dm::make_device_density_gate(gate("x", {1}, {}, {}, {0.5}), active); }),
              "density operation 'x' requires no parameters");
}

// ------------------------------------------------------------------ launcher and kernel

using DensityFusionKernel = HostDeviceTest;

TEST_F(DensityFusionKernel, LauncherChecksInOrder) {
    DeviceArray<CuComplex<double>> rho(random_elements<double>(16 * 16, 1));
    DeviceArray<dm::DeviceDensityGate<double>> gates(std::vector<dm::DeviceDensityGate<double>>(2));
    const auto call = [&](std::int64_t dim, std::uint64_t mask, std::int32_t k, std::int32_t count) {
        return message_of<std::invalid_argument>(
            [&] { dm::launch_density_sparsesharemem<double>(dim, rho.get(), mask, k, gates.get(), count); });
    };
    const std::uint64_t launches = hostdevice::launch_count();
    EXPECT_EQ(call(16, 0, 0, 0), "density fusion active qubits must be in [1,5]");
    EXPECT_EQ(call(1 << 10, 0x3f, 6, 1), "density fusion active qubits must be in [1,5]");
    EXPECT_EQ(call(16, 1, 1, 0), "fusion group cannot be empty");
    EXPECT_EQ(call(4, 0x1f, 5, 0), "fusion group cannot be empty");  // the count before the size
    EXPECT_EQ(call(16, 0x1f, 5, 2), "active qubits exceed circuit size");
    EXPECT_EQ(call(1, 1, 1, 1), "active qubits exceed circuit size");
    // A mask that does not name k qubits of the matrix would address outside it.
    const std::string refused = "(other exception) density kernel arguments do not fit the matrix";
    EXPECT_EQ(call(16, 0x3, 1, 1), refused);
    EXPECT_EQ(call(16, 0x10, 1, 1), refused);
    EXPECT_EQ(call(12, 0x1, 1, 1), refused);
    EXPECT_EQ(hostdevice::launch_count(), launches);

    (void)cudaSetDevice(99);  // a failure left pending for the launch check, as an asynchronous fault
    EXPECT_EQ(message_of([&] { dm::launch_density_sparsesharemem<double>(16, rho.get(), 3, 2, gates.get(), 2); }),
              "density_sparsesharemem kernel launch failed: invalid device ordinal");
}

// Applies the records one by one with the per-operation kernels, each record's local qubits mapped
// back to the register's.
template <class T>
void apply_one_by_one(CuComplex<T>* rho, std::int64_t n, const std::vector<std::int64_t>& active,
                      const std::vector<dm::DeviceDensityGate<double>>& records) {
    const std::int64_t dim = std::int64_t(1) << n;
    const auto global = [&](std::uint32_t local) {
        std::uint64_t mask = 0;
        for (std::size_t p = 0; p < active.size(); ++p)
            if (local >> p & 1) mask |= std::uint64_t(1) << active[p];
        return mask;
    };
    for (const auto& g : records) {
        const auto r = dm::to_precision<T>(g);
        const std::int64_t qubit = active[r.target];
        const std::uint64_t bit = std::uint64_t(1) << qubit;
        switch (static_cast<Fused>(r.kind)) {
            case Fused::Matrix: {
                DeviceArray<CuComplex<T>> m(std::vector<CuComplex<T>>(r.matrix, r.matrix + 4));
                dm::launch_unitary<T>(rho, dim, dm::make_device_targets(n, {qubit}), global(r.control_mask),
                                      global(r.control_values), m.get());
                break;
            }
            case Fused::Diagonal:
                dm::launch_diagonal_controlled<T>(rho, dim, bit, global(r.control_mask), global(r.control_values),
                                                  r.diag[0], r.diag[1]);
                break;
            case Fused::Flip:
                dm::launch_permutation<T>(rho, dim, bit, global(r.control_mask), global(r.control_values), false);
                break;
            case Fused::Channel:
                dm::launch_channel<T>(rho, dim, bit, static_cast<ChannelKind>(r.channel_kind), r.channel_parameter);
                break;
        }
    }
}

template <class T>
void expect_fused_equals_one_by_one(std::int64_t n, const std::vector<std::int64_t>& active,
                                    const std::vector<korvane::density::DensityOperation>& ops, double tolerance,
                                    unsigned seed) {
    std::vector<dm::DeviceDensityGate<double>> records;
    std::vector<dm::DeviceDensityGate<T>> device_records;
    for (const auto& op : ops) {
        records.push_back(dm::make_device_density_gate(op, active));
        device_records.push_back(dm::to_precision<T>(records.back()));
    }
    const std::int64_t dim = std::int64_t(1) << n;
    const auto rho = random_elements<T>(static_cast<std::size_t>(dim * dim), seed);
    DeviceArray<CuComplex<T>> fused(rho);
    DeviceArray<CuComplex<T>> separate(rho);
    DeviceArray<dm::DeviceDensityGate<T>> gates(device_records);
    std::uint64_t mask = 0;
    for (const auto q : active) mask |= std::uint64_t(1) << q;

    hostdevice::clear_launch_log();
    dm::launch_density_sparsesharemem<T>(dim, fused.get(), mask, static_cast<std::int32_t>(active.size()), gates.get(),
                                         static_cast<std::int32_t>(records.size()));
    const auto log = hostdevice::launch_log();
    ASSERT_EQ(log.size(), 1u);
    const std::uint64_t blocks = std::uint64_t(1) << (2 * (n - static_cast<std::int64_t>(active.size())));
    EXPECT_EQ(log[0].grid.x, std::min<std::uint64_t>(blocks, 65535));
    EXPECT_EQ(log[0].block.x, 128u);
    EXPECT_EQ(log[0].shared_bytes, (std::size_t(1) << (2 * active.size())) * sizeof(CuComplex<T>));
    apply_one_by_one<T>(separate.get(), n, active, records);

    const auto a = fused.read();
    const auto b = separate.read();
    double changed = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_NEAR(a[i].re, b[i].re, tolerance) << "element " << i;
        ASSERT_NEAR(a[i].im, b[i].im, tolerance) << "element " << i;
        changed += std::abs(a[i].re - rho[i].re);
    }
    EXPECT_GT(changed, 1.0);  // the records did something
}

std::vector<Complex> random_unitary2(unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    Complex a(normal(gen), normal(gen)), b(normal(gen), normal(gen));
    const double norm = std::sqrt(std::norm(a) + std::norm(b));
    a /= norm;
    b /= norm;
    return {a, -std::conj(b), b, std::conj(a)};
}

TEST_F(DensityFusionKernel, EveryRecordKindWithControlsMatchesItsOwnKernel) {
    // Five scattered active qubits of six; controls open and closed on every kind that has them.
    const std::vector<std::int64_t> active = {0, 2, 3, 4, 5};
    const auto ops = [] {
        auto damping = channel("amplitude_damping", ChannelKind::AmplitudeDamping, 0, 0.35);
        return list(stored({3}, random_unitary2(1)), gate("ry", {0}, {5}, {0}, {0.7}), gate("mcx", {2}, {0, 4}, {1, 0}),
                    gate("cp", {4}, {2}, {1}, {1.1}), gate("t", {5}), bit_flip(2, 0.2), gate("h", {5}, {3}),
                    std::move(damping), gate("x", {4}), gate("crz", {3}, {0}, {0}, {-0.4}));
    };
    expect_fused_equals_one_by_one<double>(6, active, ops(), 1e-12, 3);
    expect_fused_equals_one_by_one<float>(6, active, ops(), 2e-5, 4);
}

TEST_F(DensityFusionKernel, EveryChannelKindMatchesTheChannelKernel) {
    const std::vector<std::pair<std::string, ChannelKind>> channels = {
        {"bit_flip", ChannelKind::BitFlip},
        {"phase_flip", ChannelKind::PhaseFlip},
        {"depolarizing", ChannelKind::Depolarizing},
        {"amplitude_damping", ChannelKind::AmplitudeDamping},
        {"phase_damping", ChannelKind::PhaseDamping}};
    for (const auto& [name, kind] : channels) {
        SCOPED_TRACE(name);
        expect_fused_equals_one_by_one<double>(5, {1, 2, 3, 4}, list(gate("h", {1}), channel(name, kind, 1, 0.3)),
                                               1e-12, 5);
    }
}

TEST_F(DensityFusionKernel, SubBlocksBeyondOneGridAreEachDoneOnce) {
    // n = 9, k = 1: 4^8 = 65536 sub-blocks on a grid of 65535 blocks, so block 0 also takes the last
    // one. A sub-block done twice or not at all differs from the one-by-one result: neither the
    // unitary nor the damping is an involution.
    const auto ops = [] {
        return list(stored({4}, random_unitary2(9)),
                    channel("amplitude_damping", ChannelKind::AmplitudeDamping, 4, 0.3), gate("s", {4}));
    };
    expect_fused_equals_one_by_one<double>(9, {4}, ops(), 1e-12, 6);
}

}  // namespace
