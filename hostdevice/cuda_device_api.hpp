// Kernel-side CUDA vocabulary on the host device: qualifiers, index variables, barriers,
// atomics and dynamic shared memory. Kernels include this only through common/gpu/runtime.hpp.
#pragma once

#include "hostdevice/cuda_runtime_api.hpp"

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __launch_bounds__(...)
#define __align__(n) alignas(n)
#define __restrict__ __restrict
// Static shared memory is per block. Every block of a launch runs its threads on one host
// thread, one block after another, so a per-host-thread variable is per block.
#define __shared__ static thread_local

// The default (dynamic) TLS model: a module with any initial-exec TLS would need its whole TLS
// block, static __shared__ arrays included, in the small static TLS reserve at load time.
#define HOSTDEVICE_TLS inline thread_local

// Each module keeps its own copy of the index variables; the launch glue of hostdevice/launch.hpp
// sets them in the module that owns the kernel.
HOSTDEVICE_TLS uint3 threadIdx{0, 0, 0};
HOSTDEVICE_TLS uint3 blockIdx{0, 0, 0};
HOSTDEVICE_TLS dim3 blockDim{1, 1, 1};
HOSTDEVICE_TLS dim3 gridDim{1, 1, 1};

namespace hostdevice {

HOSTDEVICE_TLS void* current_dynamic_shared = nullptr;

namespace detail {
// Suspends the calling CUDA thread until every thread of its block has arrived at the same barrier.
// Aborts, naming the barrier's source location, when the kernel was not launched for cooperative
// execution, when threads of the block wait at different barriers, or when some have returned.
void block_barrier(const char* file, unsigned line);
}  // namespace detail

inline void* dynamic_shared() { return current_dynamic_shared; }

}  // namespace hostdevice

// The caller's source location identifies the barrier, as its position in the code does on a GPU.
// The builtins, not std::source_location: clang 14, which clang-tidy runs on, lacks it with libstdc++.
inline void __syncthreads(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
    // The other threads of the block overwrite threadIdx while this one waits.
    const uint3 self = threadIdx;
    hostdevice::detail::block_barrier(file, line);
    threadIdx = self;
}

inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

template <class T>
inline T hostdevice_atomic_add(T* address, T value) {
    T old;
    __atomic_load(address, &old, __ATOMIC_RELAXED);
    T desired;
    do {
        desired = old + value;
    } while (!__atomic_compare_exchange(address, &old, &desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
    return old;
}

inline double atomicAdd(double* address, double value) { return hostdevice_atomic_add(address, value); }
inline float atomicAdd(float* address, float value) { return hostdevice_atomic_add(address, value); }
inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
    return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}
inline unsigned int atomicAdd(unsigned int* address, unsigned int value) {
    return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}
inline int atomicAdd(int* address, int value) { return __atomic_fetch_add(address, value, __ATOMIC_RELAXED); }
