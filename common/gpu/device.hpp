// Small device-side helpers shared by every kernel.
#pragma once

#include <cstdint>

#include "common/gpu/runtime.hpp"

// Full unrolling keeps small per-thread arrays in registers under nvcc (an array indexed by a loop
// that is not unrolled lives in local memory); the host compiler chooses for itself.
// KORVANE_UNROLL_BY(n) unrolls a long loop n times only, which keeps the register count (and so the
// number of resident threads) of a kernel in check.
#if defined(__CUDACC__)
#define KORVANE_PRAGMA(text) _Pragma(#text)
#define KORVANE_UNROLL _Pragma("unroll")
#define KORVANE_UNROLL_BY(n) KORVANE_PRAGMA(unroll n)
#else
#define KORVANE_UNROLL
#define KORVANE_UNROLL_BY(n)
#endif

// __launch_bounds__(threads, blocks): kernels give their block size and the blocks that must fit a
// multiprocessor at once (2, or 1 for a kernel that keeps many amplitudes in registers). With the
// block size alone, ptxas aims at full occupancy on some architectures (32 registers for 256
// threads) and spills to get there.

namespace korvane::gpu {

// Linear index of the calling thread in a one-dimensional launch.
__device__ __forceinline__ std::uint64_t global_thread_index() {
    return std::uint64_t(blockIdx.x) * blockDim.x + threadIdx.x;
}

// Batches of states: grid.y counts the members a launch covers (1 for a single state), and blocks
// (x, y) work on its member y, whose elements start member_elements further per member.
__device__ __forceinline__ std::uint64_t launch_member() { return blockIdx.y; }
template <class E>
__device__ __forceinline__ E* member_data(E* data, std::uint64_t member_elements) {
    return data + std::uint64_t(blockIdx.y) * member_elements;
}
// A member's entry of an array of per-member values when one is passed, else the value every member
// shares: the single state's path passes its values by value and no array.
template <class V>
__device__ __forceinline__ V member_value(const V& shared, const V* per_member) {
    return per_member ? per_member[blockIdx.y] : shared;
}

// The block's dynamic shared memory (the launch's shared_bytes), typed. One raw array serves
// every instantiation, as CUDA requires of extern shared declarations.
template <class T>
__device__ __forceinline__ T* dynamic_shared_memory() {
#if defined(KORVANE_GPU_CUDA)
    extern __shared__ __align__(16) unsigned char korvane_dynamic_shared[];
    return reinterpret_cast<T*>(korvane_dynamic_shared);
#else
    return static_cast<T*>(hostdevice::dynamic_shared());
#endif
}

}  // namespace korvane::gpu
