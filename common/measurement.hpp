// The outcome rule both modules measure by. Outcome o of a basis index: with endian "little" target
// j supplies bit j of o, with "big" bit k-1-j. Its string writes bit k-1 of o first.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/gpu/runtime.hpp"

namespace korvane {

__host__ __device__ __forceinline__ std::uint64_t outcome_index(std::uint64_t index, const std::int64_t* targets,
                                                                std::int64_t k, bool little_endian) {
    std::uint64_t o = 0;
    for (std::int64_t j = 0; j < k; ++j) {
        const std::int64_t bit = little_endian ? j : k - 1 - j;
        o |= ((index >> targets[j]) & 1) << bit;
    }
    return o;
}

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
