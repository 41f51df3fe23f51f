// The density launchers seen directly: the combined unitary-channel kernel against the unitary and
// channel kernels run one after the other, the launchers' own refusals, their guards against
// arguments that would index outside the matrix, and their launch-failure prefixes.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/channel_kind.hpp"
#include "common/complex.hpp"
#include "common/cuda_check.hpp"
#include "common/density_operation.hpp"
#include "dormeth/device_targets.hpp"
#include "dormeth/dormeth_device_state.hpp"
#include "dormeth/kernels/density_kernels.hpp"
#include "host_device_test.hpp"
#include "hostdevice/control.hpp"

namespace {

using korvane::CuComplex;
using korvane::density::ChannelKind;
namespace dm = korvane::dormeth;

// A random 2 x 2 unitary: [[a, -conj(b)], [b, conj(a)]] with |a|^2 + |b|^2 = 1.
template <class T>
std::vector<CuComplex<T>> random_unitary2(unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    std::complex<double> a(normal(gen), normal(gen)), b(normal(gen), normal(gen));
    const double norm = std::sqrt(std::norm(a) + std::norm(b));
    a /= norm;
    b /= norm;
    const auto c = [](std::complex<double> z) {
        return CuComplex<T>{static_cast<T>(z.real()), static_cast<T>(z.imag())};
    };
    return {c(a), c(-std::conj(b)), c(b), c(std::conj(a))};
}

using DensityKernels = HostDeviceTest;

template <class T>
void expect_unitary_channel_matches_two_passes(ChannelKind kind, std::int64_t target, double tolerance) {
    constexpr std::int64_t n = 3;
    constexpr std::int64_t dim = 1 << n;
    const auto rho = random_elements<T>(dim * dim, 7 + static_cast<unsigned>(kind));
    const DeviceArray<CuComplex<T>> u(random_unitary2<T>(3 + static_cast<unsigned>(target)));
    const dm::DeviceTargets targets = dm::make_device_targets(n, {target});
    const T p = static_cast<T>(0.3);

    DeviceArray<CuComplex<T>> combined(rho);
    dm::launch_unitary_channel<T>(combined.get(), dim, targets, u.get(), kind, p);
    DeviceArray<CuComplex<T>> separate(rho);
    dm::launch_unitary<T>(separate.get(), dim, targets, 0, 0, u.get());
    dm::launch_channel<T>(separate.get(), dim, std::uint64_t(1) << target, kind, p);

    const auto a = combined.read();
    const auto b = separate.read();
    double changed = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_NEAR(a[i].re, b[i].re, tolerance) << "element " << i;
        EXPECT_NEAR(a[i].im, b[i].im, tolerance) << "element " << i;
        changed += std::abs(a[i].re - rho[i].re) + std::abs(a[i].im - rho[i].im);
    }
    EXPECT_GT(changed, 0.1);
}

TEST_F(DensityKernels, UnitaryChannelEqualsUnitaryThenChannel) {
    for (const ChannelKind kind : {ChannelKind::BitFlip, ChannelKind::PhaseFlip, ChannelKind::Depolarizing,
                                   ChannelKind::AmplitudeDamping, ChannelKind::PhaseDamping}) {
        for (std::int64_t target = 0; target < 3; ++target) {
            SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(kind) << " target " << target);
            expect_unitary_channel_matches_two_passes<double>(kind, target, 1e-12);
            expect_unitary_channel_matches_two_passes<float>(kind, target, 1e-5);
        }
    }
}

TEST_F(DensityKernels, LaunchersRefuseKindsAndSizesTheyDoNotHave) {
    DeviceArray<CuComplex<double>> rho(random_elements<double>(16 * 16, 1));
    DeviceArray<CuComplex<double>> m(random_elements<double>(128 * 128, 2));
    const std::uint64_t launches = hostdevice::launch_count();
    for (const int kind : {0, 6, -1}) {
        EXPECT_EQ(
            message_of([&] { dm::launch_channel<double>(rho.get(), 16, 1, static_cast<ChannelKind>(kind), 0.1); }),
            "unknown noise channel kind");
        EXPECT_EQ(message_of([&] {
                      dm::launch_unitary_channel<double>(rho.get(), 16, dm::make_device_targets(4, {0}), m.get(),
                                                         static_cast<ChannelKind>(kind), 0.1);
                  }),
                  "unknown noise channel kind");
    }
    dm::DeviceTargets seven = dm::make_device_targets(4, {0, 1, 2, 3});
    seven.num_targets = 7;
    dm::DeviceTargets none = dm::make_device_targets(4, {0});
    none.num_targets = 0;
    for (const auto& t : {seven, none})
        EXPECT_EQ(message_of([&] { dm::launch_unitary<double>(rho.get(), 16, t, 0, 0, m.get()); }),
                  "GPU density unitary supports at most 6 targets");
    EXPECT_EQ(message_of([&] {
                  dm::launch_kraus<double>(rho.get(), 16, dm::make_device_targets(4, {0, 1, 2, 3}), 1, m.get());
              }),
              "GPU density Kraus supports at most 3 targets");
    EXPECT_EQ(hostdevice::launch_count(), launches);
}

