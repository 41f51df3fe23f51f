// The shared units' own rules that no module test reaches: a precision that is neither complex64
// nor complex128 is refused rather than run as one of them; the counter-based generator gives the
// published known answers and uses every bit of its coordinates; a Kraus set's trace preservation
// and unitary-mixture form are read from its values.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/density_operation.hpp"
#include "common/kraus_analysis.hpp"
#include "common/parse.hpp"
#include "common/philox.hpp"
#include "common/precision.hpp"

namespace {

using korvane::Precision;

std::string element_of(Precision precision) {
    return korvane::dispatch_precision(precision, []<class T>() { return std::string(korvane::precision_name<T>()); });
}

}  // namespace

TEST(Precision, DispatchRunsTheNamedPrecisionAndRefusesAnyOther) {
    EXPECT_EQ(element_of(korvane::parse_dtype("complex64")), "complex64");
    EXPECT_EQ(element_of(korvane::parse_dtype("complex128")), "complex128");
    try {
        element_of(static_cast<Precision>(2));
        FAIL() << "an unknown precision ran";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "unknown precision");
    }
}

// The philox4x32 10 lines of the Random123 distribution's known-answer file: counter, key, output.
TEST(Philox, PublishedKnownAnswers) {
    using korvane::philox::Block;
    using korvane::philox::Key;
    struct Case {
        Block counter;
        Key key;
        Block expected;
    };
    const Case cases[] = {
        {{{0, 0, 0, 0}}, {{0, 0}}, {{0x6627e8d5u, 0xe169c58du, 0xbc57ac4cu, 0x9b00dbd8u}}},
        {{{0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu}},
         {{0xffffffffu, 0xffffffffu}},
         {{0x408f276du, 0x41c83b0eu, 0xa20bc7c6u, 0x6d5451fdu}}},
        {{{0x243f6a88u, 0x85a308d3u, 0x13198a2eu, 0x03707344u}},
         {{0xa4093822u, 0x299f31d0u}},
         {{0xd16cfe09u, 0x94fdccebu, 0x5001e420u, 0x24126ea1u}}},
    };
    for (const Case& c : cases) {
        const Block out = korvane::philox::philox4x32_10(c.counter, c.key);
        for (int w = 0; w < 4; ++w) EXPECT_EQ(out.word[w], c.expected.word[w]) << "word " << w;
    }
    // A constant expression too, as kernels may fold it.
    static_assert(korvane::philox::philox4x32_10({{0, 0, 0, 0}}, {{0, 0}}).word[0] == 0x6627e8d5u);
}

TEST(Philox, UniformDoublesSpanTheUnitIntervalAndEveryCoordinateBitCounts) {
    using korvane::philox::Block;
    using korvane::philox::uniform_double;
    EXPECT_EQ(uniform_double(Block{{0, 0, 7, 7}}), 0.0);
    EXPECT_EQ(uniform_double(Block{{0xffffffffu, 0xffffffffu, 0, 0}}), 1.0 - 0x1.0p-53);
    EXPECT_EQ(uniform_double(Block{{0, 0x80000000u, 0, 0}}), 0.5);
    // Seeds, trajectories, operations and draws that differ in one high or low bit give other draws.
    const auto u = korvane::philox::trajectory_uniform;
    const std::uint64_t high = std::uint64_t(1) << 32;
    const std::set<double> draws = {u(0, 0, 0, 0), u(1, 0, 0, 0),        u(high, 0, 0, 0),
                                    u(0, 1, 0, 0), u(0, high, 0, 0),     u(0, 0, 1, 0),
                                    u(0, 0, 0, 1), u(0, 0, 1u << 31, 0), u(0, 0, 0, 1u << 31)};
    EXPECT_EQ(draws.size(), 9u);
    for (const double x : draws) {
        EXPECT_GE(x, 0.0);
        EXPECT_LT(x, 1.0);
    }
}

// ------------------------------------------------------------------ Kraus analysis

namespace {

using korvane::density::ChannelKind;
using Complex = std::complex<double>;

korvane::density::DensityOperation kraus_record(std::int64_t dimension, std::vector<Complex> operators) {
    korvane::density::DensityOperation op;
    op.kind = korvane::density::OperationKind::Kraus;
    op.kraus_dimension = dimension;
    op.kraus_count = static_cast<std::int64_t>(operators.size()) / (dimension * dimension);
    op.kraus_matrices = std::move(operators);
    return op;
}

korvane::density::DensityOperation builtin(ChannelKind kind, double p) {
    return kraus_record(2, korvane::density::channel_operators(kind, p));
}

}  // namespace

