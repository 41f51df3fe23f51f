// Philox4x32-10, a counter-based generator: a keyed bijection of a 128-bit counter, so any draw is
// computed from its coordinates alone, on the host or in a kernel, with no state to carry or split.
// Ten rounds of two 32 x 32 -> 64-bit products (Salmon, Moraes, Dror and Shaw, "Parallel random
// numbers: as easy as 1, 2, 3", SC11), checked against the published known answers.
//
// Trajectory draws are keyed by the 64-bit seed and counted by (trajectory, operation index, draw):
// a trajectory's draws depend on nothing but (seed, trajectory), whatever batch, member position,
// mode, backend or process runs it.
#pragma once

#include <cstdint>

#include "common/gpu/runtime.hpp"

namespace korvane::philox {

struct Block {
    std::uint32_t word[4];
};

struct Key {
    std::uint32_t word[2];
};

inline constexpr std::uint32_t kMultiplier0 = 0xD2511F53u;
inline constexpr std::uint32_t kMultiplier1 = 0xCD9E8D57u;
inline constexpr std::uint32_t kWeyl0 = 0x9E3779B9u;  // the key's increment per round
inline constexpr std::uint32_t kWeyl1 = 0xBB67AE85u;

// The 128-bit output for a counter and key.
__host__ __device__ constexpr Block philox4x32_10(Block counter, Key key) {
    for (int round = 0; round < 10; ++round) {
        if (round > 0) {
            key.word[0] += kWeyl0;
            key.word[1] += kWeyl1;
        }
        const std::uint64_t p0 = std::uint64_t(kMultiplier0) * counter.word[0];
        const std::uint64_t p1 = std::uint64_t(kMultiplier1) * counter.word[2];
        const auto hi0 = static_cast<std::uint32_t>(p0 >> 32);
        const auto lo0 = static_cast<std::uint32_t>(p0);
        const auto hi1 = static_cast<std::uint32_t>(p1 >> 32);
        const auto lo1 = static_cast<std::uint32_t>(p1);
        counter = Block{{hi1 ^ counter.word[1] ^ key.word[0], lo1, hi0 ^ counter.word[3] ^ key.word[1], lo0}};
    }
    return counter;
}

// A uniform double in [0, 1) from an output block: words 0 (low) and 1 (high) form a 64-bit x and
// u = (x >> 11) 2^-53, its 53 high bits. u lies on the grid of multiples of 2^-53, each equally
// likely; words 2 and 3 are unused.
__host__ __device__ constexpr double uniform_double(Block block) {
    const std::uint64_t x = (std::uint64_t(block.word[1]) << 32) | block.word[0];
    return static_cast<double>(x >> 11) * 0x1.0p-53;
}

// Draw `draw` of operation `operation` in trajectory `trajectory` under `seed`: the counter is
// (draw, operation, trajectory low word, trajectory high word), the key the seed's (low, high) words.
__host__ __device__ constexpr double trajectory_uniform(std::uint64_t seed, std::uint64_t trajectory,
                                                        std::uint32_t operation, std::uint32_t draw) {
    const Block counter{
        {draw, operation, static_cast<std::uint32_t>(trajectory), static_cast<std::uint32_t>(trajectory >> 32)}};
    const Key key{{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)}};
    return uniform_double(philox4x32_10(counter, key));
}

}  // namespace korvane::philox
