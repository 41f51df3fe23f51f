#include "common/kraus_analysis.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace korvane::density {
namespace {

using Complex = std::complex<double>;

// (K^dagger K)[r][c] = sum_j conj(K[j][r]) K[j][c] of the d x d matrix at k.
std::vector<Complex> gram(const Complex* k, std::size_t d) {
    std::vector<Complex> g(d * d);
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c) {
            Complex sum = 0.0;
            for (std::size_t j = 0; j < d; ++j) sum += std::conj(k[j * d + r]) * k[j * d + c];
            g[r * d + c] = sum;
        }
    return g;
}

// ||g - p I||_F
double distance_from_scaled_identity(const std::vector<Complex>& g, std::size_t d, double p) {
    double sum = 0.0;
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c) sum += std::norm(g[r * d + c] - (r == c ? Complex(p) : Complex(0.0)));
    return std::sqrt(sum);
}

std::size_t dimension(const DensityOperation& record) { return static_cast<std::size_t>(record.kraus_dimension); }
std::size_t count(const DensityOperation& record) { return static_cast<std::size_t>(record.kraus_count); }

}  // namespace

double trace_preservation_error(const DensityOperation& record) {
    const std::size_t d = dimension(record);
    std::vector<Complex> total(d * d, 0.0);
    for (std::size_t i = 0; i < count(record); ++i) {
        const std::vector<Complex> g = gram(record.kraus_matrices.data() + i * d * d, d);
        for (std::size_t e = 0; e < d * d; ++e) total[e] += g[e];
    }
    return distance_from_scaled_identity(total, d, 1.0);
}

void require_trace_preserving(const DensityOperation& record, std::size_t index) {
    if (!(trace_preservation_error(record) <= kTracePreservingTolerance))
        throw std::invalid_argument("Kraus operators are not trace preserving (operation " + std::to_string(index) +
                                    ")");
}

std::optional<UnitaryMixture> unitary_mixture(const DensityOperation& record) {
    const std::size_t d = dimension(record);
    UnitaryMixture mixture;
    mixture.probabilities.reserve(count(record));
    mixture.unitaries.reserve(record.kraus_matrices.size());
    for (std::size_t i = 0; i < count(record); ++i) {
        const Complex* k = record.kraus_matrices.data() + i * d * d;
        const std::vector<Complex> g = gram(k, d);
        double trace = 0.0;
        for (std::size_t r = 0; r < d; ++r) trace += g[r * d + r].real();
        const double p = trace / static_cast<double>(d);
        // p = 0 passes only for the zero operator (g is positive semidefinite), which is never drawn.
        if (!(distance_from_scaled_identity(g, d, p) <= kUnitaryMixtureTolerance * p)) return std::nullopt;
        mixture.probabilities.push_back(p);
        const double scale = p > 0.0 ? 1.0 / std::sqrt(p) : 0.0;
        for (std::size_t e = 0; e < d * d; ++e) mixture.unitaries.push_back(k[e] * scale);
    }
    return mixture;
}

std::size_t draw_weighted(const double* weights, std::size_t count, double u) {
    double total = 0.0;
    for (std::size_t i = 0; i < count; ++i) total += weights[i];
    const double r = u * total;
    double running = 0.0;
    std::size_t last = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (weights[i] == 0.0) continue;
        running += weights[i];
        last = i;
        if (running > r) return i;
    }
    return last;
}

}  // namespace korvane::density
