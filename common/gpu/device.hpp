// Small device-side helpers shared by every kernel.
#pragma once

#include <cstdint>

#include "common/gpu/runtime.hpp"

namespace korvane::gpu {

// Linear index of the calling thread in a one-dimensional launch.
__device__ __forceinline__ std::uint64_t global_thread_index() {
    return std::uint64_t(blockIdx.x) * blockDim.x + threadIdx.x;
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
