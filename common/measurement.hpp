// The outcome rule both modules measure by. Outcome o of a basis index: with endian "little" target
// j supplies bit j of o, with "big" bit k-1-j. Its string writes bit k-1 of o first.
#pragma once

#include <cstdint>

#include "common/gpu/device.hpp"
#include "common/gpu/launch_geometry.hpp"
#include "common/gpu/runtime.hpp"
#include "common/outcomes.hpp"

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

// Outcome probabilities are summed in double. With at most kBlockOutcomeBits targets every block
// sums its elements per outcome in shared memory and adds each sum to the global vector once, so a
// pass costs a few atomic additions per outcome and block instead of one per element on the same 2^k
// addresses. Above it the 2^k addresses spread the additions and every element adds directly.
constexpr std::int64_t kBlockOutcomeBits = 10;
constexpr unsigned kProbabilityThreads = 256;
constexpr std::uint64_t kProbabilityBlocks = 1024;  // about one full wave of blocks on a large GPU
constexpr std::uint64_t kDirectProbabilityBlocks = 65535;

inline bool per_block_outcomes(std::int64_t k) { return k <= kBlockOutcomeBits; }

// Grid of a probability pass over count elements; threads stride over the rest.
inline LaunchGeometry probability_geometry(std::uint64_t count, std::int64_t k) {
    return capped_geometry(count, kProbabilityThreads,
                           per_block_outcomes(k) ? kProbabilityBlocks : kDirectProbabilityBlocks);
}

// probs[outcome(e)] += weight(e) for every element e < count, for a pass launched with
// probability_geometry. PerBlock (every thread of the block calls it: it holds barriers) needs at
// most 2^kBlockOutcomeBits outcomes. Weights of 0 add nothing and are skipped; NaN is added.
template <bool PerBlock, class Weight, class Outcome>
__device__ __forceinline__ void add_outcome_weights(std::uint64_t count, std::uint64_t outcomes, double* probs,
                                                    Weight weight, Outcome outcome) {
    const std::uint64_t stride = std::uint64_t(gridDim.x) * blockDim.x;
    const std::uint64_t first = gpu::global_thread_index();
    if constexpr (!PerBlock) {
        (void)outcomes;
        for (std::uint64_t e = first; e < count; e += stride) {
            const double p = weight(e);
            if (p != 0.0) atomicAdd(&probs[outcome(e)], p);
        }
    } else {
        __shared__ double sums[std::size_t(1) << kBlockOutcomeBits];
        for (std::uint64_t o = threadIdx.x; o < outcomes; o += blockDim.x) sums[o] = 0.0;
        __syncthreads();
        // Successive elements of a thread lie a grid stride apart and often share their outcome: the
        // thread adds a run of them itself and hands the run's sum over when the outcome changes.
        std::uint64_t current = 0;
        double run = 0.0;
        for (std::uint64_t e = first; e < count; e += stride) {
            const double p = weight(e);
            if (p == 0.0) continue;
            const std::uint64_t o = outcome(e);
            if (o != current) {
                if (run != 0.0) atomicAdd(&sums[current], run);
                current = o;
                run = 0.0;
            }
            run += p;
        }
        if (run != 0.0) atomicAdd(&sums[current], run);
        __syncthreads();
        for (std::uint64_t o = threadIdx.x; o < outcomes; o += blockDim.x)
            if (sums[o] != 0.0) atomicAdd(&probs[o], sums[o]);
    }
}

}  // namespace korvane