TEST_F(DensityKernels, GuardsRefuseArgumentsOutsideTheMatrix) {
    DeviceArray<CuComplex<float>> rho(random_elements<float>(8 * 8, 3));
    DeviceArray<CuComplex<float>> m(random_elements<float>(64 * 64, 4));
    const std::string refused = "density kernel arguments do not fit the matrix";
    const std::uint64_t launches = hostdevice::launch_count();
    dm::DeviceTargets beyond = dm::make_device_targets(3, {0, 1});
    beyond.targets[1] = 3;  // qubit 3 of a 3-qubit matrix
    dm::DeviceTargets repeated = dm::make_device_targets(3, {0, 1});
    repeated.targets[1] = 0;
    const dm::DeviceTargets too_many = dm::make_device_targets(3, {0, 1, 2, 3});  // k > n
    dm::DeviceTargets rest = dm::make_device_targets(3, {2});
    rest.num_rest = 1;
    const dm::DeviceTargets fine = dm::make_device_targets(3, {2});
    const CuComplex<float> one{1, 0};
    const auto cases = {
        message_of([&] { dm::launch_unitary<float>(rho.get(), 8, beyond, 0, 0, m.get()); }),
        message_of([&] { dm::launch_unitary<float>(rho.get(), 8, repeated, 0, 0, m.get()); }),
        message_of([&] { dm::launch_unitary<float>(rho.get(), 8, too_many, 0, 0, m.get()); }),
        message_of([&] { dm::launch_unitary<float>(rho.get(), 8, rest, 0, 0, m.get()); }),
        message_of([&] { dm::launch_unitary<float>(rho.get(), 8, fine, 8, 8, m.get()); }),   // control 3
        message_of([&] { dm::launch_unitary<float>(rho.get(), 8, fine, 4, 4, m.get()); }),   // control = target
        message_of([&] { dm::launch_unitary<float>(rho.get(), 12, fine, 0, 0, m.get()); }),  // not 2^n
        message_of([&] { dm::launch_unitary<float>(rho.get(), 1 << 16, fine, 0, 0, m.get()); }),
        message_of([&] { dm::launch_kraus<float>(rho.get(), 8, beyond, 1, m.get()); }),
        message_of([&] { dm::launch_kraus<float>(rho.get(), 8, fine, 0, m.get()); }),
        message_of(
            [&] { dm::launch_unitary_channel<float>(rho.get(), 8, too_many, m.get(), ChannelKind::BitFlip, 0); }),
        message_of([&] { dm::launch_unitary_channel<float>(rho.get(), 8, beyond, m.get(), ChannelKind::BitFlip, 0); }),
        message_of([&] { dm::launch_channel<float>(rho.get(), 8, 8, ChannelKind::BitFlip, 0); }),
        message_of([&] { dm::launch_channel<float>(rho.get(), 8, 3, ChannelKind::BitFlip, 0); }),
        message_of([&] { dm::launch_channel<float>(rho.get(), 8, 0, ChannelKind::BitFlip, 0); }),
        message_of([&] { dm::launch_diagonal_free<float>(rho.get(), 8, 16, one, one); }),
        message_of([&] { dm::launch_diagonal_controlled<float>(rho.get(), 8, 1, 16, 16, one, one); }),
        message_of([&] { dm::launch_diagonal_controlled<float>(rho.get(), 8, 1, 1, 1, one, one); }),
        message_of([&] { dm::launch_permutation<float>(rho.get(), 8, 8, 0, 0, false); }),
        message_of([&] { dm::launch_permutation<float>(rho.get(), 8, 1, 0, 0, true); }),
        message_of([&] { dm::launch_permutation<float>(rho.get(), 8, 3, 0, 0, false); }),
        message_of([&] { dm::launch_permutation<float>(rho.get(), 8, 3, 2, 2, true); }),
        message_of([&] { dm::launch_permutation<float>(rho.get(), 8, 1, 8, 0, false); }),
    };
    for (const std::string& message : cases) EXPECT_EQ(message, refused);
    EXPECT_EQ(hostdevice::launch_count(), launches);
}

