// Index bit manipulation shared by the kernels of both modules.
//
// Two pairs of inverse operations move bits between a compact number and chosen positions of an
// index. They compute the same maps with the mask complemented, and each costs one loop step per
// set bit of its mask (deposit_bits stops early once the value is used up): insert_zero_bits and
// remove_bits walk the positions an index skips, deposit_bits and extract_bits those it fills.
// Kernels call the pair whose mask is small: the k controls and targets of a gate, or the k qubits
// of a tile, never the n - k others.
#pragma once

#include <cstdint>

#include "common/gpu/runtime.hpp"

namespace korvane::gpu {

// Expands a compact number into an index by inserting a 0 bit at every set bit of mask, taking the
// positions in ascending order (so mask names positions of the result).
__host__ __device__ __forceinline__ std::uint64_t insert_zero_bits(std::uint64_t compact, std::uint64_t mask) {
    while (mask) {
        const std::uint64_t low = mask & (~mask + 1);
        compact = ((compact & ~(low - 1)) << 1) | (compact & (low - 1));
        mask &= mask - 1;
    }
    return compact;
}

// Removes the bits of index at the set positions of mask and closes the gaps: the bits at the other
// positions, packed lowest first (inverse of insert_zero_bits).
__host__ __device__ __forceinline__ std::uint64_t remove_bits(std::uint64_t index, std::uint64_t mask) {
    std::uint64_t shifted = mask;  // mask, moved down by the bits removed so far
    while (shifted) {
        const std::uint64_t low = shifted & (~shifted + 1);
        index = ((index >> 1) & ~(low - 1)) | (index & (low - 1));
        shifted = (shifted & ~low) >> 1;
    }
    return index;
}

// log2 of a power of two (kernels index tiles by shifts: a 64-bit division is a slow subroutine).
__host__ __device__ __forceinline__ int log2_exact(std::uint64_t power_of_two) {
#if defined(__CUDA_ARCH__)
    return __ffsll(static_cast<long long>(power_of_two)) - 1;
#else
    return __builtin_ctzll(power_of_two);
#endif
}

// Deposits the bits of value, lowest first, into the set positions of mask.
__host__ __device__ __forceinline__ std::uint64_t deposit_bits(std::uint64_t value, std::uint64_t mask) {
    std::uint64_t out = 0;
    while (mask && value) {
        const std::uint64_t low = mask & (~mask + 1);
        if (value & 1) out |= low;
        value >>= 1;
        mask &= mask - 1;
    }
    return out;
}

// Gathers the bits of index at the set positions of mask, packed lowest first (inverse of deposit).
__host__ __device__ __forceinline__ std::uint64_t extract_bits(std::uint64_t index, std::uint64_t mask) {
    std::uint64_t out = 0;
    std::uint64_t bit = 1;
    while (mask) {
        const std::uint64_t low = mask & (~mask + 1);
        if (index & low) out |= bit;
        bit <<= 1;
        mask &= mask - 1;
    }
    return out;
}

// The number of set bits.
__host__ __device__ __forceinline__ int popcount(std::uint64_t index) {
#if defined(__CUDA_ARCH__)
    return __popcll(index);
#else
    return __builtin_popcountll(index);
#endif
}

// 1 when index has an odd number of set bits, else 0.
__host__ __device__ __forceinline__ unsigned parity(std::uint64_t index) {
#if defined(__CUDA_ARCH__)
    return static_cast<unsigned>(__popcll(index)) & 1u;
#else
    return static_cast<unsigned>(__builtin_parityll(index));
#endif
}

}  // namespace korvane::gpu
