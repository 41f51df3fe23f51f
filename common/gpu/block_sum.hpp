// Block-wide sums for reduction kernels: each block reduces its threads' values to one partial sum,
// written once per block, so a reduction needs no atomics and its result does not depend on thread
// timing.
#pragma once

#include "common/gpu/runtime.hpp"

namespace korvane::gpu {

// Sums a and b over the threads of a one-dimensional block of BlockSize threads; thread 0 receives
// the block's sums. The order of the additions is fixed by the block size. Every thread of the
// block must call it, since it holds two barriers: kernels using it are launched cooperatively.
template <unsigned BlockSize>
__device__ __forceinline__ void block_sum(double& a, double& b) {
    static_assert(BlockSize % 32 == 0 && BlockSize <= 1024, "block size must be a multiple of 32, at most 1024");
    __shared__ double shared_a[BlockSize];
    __shared__ double shared_b[BlockSize];
    const unsigned t = threadIdx.x;
    shared_a[t] = a;
    shared_b[t] = b;
    __syncthreads();
    // Thread t < 32 folds the entries congruent to t modulo 32 into entry t; no two threads touch
    // the same entry.
    if (t < 32) {
        double x = 0.0;
        double y = 0.0;
        for (unsigned k = t; k < BlockSize; k += 32) {
            x += shared_a[k];
            y += shared_b[k];
        }
        shared_a[t] = x;
        shared_b[t] = y;
    }
    __syncthreads();
    if (t == 0) {
        double x = 0.0;
        double y = 0.0;
        for (unsigned k = 0; k < 32; ++k) {
            x += shared_a[k];
            y += shared_b[k];
        }
        a = x;
        b = y;
    }
}

}  // namespace korvane::gpu
