// Host-side pieces of the outcome rule (see measurement.hpp): outcome strings, the probability
// targets' bound and the real draw. Free of device code, so bindings compiled by the host compiler
// of a GPU build can include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane {

inline std::string outcome_string(std::uint64_t o, std::size_t k) {
    std::string s(k, '0');
    for (std::size_t j = 0; j < k; ++j)
        if ((o >> (k - 1 - j)) & 1) s[j] = '1';
    return s;
}

// Marginal probabilities come back as 2^k doubles; k is capped at 30 (8 GiB), checked before the
// targets themselves and before any allocation.
constexpr std::size_t kMaxProbabilityTargets = 30;

inline void check_probability_targets_size(std::size_t k) {
    if (k > kMaxProbabilityTargets) throw std::invalid_argument("probability targets size must be at most 30");
}

// The published 53-bit real draw of a 64-bit generator output: a double in [0, 1).
inline double unit_interval_draw(std::uint64_t x) { return static_cast<double>(x >> 11) * 0x1.0p-53; }

}  // namespace korvane
