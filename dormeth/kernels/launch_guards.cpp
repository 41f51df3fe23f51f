#include "dormeth/kernels/launch_guards.hpp"

#include <stdexcept>

namespace korvane::dormeth {

bool device_targets_fit(const DeviceTargets& t, std::int64_t dimension, std::int64_t max_targets) {
    if (!is_density_dimension(dimension)) return false;
    std::int64_t n = 0;
    while ((std::int64_t(1) << n) < dimension) ++n;
    if (t.num_targets < 1 || t.num_targets > max_targets || t.num_targets > n) return false;
    if (t.num_rest != n - t.num_targets) return false;
    std::uint64_t seen = 0;
    for (std::int64_t j = 0; j < t.num_targets; ++j) {
        const std::int64_t q = t.targets[j];
        if (q < 0 || q >= n || (seen >> q & 1)) return false;
        seen |= std::uint64_t(1) << q;
    }
    return true;
}

bool is_density_dimension(std::int64_t dimension) {
    return dimension >= 1 && dimension <= (std::int64_t(1) << kMaxDensityQubits) && (dimension & (dimension - 1)) == 0;
}

bool is_inside(std::uint64_t mask, std::int64_t dimension) {
    return dimension >= 1 && (mask & ~(static_cast<std::uint64_t>(dimension) - 1)) == 0;
}

bool is_qubit_mask(std::uint64_t mask, std::int64_t dimension, int bits) {
    int count = 0;
    for (std::uint64_t m = mask; m; m &= m - 1) ++count;
    return count == bits && is_inside(mask, dimension);
}

std::uint64_t target_bits(const DeviceTargets& t) {
    std::uint64_t mask = 0;
    for (std::int64_t j = 0; j < t.num_targets && j < kMaxUnitaryTargets; ++j) mask |= std::uint64_t(1) << t.targets[j];
    return mask;
}

void require_fit(bool ok) {
    if (!ok) throw std::runtime_error("density kernel arguments do not fit the matrix");
}

}  // namespace korvane::dormeth