TEST(KrausAnalysis, TracePreservationIsCheckedInFrobeniusNormAndRefusalsNameTheOperation) {
    for (const ChannelKind kind : {ChannelKind::BitFlip, ChannelKind::PhaseFlip, ChannelKind::Depolarizing,
                                   ChannelKind::AmplitudeDamping, ChannelKind::PhaseDamping})
        EXPECT_LE(korvane::density::trace_preservation_error(builtin(kind, 0.3)), 1e-15) << static_cast<int>(kind);
    // K = s I on two targets: ||(s^2 - 1) I_4||_F = 2 |s^2 - 1|.
    const auto scaled = [](double s) {
        std::vector<Complex> k(16, 0.0);
        for (int i = 0; i < 4; ++i) k[i * 5] = s;
        return kraus_record(4, std::move(k));
    };
    EXPECT_NEAR(korvane::density::trace_preservation_error(scaled(std::sqrt(1.5))), 1.0, 1e-12);
    EXPECT_NO_THROW(korvane::density::require_trace_preserving(scaled(std::sqrt(1.0 + 4e-9)), 3));
    try {
        korvane::density::require_trace_preserving(scaled(std::sqrt(1.0 + 1e-8)), 3);
        FAIL() << "a set 2e-8 from the identity was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Kraus operators are not trace preserving (operation 3)");
    }
    std::vector<Complex> nan_set = korvane::density::channel_operators(ChannelKind::BitFlip, 0.5);
    nan_set[1] = Complex(std::nan(""), 0.0);
    EXPECT_THROW(korvane::density::require_trace_preserving(kraus_record(2, nan_set), 0), std::invalid_argument);
}

TEST(KrausAnalysis, UnitaryMixturesAreRecognisedByValueWithTheirProbabilitiesAndUnitaries) {
    using korvane::density::unitary_mixture;
    const double p = 0.2;
    const auto depolarizing = unitary_mixture(builtin(ChannelKind::Depolarizing, p));
    ASSERT_TRUE(depolarizing);
    const double expected[] = {1.0 - 3.0 * p / 4.0, p / 4.0, p / 4.0, p / 4.0};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(depolarizing->probabilities[i], expected[i], 1e-15);
    // The third unitary is Y = [0, -i; i, 0].
    EXPECT_NEAR(std::abs(depolarizing->unitaries[9] - Complex(0, -1)), 0.0, 1e-15);
    EXPECT_NEAR(std::abs(depolarizing->unitaries[10] - Complex(0, 1)), 0.0, 1e-15);
    EXPECT_TRUE(unitary_mixture(builtin(ChannelKind::BitFlip, 0.0)));  // a zero operator is never drawn
    EXPECT_FALSE(unitary_mixture(builtin(ChannelKind::AmplitudeDamping, 0.3)));
    EXPECT_FALSE(unitary_mixture(builtin(ChannelKind::PhaseDamping, 0.3)));
    // No name: sqrt(0.3) CX and sqrt(0.7) (H x I) on two targets, with a phase on the first.
    const double a = std::sqrt(0.3), b = std::sqrt(0.7 / 2.0);
    const Complex ph = std::polar(1.0, 0.4);
    std::vector<Complex> mixture = {a * ph, 0, 0, 0, 0, a * ph, 0, 0, 0, 0, 0,  a * ph, 0, 0, a * ph, 0,
                                    b,      0, b, 0, 0, b,      0, b, b, 0, -b, 0,      0, b, 0,      -b};
    const auto two = unitary_mixture(kraus_record(4, mixture));
    ASSERT_TRUE(two);
    EXPECT_NEAR(two->probabilities[0], 0.3, 1e-15);
    EXPECT_NEAR(two->probabilities[1], 0.7, 1e-15);
    EXPECT_NEAR(std::abs(two->unitaries[11] - ph), 0.0, 1e-15);
    mixture[16] *= 1.0 + 1e-6;  // no longer a multiple of a unitary
    EXPECT_FALSE(unitary_mixture(kraus_record(4, mixture)));
}

TEST(KrausAnalysis, WeightedDrawsPassOverZeroWeightsAtBothEnds) {
    using korvane::density::draw_weighted;
    const double w[] = {0.0, 0.25, 0.0, 0.75, 0.0};
    EXPECT_EQ(draw_weighted(w, 5, 0.0), 1u);
    EXPECT_EQ(draw_weighted(w, 5, 0.2499), 1u);
    EXPECT_EQ(draw_weighted(w, 5, 0.25), 3u);
    EXPECT_EQ(draw_weighted(w, 5, 1.0 - 0x1.0p-53), 3u);
    // Rounding that leaves every running sum at or below u total still draws a weight that is not zero.
    const double tiny[] = {1e-300, 0.0};
    EXPECT_EQ(draw_weighted(tiny, 2, 1.0 - 0x1.0p-53), 0u);
}