TEST_F(DensityKernels, LaunchFailuresCarryTheLaunchersPrefix) {
    DeviceArray<CuComplex<double>> rho(random_elements<double>(4 * 4, 5));
    DeviceArray<CuComplex<double>> m(random_elements<double>(64, 6));
    const dm::DeviceTargets t1 = dm::make_device_targets(2, {1});
    const dm::DeviceTargets t2 = dm::make_device_targets(2, {1, 0});
    const CuComplex<double> one{1, 0};
    // A failure left pending for the launch check to find, as an asynchronous fault would be.
    const auto with_pending_error = [](auto&& launch) {
        (void)cudaSetDevice(99);
        return message_of(launch);
    };
    const std::string suffix = "invalid device ordinal";
    EXPECT_EQ(with_pending_error([&] { dm::launch_unitary<double>(rho.get(), 4, t1, 0, 0, m.get()); }),
              "unitary kernel launch failed: " + suffix);
    EXPECT_EQ(with_pending_error([&] { dm::launch_unitary<double>(rho.get(), 4, t2, 0, 0, m.get()); }),
              "unitary kernel launch failed: " + suffix);
    EXPECT_EQ(with_pending_error([&] { dm::launch_diagonal_free<double>(rho.get(), 4, 1, one, one); }),
              "diagonal kernel launch failed: " + suffix);
    EXPECT_EQ(with_pending_error([&] { dm::launch_diagonal_controlled<double>(rho.get(), 4, 1, 2, 2, one, one); }),
              "diagonal kernel launch failed: " + suffix);
    EXPECT_EQ(with_pending_error([&] { dm::launch_permutation<double>(rho.get(), 4, 3, 0, 0, true); }),
              "permutation kernel launch failed: " + suffix);
    EXPECT_EQ(with_pending_error([&] { dm::launch_channel<double>(rho.get(), 4, 2, ChannelKind::PhaseFlip, 0.1); }),
              "channel kernel launch failed: " + suffix);
    EXPECT_EQ(with_pending_error([&] { dm::launch_kraus<double>(rho.get(), 4, t2, 2, m.get()); }),
              "kraus_kernel launch failed: " + suffix);
    EXPECT_EQ(with_pending_error([&] {
                  dm::launch_unitary_channel<double>(rho.get(), 4, t1, m.get(), ChannelKind::Depolarizing, 0.1);
              }),
              "unitary_channel kernel launch failed: " + suffix);
}

// Checks that Python input cannot reach: the converter makes consistent records and arrays.
TEST_F(DensityKernels, ChecksBehindTheConverter) {
    korvane::density::DensityOperation op;
    op.kind = korvane::density::OperationKind::Kraus;
    op.targets = {0};
    op.kraus_dimension = 2;
    op.kraus_count = 0;
    EXPECT_EQ(message_of([&] { korvane::density::validate_kraus(op, 2); }),
              "Kraus operation requires at least one matrix");
    op.kraus_count = 2;
    op.kraus_matrices.assign(7, 0.0);
    EXPECT_EQ(message_of([&] { korvane::density::validate_kraus(op, 2); }), "invalid Kraus matrix buffer size");
    op.kraus_matrices.assign(8, 0.0);
    EXPECT_NO_THROW(korvane::density::validate_kraus(op, 2));

    dm::DeviceDensityState state(2, korvane::Precision::Complex64, 0);
    std::vector<CuComplex<float>> host(15);
    for (const auto& call : {std::function<void()>([&] { state.upload(host.data(), 15); }),
                             std::function<void()>([&] { state.download(host.data(), 17); })}) {
        try {
            call();
            ADD_FAILURE() << "size mismatch accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "state size does not match DeviceDensityState size");
        }
    }
}

}  // namespace
