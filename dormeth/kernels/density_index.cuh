// Index helpers shared by the density kernels: element coordinates of the 32 x 8 tile launches,
// the row (column) indices of a group, and the control test.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/device.hpp"
#include "dormeth/device_targets.hpp"

namespace korvane::dormeth::index {

// Coordinates of the calling thread's element in a tile launch (x over columns, y over rows).
struct Element {
    std::uint64_t row;
    std::uint64_t col;
};
__device__ __forceinline__ Element tile_element() {
    return Element{std::uint64_t(blockIdx.y) * blockDim.y + threadIdx.y,
                   std::uint64_t(blockIdx.x) * blockDim.x + threadIdx.x};
}

__device__ __forceinline__ bool satisfies(std::uint64_t x, std::uint64_t control_mask, std::uint64_t control_values) {
    return (x & control_mask) == control_values;
}

// OR of 1 << q over the first K targets.
template <int K>
__device__ __forceinline__ std::uint64_t target_mask(const DeviceTargets& t) {
    std::uint64_t mask = 0;
    KORVANE_UNROLL
    for (int j = 0; j < K; ++j) mask |= std::uint64_t(1) << t.targets[j];
    return mask;
}

// offset[l]: the target bits of local index l placed at their qubits (bit j of l -> targets[j]).
template <int K>
__device__ __forceinline__ void local_offsets(const DeviceTargets& t, std::uint64_t (&offset)[1 << K]) {
    offset[0] = 0;
    KORVANE_UNROLL
    for (int j = 0; j < K; ++j) {
        const std::uint64_t bit = std::uint64_t(1) << t.targets[j];
        KORVANE_UNROLL
        for (int l = 0; l < (1 << j); ++l) offset[l + (1 << j)] = offset[l] | bit;
    }
}

// The same offset for one local index, computed instead of looked up: kernels that own one element
// of a group keep no table (a per-thread table of 2^K words lives in local memory for K >= 4).
template <int K>
__device__ __forceinline__ std::uint64_t local_offset(const DeviceTargets& t, unsigned l) {
    std::uint64_t offset = 0;
    KORVANE_UNROLL
    for (int j = 0; j < K; ++j) offset |= std::uint64_t((l >> j) & 1) << t.targets[j];
    return offset;
}

// The local index of x: bit j is the value of qubit targets[j] (inverse of local_offset).
template <int K>
__device__ __forceinline__ unsigned local_index(const DeviceTargets& t, std::uint64_t x) {
    unsigned l = 0;
    KORVANE_UNROLL
    for (int j = 0; j < K; ++j) l |= unsigned((x >> t.targets[j]) & 1) << j;
    return l;
}

// Index with local bits 0 of group g: g's bits fill the rest qubits in ascending order.
__device__ __forceinline__ std::uint64_t group_base(std::uint64_t group, std::uint64_t target_mask) {
    return gpu::insert_zero_bits(group, target_mask);
}

}  // namespace korvane::dormeth::index
